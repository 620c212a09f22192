// The signed-release policy: what a module with built-in keys accepts, field by field,
// and the library call checked against RFC 8032's test vector.
#include <doctest/doctest.h>

#include <openssl/sha.h>

#include <functional>
#include <string>

#include "release_signing.h"
#include "update/release_signature.h"

namespace {

using release_test::Key;

const Key kPrevious(1), kCurrent(101), kOutsider(201);
const std::string kModule = std::string("MZ\x90\0module bytes", 16);
const std::string kDeliverable = "Murmelon_W_7_D";
constexpr int kOwnBuild = 51081;

struct Claim {
  std::string keys = kPrevious.PublicHex() + "," + kCurrent.PublicHex();
  std::string build = "51091";
  std::string signature = kCurrent.SignRelease(kDeliverable, "51091", kModule);
  bool hasBuild = true, hasSignature = true;
  std::string module = kModule;  // what arrived
};

// A build the release tool would never send, signed as if it had.
void SignedBuild(Claim& claim, const std::string& build) {
  claim.build = build;
  claim.signature = kCurrent.SignRelease(kDeliverable, build, kModule);
}

bool Accepted(const Claim& claim) {
  unsigned char sha256[SHA256_DIGEST_LENGTH];
  SHA256(reinterpret_cast<const unsigned char*>(claim.module.data()), claim.module.size(), sha256);
  return ReleaseIsSigned(ReleaseClaim{claim.keys.c_str(), kDeliverable.c_str(), kOwnBuild,
                                      claim.hasBuild ? claim.build.c_str() : nullptr,
                                      claim.hasSignature ? claim.signature.c_str() : nullptr,
                                      claim.module.size(), sha256});
}

}  // namespace

TEST_CASE("a release installs only when signed by a built-in key for exactly what arrived") {
  struct Row {
    const char* what;
    std::function<void(Claim&)> change;
    bool accepted;
  } rows[] = {
      {"signed by the second built-in key", [](Claim&) {}, true},
      {"signed by the first built-in key",
       [](Claim& c) { c.signature = kPrevious.SignRelease(kDeliverable, "51091", kModule); }, true},
      {"one built-in key", [](Claim& c) { c.keys = kCurrent.PublicHex(); }, true},
      {"signed by a key not built in",
       [](Claim& c) { c.signature = kOutsider.SignRelease(kDeliverable, "51091", kModule); }, false},
      {"no keys", [](Claim& c) { c.keys = ""; }, false},
      {"signed for the other deliverable",
       [](Claim& c) { c.signature = kCurrent.SignRelease("Murmelon_W_XP_D", "51091", kModule); }, false},
      {"sent build differs from the signed one", [](Claim& c) { c.build = "51101"; }, false},
      {"signed for another module",
       [](Claim& c) { c.signature = kCurrent.SignRelease(kDeliverable, "51091", kModule + "x"); }, false},
      {"one byte more arrived", [](Claim& c) { c.module += '\0'; }, false},
      {"one byte changed", [](Claim& c) { c.module[5] ^= 1; }, false},
      {"build as ours", [](Claim& c) { SignedBuild(c, "51081"); }, false},
      {"build older than ours", [](Claim& c) { SignedBuild(c, "9"); }, false},
      {"build just above ours", [](Claim& c) { SignedBuild(c, "51082"); }, true},
      {"build with a leading zero", [](Claim& c) { SignedBuild(c, "051091"); }, false},
      {"build with a sign", [](Claim& c) { SignedBuild(c, "+51091"); }, false},
      {"build with a line end", [](Claim& c) { SignedBuild(c, "51091\r\n"); }, false},
      {"build too long for a number", [](Claim& c) { SignedBuild(c, "5109100000"); }, false},
      {"build missing", [](Claim& c) { c.hasBuild = false; }, false},
      {"signature missing", [](Claim& c) { c.hasSignature = false; }, false},
      {"signature with one bit flipped", [](Claim& c) { c.signature[10] ^= 0x01; }, false},
      {"signature truncated", [](Claim& c) { c.signature.resize(126); }, false},
      {"signature with one more digit", [](Claim& c) { c.signature += "0"; }, false},
      {"signature in upper case",
       [](Claim& c) { for (char& d : c.signature) d = static_cast<char>(std::toupper(d)); }, false},
      {"signature of all zeros", [](Claim& c) { c.signature = std::string(128, '0'); }, false},
      {"key text cut short", [](Claim& c) { c.keys = kCurrent.PublicHex().substr(0, 62); }, false},
  };
  for (const Row& row : rows) {
    INFO(std::string(row.what));
    Claim claim;
    row.change(claim);
    CHECK(Accepted(claim) == row.accepted);
  }
}

TEST_CASE("the signed message is exactly the release tool's bytes") {
  unsigned char sha256[kSHA256Size];
  for (size_t i = 0; i < sizeof sha256; ++i) sha256[i] = static_cast<unsigned char>(0xF0 + i);
  char message[256];
  size_t length = ReleaseMessage(message, sizeof message, "Murmelon_W_XP_D", "51092", 2946762, sha256);
  CHECK(std::string(message, length) ==
        "murmelon-update-v1\nMurmelon_W_XP_D\n51092\n2946762\n"
        "f0f1f2f3f4f5f6f7f8f9fafbfcfdfeff000102030405060708090a0b0c0d0e0f\n");
  CHECK(ReleaseMessage(message, length, "Murmelon_W_XP_D", "51092", 2946762, sha256) == 0);
}

TEST_CASE("RFC 8032 test vector 2 verifies under any of the listed keys") {
  const std::string key = "3d4017c3e843895a92b70aa74d1b7ebc9c982ccf2ec4968cc0cd55f12af4660c";
  const std::string signature =
      "92a009a9f0d4cab8720e820b5f642540a2b27b5416503f8fb3762223ebdb69da"
      "085ac1e43e15996e458f3613d0f11d8c387b2eaeb4302aeeb00d291612bb0c00";
  const unsigned char message[] = {0x72};
  CHECK(SignatureVerifies(key.c_str(), message, 1, signature.c_str()));
  CHECK(SignatureVerifies((kCurrent.PublicHex() + "," + key).c_str(), message, 1, signature.c_str()));
  const unsigned char other[] = {0x73};
  CHECK_FALSE(SignatureVerifies(key.c_str(), other, 1, signature.c_str()));
  CHECK_FALSE(SignatureVerifies(key.c_str(), message, 0, signature.c_str()));
}
