// The engine's own routines that the jumps at the code offsets lead to. All cdecl, as
// the real engine's; a call-through by the plug-in must reach exactly these.
#pragma once

#include <cstdint>

namespace engine_world {

void __cdecl ParseVoiceInitHandler();                         // CL_Parse_VoiceInit
const char* __cdecl ReadString();                             // MSG_ReadString
int __cdecl ReadByte();                                       // MSG_ReadByte
int __cdecl VoiceInit(const char* codec, int quality);        // voice initialisation
void __cdecl HudFrame(double time);                           // HUD_Frame
int __cdecl CodecSlotFunction();                              // held in the codec slot

// The server message the parser works on: a codec name, then a quality byte.
void SetPendingVoiceInit(const char* codec, int32_t quality);
int32_t FieldsRead();
// Forgets what the read-back exports report (HUD_Frame, voice init, message reads).
void ResetReadBack();

}  // namespace engine_world
