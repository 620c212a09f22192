// Signed releases: the update answer's "BUILD:" and "SIGNATURE:" values, checked against
// the downloaded module and the public keys built into this module. No Windows API;
// Ed25519 and SHA-256 come from libsodium.
//
// The signed message is exactly
//   "murmelon-update-v1\n" <deliverable> "\n" <build> "\n" <module size> "\n" <SHA-256> "\n"
// with the build and size in decimal and the SHA-256 as 64 lower-case hex digits.
#pragma once

#include <cstddef>

constexpr size_t kSHA256Size = 32;

struct ReleaseClaim {
  const char* keys;         // the built-in keys: one or two 64-digit hex keys, comma-separated
  const char* deliverable;  // this module's deliverable name
  int ownBuild;             // this module's build number
  const char* build;        // the answer's BUILD: value as sent, or null when absent
  const char* signature;    // the answer's SIGNATURE: value as sent, or null when absent
  size_t moduleSize;        // the download, as written and read back
  const unsigned char* sha256;
};

// Whether the answer's values can name a release for us at all: both present, the
// build a decimal number above ownBuild, the signature 128 lower-case hex digits.
bool ReleaseClaimWellFormed(const char* build, const char* signature, int ownBuild);
// True only when the build is a decimal number above ownBuild, the signature is 128
// lower-case hex digits, and it verifies under one of the keys for the message above.
bool ReleaseIsSigned(const ReleaseClaim& claim);

// The message above, terminated, into out (at most size bytes). Its length, or 0 when
// it does not fit.
size_t ReleaseMessage(char* out, size_t size, const char* deliverable, const char* build,
                      size_t moduleSize, const unsigned char* sha256);

// True when signatureHex (128 lower-case hex digits) is an Ed25519 signature of the
// message under one of the keys (one or two 64-digit hex keys, comma-separated).
bool SignatureVerifies(const char* keys, const unsigned char* message, size_t length,
                       const char* signatureHex);
