// Everything the plug-in knows about engine builds, from one table (engine_builds.cpp):
// how each build is recognised, whether it is supported, and where a supported build
// keeps the positions the plug-in uses. Adding a build is one row there, plus the test
// world's own row (testworld/engine/layout.h). Detection order, the supported-build
// test, the positions and the unsupported-build message are all derived from the table.
// No windows.h, so every row is testable natively.
#pragma once

#include <cstddef>
#include <cstdint>

// Offsets from the engine module's base, read from that build's hw.dll.
struct EngineOffsets {
  uint32_t funcTable;         // client function table (cdecl pointers)
  uint32_t voiceInitHandler;  // CL_Parse_VoiceInit
  uint32_t hudFrame;          // HUD_Frame
  uint32_t voiceInitFunc;     // the voice initialisation
  uint32_t codecSlot;         // the function pointer the voice initialisation calls
  uint32_t clientState;       // 32-bit client state word
  uint32_t voiceWord;         // 32-bit voice word
  uint32_t voiceFormat;       // the capture format (WAVEFORMATEX)
  uint32_t readString;        // the message reader of strings
  uint32_t readByte;          // the message reader of bytes
};

struct EngineBuild {
  int32_t build;
  uint32_t probeOffset;   // where the engine's build-date text lies, from the module base
  const char* probeText;  // the engine's own build-date text
  bool supported;         // the voice repair runs; only then are the offsets read
  EngineOffsets offsets;  // all zero for a build that is only recognised
};

// Probed in this order; the first text found decides.
extern const EngineBuild kEngineBuilds[];
extern const size_t kEngineBuildCount;

// The row of a supported build, or null.
const EngineBuild* FindSupportedBuild(int32_t build);
inline bool IsSupportedBuild(int32_t build) { return FindSupportedBuild(build) != nullptr; }

using SubstringSearch = const char* (*)(const char* text, const char* find);

// Reads the text at each probe's offset (never past imageSize) and returns the build of
// the first probe whose text it contains, or 0. A text that runs to the image end
// without a terminator is searched up to the end.
int32_t DetectBuildInImage(const uint8_t* image, uint32_t imageSize, SubstringSearch search);

// The positions that SetupEnginePositions takes over (engine_positions.h). Address
// entries are base + offset; offset entries stay raw because their users add a module
// base at the moment of use.
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
// False, and `out` untouched, for a build that is not supported.
bool VoiceEngineEntriesFor(int32_t build, uint32_t base, VoiceEngineEntries* out);
bool MessageReaderEntriesFor(int32_t build, uint32_t base, MessageReaderEntries* out);
