#include "voice/engine_positions.h"

#include "core/plugin.h"
#include "voice/build_offsets.h"

void** EngineFuncTable;
const volatile int32_t* EngineClientState;
volatile int32_t* EngineVoiceWord;
engine::CaptureFormat* EngineVoiceFormat;
engine::ReadStringFn EngineReadString;
engine::ReadByteFn EngineReadByte;
engine::VoiceInitFn EngineVoiceInit;
uint32_t VoiceInitHandlerOffset;
uint32_t HudFrameOffset;
uint32_t VoiceInitFuncOffset;
uint32_t CodecSlotOffset;

namespace {

uint32_t EngineBase() { return reinterpret_cast<uint32_t>(hEngineLib); }

// An absolute engine address as the position's type.
template <typename T>
T At(uint32_t address) {
  return reinterpret_cast<T>(static_cast<uintptr_t>(address));
}

}  // namespace

void SetupEnginePositions() {
  VoiceEngineEntries entries;
  if (!VoiceEngineEntriesFor(Version, EngineBase(), &entries)) return;
  EngineFuncTable = At<void**>(entries.funcTable);
  VoiceInitHandlerOffset = entries.voiceInitHandlerOffset;
  HudFrameOffset = entries.hudFrameOffset;
  VoiceInitFuncOffset = entries.voiceInitFuncOffset;
  CodecSlotOffset = entries.codecSlotOffset;
  EngineClientState = At<const volatile int32_t*>(entries.clientState);
  EngineVoiceWord = At<volatile int32_t*>(entries.voiceWord);
  EngineVoiceFormat = At<engine::CaptureFormat*>(entries.voiceFormat);
}

void SetupMessageReaders() {
  MessageReaderEntries entries;
  if (!MessageReaderEntriesFor(Version, EngineBase(), &entries)) return;
  EngineReadString = At<engine::ReadStringFn>(entries.readString);
  EngineReadByte = At<engine::ReadByteFn>(entries.readByte);
}

void ResolveEngineVoiceInit() {
  EngineVoiceInit = At<engine::VoiceInitFn>(EngineBase() + VoiceInitFuncOffset);
}

int CallEngineVoiceInit(const char* codec, int quality) {
  if (!EngineVoiceInit) return 0;
  return EngineVoiceInit(codec, quality);
}
