// The calling thread's call stack through dbghelp, bound at run time: the frames that
// carry source information, from the symbol handler or, for the plug-in's own frames
// where it has none, from the plug-in's DWARF in memory.
#pragma once

#include <windows.h>

#include <cstdint>

#include "crash/dbghelp_binding.h"
#include "crash/own_debug_info.h"
#include "crash/stacktrace_entry.h"

class StackWalker {
 public:
  // skip: frames to leave out beyond the walk routine and its caller (call_stack's
  // constructor); the frames go into `frames`.
  StackWalker(int32_t skip, stacktrace::frame_list& frames)
      : frames_(frames), discardCount_(skip + 2) {}
  StackWalker(const StackWalker&) = delete;
  StackWalker& operator=(const StackWalker&) = delete;

  // Walks the calling thread from this routine outward into the frames, up to the first
  // frame without source information. False without a usable dbghelp (no frame).
  __attribute__((noinline)) bool WalkCallingThread();

 private:
  bool PrepareSymbols();
  bool LoadModulesWithToolhelp();
  bool LoadModulesWithPsapi();
  void Place(StackFrameInfo& frame, IMAGEHLP_SYMBOL64& symbol);

  stacktrace::frame_list& frames_;
  DbgHelpBinding dbghelp_;
  OwnDebugInfo ownDebugInfo_;
  int32_t discardCount_;
};
