// Throughput of the plug-in's file digest (FileMD5Hex: 16384-byte reads into OpenSSL's
// MD5, the same cross-built libcrypto the .asi links) on one file, under Wine, and the
// time a module with keys built in takes to check a signed release of that file
// (FileSHA256 and ReleaseIsSigned through the cross-built libsodium), beyond the MD5.
//
//   md5_bench <file> [rounds]
//     prints "md5_bench bytes=<n> ms=<median> digest=<hex> verify_ms=<median>"
#include <windows.h>
#include <sodium.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <functional>
#include <vector>

#include "update/digest.h"
#include "update/release_signature.h"

namespace {

double MedianMs(int rounds, const std::function<bool()>& work) {
  LARGE_INTEGER frequency, start, stop;
  QueryPerformanceFrequency(&frequency);
  std::vector<double> ms;
  for (int i = 0; i < rounds; ++i) {
    QueryPerformanceCounter(&start);
    if (!work()) return -1;
    QueryPerformanceCounter(&stop);
    ms.push_back(1000.0 * static_cast<double>(stop.QuadPart - start.QuadPart) /
                 static_cast<double>(frequency.QuadPart));
  }
  std::sort(ms.begin(), ms.end());
  return ms[ms.size() / 2];
}

// A release of the file signed with a key made here, as a keyed module checks it.
bool SignedReleaseVerifies(const char* path) {
  static unsigned char publicKey[crypto_sign_PUBLICKEYBYTES], secretKey[crypto_sign_SECRETKEYBYTES];
  static char keys[2 * sizeof publicKey + 1], signature[2 * crypto_sign_BYTES + 1];
  if (!keys[0]) {
    unsigned char sha256[kSHA256Size], bytes[crypto_sign_BYTES];
    size_t size = 0;
    char message[256];
    if (sodium_init() < 0 || crypto_sign_keypair(publicKey, secretKey) != 0 ||
        !FileSHA256(path, sha256, &size))
      return false;
    size_t length = ReleaseMessage(message, sizeof message, "Murmelon_W_7_D", "51091", size, sha256);
    crypto_sign_detached(bytes, nullptr, reinterpret_cast<unsigned char*>(message), length, secretKey);
    sodium_bin2hex(keys, sizeof keys, publicKey, sizeof publicKey);
    sodium_bin2hex(signature, sizeof signature, bytes, sizeof bytes);
  }
  unsigned char sha256[kSHA256Size];
  size_t size = 0;
  return FileSHA256(path, sha256, &size) &&
         ReleaseIsSigned(ReleaseClaim{keys, "Murmelon_W_7_D", 51081, "51091", signature, size, sha256});
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: md5_bench <file> [rounds]\n");
    return 2;
  }
  const int rounds = argc > 2 ? std::max(1, std::atoi(argv[2])) : 5;
  WIN32_FILE_ATTRIBUTE_DATA attributes;
  if (!GetFileAttributesExA(argv[1], GetFileExInfoStandard, &attributes)) {
    std::fprintf(stderr, "md5_bench: cannot read %s\n", argv[1]);
    return 1;
  }
  const unsigned long long bytes =
      (static_cast<unsigned long long>(attributes.nFileSizeHigh) << 32) | attributes.nFileSizeLow;
  char digest[kHexDigestSize] = "";
  FileMD5Hex(argv[1], digest);  // the file in the page cache, as md5sum gets it too
  const double md5Ms = MedianMs(rounds, [&] { return FileMD5Hex(argv[1], digest); });
  const double verifyMs = MedianMs(rounds, [&] { return SignedReleaseVerifies(argv[1]); });
  if (md5Ms < 0 || verifyMs < 0) return 1;
  std::printf("md5_bench bytes=%llu ms=%.2f digest=%s verify_ms=%.2f\n", bytes, md5Ms, digest, verifyMs);
  return 0;
}
