// Engine positions per build, jump encoding, pattern scan and number conversions of the
// voice repair, without Windows.
#include <doctest/doctest.h>

#include <cmath>
#include <cstring>
#include <limits>
#include <string>
#include <vector>

#include "engine/engine_builds.h"
#include "voice/jump.h"
#include "voice/numbers.h"
#include "voice/pattern_scan.h"

TEST_CASE("each supported build yields its own column; offsets stay raw, addresses add the base") {
  constexpr uint32_t base = 0x01D00000;
  // Decimal here, hex in the table: a slip in either form shows.
  struct Expected {
    int32_t build;
    uint32_t funcTable, handler, hudFrame, voiceInitFunc, codecSlot, clientState, voiceWord,
        voiceFormat, readString, readByte;
  };
  const Expected rows[] = {
      {6027, 1262176, 124688, 48640, 787792, 1156296, 17129152, 1419680, 1419216, 171888, 171408},
      {6132, 1262176, 125216, 48640, 788304, 1156296, 17129760, 1420280, 1419816, 172416, 171936},
  };
  for (const Expected& x : rows) {
    CAPTURE(x.build);
    VoiceEngineEntries e{};
    REQUIRE(VoiceEngineEntriesFor(x.build, base, &e));
    CHECK(e.funcTable == base + x.funcTable);
    CHECK(e.voiceInitHandlerOffset == x.handler);
    CHECK(e.hudFrameOffset == x.hudFrame);
    CHECK(e.voiceInitFuncOffset == x.voiceInitFunc);
    CHECK(e.codecSlotOffset == x.codecSlot);
    CHECK(e.clientState == base + x.clientState);
    CHECK(e.voiceWord == base + x.voiceWord);
    CHECK(e.voiceFormat == base + x.voiceFormat);
    MessageReaderEntries r{};
    REQUIRE(MessageReaderEntriesFor(x.build, base, &r));
    CHECK(r.readString == base + x.readString);
    CHECK(r.readByte == base + x.readByte);
  }
}

TEST_CASE("builds without a column fill nothing") {
  for (int32_t build : {0, 4554, 4156, 6026, 6028, 6131, -6027}) {
    VoiceEngineEntries e;
    std::memset(&e, 0xAB, sizeof e);
    MessageReaderEntries r;
    std::memset(&r, 0xAB, sizeof r);
    CHECK_FALSE(VoiceEngineEntriesFor(build, 0x10000000, &e));
    CHECK_FALSE(MessageReaderEntriesFor(build, 0x10000000, &r));
    CHECK(e.funcTable == 0xABABABABu);
    CHECK(r.readByte == 0xABABABABu);
  }
}

TEST_CASE("a jump is E9 and a little-endian displacement from the end of the instruction") {
  JumpInstruction forward = EncodeJump(0x20000000, 0x6A001234);
  uint8_t bytes[5];
  std::memcpy(bytes, &forward, sizeof bytes);
  CHECK(bytes[0] == 0xE9);
  const uint32_t expected = 0x6A001234u - 0x20000000u - 5u;
  CHECK(bytes[1] == (expected & 0xFF));
  CHECK(bytes[2] == ((expected >> 8) & 0xFF));
  CHECK(bytes[3] == ((expected >> 16) & 0xFF));
  CHECK(bytes[4] == (expected >> 24));
  CHECK(JumpDestination(0x20000000, forward) == 0x6A001234u);
}

TEST_CASE("a replacement below its target gets a two's complement displacement") {
  JumpInstruction back = EncodeJump(0x6A000000, 0x20001000);
  const int32_t backward = back.displacement;  // a copy: the packed member is unaligned
  CHECK(backward < 0);
  CHECK(backward == -static_cast<int32_t>(0x6A000000 - 0x20001000 + 5));
  CHECK(JumpDestination(0x6A000000, back) == 0x20001000u);

  uint8_t self[5];
  JumpInstruction loop = EncodeJump(0x401000, 0x401000);  // a jump onto itself
  std::memcpy(self, &loop, sizeof self);
  const uint8_t expected[5] = {0xE9, 0xFB, 0xFF, 0xFF, 0xFF};
  CHECK(std::memcmp(self, expected, 5) == 0);

  // Across the top of the address space, as modulo 2^32 arithmetic requires.
  JumpInstruction wrap = EncodeJump(0xFFFFFFF0u, 0x00000010u);
  const int32_t across = wrap.displacement;
  CHECK(across == 0x1B);
  CHECK(JumpDestination(0xFFFFFFF0u, wrap) == 0x10u);
}

namespace {

const uint8_t* Scan(const std::vector<uint8_t>& bytes, const std::vector<uint8_t>& pattern,
                    const char* mask) {
  return ScanBytes(bytes.data(), static_cast<uint32_t>(bytes.size()), pattern.data(), mask,
                   static_cast<uint32_t>(pattern.size()));
}

}  // namespace

TEST_CASE("pattern scan: '?' matches any byte, the first match wins") {
  std::vector<uint8_t> image = {0x55, 0x8B, 0xEC, 0x83, 0xEC, 0x10, 0x55, 0x8B, 0xEC, 0x6A, 0x10};
  CHECK(Scan(image, {0x55, 0x8B, 0xEC}, "xxx") == image.data());
  CHECK(Scan(image, {0x55, 0x8B, 0xEC, 0x6A}, "xxxx") == image.data() + 6);
  CHECK(Scan(image, {0x83, 0x00, 0x10}, "x?x") == image.data() + 3);
  CHECK(Scan(image, {0x83, 0x00, 0x10}, "xxx") == nullptr);
  CHECK(Scan(image, {0x00, 0x00, 0x00}, "???") == image.data());
}

TEST_CASE("pattern scan finds a match that ends at the last byte of the range") {
  std::vector<uint8_t> image(64, 0x90);
  image[61] = 0xC2;
  image[62] = 0x04;
  image[63] = 0x00;
  CHECK(Scan(image, {0xC2, 0x04, 0x00}, "xxx") == image.data() + 61);
  const std::vector<uint8_t> whole(image);
  CHECK(Scan(image, whole, std::string(64, 'x').c_str()) == image.data());
}

TEST_CASE("pattern scan refuses what it cannot search and never reads past the range") {
  std::vector<uint8_t> image = {1, 2, 3};
  const uint8_t pattern[4] = {1, 2, 3, 4};
  CHECK(ScanBytes(image.data(), 3, pattern, "xxx", 0) == nullptr);
  CHECK(ScanBytes(image.data(), 3, nullptr, "xxx", 3) == nullptr);
  CHECK(ScanBytes(image.data(), 3, pattern, nullptr, 3) == nullptr);
  CHECK(ScanBytes(nullptr, 3, pattern, "xxx", 3) == nullptr);
  // Longer than the range: an unsigned "size - length" would run far past the end.
  CHECK(ScanBytes(image.data(), 3, pattern, "????", 4) == nullptr);
  // A mask shorter than the pattern: the remaining bytes are compared, not skipped.
  CHECK(ScanBytes(image.data(), 3, pattern, "?", 3) == image.data());
  const uint8_t other[3] = {9, 2, 4};
  CHECK(ScanBytes(image.data(), 3, other, "?", 3) == nullptr);
}

TEST_CASE("setting values truncate toward zero and never overflow") {
  CHECK(TruncateSettingValue(11025.9f) == 11025);
  CHECK(TruncateSettingValue(22050.0f) == 22050);
  CHECK(TruncateSettingValue(0.99f) == 0);
  CHECK(TruncateSettingValue(-3.7f) == -3);
  CHECK(TruncateSettingValue(std::numeric_limits<float>::quiet_NaN()) == 0);
  CHECK(TruncateSettingValue(1e20f) == INT32_MAX);
  CHECK(TruncateSettingValue(-1e20f) == INT32_MIN);
  CHECK(TruncateSettingValue(std::numeric_limits<float>::infinity()) == INT32_MAX);
}

TEST_CASE("only a real zero switches voice_useold off") {
  CHECK(SettingIsZero(0.0f));
  CHECK(SettingIsZero(-0.0f));
  CHECK_FALSE(SettingIsZero(1.0f));
  CHECK_FALSE(SettingIsZero(0.001f));
  CHECK_FALSE(SettingIsZero(std::numeric_limits<float>::quiet_NaN()));
}

TEST_CASE("command quality follows the decimal conversion, bounded") {
  CHECK(ParseDecimal("3") == 3);
  CHECK(ParseDecimal("  \t42") == 42);
  CHECK(ParseDecimal("-7") == -7);
  CHECK(ParseDecimal("5kbps") == 5);
  CHECK(ParseDecimal("high") == 0);
  CHECK(ParseDecimal("") == 0);
  CHECK(ParseDecimal(nullptr) == 0);
  CHECK(ParseDecimal("99999999999999999999999") == INT32_MAX);
  CHECK(ParseDecimal("-99999999999999999999999") == INT32_MIN);
}
