// Reading a loaded module's PE header. No windows.h, so it is testable natively.
#pragma once

#include <cstdint>
#include <cstring>

namespace pe {

constexpr uint32_t kNtHeaderPointerOffset = 0x3C;  // e_lfanew in the DOS header
constexpr uint32_t kSignature = 0x00004550;        // "PE\0\0"
constexpr uint32_t kSizeOfImageOffset = 0x50;      // from the NT header (32-bit image)

inline uint32_t ReadWord(const uint8_t* at) {
  uint32_t value;
  std::memcpy(&value, at, sizeof value);
  return value;
}

// The size of image of the module at `base`, or false when it has no PE signature.
inline bool ReadImageSize(const void* base, uint32_t* size) {
  const auto* image = static_cast<const uint8_t*>(base);
  const uint8_t* header = image + ReadWord(image + kNtHeaderPointerOffset);
  if (ReadWord(header) != kSignature) return false;
  *size = ReadWord(header + kSizeOfImageOffset);
  return true;
}

}  // namespace pe
