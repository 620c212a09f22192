// Real routines of the fake engine and the exports that drive and read them.
#include "routines.h"

#include <cstring>
#include <string>

#include "../engine_records.h"
#include "../world_api.h"
#include "records.h"
#include "state.h"

namespace engine_world {
namespace {

using world::CaptureFormat;

using ReadStringFn = const char*(__cdecl*)();
using ReadByteFn = int(__cdecl*)();
using VoiceInitFn = int(__cdecl*)(const char*, int);
using CodecSlotFn = int(__cdecl*)();

// The message being parsed: field 0 is the codec text, field 1 the quality byte.
struct PendingMessage {
  std::string codec;
  uint8_t quality = 0;
  int cursor = 0;  // next field
  int reads = 0;   // every read call, also past the end
};
PendingMessage message;

WorldVoiceInitCall lastVoiceInit{};
uint64_t lastHudFrameBits = 0;
int32_t hudFrameCount = 0;

// A read that does not match the next field, as a wrong handler would do it.
void JournalBadRead(const char* reader) {
  JournalF("engine: message read out of order (%s at field %d)", reader, message.cursor);
}

}  // namespace

void SetPendingVoiceInit(const char* codec, int32_t quality) {
  message = PendingMessage{};
  message.codec = codec ? codec : "";
  message.quality = static_cast<uint8_t>(quality);
}

int32_t FieldsRead() { return message.reads; }

void ResetReadBack() {
  lastVoiceInit = WorldVoiceInitCall{};
  lastHudFrameBits = 0;
  hudFrameCount = 0;
  message.reads = 0;
}

const char* __cdecl ReadString() {
  // The engine returns its own static buffer, overwritten by the next read.
  static char buffer[2048];
  ++message.reads;
  if (message.cursor != 0) {
    JournalBadRead("ReadString");
    buffer[0] = '\0';
    return buffer;
  }
  ++message.cursor;
  strncpy(buffer, message.codec.c_str(), sizeof buffer - 1);
  buffer[sizeof buffer - 1] = '\0';
  return buffer;
}

int __cdecl ReadByte() {
  ++message.reads;
  if (message.cursor != 1) {
    JournalBadRead("ReadByte");
    return -1;  // the engine's value for a read past the message
  }
  ++message.cursor;
  return message.quality;
}

void __cdecl ParseVoiceInitHandler() {
  // Reads through the build's entries (the jumps), not the routines directly, as the
  // real handler's calls go to those addresses.
  const BuildLayout& layout = *State().layout;
  const char* codec = reinterpret_cast<ReadStringFn>(At(layout.readString))();
  std::string name = codec;  // the next read may overwrite the engine's buffer
  int quality = reinterpret_cast<ReadByteFn>(At(layout.readByte))();
  JournalF("engine: CL_Parse_VoiceInit read \"%s\" %d", name.c_str(), quality);
  reinterpret_cast<VoiceInitFn>(At(layout.voiceInitFunc))(name.c_str(), quality);
}

int __cdecl CodecSlotFunction() { return 1; }

int __cdecl VoiceInit(const char* codec, int quality) {
  const BuildLayout& layout = *State().layout;
  // Whatever the slot holds decides: 0 means "use the named codec", anything else
  // Steam voice. The plug-in puts a function that returns 0 there around its call.
  CodecSlotFn slot = *At<CodecSlotFn>(layout.codecSlot);
  bool slotWasEngine = slot == &CodecSlotFunction;
  bool usedSteam = slot() != 0;
  const CaptureFormat& format = *At<CaptureFormat>(layout.voiceFormat);
  *At<int32_t>(layout.voiceWord) = 1;

  WorldVoiceInitCall& call = lastVoiceInit;
  ++call.calls;
  const char* name = codec ? codec : "(null)";
  strncpy(call.codec, name, sizeof call.codec - 1);
  call.codec[sizeof call.codec - 1] = '\0';
  call.quality = quality;
  call.slotWasEngine = slotWasEngine;
  call.usedSteam = usedSteam;
  call.samplesPerSec = format.samplesPerSec;
  call.avgBytesPerSec = format.avgBytesPerSec;
  call.result = State().voiceInitResult;

  std::string outcome = usedSteam ? std::string("Steam voice")
                                  : "codec \"" + std::string(name) + "\"";
  JournalF("engine: VoiceInit \"%s\" %d slot=%s -> %s, rate %u, bytes %u, result %d", name,
           quality, slotWasEngine ? "engine" : "other", outcome.c_str(),
           static_cast<unsigned>(call.samplesPerSec), static_cast<unsigned>(call.avgBytesPerSec),
           call.result);
  return call.result;
}

void __cdecl HudFrame(double time) {
  memcpy(&lastHudFrameBits, &time, sizeof time);
  ++hudFrameCount;
}

}  // namespace engine_world

using namespace engine_world;

using EntryFn = void(__cdecl*)();
using HudFrameFn = void(__cdecl*)(double);

WORLD_API void World_ParseVoiceInit(const char* codec, int32_t quality) {
  if (!State().layout) {
    JournalF("engine: voice init message ignored (no layout for build %d)", State().build);
    return;
  }
  SetPendingVoiceInit(codec, quality);
  // The parser enters the handler at its entry, where the plug-in's jump may sit.
  reinterpret_cast<EntryFn>(At(State().layout->voiceInitHandler))();
  JournalF("engine: voice init message: read %d of 2 fields", static_cast<int>(message.reads));
}

WORLD_API int32_t World_MessageFieldsRead() { return FieldsRead(); }

WORLD_API void World_HudFrame(double time) {
  if (!State().layout) return;
  reinterpret_cast<HudFrameFn>(At(State().layout->hudFrame))(time);
}

WORLD_API double World_LastHudFrame() {
  double time;
  memcpy(&time, &lastHudFrameBits, sizeof time);
  return time;
}

WORLD_API int32_t World_HudFrameCount() { return hudFrameCount; }

WORLD_API void World_LastVoiceInit(WorldVoiceInitCall* out) {
  if (out) *out = lastVoiceInit;
}

WORLD_API void World_SetVoiceInitResult(int32_t result) { State().voiceInitResult = result; }

WORLD_API void World_SetClientState(int32_t state) {
  if (State().layout) *At<int32_t>(State().layout->clientState) = state;
}
