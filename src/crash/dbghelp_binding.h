// The walker's hold on dbghelp: the library, the functions the walk uses and a symbol
// handler session of its own, ended and released with this object. Other components of
// the game use dbghelp in this process too (tier0, the engine): the session runs on a
// duplicate of the process handle, never on GetCurrentProcess()'s, so starting and
// ending it leaves theirs alone.
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
  // searchPath, keeping the options it finds and adding lines and deferred loads (put
  // back when this object goes). False without a usable dbghelp or process handle.
  bool Bind(const char* searchPath);

  // The process handle every call of the session takes.
  HANDLE process() const { return process_; }

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
  HANDLE process_ = nullptr;  // our duplicate of the process handle
  bool started_ = false;      // SymInitialize succeeded: SymCleanup is owed
  bool optionsSet_ = false;   // the options found are in foundOptions_
  DWORD foundOptions_ = 0;
};
