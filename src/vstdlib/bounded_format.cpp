// The plug-in's own bounded formatter. No windows.h: its rules are tested natively, with
// the pointer checks and Q_vsnprintf of the native build.
#include <cstdarg>

#include "vstdlib/vstdlib_helper.h"

int Q_snprintf(char* dest, int maxLen, const char* format, ...) {
  if (maxLen < 0) {
    RaiseAssertionReport("maxLen >= 0", __LINE__);
    return 0;  // a negative bound would let the formatter write without limit
  }
  if (maxLen == 0) return 0;  // nothing may be written, not even a terminator
  if (!CheckWritable(dest, static_cast<unsigned>(maxLen))) return 0;
  if (!CheckString(format, 0xFFFFFF)) return 0;
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
