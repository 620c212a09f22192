#include "crash/symbol_path.h"

#include <cstring>

#include "crash/bounded_copy.h"

void DirectoryOf(const char* path, char* out, size_t capacity) {
  BoundedCopy(out, capacity, path);
  if (capacity == 0) return;
  for (char* end = out + std::strlen(out); end > out;) {
    --end;
    if (*end == '\\' || *end == '/' || *end == ':') {
      *end = '\0';
      return;
    }
  }
}

namespace {

void AppendPiece(char* out, size_t capacity, const char* piece) {
  BoundedAppend(out, capacity, piece);
  BoundedAppend(out, capacity, ";");
}

}  // namespace

void ComposeSymbolPath(const SymbolPathSources& s, char* out, size_t capacity) {
  if (capacity == 0) return;
  out[0] = '\0';
  BoundedAppend(out, capacity, ".;");
  if (s.currentDirectory) AppendPiece(out, capacity, s.currentDirectory);
  if (s.executablePath) {
    char directory[1024];
    DirectoryOf(s.executablePath, directory, sizeof directory);
    if (directory[0]) AppendPiece(out, capacity, directory);
  }
  if (s.ntSymbolPath) AppendPiece(out, capacity, s.ntSymbolPath);
  if (s.ntAlternatePath) AppendPiece(out, capacity, s.ntAlternatePath);
  if (s.systemRoot) {
    AppendPiece(out, capacity, s.systemRoot);
    BoundedAppend(out, capacity, s.systemRoot);
    AppendPiece(out, capacity, "\\system32");
  }
}
