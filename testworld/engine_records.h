// Records of the engine's own layout that the fake engine writes and the host and the
// scenarios read: one definition for the whole test world. The plug-in keeps its own
// (src/engine/engine.h, src/voice/jump.h), so a wrong layout on either side shows.
#pragma once

#include <cstdint>
#include <cstring>

namespace world {

#pragma pack(push, 1)
// The engine's voice capture format (WAVEFORMATEX).
struct CaptureFormat {
  uint16_t formatTag;
  uint16_t channels;
  uint32_t samplesPerSec;   // byte 4
  uint32_t avgBytesPerSec;  // byte 8
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t extraSize;
};
// The 5-byte relative jump at an engine entry.
struct Jump {
  uint8_t opcode;        // E9 xxxxxxxx: JMP +5+xxxxxxxx
  int32_t displacement;  // destination - (entry + 5)
};
#pragma pack(pop)
static_assert(sizeof(CaptureFormat) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(sizeof(Jump) == 5, "a 5-byte relative jump");

constexpr uint8_t kJumpOpcode = 0xE9;

inline Jump JumpTo(uintptr_t entry, uintptr_t destination) {
  return Jump{kJumpOpcode, static_cast<int32_t>(destination - (entry + 5))};
}

// Where the jump at `entry` leads (whatever its first byte holds).
inline uintptr_t JumpDestination(uintptr_t entry) {
  Jump jump;
  std::memcpy(&jump, reinterpret_cast<const void*>(entry), sizeof jump);
  return entry + 5 + static_cast<uintptr_t>(static_cast<intptr_t>(jump.displacement));
}

}  // namespace world
