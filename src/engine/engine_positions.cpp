#include "engine/engine_positions.h"

#include "engine/engine_builds.h"

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

// An absolute engine address as the position's type.
template <typename T>
T At(uint32_t address) {
  return reinterpret_cast<T>(static_cast<uintptr_t>(address));
}

}  // namespace

void SetupEnginePositions(int32_t build, uint32_t base) {
  VoiceEngineEntries entries;
  if (!VoiceEngineEntriesFor(build, base, &entries)) return;
  EngineFuncTable = At<void**>(entries.funcTable);
  VoiceInitHandlerOffset = entries.voiceInitHandlerOffset;
  HudFrameOffset = entries.hudFrameOffset;
  VoiceInitFuncOffset = entries.voiceInitFuncOffset;
  CodecSlotOffset = entries.codecSlotOffset;
  EngineClientState = At<const volatile int32_t*>(entries.clientState);
  EngineVoiceWord = At<volatile int32_t*>(entries.voiceWord);
  EngineVoiceFormat = At<engine::CaptureFormat*>(entries.voiceFormat);
}

void SetupMessageReaders(int32_t build, uint32_t base) {
  MessageReaderEntries entries;
  if (!MessageReaderEntriesFor(build, base, &entries)) return;
  EngineReadString = At<engine::ReadStringFn>(entries.readString);
  EngineReadByte = At<engine::ReadByteFn>(entries.readByte);
}

void ResolveEngineVoiceInit(uint32_t base) {
  EngineVoiceInit = At<engine::VoiceInitFn>(base + VoiceInitFuncOffset);
}

int CallEngineVoiceInit(const char* codec, int quality) {
  if (!EngineVoiceInit) return 0;
  return EngineVoiceInit(codec, quality);
}
