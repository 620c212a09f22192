#include "voice/address_table.h"

#include "core/plugin.h"
#include "voice/engine_layout.h"
#include "voice/voice_init.h"
#include "voice/voice_settings.h"

uint32_t EngineFuncTable;
uint32_t EngineClientState;
uint32_t EngineVoiceWord;
uint32_t EngineVoiceFormat;
uint32_t EngineReadString;
uint32_t EngineReadByte;
uint32_t VoiceInitHandlerOffset;
uint32_t HudFrameOffset;
uint32_t VoiceInitFuncOffset;
uint32_t CodecSlotOffset;

namespace {

uint32_t EngineBase() { return reinterpret_cast<uint32_t>(hEngineLib); }

}  // namespace

void SetupVoiceEngine() {
  VoiceEngineEntries entries;
  if (VoiceEngineEntriesFor(Version, EngineBase(), &entries)) {
    EngineFuncTable = entries.funcTable;
    VoiceInitHandlerOffset = entries.voiceInitHandlerOffset;
    HudFrameOffset = entries.hudFrameOffset;
    VoiceInitFuncOffset = entries.voiceInitFuncOffset;
    CodecSlotOffset = entries.codecSlotOffset;
    EngineClientState = entries.clientState;
    EngineVoiceWord = entries.voiceWord;
    EngineVoiceFormat = entries.voiceFormat;
  }
  RegisterVoiceSettings();
  ResetServerCodec();
}

void SetupMessageReaders() {
  MessageReaderEntries entries;
  if (!MessageReaderEntriesFor(Version, EngineBase(), &entries)) return;
  EngineReadString = entries.readString;
  EngineReadByte = entries.readByte;
}
