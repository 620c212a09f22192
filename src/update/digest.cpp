#include "update/digest.h"

#include <openssl/md5.h>
#include <sodium.h>

#include <cstdio>
#include <cstring>

#include "vstdlib/vstdlib_helper.h"

namespace {

// File digests read into this one area rather than the stack: they run inside the
// loader's attach call, where a small stack footprint matters.
unsigned char ReadArea[0x4000];

// The plain context functions need no library initialisation, which matters because
// the first digest runs inside DllMain.
void FinishHex(MD5_CTX* context, char* out) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5_Final(digest, context);
  out[0] = '\0';
  for (int i = 0; i < MD5_DIGEST_LENGTH; ++i)
    Q_snprintf(out + 2 * i, kHexDigestSize - 2 * i, "%02x", digest[i]);
}

// Reads the whole file into ReadArea piece by piece, handing each piece's size to feed.
// False when the file cannot be opened; a read error ends it as the end of the file does.
template <typename Feed>
bool ForEachPiece(const char* path, Feed feed) {
  std::FILE* file = std::fopen(path, "rb");
  if (!file) return false;
  for (;;) {
    size_t count = std::fread(ReadArea, 1, sizeof ReadArea, file);
    if (count < 1) break;
    feed(count);
  }
  std::fclose(file);
  return true;
}

}  // namespace

bool FileMD5Hex(const char* path, char* out) {
  MD5_CTX context;
  MD5_Init(&context);
  if (!ForEachPiece(path, [&](size_t count) { MD5_Update(&context, ReadArea, count); })) return false;
  FinishHex(&context, out);
  return true;
}

void StringMD5Hex(const char* text, char* out) {
  MD5_CTX context;
  MD5_Init(&context);
  MD5_Update(&context, text, std::strlen(text));
  FinishHex(&context, out);
}

bool FileSHA256(const char* path, unsigned char* sha256, size_t* size) {
  crypto_hash_sha256_state state;
  crypto_hash_sha256_init(&state);
  *size = 0;
  auto feed = [&](size_t count) {
    crypto_hash_sha256_update(&state, ReadArea, count);
    *size += count;
  };
  if (!ForEachPiece(path, feed)) return false;
  crypto_hash_sha256_final(&state, sha256);
  return true;
}

bool FileMatchesMD5(const char* path, const char* expected) {
  char MD5_f[kHexDigestSize] = "";
  // Without this test an unreadable file would "match" an empty expected text.
  if (!FileMD5Hex(path, MD5_f)) return false;
  return std::strcmp(MD5_f, expected) == 0;
}
