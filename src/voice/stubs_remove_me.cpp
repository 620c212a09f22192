// Placeholders until the voice repair lands.
#include "core/plugin.h"
#include "voice/address_table.h"
#include "voice/hooks.h"
#include "voice/voice_commands.h"

uint32_t EngineFuncTable, EngineClientState, EngineVoiceWord, EngineVoiceFormat,
    EngineReadString, EngineReadByte, VoiceInitHandlerOffset, HudFrameOffset,
    VoiceInitFuncOffset, CodecSlotOffset;
void SetupVoiceEngine() {
  if (Version == 6027 || Version == 6132) EngineFuncTable = reinterpret_cast<uint32_t>(hEngineLib) + 0x134260;
}
void SetupMessageReaders() {}
void InstallVoiceInitHook() {}
void InstallHudFrameHook() {}
void __cdecl VoiceInitCommand() {}
void __cdecl ServerVoiceDown() {}
void __cdecl SteamVoiceDown() {}
void __cdecl VoiceKeyUp() {}
