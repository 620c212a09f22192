// The frames a call stack keeps and their text form, in a fixed area: the report is
// written when something went wrong, and the heap may be part of it (a thread that died
// holding its lock). No windows.h.
#pragma once

#include <cstddef>
#include <cstdint>

#include "crash/stack_frame_info.h"

namespace stacktrace {

// Room for every frame of any stack the report has seen, a few hundred of usual length.
constexpr size_t kFrameListCapacity = 16384;

// The collected frames, innermost first, each as "<file> (<line>): <function>\n".
struct frame_list {
  char text[kFrameListCapacity];  // terminated; empty for no frame
  uint32_t length;                // bytes before the terminator
  uint32_t count;                 // frames in text
};
static_assert(sizeof(frame_list) == kFrameListCapacity + 8, "text, length, count");

// Empties the list.
void Clear(frame_list& frames);

// Appends one frame's line; false (the list unchanged) when it does not fit whole.
bool Append(frame_list& frames, const char* file, uint32_t line, const char* function);

// Decides whether a reported frame joins the list. discardCount starts at the number of
// frames to skip; the first frame without a source file ends collection for good (-1),
// so the list is the unbroken run of frames with source information after the skipped
// ones. A frame that no longer fits ends it too.
void CollectFrame(const StackFrameInfo& frame, int32_t& discardCount, frame_list& frames);

}  // namespace stacktrace
