// Input from outside, many times over: codec names from servers, command arguments and
// setting values from the player, console texts in any UTF-16. Each case runs a fixed
// stream of generated inputs against a plain model of the rule, in buffers of exactly
// the size given, so AddressSanitizer sees the first byte written past one.
#include <doctest/doctest.h>

#include <cerrno>
#include <climits>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <random>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "voice/codec_state.h"
#include "voice/numbers.h"

namespace {

std::mt19937 Generator(uint32_t seed) { return std::mt19937(seed); }

// UTF-8 of one code point, the model for the converter.
std::string Encode(uint32_t code) {
  std::string out;
  if (code < 0x80) {
    out += static_cast<char>(code);
  } else if (code < 0x800) {
    out += static_cast<char>(0xC0 | (code >> 6));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else if (code < 0x10000) {
    out += static_cast<char>(0xE0 | (code >> 12));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (code >> 18));
    out += static_cast<char>(0x80 | ((code >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((code >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (code & 0x3F));
  }
  return out;
}

// The characters of a UTF-16 text, each as its UTF-8 bytes (unpaired halves: U+FFFD).
std::vector<std::string> Characters(const std::vector<uint16_t>& text) {
  std::vector<std::string> characters;
  for (size_t i = 0; text[i] != 0; ++i) {
    const uint32_t unit = text[i];
    if (unit >= 0xD800 && unit <= 0xDBFF && text[i + 1] >= 0xDC00 && text[i + 1] <= 0xDFFF) {
      characters.push_back(Encode(0x10000 + ((unit - 0xD800) << 10) + (text[i + 1] - 0xDC00)));
      ++i;
    } else {
      characters.push_back(Encode(unit >= 0xD800 && unit <= 0xDFFF ? 0xFFFD : unit));
    }
  }
  return characters;
}

// Units a console text is made of: ASCII, Cyrillic, three-byte characters, and both
// surrogate halves alone and in pairs, the terminator's neighbours included.
std::vector<uint16_t> RandomUtf16(std::mt19937& random) {
  static const uint16_t kUnits[] = {'a', '%', '\n', 0x7F, 0x80, 0x41D, 0x44F, 0x7FF, 0x800, 0x20AC,
                                    0xFFFD, 0xFFFF, 0xD800, 0xDBFF, 0xDC00, 0xDFFF, 0xD83D, 0xDE00};
  std::vector<uint16_t> text(random() % 24);
  for (uint16_t& unit : text) unit = kUnits[random() % (sizeof kUnits / sizeof kUnits[0])];
  text.push_back(0);
  return text;
}

// The standard conversion of the text, saturated at the 32-bit range.
int32_t ModelDecimal(const std::string& text) {
  errno = 0;
  const long long value = std::strtoll(text.c_str(), nullptr, 10);
  if (value > INT32_MAX || (errno == ERANGE && value > 0)) return INT32_MAX;
  if (value < INT32_MIN || (errno == ERANGE && value < 0)) return INT32_MIN;
  return static_cast<int32_t>(value);
}

}  // namespace

TEST_CASE("console texts: every capacity gives whole characters, terminated, inside the buffer") {
  auto random = Generator(1);
  for (int round = 0; round < 3000; ++round) {
    const std::vector<uint16_t> text = RandomUtf16(random);
    const std::vector<std::string> characters = Characters(text);
    std::string whole;
    for (const std::string& c : characters) whole += c;
    for (size_t capacity = 1; capacity <= whole.size() + 2; ++capacity) {
      // Exactly `capacity` bytes on the heap: one byte more written is an ASan report.
      std::unique_ptr<char[]> out(new char[capacity]);
      const size_t written = Utf16ToUtf8(text.data(), out.get(), capacity);
      std::string expected;
      for (const std::string& c : characters) {
        if (expected.size() + c.size() + 1 > capacity) break;
        expected += c;
      }
      REQUIRE(written == expected.size());
      REQUIRE(std::string(out.get()) == expected);
    }
  }
}

TEST_CASE("command arguments: the decimal conversion agrees with strtoll, saturated") {
  auto random = Generator(2);
  static const char kPieces[] = " \t\n\v\f\r+-0123456789999999999xX.e ";
  for (int round = 0; round < 20000; ++round) {
    std::string text(random() % 40, ' ');
    for (char& c : text) c = kPieces[random() % (sizeof kPieces - 1)];
    INFO("argument \"" << text << "\"");
    REQUIRE(ParseDecimal(text.c_str()) == ModelDecimal(text));
  }
  for (const char* edge : {"2147483647", "2147483648", "-2147483648", "-2147483649", "+0", "-",
                           "+-1", " \v\f-00000000000000000000000012", "1e9"})
    CHECK(ParseDecimal(edge) == ModelDecimal(edge));
}

TEST_CASE("setting values: any float bit pattern truncates toward zero inside the 32-bit range") {
  auto random = Generator(3);
  for (int round = 0; round < 200000; ++round) {
    const uint32_t bits = random();
    float value;
    std::memcpy(&value, &bits, sizeof value);
    const int32_t got = TruncateSettingValue(value);
    if (std::isnan(value)) {
      REQUIRE(got == 0);
      continue;
    }
    const long double truncated = std::trunc(static_cast<long double>(value));
    const int32_t expected = truncated >= INT32_MAX ? INT32_MAX
                             : truncated <= INT32_MIN ? INT32_MIN
                                                      : static_cast<int32_t>(truncated);
    INFO("value " << value);
    REQUIRE(got == expected);
  }
  // The floats next to the range's ends: 2147483520 is the largest below 2^31.
  CHECK(TruncateSettingValue(2147483520.0f) == 2147483520);
  CHECK(TruncateSettingValue(std::nextafter(2147483648.0f, INFINITY)) == INT32_MAX);
  CHECK(TruncateSettingValue(-2147483648.0f) == INT32_MIN);
  CHECK(TruncateSettingValue(std::numeric_limits<float>::denorm_min()) == 0);
}

TEST_CASE("codec names: any name in any buffer size is cut to size - 1 and terminated") {
  auto random = Generator(4);
  for (int round = 0; round < 5000; ++round) {
    const size_t size = 1 + random() % (kCodecNameSize + 20);
    std::string name(random() % 300, 'v');
    for (char& c : name) c = static_cast<char>(1 + random() % 255);
    std::unique_ptr<char[]> buffer(new char[size]);
    StoreCodecName(buffer.get(), size, name.c_str());
    REQUIRE(std::string(buffer.get()) == name.substr(0, size - 1));
  }
  char untouched = '#';
  StoreCodecName(&untouched, 0, "voice_speex");
  CHECK(untouched == '#');
}
