// One frame as the stack walk places it. Plain data, no windows.h.
#pragma once

#include <cstdint>

constexpr unsigned kFrameTextCapacity = 1024;

struct StackFrameInfo {
  uint64_t address;                // program counter; 0: no valid frame
  char name[kFrameTextCapacity];   // the function's name
  uint32_t lineNumber;
  char sourceFile[kFrameTextCapacity];
};

// Empties every text and number and sets the address.
void ResetFrame(StackFrameInfo& frame, uint64_t address);
