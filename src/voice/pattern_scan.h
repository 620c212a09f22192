// Finding a byte pattern with wildcard positions in a memory range. No windows.h.
#pragma once

#include <cstdint>

constexpr char kAnyByte = '?';

// The first position in [begin, begin + size) where all `length` pattern bytes match,
// skipping the positions whose mask character is '?'. Null when nothing matches, when
// pattern or mask is missing, when length is 0 or longer than the range. Positions past
// the mask's terminator are compared, so a short mask never makes us read past it.
const uint8_t* ScanBytes(const uint8_t* begin, uint32_t size, const uint8_t* pattern,
                         const char* mask, uint32_t length);
