// The walker's hold on dbghelp: the library, its 13 functions and the symbol handler
// of one process.
#pragma once

#include <windows.h>

#include "crash/dbghelp_api.h"

class StackWalker;

class DbgHelpBinding {
 public:
  DbgHelpBinding(StackWalker* owner, HANDLE process) : owner_(owner), process_(process) {}
  // Ends the symbol handler and releases dbghelp.
  ~DbgHelpBinding();
  DbgHelpBinding(const DbgHelpBinding&) = delete;
  DbgHelpBinding& operator=(const DbgHelpBinding&) = delete;

  // Finds and loads dbghelp, resolves its functions and initialises the symbol handler
  // with searchPath (null: dbghelp's default). False when there is no usable dbghelp.
  bool Bind(const char* searchPath);

  // Reads the module record for an address: the 1672-byte layout while dbghelp accepts
  // it, the 584-byte one after the first refusal. record must hold 1672 bytes.
  bool ReadModuleRecord(DWORD64 address, ModuleRecordV3* record);

  HMODULE module = nullptr;
  SymCleanupFn SymCleanup = nullptr;
  SymFunctionTableAccess64Fn SymFunctionTableAccess64 = nullptr;
  SymGetLineFromAddr64Fn SymGetLineFromAddr64 = nullptr;  // optional
  SymGetModuleBase64Fn SymGetModuleBase64 = nullptr;
  SymGetModuleInfo64Fn SymGetModuleInfo64 = nullptr;
  SymGetOptionsFn SymGetOptions = nullptr;
  SymGetSymFromAddr64Fn SymGetSymFromAddr64 = nullptr;
  SymInitializeFn SymInitialize = nullptr;
  SymLoadModule64Fn SymLoadModule64 = nullptr;
  SymSetOptionsFn SymSetOptions = nullptr;
  StackWalk64Fn StackWalk64 = nullptr;
  UnDecorateSymbolNameFn UnDecorateSymbolName = nullptr;
  SymGetSearchPathFn SymGetSearchPath = nullptr;  // optional

 private:
  HMODULE LoadLibraryInSearchOrder();
  bool ResolveFunctions();

  StackWalker* owner_;
  HANDLE process_;
  char* searchPath_ = nullptr;
};
