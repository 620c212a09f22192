// The walker's base reports: text lines for the debugger. Subclasses that only collect
// frames replace all of them.
#include <cstdio>

#include "crash/stack_walker.h"

namespace {

// Every line is cut to what fits the buffer; snprintf terminates it.
template <typename... Args>
void FormatLine(char (&line)[1024], const char* format, Args... args) {
  std::snprintf(line, sizeof line, format, args...);
}

void* AsPointer(DWORD64 address) {
  return reinterpret_cast<void*>(static_cast<uintptr_t>(address));
}

}  // namespace

void StackWalker::OnSymbolsReady(const char* searchPath, DWORD symOptions, const char* userName) {
  char line[1024];
  FormatLine(line, "SymInit: Symbol-SearchPath: '%s', symOptions: %d, UserName: '%s'\n",
             searchPath, static_cast<int>(symOptions), userName);
  OnTextLine(line);
  OSVERSIONINFOEXA version{};
  version.dwOSVersionInfoSize = sizeof version;
  if (GetVersionExA(reinterpret_cast<OSVERSIONINFOA*>(&version))) {
    FormatLine(line, "OS-Version: %d.%d.%d (%s) 0x%x-0x%x\n",
               static_cast<int>(version.dwMajorVersion), static_cast<int>(version.dwMinorVersion),
               static_cast<int>(version.dwBuildNumber), version.szCSDVersion,
               static_cast<unsigned>(version.wSuiteMask), static_cast<unsigned>(version.wProductType));
    OnTextLine(line);
  }
}

void StackWalker::OnModuleLoaded(const char* imagePath, const char* moduleName, DWORD64 base,
                                 DWORD size, DWORD result, const char* symbolKind,
                                 const char* symbolFile, ULONGLONG fileVersion) {
  char line[1024];
  if (fileVersion) {
    FormatLine(line,
               "%s:%s (%p), size: %d (result: %d), SymType: '%s', PDB: '%s', fileVersion: "
               "%d.%d.%d.%d\n",
               imagePath, moduleName, AsPointer(base), static_cast<int>(size),
               static_cast<int>(result), symbolKind, symbolFile,
               static_cast<int>((fileVersion >> 48) & 0xFFFF),
               static_cast<int>((fileVersion >> 32) & 0xFFFF),
               static_cast<int>((fileVersion >> 16) & 0xFFFF), static_cast<int>(fileVersion & 0xFFFF));
  } else {
    FormatLine(line, "%s:%s (%p), size: %d (result: %d), SymType: '%s', PDB: '%s'\n", imagePath,
               moduleName, AsPointer(base), static_cast<int>(size), static_cast<int>(result),
               symbolKind, symbolFile);
  }
  OnTextLine(line);
}

void StackWalker::OnStackEntry(EntryKind kind, StackFrameInfo& frame) {
  if (kind == kLastEntry || frame.address == 0) return;
  const char* name = frame.undecoratedFullName[0] ? frame.undecoratedFullName
                     : frame.undecoratedName[0]   ? frame.undecoratedName
                     : frame.name[0]              ? frame.name
                                                  : "(function-name not available)";
  char line[1024];
  if (frame.sourceFile[0]) {
    FormatLine(line, "%s (%d): %s\n", frame.sourceFile, static_cast<int>(frame.lineNumber), name);
  } else {
    const char* module = frame.moduleName[0] ? frame.moduleName : "(module-name not available)";
    FormatLine(line, "%p (%s): %s: %s\n", AsPointer(frame.address), module,
               "(filename not available)", name);
  }
  OnTextLine(line);
}

void StackWalker::OnWalkError(const char* operation, DWORD error, DWORD64 address) {
  char line[1024];
  FormatLine(line, "ERROR: %s, GetLastError: %d (Address: %p)\n", operation,
             static_cast<int>(error), AsPointer(address));
  OnTextLine(line);
}

void StackWalker::OnTextLine(const char* text) { OutputDebugStringA(text); }
