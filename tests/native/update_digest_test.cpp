// File and text digests against independent references, and the serial's text form.
#include <doctest/doctest.h>

#include <openssl/md5.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/digest.h"
#include "update/volume_serial.h"

namespace {

std::string Hex(const std::vector<unsigned char>& bytes) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5(bytes.data(), bytes.size(), digest);  // one call: no piecewise feeding to get wrong
  std::string hex;
  char pair[3];
  for (unsigned char byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

std::string WriteFile(const std::vector<unsigned char>& bytes) {
  char path[] = "/tmp/update_digest_XXXXXX";
  int fd = mkstemp(path);
  REQUIRE(fd >= 0);
  std::FILE* file = fdopen(fd, "wb");
  if (!bytes.empty()) std::fwrite(bytes.data(), 1, bytes.size(), file);
  std::fclose(file);
  return path;
}

std::vector<unsigned char> Pattern(size_t size) {
  std::vector<unsigned char> bytes(size);
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<unsigned char>((i * 7 + i / 251) & 0xFF);
  return bytes;
}

}  // namespace

TEST_CASE("text digests are the RFC 1321 test vectors, in lower case") {
  const char* vectors[][2] = {
      {"", "d41d8cd98f00b204e9800998ecf8427e"},
      {"a", "0cc175b9c0f1b6a831c399e269772661"},
      {"abc", "900150983cd24fb0d6963f7d28e17f72"},
      {"message digest", "f96b697d7cb7938d525a2f31aaf161d0"},
      {"abcdefghijklmnopqrstuvwxyz", "c3fcd3d76192e4007dfb496cca67e13b"},
      {"ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789",
       "d174ab98d277d9f5a5611c2c9f419d9f"},
      {"12345678901234567890123456789012345678901234567890123456789012345678901234567890",
       "57edf4a22be3c955ac49da2e2107b67a"},
  };
  for (auto& vector : vectors) {
    char out[kHexDigestSize];
    std::memset(out, 'x', sizeof out);
    StringMD5Hex(vector[0], out);
    CHECK(std::string(out) == vector[1]);
  }
}

TEST_CASE("file digests are right at and around the 16384-byte read size") {
  for (size_t size : {0, 1, 16383, 16384, 16385, 32768, 100000}) {
    CAPTURE(size);
    std::vector<unsigned char> bytes = Pattern(size);
    std::string path = WriteFile(bytes);
    char out[kHexDigestSize] = "";
    CHECK(FileMD5Hex(path.c_str(), out));
    CHECK(std::string(out) == Hex(bytes));
    CHECK(FileMatchesMD5(path.c_str(), Hex(bytes).c_str()));
    std::remove(path.c_str());
  }
}

TEST_CASE("only the exact lower-case digest of a readable file matches") {
  std::vector<unsigned char> bytes = Pattern(5000);
  std::string path = WriteFile(bytes);
  std::string digest = Hex(bytes);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  CHECK(FileMatchesMD5(path.c_str(), digest.c_str()));
  CHECK_FALSE(FileMatchesMD5(path.c_str(), upper.c_str()));
  CHECK_FALSE(FileMatchesMD5(path.c_str(), (digest + "\r\n").c_str()));
  CHECK_FALSE(FileMatchesMD5(path.c_str(), digest.substr(0, 31).c_str()));
  std::remove(path.c_str());

  // An unreadable file leaves the output alone and matches nothing, not even "".
  char out[kHexDigestSize] = "untouched";
  CHECK_FALSE(FileMD5Hex(path.c_str(), out));
  CHECK(std::string(out) == "untouched");
  CHECK_FALSE(FileMatchesMD5(path.c_str(), ""));
}

TEST_CASE("the volume serial is sent as a signed decimal number") {
  char text[kSerialTextSize];
  FormatVolumeSerial(0x1234ABCD, text);
  CHECK(std::string(text) == "305441741");
  FormatVolumeSerial(0x80000000u, text);
  CHECK(std::string(text) == "-2147483648");
  FormatVolumeSerial(0xFFFFFFFFu, text);
  CHECK(std::string(text) == "-1");
  FormatVolumeSerial(0, text);
  CHECK(std::string(text) == "0");

  char digest[kHexDigestSize];
  FormatVolumeSerial(0xC0FFEE01u, text);
  StringMD5Hex(text, digest);
  CHECK(std::string(text) == "-1056969215");
  CHECK(std::string(digest) == Hex(std::vector<unsigned char>(text, text + std::strlen(text))));
}
