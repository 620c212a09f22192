// The engine string library's exports, in binding order. Each row:
//   X(name, result type, (parameters), (arguments), result when the entry is empty)
// VOID rows have no result and do nothing when the entry is empty. Rows whose empty
// behaviour is special (a runtime fallback) are CUSTOM and written out by hand.
#pragma once

#define VSTDLIB_EXPORTS(X, VOID, CUSTOM)                                                          \
  VOID(Q_AppendSlash, (char* str, int size), (str, size))                                         \
  VOID(Q_ComposeFileName, (const char* path, const char* file, char* dest, int size),           \
       (path, file, dest, size))                                                                  \
  VOID(Q_DefaultExtension, (char* path, const char* ext, int size), (path, ext, size))          \
  VOID(Q_ExtractFileExtension, (const char* path, char* dest, int size), (path, dest, size))    \
  X(Q_ExtractFilePath, bool, (const char* path, char* dest, int size), (path, dest, size), false) \
  VOID(Q_FileBase, (const char* in, char* out, int size), (in, out, size))                      \
  VOID(Q_FixSlashes, (char* path, char separator), (path, separator))                           \
  X(Q_GetFileExtension, const char*, (const char* path), (path), nullptr)                       \
  X(Q_IsAbsolutePath, bool, (const char* path), (path), false)                                   \
  VOID(Q_MakeAbsolutePath, (char* out, int size, const char* path, const char* startDir),       \
       (out, size, path, startDir))                                                               \
  X(Q_RemoveDotSlashes, bool, (char* path, char separator), (path, separator), false)           \
  VOID(Q_SetExtension, (char* path, const char* ext, int size), (path, ext, size))              \
  VOID(Q_SplitString, (const char* text, const char* separator, void* out),                     \
       (text, separator, out))                                                                    \
  VOID(Q_SplitString2, (const char* text, const char** separators, int count, void* out),       \
       (text, separators, count, out))                                                            \
  VOID(Q_StrLeft, (const char* text, int count, char* out, int size), (text, count, out, size)) \
  VOID(Q_StrRight, (const char* text, int count, char* out, int size), (text, count, out, size))\
  VOID(Q_StrSlice, (const char* text, int first, int last, char* out, int size),                \
       (text, first, last, out, size))                                                            \
  X(Q_StrSubst, bool,                                                                             \
    (const char* in, const char* match, const char* with, char* out, int size, bool exact),    \
    (in, match, with, out, size, exact), false)                                                   \
  VOID(Q_StripExtension, (const char* in, char* out, int size), (in, out, size))                \
  VOID(Q_StripFilename, (char* path), (path))                                                   \
  X(Q_StripLastDir, bool, (char* dir, int size), (dir, size), false)                            \
  VOID(Q_StripTrailingSlash, (char* path), (path))                                              \
  X(Q_UTF8ToUnicode, int, (const char* utf8, wchar_t* dest, int destBytes),                    \
    (utf8, dest, destBytes), 0)                                                                   \
  X(Q_UnicodeToUTF8, int, (const wchar_t* text, char* dest, int destBytes),                    \
    (text, dest, destBytes), 0)                                                                   \
  X(Q_UnqualifiedFileName, const char*, (const char* path), (path), nullptr)                    \
  X(Q_atof, float, (const char* text), (text), 0.0f)                                            \
  X(Q_atoi, int, (const char* text), (text), 0)                                                 \
  VOID(Q_binarytohex, (const unsigned char* in, int count, char* out, int size),                \
       (in, count, out, size))                                                                    \
  VOID(Q_hextobinary, (const char* in, int count, unsigned char* out, int size),                \
       (in, count, out, size))                                                                    \
  X(Q_pretifymem, char*, (float value, int digits, bool binaryK), (value, digits, binaryK),     \
    nullptr)                                                                                      \
  X(Q_pretifynum, char*, (long long value), (value), nullptr)                                   \
  CUSTOM(Q_snprintf)                                                                              \
  X(Q_strcasecmp, int, (const char* a, const char* b), (a, b), 0)                               \
  CUSTOM(Q_strcat)                                                                                \
  CUSTOM(Q_stristr)                                                                               \
  X(Q_strncasecmp, int, (const char* a, const char* b, int n), (a, b, n), 0)                    \
  X(Q_strncat, char*, (char* dest, const char* src, int size, int count),                      \
    (dest, src, size, count), nullptr)                                                            \
  X(Q_strnchr, char*, (const char* text, char c, int n), (text, c, n), nullptr)                 \
  X(Q_strncmp, int, (const char* a, const char* b, int n), (a, b, n), 0)                        \
  VOID(Q_strncpy, (char* dest, const char* src, int maxLen), (dest, src, maxLen))               \
  X(Q_strnicmp, int, (const char* a, const char* b, int n), (a, b, n), 0)                       \
  X(Q_strnistr, const char*, (const char* text, const char* find, int n), (text, find, n),      \
    nullptr)                                                                                      \
  VOID(Q_strtowcs, (const char* text, int inSize, wchar_t* out, int outSize),                   \
       (text, inSize, out, outSize))                                                              \
  CUSTOM(Q_vsnprintf)                                                                             \
  VOID(Q_wcsncpy, (wchar_t* dest, const wchar_t* src, int maxBytes), (dest, src, maxBytes))     \
  VOID(Q_wcstostr, (const wchar_t* text, int inSize, char* out, int outSize),                   \
       (text, inSize, out, outSize))
