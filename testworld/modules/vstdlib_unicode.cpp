// vstdlib's conversions between UTF-8 and UTF-16 (wchar_t is 16 bits on Windows).
#include <windows.h>

#include <cstring>
#include <vector>

#include "vstdlib_internal.h"

using namespace vstdlib_world;

namespace {

// Encodes one code point; returns its byte count.
int EncodeUtf8(unsigned codePoint, char* out) {
  if (codePoint < 0x80) {
    out[0] = static_cast<char>(codePoint);
    return 1;
  }
  if (codePoint < 0x800) {
    out[0] = static_cast<char>(0xC0 | (codePoint >> 6));
    out[1] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 2;
  }
  if (codePoint < 0x10000) {
    out[0] = static_cast<char>(0xE0 | (codePoint >> 12));
    out[1] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
    out[2] = static_cast<char>(0x80 | (codePoint & 0x3F));
    return 3;
  }
  out[0] = static_cast<char>(0xF0 | (codePoint >> 18));
  out[1] = static_cast<char>(0x80 | ((codePoint >> 12) & 0x3F));
  out[2] = static_cast<char>(0x80 | ((codePoint >> 6) & 0x3F));
  out[3] = static_cast<char>(0x80 | (codePoint & 0x3F));
  return 4;
}

// UTF-16 (inChars < 0: up to the terminator) to UTF-8 within destBytes, whole characters
// only, always terminated; returns the bytes written with the terminator.
int WideToUtf8(const wchar_t* in, int inChars, char* dest, int destBytes) {
  if (!dest || destBytes <= 0) return 0;
  int o = 0;
  for (int i = 0; in && (inChars < 0 || i < inChars) && in[i]; ++i) {
    unsigned c = static_cast<unsigned short>(in[i]);
    if (c >= 0xD800 && c < 0xDC00 && in[i + 1] >= 0xDC00 && in[i + 1] < 0xE000) {
      c = 0x10000 + ((c - 0xD800) << 10) + (static_cast<unsigned short>(in[i + 1]) - 0xDC00);
      ++i;
    }
    char bytes[4];
    int n = EncodeUtf8(c, bytes);
    if (o + n > destBytes - 1) break;
    memcpy(dest + o, bytes, n);
    o += n;
  }
  dest[o] = '\0';
  return o + 1;
}

// UTF-8 to UTF-16 within destBytes, always terminated; returns the bytes written.
int Utf8ToWide(const char* in, int inBytes, wchar_t* dest, int destBytes) {
  int capacity = destBytes / static_cast<int>(sizeof(wchar_t));
  if (!dest || capacity <= 0) return 0;
  int needed = MultiByteToWideChar(CP_UTF8, 0, in, inBytes, nullptr, 0);
  std::vector<wchar_t> wide(needed + 1, L'\0');
  MultiByteToWideChar(CP_UTF8, 0, in, inBytes, wide.data(), needed);
  int chars = static_cast<int>(wcslen(wide.data()));
  if (chars > capacity - 1) chars = capacity - 1;
  memcpy(dest, wide.data(), chars * sizeof(wchar_t));
  dest[chars] = L'\0';
  return (chars + 1) * static_cast<int>(sizeof(wchar_t));
}

}  // namespace

#ifndef VSTDLIB_PARTIAL
Q_EXPORT int __cdecl Q_UnicodeToUTF8(const wchar_t* unicode, char* utf8, int destBytes) {
  return WideToUtf8(unicode, -1, utf8, destBytes);
}
#endif

Q_EXPORT int __cdecl Q_UTF8ToUnicode(const char* utf8, wchar_t* dest, int destBytes) {
  return Utf8ToWide(utf8, -1, dest, destBytes);
}

Q_EXPORT int __cdecl Q_strtowcs(const char* in, int inSize, wchar_t* out, int outBytes) {
  return Utf8ToWide(in, inSize, out, outBytes);
}

Q_EXPORT int __cdecl Q_wcstostr(const wchar_t* in, int inSize, char* out, int outSize) {
  return WideToUtf8(in, inSize, out, outSize);
}

Q_EXPORT void __cdecl Q_wcsncpy(wchar_t* dest, const wchar_t* src, int maxLenInBytes) {
  int capacity = maxLenInBytes / static_cast<int>(sizeof(wchar_t));
  if (capacity <= 0) return;
  int i = 0;
  for (; src[i] && i < capacity - 1; ++i) dest[i] = src[i];
  dest[i] = L'\0';
}
