// The calling thread's call stack through dbghelp, bound at run time: the frames that
// carry source information, from the symbol handler or, for the plug-in's own frames
// where it has none, from the plug-in's DWARF in memory.
#pragma once

#include <windows.h>

#include <cstdint>
#include <vector>

#include "crash/dbghelp_binding.h"
#include "crash/own_debug_info.h"
#include "crash/stacktrace_entry.h"

class StackWalker {
 public:
  // skip: frames to leave out beyond the walk routine and its caller (call_stack's
  // constructor).
  explicit StackWalker(int32_t skip) : discardCount_(skip + 2) {}
  StackWalker(const StackWalker&) = delete;
  StackWalker& operator=(const StackWalker&) = delete;

  // Walks the calling thread from this routine outward into `stack`, up to the first
  // frame without source information. False without a usable dbghelp (stack empty).
  __attribute__((noinline)) bool WalkCallingThread();

  std::vector<stacktrace::entry> stack;

 private:
  bool PrepareSymbols();
  bool LoadModulesWithToolhelp();
  bool LoadModulesWithPsapi();
  void Place(StackFrameInfo& frame, IMAGEHLP_SYMBOL64& symbol);

  DbgHelpBinding dbghelp_;
  OwnDebugInfo ownDebugInfo_;
  int32_t discardCount_;
};
