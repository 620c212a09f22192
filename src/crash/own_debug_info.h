// The plug-in's own DWARF, read from its image in memory: the source position of a frame
// inside the plug-in where the symbol handler has none (Windows' dbghelp reads program
// databases and export tables, never DWARF).
#pragma once

#include <windows.h>

#include <cstdint>

#include "crash/dwarf_memory.h"
#include "crash/stack_frame_info.h"

struct backtrace_state;

// At attach, while the module file is the image's own: learns from the file which of the
// image's sections hold the DWARF. Without this (or when the file does not match the
// image) no frame is placed from DWARF.
void LearnOwnDebugSections(HMODULE module);

// The lookups of one walk. The reader starts at the first address inside the plug-in;
// its memory goes with this object.
class OwnDebugInfo {
 public:
  OwnDebugInfo() = default;
  OwnDebugInfo(const OwnDebugInfo&) = delete;
  OwnDebugInfo& operator=(const OwnDebugInfo&) = delete;

  // Fills the frame's source file, line and function name when its address lies in
  // the plug-in and the DWARF places it; false (frame untouched) otherwise.
  bool Place(StackFrameInfo& frame);

 private:
  bool Start();

  DwarfMemory memory_;
  bool started_ = false;
  backtrace_state* state_ = nullptr;
  int (*lookup_)(backtrace_state*, uintptr_t, int (*)(void*, uintptr_t, const char*, int, const char*),
                 void (*)(void*, const char*, int), void*) = nullptr;
};
