#include "voice/codec_slot.h"

#include "base/memory_patch.h"
#include "base/plugin.h"
#include "engine/engine_positions.h"
#include "voice/patching.h"

uint32_t SavedSlotValue;

namespace {

uint32_t* CodecSlot() {
  return reinterpret_cast<uint32_t*>(EngineBase() + CodecSlotOffset);
}

}  // namespace

bool SwapCodecSlot() {
  uint32_t* slot = CodecSlot();
  SavedSlotValue = *slot;
  const uint32_t zero = reinterpret_cast<uint32_t>(&ZeroSlotFunction);
  return WriteProtected(slot, &zero, sizeof zero);
}

bool RestoreCodecSlot() { return WriteProtected(CodecSlot(), &SavedSlotValue, sizeof SavedSlotValue); }

int __cdecl ZeroSlotFunction() { return 0; }
