// The walker's hold on dbghelp: the library, the functions the walk uses and the symbol
// handler of the current process, ended and released with this object.
#pragma once

#include <windows.h>

#include "crash/dbghelp_api.h"
#include "crash/scoped.h"

class DbgHelpBinding {
 public:
  DbgHelpBinding() = default;
  ~DbgHelpBinding();
  DbgHelpBinding(const DbgHelpBinding&) = delete;
  DbgHelpBinding& operator=(const DbgHelpBinding&) = delete;

  // Finds and loads dbghelp, resolves its functions and starts the symbol handler with
  // searchPath, keeping the options it finds and adding lines. False without a usable
  // dbghelp.
  bool Bind(const char* searchPath);

  SymCleanupFn SymCleanup = nullptr;
  SymFunctionTableAccess64Fn SymFunctionTableAccess64 = nullptr;
  SymGetLineFromAddr64Fn SymGetLineFromAddr64 = nullptr;  // optional
  SymGetModuleBase64Fn SymGetModuleBase64 = nullptr;
  SymGetOptionsFn SymGetOptions = nullptr;
  SymGetSymFromAddr64Fn SymGetSymFromAddr64 = nullptr;
  SymInitializeFn SymInitialize = nullptr;
  SymLoadModule64Fn SymLoadModule64 = nullptr;
  SymSetOptionsFn SymSetOptions = nullptr;
  StackWalk64Fn StackWalk64 = nullptr;

 private:
  bool ResolveFunctions();

  ScopedLibrary library_{nullptr};
  bool started_ = false;  // SymInitialize was called: SymCleanup is owed
};
