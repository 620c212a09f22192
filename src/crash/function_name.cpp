#include "crash/function_name.h"

#include <cstring>

void FunctionNameOnly(const char* demangled, char* out, size_t capacity) {
  if (capacity == 0) return;
  size_t length = std::strlen(demangled);
  // The parameter list is the parenthesised group that closes last: what follows it
  // (" const", "&") goes with it.
  const char* close = std::strrchr(demangled, ')');
  if (close) {
    int depth = 0;
    for (const char* at = close; at >= demangled; --at) {
      if (*at == ')') ++depth;
      if (*at == '(' && --depth == 0) {
        if (at > demangled) length = static_cast<size_t>(at - demangled);
        break;
      }
    }
  } else if (const char* at = std::strrchr(demangled, '@')) {
    // "@<bytes of arguments>" ends a standard-call name: digits only, at least one.
    const char* digit = at + 1;
    while (*digit >= '0' && *digit <= '9') ++digit;
    if (digit > at + 1 && *digit == '\0' && at > demangled)
      length = static_cast<size_t>(at - demangled);
  }
  if (length >= capacity) length = capacity - 1;
  std::memcpy(out, demangled, length);
  out[length] = '\0';
}
