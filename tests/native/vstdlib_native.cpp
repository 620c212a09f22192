// The few engine string functions that Windows-free units call, for native builds.
// They behave as the plug-in's wrappers do, with the engine's search or without it.
#include "vstdlib_native.h"

#include <cctype>
#include <cstdio>
#include <cstring>

#include "vstdlib_helper.h"

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

int Q_snprintf(char* dest, int maxLen, const char* format, ...) {
  if (maxLen <= 0) return 0;
  va_list args;
  va_start(args, format);
  int result = Q_vsnprintf(dest, maxLen, format, args);
  va_end(args);
  if (result < 0) {
    result = maxLen;
    dest[maxLen - 1] = '\0';
  }
  return result;
}
