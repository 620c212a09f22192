// The calling thread's stack as a list of frames with source information.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crash/stacktrace_entry.h"

namespace stacktrace {

class call_stack {
 public:
  // Walks the calling thread now. The first entry is the caller of this constructor
  // (after skip further frames); the list ends at the first frame without source
  // information. Empty when dbghelp is missing.
  __attribute__((noinline)) explicit call_stack(int32_t skip = 0);
  virtual ~call_stack() = default;

  // Each entry's text form and a line break.
  std::string to_string() const { return stacktrace::to_string(stack); }

  std::vector<entry> stack;
};

}  // namespace stacktrace
