// The few engine string functions that Windows-free units call, for native builds.
// They behave as the plug-in's wrappers do without the engine's library.
#include <cstdio>
#include <cstring>

#include "vstdlib_helper.h"

const char* Q_stristr(const char* text, const char* find) { return std::strstr(text, find); }

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
