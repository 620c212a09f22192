// The engine positions the plug-in uses in the running engine, each typed once here.
// They are made at late start-up from the build's row of the engine-builds table
// (engine_builds.h) and stay null/zero until then.
#pragma once

#include <cstdint>

#include "engine/engine.h"

// Each position is one 32-bit word of the engine's: a pointer in our 32-bit process.
static_assert(sizeof(void*) == 4, "engine positions are 32-bit addresses");
static_assert(sizeof(engine::VoiceInitFn) == 4 && sizeof(engine::ReadStringFn) == 4,
              "engine routines are reached through 32-bit function pointers");

// Address entries: base + offset, made by the set-up.
extern void** EngineFuncTable;                     // client function table (cdecl pointers)
extern const volatile int32_t* EngineClientState;  // switches act only while it holds 5
extern volatile int32_t* EngineVoiceWord;          // cleared after a server-codec init
extern engine::CaptureFormat* EngineVoiceFormat;   // rates written before voice init
extern engine::ReadStringFn EngineReadString;      // next string of the message being parsed
extern engine::ReadByteFn EngineReadByte;          // next byte of the message being parsed
// The engine's voice initialisation: null until the voice-init hook is in.
extern engine::VoiceInitFn EngineVoiceInit;

// Offset entries, kept raw: their users add a module base at the moment of use (the
// hook descriptors point at the first two).
extern uint32_t VoiceInitHandlerOffset;
extern uint32_t HudFrameOffset;
extern uint32_t VoiceInitFuncOffset;
extern uint32_t CodecSlotOffset;

// Fills the entries above, all but the message readers and EngineVoiceInit, for a
// supported `build` whose engine module lies at `base`; for any other build nothing is set.
void SetupEnginePositions(int32_t build, uint32_t base);
// Fills EngineReadString and EngineReadByte for a supported build.
void SetupMessageReaders(int32_t build, uint32_t base);
// EngineVoiceInit = base + VoiceInitFuncOffset.
void ResolveEngineVoiceInit(uint32_t base);

// Calls the engine's voice initialisation. Without it (the voice-init hook could not be
// installed) nothing is called and the answer is 0, the engine's own failure value.
int CallEngineVoiceInit(const char* codec, int quality);

// Slot `slot` of the engine's client function table, as a function of type Fn.
template <typename Fn>
inline Fn EngineFunction(int slot) {
  return reinterpret_cast<Fn>(EngineFuncTable[slot]);
}
