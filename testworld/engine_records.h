// The engine records that the fake engine writes and the host and the scenarios read:
// the voice capture format and the 5-byte jump at a code entry. They are the plug-in's
// own declarations: their layouts are pinned by static_asserts there, the world's
// self-test checks the capture format byte by byte, and a wrongly encoded jump would
// crash the first call-through, so sharing them hides no fault. The positions are
// another matter: the world keeps its own table of those (engine/layout.h).
#pragma once

#include <cstdint>
#include <cstring>

#include "../src/engine/engine.h"
#include "../src/voice/jump.h"

namespace world {

using engine::CaptureFormat;
using Jump = ::JumpInstruction;
using ::kJumpOpcode;

inline Jump JumpTo(uintptr_t entry, uintptr_t destination) {
  return ::EncodeJump(entry, destination);
}

// Where the jump at `entry` leads (whatever its first byte holds).
inline uintptr_t JumpDestination(uintptr_t entry) {
  Jump jump;
  std::memcpy(&jump, reinterpret_cast<const void*>(entry), sizeof jump);
  return ::JumpDestination(entry, jump);
}

}  // namespace world
