// Engine builds recognised by their build-date text at a fixed offset. No windows.h.
#pragma once

#include <cstdint>

struct EngineProbe {
  uint32_t offset;    // from the engine module's base
  const char* text;   // the engine's own build-date text
  int32_t build;
};

// Probed in this order; the first text found decides.
extern const EngineProbe kEngineProbes[4];

using SubstringSearch = const char* (*)(const char* text, const char* find);

// Reads the text at each probe's offset (never past imageSize) and returns the build of
// the first probe whose text it contains, or 0. A text that runs to the image end
// without a terminator is searched up to the end.
int32_t DetectBuildInImage(const uint8_t* image, uint32_t imageSize, SubstringSearch search);
