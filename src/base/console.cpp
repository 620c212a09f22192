#include "base/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cwchar>

#include "base/interfaces.h"
#include "base/utf8.h"
#include "vstdlib/vstdlib_helper.h"

namespace {

constexpr int kFormatArea = 4096;  // characters, or UTF-16 units for the wide prints

void ConsolePrintf(const char* format, const char* a, const char* b = nullptr) {
  auto print = reinterpret_cast<engine::ConsolePrintfFn>(
      engine::Method(G_Console, engine::kConsolePrintfSlot));
  if (b)
    print(G_Console, format, a, b);
  else
    print(G_Console, format, a);
}

void PrintWide(bool prefixed, const wchar_t* format, va_list args) {
  if (!G_Console) return;
  wchar_t area[kFormatArea];
  _vsnwprintf(area, kFormatArea, format, args);
  area[kFormatArea - 1] = L'\0';  // a cut text comes back unterminated
  size_t length = wcslen(area);
  size_t capacity = 2 * length;
  char* utf8 = static_cast<char*>(std::malloc(capacity + 2));
  if (!utf8) return;
  utf8[0] = '\0';
  if (VstdlibHas("Q_UnicodeToUTF8")) {
    Q_UnicodeToUTF8(area, utf8, static_cast<int>(capacity));
    utf8[capacity] = '\0';  // whatever the engine did, the console gets a terminated text
  } else {
    Utf16ToUtf8(reinterpret_cast<const uint16_t*>(area), utf8, capacity);
  }
  if (prefixed)
    ConsolePrintf("%s%s", kMessagePrefix, utf8);
  else
    ConsolePrintf("%s", utf8);
  std::free(utf8);
}

}  // namespace

void ConsoleMsgW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintWide(true, format, args);
  va_end(args);
}

void ConsolePrintW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintWide(false, format, args);
  va_end(args);
}

void ConsolePrintLine(const char* text) {
  if (G_Console) ConsolePrintf("%s\n", text);
}

void ConsolePrint(const char* format, ...) {
  if (!G_Console) return;
  char area[kFormatArea];
  va_list args;
  va_start(args, format);
  Q_vsnprintf(area, kFormatArea, format, args);
  va_end(args);
  area[kFormatArea - 1] = '\0';
  ConsolePrintf("%s", area);
}
