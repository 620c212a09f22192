// The frames a call stack keeps and their text forms. No windows.h.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

#include "crash/stack_frame_info.h"

namespace stacktrace {

struct entry {
  std::string file;
  uint32_t line = 0;
  std::string function;

  // "<file> (<line>): <function>", no line break.
  std::string to_string() const;
};

// Every entry's text form followed by "\n"; empty for an empty list.
std::string to_string(const std::vector<entry>& stack);

// Decides whether a reported frame joins the list. discardCount starts at the number of
// frames to skip; the first frame without a source file ends collection for good (-1),
// so the list is the unbroken run of frames with source information after the skipped
// ones.
void CollectFrame(const StackFrameInfo& frame, int32_t& discardCount, std::vector<entry>& stack);

}  // namespace stacktrace
