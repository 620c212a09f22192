// vstdlib's path functions. Windows paths: "\" and "/" both separate.
#include <windows.h>

#include <cstring>
#include <string>

#include "vstdlib_internal.h"

using namespace vstdlib_world;

Q_EXPORT void __cdecl Q_FixSlashes(char* name, char separator) {
  for (char* p = name; *p; ++p)
    if (IsSlash(*p)) *p = separator;
}

Q_EXPORT void __cdecl Q_AppendSlash(char* text, int size) {
  int length = static_cast<int>(strlen(text));
  if (length > 0 && !IsSlash(text[length - 1]) && length + 1 < size) {
    text[length] = '\\';
    text[length + 1] = '\0';
  }
}

Q_EXPORT void __cdecl Q_StripTrailingSlash(char* path) {
  size_t length = strlen(path);
  if (length > 0 && IsSlash(path[length - 1])) path[length - 1] = '\0';
}

Q_EXPORT bool __cdecl Q_IsAbsolutePath(const char* path) {
  return path && (IsSlash(path[0]) || (path[0] && path[1] == ':'));
}

Q_EXPORT const char* __cdecl Q_UnqualifiedFileName(const char* in) {
  const char* name = in;
  for (const char* p = in; *p; ++p)
    if (IsSlash(*p) || *p == ':') name = p + 1;
  return name;
}

// The extension of the last path component, without its dot; null when there is none.
Q_EXPORT const char* __cdecl Q_GetFileExtension(const char* path) {
  const char* dot = strrchr(Q_UnqualifiedFileName(path), '.');
  return dot ? dot + 1 : nullptr;
}

Q_EXPORT void __cdecl Q_ExtractFileExtension(const char* path, char* dest, int destSize) {
  const char* extension = Q_GetFileExtension(path);
  CopyBounded(dest, extension ? extension : "", destSize);
}

// The directory part of a path, its last separator included; false when there is none.
Q_EXPORT bool __cdecl Q_ExtractFilePath(const char* path, char* dest, int destSize) {
  if (destSize < 1) return false;
  int length = static_cast<int>(Q_UnqualifiedFileName(path) - path);
  if (length > destSize - 1) length = destSize - 1;
  memcpy(dest, path, length);
  dest[length] = '\0';
  return length != 0;
}

Q_EXPORT void __cdecl Q_StripExtension(const char* in, char* out, int outLen) {
  if (outLen <= 0) return;
  const char* extension = Q_GetFileExtension(in);
  int length = extension ? static_cast<int>(extension - 1 - in) : static_cast<int>(strlen(in));
  if (length > outLen - 1) length = outLen - 1;
  memmove(out, in, length);
  out[length] = '\0';
}

Q_EXPORT void __cdecl Q_FileBase(const char* in, char* out, int maxLen) {
  Q_StripExtension(Q_UnqualifiedFileName(in), out, maxLen);
}

Q_EXPORT void __cdecl Q_StripFilename(char* path) {
  char* name = const_cast<char*>(Q_UnqualifiedFileName(path));
  if (name > path && IsSlash(name[-1])) --name;
  *name = '\0';
}

// Removes the last directory of a path ("a\b\" -> "a\"); false when there is none left.
Q_EXPORT bool __cdecl Q_StripLastDir(char* dirName, int /*maxLen*/) {
  if (!dirName[0] || strcmp(dirName, ".\\") == 0 || strcmp(dirName, "./") == 0) return false;
  Q_StripTrailingSlash(dirName);
  char* name = const_cast<char*>(Q_UnqualifiedFileName(dirName));
  if (name == dirName) {
    strcpy(dirName, ".\\");
    return true;
  }
  *name = '\0';
  return true;
}

Q_EXPORT void __cdecl Q_SetExtension(char* path, const char* extension, int pathStringLength) {
  char stripped[MAX_PATH];
  Q_StripExtension(path, stripped, sizeof stripped);
  std::string result = stripped;
  if (extension[0] && extension[0] != '.') result += '.';
  result += extension;
  CopyBounded(path, result.c_str(), pathStringLength);
}

Q_EXPORT void __cdecl Q_DefaultExtension(char* path, const char* extension, int pathStringLength) {
  if (!Q_GetFileExtension(path)) Q_SetExtension(path, extension, pathStringLength);
}

Q_EXPORT void __cdecl Q_ComposeFileName(const char* path, const char* fileName, char* dest, int destSize) {
  std::string result = path;
  if (!result.empty() && !IsSlash(result.back())) result += '\\';
  result += fileName;
  CopyBounded(dest, result.c_str(), destSize);
  Q_FixSlashes(dest, '\\');
}

// Drops "." components and folds "dir\.." pairs; always succeeds here.
Q_EXPORT bool __cdecl Q_RemoveDotSlashes(char* fileName) {
  std::string in = fileName, out;
  size_t start = 0;
  while (start <= in.size()) {
    size_t end = in.find_first_of("\\/", start);
    if (end == std::string::npos) end = in.size();
    std::string part = in.substr(start, end - start);
    bool last = end == in.size();
    if (part == "." && !out.empty()) {
      // skip
    } else if (part == ".." && !out.empty()) {
      size_t cut = out.find_last_of('\\', out.size() - 2);
      out = cut == std::string::npos ? std::string() : out.substr(0, cut + 1);
    } else {
      out += part;
      if (!last) out += '\\';
    }
    start = end + 1;
  }
  strcpy(fileName, out.c_str());  // never longer than the input
  return true;
}

#ifndef VSTDLIB_PARTIAL
// A relative path made absolute against startingDir, or the current directory when null.
Q_EXPORT void __cdecl Q_MakeAbsolutePath(char* out, int outLen, const char* path, const char* startingDir) {
  std::string result;
  if (Q_IsAbsolutePath(path)) {
    result = path;
  } else {
    char current[MAX_PATH] = "";
    if (!startingDir) GetCurrentDirectoryA(sizeof current, current);
    result = startingDir ? startingDir : current;
    if (!result.empty() && !IsSlash(result.back())) result += '\\';
    result += path;
  }
  CopyBounded(out, result.c_str(), outLen);
  Q_FixSlashes(out, '\\');
  Q_RemoveDotSlashes(out);
}
#endif
