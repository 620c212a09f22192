// Signing releases for the native tests, as the release tool does: the message built
// here from its definition (SHA-256 by OpenSSL), signed with a key made from a seed.
#pragma once

#include <openssl/sha.h>
#include <sodium.h>

#include <cstdio>
#include <cstdlib>
#include <string>

namespace release_test {

inline std::string Hex(const unsigned char* bytes, size_t size) {
  std::string hex;
  char pair[3];
  for (size_t i = 0; i < size; ++i) {
    std::snprintf(pair, sizeof pair, "%02x", bytes[i]);
    hex += pair;
  }
  return hex;
}

inline std::string SHA256Hex(const std::string& bytes) {
  unsigned char digest[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return Hex(digest, sizeof digest);
}

inline std::string Message(const std::string& deliverable, const std::string& build, size_t size,
                           const std::string& sha256Hex) {
  return "murmelon-update-v1\n" + deliverable + "\n" + build + "\n" + std::to_string(size) + "\n" +
         sha256Hex + "\n";
}

// A key pair made at test time from a one-byte seed pattern.
struct Key {
  unsigned char publicKey[crypto_sign_PUBLICKEYBYTES];
  unsigned char secretKey[crypto_sign_SECRETKEYBYTES];
  explicit Key(unsigned char seedByte) {
    if (sodium_init() < 0) std::abort();
    unsigned char seed[crypto_sign_SEEDBYTES];
    for (size_t i = 0; i < sizeof seed; ++i) seed[i] = static_cast<unsigned char>(seedByte + i);
    crypto_sign_seed_keypair(publicKey, secretKey, seed);
  }
  std::string PublicHex() const { return Hex(publicKey, sizeof publicKey); }
  std::string Sign(const std::string& message) const {
    unsigned char signature[crypto_sign_BYTES];
    crypto_sign_detached(signature, nullptr, reinterpret_cast<const unsigned char*>(message.data()),
                         message.size(), secretKey);
    return Hex(signature, sizeof signature);
  }
  std::string SignRelease(const std::string& deliverable, const std::string& build,
                          const std::string& module) const {
    return Sign(Message(deliverable, build, module.size(), SHA256Hex(module)));
  }
};

}  // namespace release_test
