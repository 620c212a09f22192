#include "update/release_signature.h"

// No sodium_init(): the two functions used here (Ed25519 verification and SHA-256 in
// file digest.cpp) are portable C in libsodium 1.0.18, with no per-processor choice and no
// random numbers. The initialiser would link every algorithm's selector and a random
// source into the module (~150 KB).
#include <sodium.h>

#include <climits>
#include <cstring>

#include "vstdlib/vstdlib_helper.h"

namespace {

constexpr size_t kLongestBuild = 9;  // so that any build of that form fits an int
constexpr size_t kMessageSize = 256;  // the message is about 120 bytes

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;  // upper case too: one spelling per value, as the release tool writes it
}

// Exactly 2 * size lower-case hex digits from text into bytes.
bool DecodeHex(const char* text, size_t length, unsigned char* bytes, size_t size) {
  if (length != 2 * size) return false;
  for (size_t i = 0; i < size; ++i) {
    int high = HexDigit(text[2 * i]), low = HexDigit(text[2 * i + 1]);
    if (high < 0 || low < 0) return false;
    bytes[i] = static_cast<unsigned char>(high << 4 | low);
  }
  return true;
}

// A build number as the release tool writes it: decimal digits, no sign, no leading
// zero, so that the text signed and the text sent cannot differ.
bool ParseBuild(const char* text, int* build) {
  size_t length = std::strlen(text);
  if (length == 0 || length > kLongestBuild || text[0] == '0') return false;
  int value = 0;
  for (size_t i = 0; i < length; ++i) {
    if (text[i] < '0' || text[i] > '9') return false;
    value = value * 10 + (text[i] - '0');
  }
  *build = value;
  return true;
}

}  // namespace

size_t ReleaseMessage(char* out, size_t size, const char* deliverable, const char* build,
                      size_t moduleSize, const unsigned char* sha256) {
  char sha256Hex[2 * kSHA256Size + 1];
  for (size_t i = 0; i < kSHA256Size; ++i)
    Q_snprintf(sha256Hex + 2 * i, 3, "%02x", sha256[i]);
  if (size > INT_MAX) size = INT_MAX;
  int length = Q_snprintf(out, static_cast<int>(size), "murmelon-update-v1\n%s\n%s\n%lu\n%s\n",
                          deliverable, build, static_cast<unsigned long>(moduleSize), sha256Hex);
  return length > 0 && static_cast<size_t>(length) < size ? static_cast<size_t>(length) : 0;
}

bool SignatureVerifies(const char* keys, const unsigned char* message, size_t length,
                       const char* signatureHex) {
  unsigned char signature[crypto_sign_BYTES];
  if (!DecodeHex(signatureHex, std::strlen(signatureHex), signature, sizeof signature)) return false;
  for (const char* key = keys; *key;) {
    size_t keyLength = std::strcspn(key, ",");
    unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
    if (DecodeHex(key, keyLength, publicKey, sizeof publicKey) &&
        crypto_sign_verify_detached(signature, message, length, publicKey) == 0)
      return true;
    key += keyLength;
    if (*key == ',') ++key;
  }
  return false;
}

bool ReleaseClaimWellFormed(const char* build, const char* signature, int ownBuild) {
  int number = 0;
  unsigned char bytes[crypto_sign_BYTES];
  return build && signature && ParseBuild(build, &number) && number > ownBuild &&
         DecodeHex(signature, std::strlen(signature), bytes, sizeof bytes);
}

bool ReleaseIsSigned(const ReleaseClaim& claim) {
  if (!ReleaseClaimWellFormed(claim.build, claim.signature, claim.ownBuild)) return false;
  char message[kMessageSize];
  size_t length = ReleaseMessage(message, sizeof message, claim.deliverable, claim.build,
                                 claim.moduleSize, claim.sha256);
  return length > 0 &&
         SignatureVerifies(claim.keys, reinterpret_cast<const unsigned char*>(message), length,
                           claim.signature);
}
