// The engine's codec slot: swapped for ZeroSlotFunction around exactly one call of the
// engine's voice initialisation, which then sets up the named codec instead of Steam voice.
#pragma once

#include <cstdint>

extern uint32_t SavedSlotValue;  // the slot's content at the last swap

// Saves the slot, then puts ZeroSlotFunction in it. False when it could not be written.
bool SwapCodecSlot();
// Puts the saved content back. False when it could not be written.
bool RestoreCodecSlot();
// Returns 0 and removes no arguments (cdecl), whatever the engine passes it.
int __cdecl ZeroSlotFunction();

// ZeroSlotFunction in the slot for the guard's lifetime: swapped when it is made, the
// saved content back when it goes, so no path can leave the slot swapped.
class ScopedCodecSlotSwap {
 public:
  ScopedCodecSlotSwap() { SwapCodecSlot(); }
  ~ScopedCodecSlotSwap() { RestoreCodecSlot(); }
  ScopedCodecSlotSwap(const ScopedCodecSlotSwap&) = delete;
  ScopedCodecSlotSwap& operator=(const ScopedCodecSlotSwap&) = delete;
};
