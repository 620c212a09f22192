// The 5-byte relative jump that an inline hook writes over an engine routine's entry.
// No windows.h.
#pragma once

#include <cstdint>

#pragma pack(push, 1)
struct JumpInstruction {
  uint8_t opcode;        // E9 xxxxxxxx: JMP +5+xxxxxxxx
  int32_t displacement;  // from the end of the instruction, little-endian
};
#pragma pack(pop)
static_assert(sizeof(JumpInstruction) == 5, "the patch covers exactly five bytes");

constexpr uint8_t kJumpOpcode = 0xE9;

// The jump placed at `at` that lands on `destination`. The displacement wraps modulo
// 2^32, so a destination below `at` gives a negative (two's complement) value.
inline JumpInstruction EncodeJump(uint32_t at, uint32_t destination) {
  return JumpInstruction{kJumpOpcode, static_cast<int32_t>(destination - at - 5u)};
}

// Where a jump placed at `at` lands.
inline uint32_t JumpDestination(uint32_t at, const JumpInstruction& jump) {
  return at + 5u + static_cast<uint32_t>(jump.displacement);
}
