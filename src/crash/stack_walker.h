// A general call-stack walker over dbghelp, bound at run time. It loads the symbols of
// every module of a process, walks one thread's stack and reports everything through
// virtual handlers whose base behaviour writes text lines for the debugger.
#pragma once

#include <windows.h>

#include <cstdint>

#include "crash/dbghelp_api.h"
#include "crash/stack_frame_info.h"

class DbgHelpBinding;

class StackWalker {
 public:
  enum Option : uint32_t {
    WantFileVersion = 8,   // read each module's file version as its symbols are loaded
    BuildSymbolPath = 16,  // compose a search path instead of dbghelp's default
    UseSymbolServer = 32,  // end the composed path with a symbol-server entry
  };

  // The platform's read-memory routine plus the datum given to WalkStack.
  using ReadMemoryCallback = BOOL(__stdcall*)(HANDLE process, DWORD64 address, PVOID buffer,
                                              DWORD size, DWORD* bytesRead, LPVOID userData);

  // symbolPath may be null; a given one is copied and implies BuildSymbolPath.
  StackWalker(uint32_t options, const char* symbolPath, DWORD processId, HANDLE process);
  virtual ~StackWalker();
  StackWalker(const StackWalker&) = delete;
  StackWalker& operator=(const StackWalker&) = delete;

  // Binds dbghelp and loads the symbols of all modules; once per walker.
  BOOL PrepareSymbols();
  // Walks the thread's stack. For the calling thread pass GetCurrentThread() (the
  // pseudo-handle): any other handle is taken for another thread and suspended.
  // context may be null (the thread's current state is used).
  __attribute__((noinline)) BOOL WalkStack(HANDLE thread, const CONTEXT* context,
                                           ReadMemoryCallback read, LPVOID userData);

 protected:
  virtual void OnSymbolsReady(const char* searchPath, DWORD symOptions, const char* userName);
  virtual void OnModuleLoaded(const char* imagePath, const char* moduleName, DWORD64 base,
                              DWORD size, DWORD result, const char* symbolKind,
                              const char* symbolFile, ULONGLONG fileVersion);
  virtual void OnStackEntry(EntryKind kind, StackFrameInfo& frame);
  virtual void OnWalkError(const char* operation, DWORD error, DWORD64 address);
  virtual void OnTextLine(const char* text);

 private:
  friend class DbgHelpBinding;

  bool LoadModulesWithToolhelp();
  bool LoadModulesWithPsapi();
  DWORD LoadModule(const char* imagePath, const char* moduleName, DWORD64 base, DWORD size);
  void FillFrame(StackFrameInfo& frame, IMAGEHLP_SYMBOL64& symbol, IMAGEHLP_LINE64& line,
                 ModuleRecordV3& module);

  DbgHelpBinding* binding_;
  HANDLE process_;
  DWORD processId_;
  BOOL modulesLoaded_ = FALSE;
  char* userSymbolPath_ = nullptr;
  uint32_t options_;

 protected:
  int32_t endlessFrameLimit_ = 1000;  // frames in a row that return to themselves
};
