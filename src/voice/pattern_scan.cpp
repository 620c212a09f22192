#include "voice/pattern_scan.h"

namespace {

bool MatchesAt(const uint8_t* at, const uint8_t* pattern, const char* mask, uint32_t length) {
  bool maskEnded = false;
  for (uint32_t i = 0; i < length; ++i) {
    if (!maskEnded && mask[i] == '\0') maskEnded = true;
    if (!maskEnded && mask[i] == kAnyByte) continue;
    if (at[i] != pattern[i]) return false;
  }
  return true;
}

}  // namespace

const uint8_t* ScanBytes(const uint8_t* begin, uint32_t size, const uint8_t* pattern,
                         const char* mask, uint32_t length) {
  if (!begin || !pattern || !mask || length == 0 || length > size) return nullptr;
  // The last candidate is the one whose pattern ends exactly at the range's end.
  for (uint32_t start = 0; start <= size - length; ++start)
    if (MatchesAt(begin + start, pattern, mask, length)) return begin + start;
  return nullptr;
}
