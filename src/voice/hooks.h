// Inline 5-byte jump hooks on the engine's voice-init handler and HUD_Frame routine.
#pragma once

#include <cstdint>

#include "engine/engine.h"
#include "voice/hook_descriptor.h"

void InstallVoiceInitHook();
void InstallHudFrameHook();
// Puts the engine's own first bytes back at both hooked entries. Runs when our module
// is unloaded: a jump left behind would lead the engine into unmapped memory.
void RemoveHooks();

// The engine module as FindModule saw it, shared by both descriptors.
extern ModuleInfo EngineModule;
extern HookDescriptor VoiceInitHook;  // "CL_Parse_VoiceInit" -> HookedVoiceInit
extern HookDescriptor HudFrameHook;   // "HUD_Frame" -> HookedHudFrame

extern uint8_t VoiceInitHookInstalled;
extern uint32_t VoiceInitEntry;   // the engine's CL_Parse_VoiceInit, for call-throughs
extern uint32_t EngineVoiceInit;  // engine voice initialisation; 0 unless the hook is in
extern uint8_t HudFrameHookInstalled;
extern uint32_t HudFrameEntry;

// Replacement of HUD_Frame: runs the engine's routine with the same argument.
void __cdecl HookedHudFrame(double time);

// Calls the engine's voice initialisation. Without it (the voice-init hook could not be
// installed) nothing is called and the answer is 0, the engine's own failure value.
int CallEngineVoiceInit(const char* codec, int quality);
