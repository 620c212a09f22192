// One frame as the stack walk reports it. Plain data, no windows.h.
#pragma once

#include <cstdint>

constexpr unsigned kFrameTextCapacity = 1024;

// Which report of a walk a frame is.
enum EntryKind : int32_t { kFirstEntry = 0, kNextEntry = 1, kLastEntry = 2 };

struct StackFrameInfo {
  uint64_t address;                            // program counter; 0: no valid frame
  char name[kFrameTextCapacity];               // as dbghelp returns it
  char undecoratedName[kFrameTextCapacity];    // name only
  char undecoratedFullName[kFrameTextCapacity];// complete declaration
  uint64_t symbolDisplacement;
  uint32_t lineDisplacement;
  uint32_t lineNumber;
  char sourceFile[kFrameTextCapacity];
  const char* symbolKind;                      // fixed text, or null
  char moduleName[kFrameTextCapacity];
  uint64_t moduleBase;
  char loadedImageName[kFrameTextCapacity];
};

// Empties every text and number and sets the address.
void ResetFrame(StackFrameInfo& frame, uint64_t address);
