// The symbol search path the walker hands to dbghelp, composed from values the caller
// has already read from the system. No windows.h.
#pragma once

#include <cstddef>

// Each piece is null when it could not be read; such a piece is left out.
struct SymbolPathSources {
  const char* currentDirectory;
  const char* executablePath;    // full path of the process's executable
  const char* ntSymbolPath;      // "_NT_SYMBOL_PATH"
  const char* ntAlternatePath;   // "_NT_ALTERNATE_SYMBOL_PATH"
  const char* systemRoot;        // "SYSTEMROOT"
};

constexpr size_t kSymbolPathCapacity = 4096;

// The directory part of a path: everything before its last '\\', '/' or ':'. A path
// without any of them is returned whole.
void DirectoryOf(const char* path, char* out, size_t capacity);

// Writes the ';'-separated search path into out (cut to capacity, always terminated).
// Of the two symbol path variables only the plain folders are taken: no symbol server,
// no symbol cache, no address.
void ComposeSymbolPath(const SymbolPathSources& sources, char* out, size_t capacity);
