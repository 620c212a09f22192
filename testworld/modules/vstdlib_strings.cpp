// vstdlib's text functions: compare, search, copy, append, format, numbers.
#include <cctype>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "../common/world_link.h"
#include "vstdlib_internal.h"

namespace vstdlib_world {

void CopyBounded(char* dest, const char* src, int maxLen) {
  if (!dest || maxLen <= 0) return;
  int i = 0;
  for (; src && src[i] && i < maxLen - 1; ++i) dest[i] = src[i];
  dest[i] = '\0';
}

namespace {

int Lower(char c) { return tolower(static_cast<unsigned char>(c)); }

int CompareNoCase(const char* a, const char* b, int n) {
  for (int i = 0; n < 0 || i < n; ++i) {
    int d = Lower(a[i]) - Lower(b[i]);
    if (d != 0 || !a[i]) return d;
  }
  return 0;
}

// Case-insensitive search within the first `limit` bytes (limit < 0: no limit).
const char* FindNoCase(const char* text, const char* search, int limit) {
  if (!text || !search) return nullptr;
  size_t length = strlen(search);
  for (const char* p = text; limit < 0 || p - text + static_cast<int>(length) <= limit; ++p) {
    if (CompareNoCase(p, search, static_cast<int>(length)) == 0) return p;
    if (!*p) break;
  }
  return nullptr;
}

}  // namespace
}  // namespace vstdlib_world

using namespace vstdlib_world;

Q_EXPORT int __cdecl Q_strncmp(const char* a, const char* b, int count) {
  return strncmp(a, b, count < 0 ? 0 : count);
}
Q_EXPORT int __cdecl Q_strcasecmp(const char* a, const char* b) { return CompareNoCase(a, b, -1); }
Q_EXPORT int __cdecl Q_strncasecmp(const char* a, const char* b, int n) { return CompareNoCase(a, b, n); }
Q_EXPORT int __cdecl Q_strnicmp(const char* a, const char* b, int n) { return CompareNoCase(a, b, n); }

// A pointer into the searched text (not a copy), found regardless of letter case.
Q_EXPORT char* __cdecl Q_stristr(const char* text, const char* search) {
  return const_cast<char*>(FindNoCase(text, search, -1));
}
Q_EXPORT const char* __cdecl Q_strnistr(const char* text, const char* search, int n) {
  return FindNoCase(text, search, n);
}
Q_EXPORT char* __cdecl Q_strnchr(const char* text, char c, int n) {
  for (int i = 0; i < n && text[i]; ++i)
    if (text[i] == c) return const_cast<char*>(text + i);
  return nullptr;
}

#ifndef VSTDLIB_PARTIAL
Q_EXPORT void __cdecl Q_strncpy(char* dest, const char* src, int maxLen) {
  CopyBounded(dest, src, maxLen);
}
#endif

// Appends within destSize bytes (terminator included); returns dest.
Q_EXPORT char* __cdecl Q_strcat(char* dest, const char* src, int destSize) {
  size_t used = strlen(dest);
  if (static_cast<int>(used) < destSize) CopyBounded(dest + used, src, destSize - static_cast<int>(used));
  return dest;
}

// As Q_strcat, copying at most maxCharsToCopy bytes of src (-1: all).
Q_EXPORT char* __cdecl Q_strncat(char* dest, const char* src, size_t destSize, int maxCharsToCopy) {
  size_t used = strlen(dest);
  size_t take = strlen(src);
  if (maxCharsToCopy >= 0 && take > static_cast<size_t>(maxCharsToCopy)) take = maxCharsToCopy;
  if (used + 1 >= destSize) return dest;
  if (used + take + 1 > destSize) take = destSize - used - 1;
  memcpy(dest + used, src, take);
  dest[used + take] = '\0';
  return dest;
}

// Bounded formatting with msvcrt's _vsnprintf. Always terminates when maxLen > 0; returns
// the length written, or -1 when the text did not fit (terminator included) and was cut.
Q_EXPORT int __cdecl Q_vsnprintf(char* dest, int maxLen, const char* format, va_list args) {
  if (maxLen <= 0) return -1;
  int n = _vsnprintf(dest, maxLen, format, args);
  if (n < 0 || n >= maxLen) {
    dest[maxLen - 1] = '\0';
    return -1;
  }
  return n;
}

Q_EXPORT int __cdecl Q_snprintf(char* dest, int maxLen, const char* format, ...) {
  va_list args;
  va_start(args, format);
  int n = Q_vsnprintf(dest, maxLen, format, args);
  va_end(args);
  return n;
}

Q_EXPORT int __cdecl Q_atoi(const char* text) { return text ? atoi(text) : 0; }
Q_EXPORT float __cdecl Q_atof(const char* text) { return text ? static_cast<float>(atof(text)) : 0.0f; }

Q_EXPORT void __cdecl Q_binarytohex(const unsigned char* in, int inputBytes, char* out, int outSize) {
  static const char kDigits[] = "0123456789abcdef";
  int o = 0;
  for (int i = 0; i < inputBytes && o + 2 < outSize; ++i) {
    out[o++] = kDigits[in[i] >> 4];
    out[o++] = kDigits[in[i] & 15];
  }
  if (outSize > 0) out[o] = '\0';
}

Q_EXPORT void __cdecl Q_hextobinary(const char* in, int numChars, unsigned char* out, int maxOutputBytes) {
  auto nibble = [](char c) {
    return isdigit(static_cast<unsigned char>(c)) ? c - '0' : (tolower(static_cast<unsigned char>(c)) - 'a' + 10) & 15;
  };
  for (int i = 0; i + 1 < numChars && i / 2 < maxOutputBytes && in[i] && in[i + 1]; i += 2)
    out[i / 2] = static_cast<unsigned char>((nibble(in[i]) << 4) | nibble(in[i + 1]));
}

// Rotating static buffers, as the engine's "pretty" printers return.
static char* NextBuffer() {
  static char buffers[4][64];
  static int next = 0;
  next = (next + 1) % 4;
  return buffers[next];
}

Q_EXPORT char* __cdecl Q_pretifymem(float value, int digitsAfterDecimal, bool useBinaryOneK) {
  double k = useBinaryOneK ? 1024.0 : 1000.0;
  const char* unit = "bytes";
  double v = value;
  if (v > k * k) {
    v /= k * k;
    unit = "MB";
  } else if (v > k) {
    v /= k;
    unit = "KB";
  }
  char* out = NextBuffer();
  _snprintf(out, 63, "%.*f %s", digitsAfterDecimal < 0 ? 0 : digitsAfterDecimal, v, unit);
  out[63] = '\0';
  return out;
}

Q_EXPORT char* __cdecl Q_pretifynum(long long value) {
  char digits[32];
  _snprintf(digits, sizeof digits - 1, "%I64d", value < 0 ? -value : value);
  digits[sizeof digits - 1] = '\0';
  char* out = NextBuffer();
  int o = 0;
  if (value < 0) out[o++] = '-';
  int length = static_cast<int>(strlen(digits));
  for (int i = 0; i < length; ++i) {
    if (i > 0 && (length - i) % 3 == 0) out[o++] = ',';
    out[o++] = digits[i];
  }
  out[o] = '\0';
  return out;
}

// Left, right and middle parts of a text, bounded and terminated.
Q_EXPORT void __cdecl Q_StrSlice(const char* text, int first, int lastNonInclusive, char* dest, int destSize) {
  int length = static_cast<int>(strlen(text));
  if (first < 0) first = length + first;
  if (lastNonInclusive < 0) lastNonInclusive = length + lastNonInclusive;
  if (first < 0) first = 0;
  if (lastNonInclusive > length) lastNonInclusive = length;
  if (destSize <= 0) return;
  int take = lastNonInclusive - first;
  if (take < 0) take = 0;
  if (take > destSize - 1) take = destSize - 1;
  memcpy(dest, text + first, take);
  dest[take] = '\0';
}
Q_EXPORT void __cdecl Q_StrLeft(const char* text, int nChars, char* dest, int destSize) {
  Q_StrSlice(text, 0, nChars, dest, destSize);
}
Q_EXPORT void __cdecl Q_StrRight(const char* text, int nChars, char* dest, int destSize) {
  int length = static_cast<int>(strlen(text));
  Q_StrSlice(text, nChars > length ? 0 : length - nChars, length, dest, destSize);
}

// Replaces every occurrence of match; false when the result did not fit.
Q_EXPORT bool __cdecl Q_StrSubst(const char* in, const char* match, const char* replacement, char* out,
                                 int outLen, bool caseSensitive) {
  if (outLen <= 0) return false;
  size_t matchLength = strlen(match);
  int o = 0;
  bool fits = true;
  for (const char* p = in; *p;) {
    bool hit = matchLength > 0 && (caseSensitive ? strncmp(p, match, matchLength) == 0
                                                 : CompareNoCase(p, match, static_cast<int>(matchLength)) == 0);
    const char* piece = hit ? replacement : p;
    size_t pieceLength = hit ? strlen(replacement) : 1;
    for (size_t i = 0; i < pieceLength; ++i) {
      if (o >= outLen - 1) {
        fits = false;
        break;
      }
      out[o++] = piece[i];
    }
    p += hit ? matchLength : 1;
  }
  out[o] = '\0';
  return fits;
}

// The engine splits into a CUtlVector; nothing of that type exists in the world, and the
// plug-in never calls these, so they only leave a trace.
Q_EXPORT void __cdecl Q_SplitString(const char*, const char*, void*) {
  world_fake::Journal("unexpected vstdlib Q_SplitString");
}
Q_EXPORT void __cdecl Q_SplitString2(const char*, const char**, int, void*) {
  world_fake::Journal("unexpected vstdlib Q_SplitString2");
}
