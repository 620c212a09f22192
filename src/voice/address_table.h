// Per-build positions inside the engine module. Offset entries hold plain offsets
// (their users add a base at the moment of use); address entries hold absolute
// addresses computed at set-up from hEngineLib. All zero until set-up.
#pragma once

#include <cstdint>

// Address entries.
extern uint32_t EngineFuncTable;     // client function table (array of cdecl pointers)
extern uint32_t EngineClientState;   // 32-bit client state word; switches act only at 5
extern uint32_t EngineVoiceWord;     // voice word cleared after a server-codec init
extern uint32_t EngineVoiceFormat;   // 18-byte capture format
extern uint32_t EngineReadString;    // reads the next string of the message being parsed
extern uint32_t EngineReadByte;      // reads the next byte of the message being parsed

// Offset entries.
extern uint32_t VoiceInitHandlerOffset;
extern uint32_t HudFrameOffset;
extern uint32_t VoiceInitFuncOffset;
extern uint32_t CodecSlotOffset;

// Fills the first table for Version 6027 or 6132, registers the five voice settings
// and gives ServerCodecName a fresh buffer.
void SetupVoiceEngine();
// Fills EngineReadString and EngineReadByte for Version 6027 or 6132.
void SetupMessageReaders();

// Slot `slot` of the engine's client function table, as a function of type Fn.
template <typename Fn>
inline Fn EngineFunction(int slot) {
  return reinterpret_cast<Fn>(reinterpret_cast<void**>(EngineFuncTable)[slot]);
}
