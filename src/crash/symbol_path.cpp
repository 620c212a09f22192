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

// "srv*...", "symsrv*...", "cache*..." and URLs make dbghelp download symbols; no plain
// folder name holds a '*' or "://".
bool IsPlainFolder(const char* element, size_t length) {
  for (size_t i = 0; i < length; ++i)
    if (element[i] == '*' || (element[i] == ':' && length - i >= 3 && element[i + 1] == '/' &&
                              element[i + 2] == '/'))
      return false;
  return true;
}

// The plain folders of a ';'-separated list, each followed by ';'. The report runs at
// exit under the loader lock: a symbol server there would mean downloads, and waits.
void AppendPlainFolders(char* out, size_t capacity, const char* list) {
  for (const char* element = list; *element;) {
    const char* end = std::strchr(element, ';');
    const size_t length = end ? static_cast<size_t>(end - element) : std::strlen(element);
    if (length > 0 && IsPlainFolder(element, length)) {
      char folder[1024];
      BoundedCopy(folder, length + 1 < sizeof folder ? length + 1 : sizeof folder, element);
      AppendPiece(out, capacity, folder);
    }
    element += end ? length + 1 : length;
  }
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
  if (s.ntSymbolPath) AppendPlainFolders(out, capacity, s.ntSymbolPath);
  if (s.ntAlternatePath) AppendPlainFolders(out, capacity, s.ntAlternatePath);
  if (s.systemRoot) {
    AppendPiece(out, capacity, s.systemRoot);
    BoundedAppend(out, capacity, s.systemRoot);
    AppendPiece(out, capacity, "\\system32");
  }
}
