// The few engine string functions and pointer checks that Windows-free units (the
// plug-in's own Q_snprintf among them) call, for native builds. They behave as the
// plug-in's wrappers do, with the engine's search or without it.
#include "vstdlib_native.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "vstdlib/vstdlib_helper.h"

bool g_searchIgnoresCase = true;

const char* Q_stristr(const char* text, const char* find) {
  if (!g_searchIgnoresCase) return std::strstr(text, find);
  const size_t length = std::strlen(find);
  for (; *text; ++text) {
    size_t i = 0;
    while (i < length && text[i] &&
           std::tolower(static_cast<unsigned char>(text[i])) ==
               std::tolower(static_cast<unsigned char>(find[i])))
      ++i;
    if (i == length) return text;
  }
  return length == 0 ? text : nullptr;
}

int Q_vsnprintf(char* dest, int maxLen, const char* format, va_list args) {
  if (maxLen <= 0) return -1;
  int written = std::vsnprintf(dest, static_cast<size_t>(maxLen), format, args);
  return (written < 0 || written >= maxLen) ? -1 : written;
}

// Natively every pointer a test hands over is usable; the reports are counted.
int g_assertionReports = 0;

void RaiseAssertionReport(const char*, int) { ++g_assertionReports; }
bool CheckWritable(void*, unsigned) { return true; }
bool CheckString(const char*, unsigned) { return true; }
