#include "crash/stacktrace_entry.h"

#include <cstring>

void ResetFrame(StackFrameInfo& frame, uint64_t address) {
  std::memset(&frame, 0, sizeof frame);
  frame.address = address;
}

namespace stacktrace {

namespace {

// A bounded writer into the list's free room; `fits` turns false for good once a piece
// did not fit.
struct Line {
  char* at;
  size_t room;  // bytes left, the terminator's included
  bool fits = true;

  void Put(const char* text, size_t length) {
    if (!fits || length >= room) {
      fits = false;
      return;
    }
    std::memcpy(at, text, length);
    at += length;
    room -= length;
  }
  void Put(const char* text) { Put(text, std::strlen(text)); }
};

}  // namespace

void Clear(frame_list& frames) {
  frames.text[0] = '\0';
  frames.length = 0;
  frames.count = 0;
}

bool Append(frame_list& frames, const char* file, uint32_t line, const char* function) {
  char digits[10];
  size_t count = 0;
  do {
    digits[sizeof digits - 1 - count++] = static_cast<char>('0' + line % 10);
    line /= 10;
  } while (line != 0);
  Line out{frames.text + frames.length, sizeof frames.text - frames.length};
  // The walker's bounded copies terminate both texts; strnlen keeps a damaged frame from
  // reading past its field.
  out.Put(file, strnlen(file, ::kFrameTextCapacity));
  out.Put(" (");
  out.Put(digits + sizeof digits - count, count);
  out.Put("): ");
  out.Put(function, strnlen(function, ::kFrameTextCapacity));
  out.Put("\n");
  if (!out.fits) {
    frames.text[frames.length] = '\0';
    return false;
  }
  *out.at = '\0';
  frames.length = static_cast<uint32_t>(out.at - frames.text);
  ++frames.count;
  return true;
}

void CollectFrame(const StackFrameInfo& frame, int32_t& discardCount, frame_list& frames) {
  if (frame.sourceFile[0] == '\0') discardCount = -1;
  if (discardCount > 0) {
    --discardCount;
    return;
  }
  if (discardCount == 0 && !Append(frames, frame.sourceFile, frame.lineNumber, frame.name))
    discardCount = -1;
}

}  // namespace stacktrace
