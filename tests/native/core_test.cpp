// Build recognition over an engine image, the console's UTF-8 conversion and the PE
// header reader, without Windows.
#include <doctest/doctest.h>

#include <cctype>
#include <cstring>
#include <string>
#include <vector>

#include "base/utf8.h"
#include "engine/engine_builds.h"
#include "engine/pe_image.h"

namespace {

const char* CaseInsensitiveSearch(const char* text, const char* find) {
  for (; *text; ++text) {
    size_t i = 0;
    while (find[i] && text[i] && std::tolower(static_cast<unsigned char>(text[i])) ==
                                     std::tolower(static_cast<unsigned char>(find[i])))
      ++i;
    if (!find[i]) return text;
  }
  return *find ? nullptr : text;
}

const char* CountingSearch(const char* text, const char* find);
int searches = 0;
const char* CountingSearch(const char* text, const char* find) {
  ++searches;
  return std::strstr(text, find);
}

struct Image {
  std::vector<uint8_t> bytes = std::vector<uint8_t>(0x1C0000, 0);
  void Put(uint32_t offset, const std::string& text) {
    std::memcpy(bytes.data() + offset, text.c_str(), text.size() + 1);
  }
  int32_t Detect(const char* (*search)(const char*, const char*) = std::strstr) {
    return DetectBuildInImage(bytes.data(), static_cast<uint32_t>(bytes.size()), search);
  }
};

}  // namespace

TEST_CASE("each known build is recognised at its own offset, first probe wins") {
  Image image;
  CHECK(image.Detect() == 0);
  image.Put(0x1B670C, "Exe build: 14:58:36 Mar 11 2008");
  CHECK(image.Detect() == 4156);
  image.Put(0x1478DC, "Exe build: 11:17:34 Aug  8 2013");
  CHECK(image.Detect() == 6132);
  image.Put(0x17A11C, "Exe build: 16:05:41 Jun 15 2009");
  CHECK(image.Detect() == 4554);
  image.Put(0x149284, "Exe build: 17:47:17 Apr 25 2013");
  CHECK(image.Detect() == 6027);
}

TEST_CASE("6132 is found after probes 1 and 2 miss, and probe 4 is not searched") {
  Image image;
  image.Put(0x1478DC, "Exe build: 11:17:34 Aug  8 2013");
  searches = 0;
  CHECK(image.Detect(CountingSearch) == 6132);
  CHECK(searches == 3);
}

TEST_CASE("the match is a containment test and follows the search's letter case") {
  Image image;
  image.Put(0x149284, "Protocol 48, Exe build: 17:47:17 Apr 25 2013 (6027)");
  CHECK(image.Detect() == 6027);
  image.Put(0x149284, "EXE BUILD: 17:47:17 APR 25 2013");
  CHECK(image.Detect() == 0);
  CHECK(image.Detect(CaseInsensitiveSearch) == 6027);
  // The 6132 text has two blanks before the day.
  image.Put(0x1478DC, "Exe build: 11:17:34 Aug 8 2013");
  CHECK(image.Detect() == 0);
}

TEST_CASE("an image smaller than a probe offset is never read past its end") {
  // The text runs to the very end of a heap block with no terminator: ASan would catch
  // a read beyond it.
  std::string text = "Exe build: 17:47:17 Apr 25 2013";
  std::vector<uint8_t> image(0x149284 + text.size());
  std::memcpy(image.data() + 0x149284, text.data(), text.size());
  CHECK(DetectBuildInImage(image.data(), static_cast<uint32_t>(image.size()), std::strstr) == 6027);
  std::vector<uint8_t> tiny(0x1000, 'x');
  CHECK(DetectBuildInImage(tiny.data(), static_cast<uint32_t>(tiny.size()), std::strstr) == 0);
  image.resize(0x149290);
  CHECK(DetectBuildInImage(image.data(), static_cast<uint32_t>(image.size()), std::strstr) == 0);
}

TEST_CASE("UTF-16 to UTF-8: Cyrillic, surrogate pairs, and cutting at character bounds") {
  const uint16_t text[] = {0x41D, 0x43E, '!', '\n', 0};  // "Но!\n"
  char out[16];
  CHECK(Utf16ToUtf8(text, out, sizeof out) == 6);
  CHECK(std::string(out) == "\xD0\x9D\xD0\xBE!\n");
  // Room for "Н" and the terminator only: "о" is dropped whole, never split.
  CHECK(Utf16ToUtf8(text, out, 4) == 2);
  CHECK(std::string(out) == "\xD0\x9D");
  const uint16_t pair[] = {0xD83D, 0xDE00, 0xD800, 'a', 0};
  CHECK(Utf16ToUtf8(pair, out, sizeof out) == 8);
  CHECK(std::string(out) == "\xF0\x9F\x98\x80\xEF\xBF\xBD" "a");
  char untouched = 'z';
  CHECK(Utf16ToUtf8(text, &untouched, 0) == 0);
  CHECK(untouched == 'z');
}

TEST_CASE("the PE reader finds the size of image and refuses a module without signature") {
  std::vector<uint8_t> header(0x200, 0);
  header[0x3C] = 0x80;
  std::memcpy(&header[0x80], "PE\0\0", 4);
  uint32_t size = 0x1101000;
  std::memcpy(&header[0x80 + 0x50], &size, 4);
  uint32_t read = 0;
  CHECK(pe::ReadImageSize(header.data(), &read));
  CHECK(read == 0x1101000);
  header[0x81] = 'X';
  read = 7;
  CHECK_FALSE(pe::ReadImageSize(header.data(), &read));
  CHECK(read == 7);
}
