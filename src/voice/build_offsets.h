// Per-build offsets of the engine positions the plug-in uses: the file to open when an
// engine build is added (one more column in build_offsets.cpp). The typed positions that
// the rest of the plug-in uses are made from these at start-up (engine_positions.cpp).
// No windows.h, so the numbers and their kinds are testable natively.
#pragma once

#include <cstdint>

// What SetupEnginePositions takes over. Address entries are base + offset; offset entries
// stay raw because their users add a module base at the moment of use.
struct VoiceEngineEntries {
  uint32_t funcTable;               // address
  uint32_t voiceInitHandlerOffset;  // offset
  uint32_t hudFrameOffset;          // offset
  uint32_t voiceInitFuncOffset;     // offset
  uint32_t codecSlotOffset;         // offset
  uint32_t clientState;             // address
  uint32_t voiceWord;               // address
  uint32_t voiceFormat;             // address
};

// What SetupMessageReaders takes over; both are addresses.
struct MessageReaderEntries {
  uint32_t readString;
  uint32_t readByte;
};

// Fill `out` for engine build `build` loaded at `base` (32-bit unsigned arithmetic).
// False, and `out` untouched, for a build without a column.
bool VoiceEngineEntriesFor(int32_t build, uint32_t base, VoiceEngineEntries* out);
bool MessageReaderEntriesFor(int32_t build, uint32_t base, MessageReaderEntries* out);
