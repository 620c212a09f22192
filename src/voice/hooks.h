// Inline 5-byte jump hooks on engine routines: putting them in, and taking them out
// when our module is unloaded. The HUD_Frame hook lives here; the voice-init hook lives
// with its replacement (voice_init.cpp).
#pragma once

#include "engine/engine.h"
#include "voice/hook_descriptor.h"

// The engine module as FindModule saw it, shared by every descriptor.
extern ModuleInfo EngineModule;

// The record of a hook on the engine routine `*offsetEntry` bytes into EngineModule: its
// name and pattern are never consulted. Target, jump and saved bytes start at zero.
inline HookDescriptor EngineOffsetHook(const char* name, const uint32_t* offsetEntry,
                                       uint32_t replacement) {
  return HookDescriptor{name, &EngineModule, reinterpret_cast<const uint8_t*>(""), "", 0,
                        offsetEntry, 0, replacement, {}, {}, 0};
}

// Finds the engine module through the add-command function (it lies inside the engine),
// prepares `hook` and writes its jump. False when the hook is already in, or the module
// or the target is not found.
bool InstallEngineHook(HookDescriptor* hook);
// Puts the engine's own first bytes back at every installed hook. Runs when our module
// is unloaded: a jump left behind would lead the engine into unmapped memory.
void RemoveHooks();

extern HookDescriptor HudFrameHook;     // "HUD_Frame" -> HookedHudFrame
extern engine::HudFrameFn HudFrameEntry;  // the engine's routine, for call-throughs
void InstallHudFrameHook();
// Replacement of HUD_Frame: runs the engine's routine with the same argument.
void __cdecl HookedHudFrame(double time);
