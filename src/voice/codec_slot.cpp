#include "voice/codec_slot.h"

#include "base/plugin.h"
#include "engine/engine_positions.h"
#include "voice/patching.h"

uint32_t SavedSlotValue;

namespace {

// The hook writes cover five bytes; the slot gets the same treatment.
constexpr uint32_t kSlotProtectLength = 5;

uint32_t* CodecSlot() {
  return reinterpret_cast<uint32_t*>(EngineBase() + CodecSlotOffset);
}

}  // namespace

bool SwapCodecSlot() {
  uint32_t* slot = CodecSlot();
  SavedSlotValue = *slot;
  if (!MakeWritable(reinterpret_cast<uint32_t>(slot), kSlotProtectLength)) return false;
  *slot = reinterpret_cast<uint32_t>(&ZeroSlotFunction);
  return true;
}

bool RestoreCodecSlot() {
  uint32_t* slot = CodecSlot();
  if (!MakeWritable(reinterpret_cast<uint32_t>(slot), kSlotProtectLength)) return false;
  *slot = SavedSlotValue;
  return true;
}

int __cdecl ZeroSlotFunction() { return 0; }
