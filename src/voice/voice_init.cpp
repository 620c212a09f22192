#include "voice/voice_init.h"

#include "base/console.h"
#include "base/memory_patch.h"
#include "base/plugin.h"
#include "engine/engine_positions.h"
#include "voice/codec_slot.h"
#include "voice/hooks.h"
#include "voice/numbers.h"
#include "voice/patching.h"
#include "voice/voice_settings.h"

CodecState Codec;
char ServerCodecName[kCodecNameSize];
int32_t ServerCodecQuality;

HookDescriptor VoiceInitHook = EngineOffsetHook("CL_Parse_VoiceInit", &VoiceInitHandlerOffset,
                                                reinterpret_cast<uint32_t>(&HookedVoiceInit));
engine::ParseHandlerFn VoiceInitEntry;

namespace {

// Switches initialise Steam voice with an empty name and this quality.
constexpr int kSteamQuality = 1;

// Our diagnostic lines go through the engine's own prints (slots 40 and 41).
engine::ConPrintfFn EnginePrint(int slot) { return EngineFunction<engine::ConPrintfFn>(slot); }

int32_t ClientState() { return EngineClientState ? *EngineClientState : 0; }

uint32_t SettingInteger(const engine::SettingRecord* setting, uint32_t fallback) {
  return setting ? static_cast<uint32_t>(TruncateSettingValue(setting->value)) : fallback;
}

// Writes a rate pair into the engine's capture format before it initialises voice; the
// other fields keep the engine's values.
void ApplyCaptureRates(const engine::SettingRecord* rate, const engine::SettingRecord* byteRate) {
  engine::CaptureFormat* format = EngineVoiceFormat;
  if (!format) return;
  engine::CaptureFormat rates = *format;
  rates.samplesPerSec = SettingInteger(rate, format->samplesPerSec);
  rates.avgBytesPerSec = SettingInteger(byteRate, format->avgBytesPerSec);
  WriteProtected(format, &rates, sizeof rates);
}

void ApplySteamRates() { ApplyCaptureRates(Voice.samplesPerSecSteam, Voice.avgBytesPerSecSteam); }
void ApplyServerRates() { ApplyCaptureRates(Voice.samplesPerSec, Voice.avgBytesPerSec); }

void ReportFailedSwitch() {
  ConsoleMsgW(L"Возникла какая-то ошибка при инициализации кодека\n");
}

bool InitialiseSteamVoice(const char* announcement) {
  EnginePrint(engine::kConDPrintfSlot)("%s", announcement);
  ApplySteamRates();
  return CallEngineVoiceInit("", kSteamQuality) != 0;
}

void FinishSwitch(VoiceChoice choice, bool succeeded) {
  if (!succeeded) ReportFailedSwitch();
  RecordSwitchOutcome(&Codec, choice, succeeded);
}

// The slot stays swapped until the outcome is told.
void SwitchToServerCodec() {
  EnginePrint(engine::kConPrintfSlot)("VoiceInitServer: Using %s\n", ServerCodecName);
  ScopedCodecSlotSwap zeroSlot;
  ApplyServerRates();
  FinishSwitch(VoiceChoice::kServerCodec,
               CallEngineVoiceInit(ServerCodecName, ServerCodecQuality) != 0);
}

void RunSwitch(VoiceChoice choice, const char* steamAnnouncement) {
  if (choice == VoiceChoice::kNothing) return;
  if (choice == VoiceChoice::kServerCodec) {
    SwitchToServerCodec();
    return;
  }
  FinishSwitch(choice, InitialiseSteamVoice(steamAnnouncement));
}

// voice_useold 0: the engine's own handler reads the message, with the Steam rates in.
void RunEngineHandler() {
  ScopedCallThrough engineHandler(VoiceInitHook);
  ApplySteamRates();
  VoiceInitEntry();
}

}  // namespace

void SetupVoiceEngine() {
  SetupEnginePositions(Version, EngineBase());
  RegisterVoiceSettings();
  ResetServerCodec();
}

void ResetServerCodec() {
  ServerCodecName[0] = '\0';
  ServerCodecQuality = 0;
}

void __cdecl HookedVoiceInit() {
  if (UseEngineVoiceInit()) {
    RunEngineHandler();
    return;
  }
  const char* codec = EngineReadString();
  const int quality = EngineReadByte();
  if (!codec) codec = "";  // nothing we pass on may be null
  ServerCodecQuality = quality;

  if (!codec[0]) {
    RecordVoiceInitMessage(&Codec, false);
    CallEngineVoiceInit(codec, quality);
    return;
  }
  // The engine gets the name as read; our copy is cut to the buffer.
  StoreCodecName(ServerCodecName, sizeof ServerCodecName, codec);
  RecordVoiceInitMessage(&Codec, true);
  EnginePrint(engine::kConDPrintfSlot)("VoiceInit: %s %i\n", codec, quality);
  ScopedCodecSlotSwap zeroSlot;
  ApplyServerRates();
  CallEngineVoiceInit(codec, quality);
  *EngineVoiceWord = 0;
}

void InstallVoiceInitHook() {
  if (!InstallEngineHook(&VoiceInitHook)) return;
  VoiceInitEntry = reinterpret_cast<engine::ParseHandlerFn>(VoiceInitHook.target);
  ResolveEngineVoiceInit(EngineBase());
}

void VoiceInitSteam() {
  RunSwitch(SteamSwitchChoice(Codec, ClientState()), "VoiceInitSteam: Using Steam Voice\n");
}

void VoiceInitServer() {
  RunSwitch(ServerSwitchChoice(Codec, ClientState()), "VoiceInitServer: Using Steam Voice\n");
}
