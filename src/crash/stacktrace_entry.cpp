#include "crash/stacktrace_entry.h"

#include <cstring>
#include <utility>


void ResetFrame(StackFrameInfo& frame, uint64_t address) {
  std::memset(&frame, 0, sizeof frame);
  frame.address = address;
}

namespace stacktrace {

std::string entry::to_string() const {
  return file + " (" + std::to_string(line) + "): " + function;
}

std::string to_string(const std::vector<entry>& stack) {
  std::string text;
  for (const entry& e : stack) {
    text += e.to_string();
    text += '\n';
  }
  return text;
}

void CollectFrame(const StackFrameInfo& frame, int32_t& discardCount, std::vector<entry>& stack) {
  if (frame.sourceFile[0] == '\0') discardCount = -1;
  if (discardCount > 0) {
    --discardCount;
    return;
  }
  if (discardCount == 0) {
    // The texts are terminated by the walker's bounded copies; strnlen keeps a
    // damaged frame from reading past its field.
    entry e;
    e.file.assign(frame.sourceFile, strnlen(frame.sourceFile, kFrameTextCapacity));
    e.line = frame.lineNumber;
    e.function.assign(frame.name, strnlen(frame.name, kFrameTextCapacity));
    stack.push_back(std::move(e));
  }
}

}  // namespace stacktrace
