// The calling thread's stack as a list of frames with source information.
#pragma once

#include <cstdint>

#include "crash/stacktrace_entry.h"

namespace stacktrace {

class call_stack {
 public:
  // Walks the calling thread now. The first frame is the caller of this constructor
  // (after skip further frames); the list ends at the first frame without source
  // information. Empty when dbghelp is missing.
  __attribute__((noinline)) explicit call_stack(int32_t skip = 0);
  virtual ~call_stack() = default;

  // Each frame's "<file> (<line>): <function>" and a line break.
  const char* to_string() const { return frames.text; }

  frame_list frames;
};

}  // namespace stacktrace
