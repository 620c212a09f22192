#include "voice/voice_settings.h"

#include "engine/engine_positions.h"
#include "voice/numbers.h"

VoiceSettings Voice;

namespace {

// The engine's setting flags, passed on as the numbers it expects.
constexpr int kUseOldFlags = 16;
constexpr int kRateFlags = 128;

}  // namespace

void RegisterVoiceSettings() {
  if (!EngineFuncTable) return;
  auto registerVariable =
      EngineFunction<engine::RegisterVariableFn>(engine::kRegisterVariableSlot);
  Voice.useOld = registerVariable("voice_useold", "1", kUseOldFlags);
  Voice.samplesPerSecSteam = registerVariable("voice_SamplesPerSec_Steam", "11025", kRateFlags);
  Voice.avgBytesPerSecSteam = registerVariable("voice_AvgBytesPerSec_Steam", "22050", kRateFlags);
  Voice.samplesPerSec = registerVariable("voice_SamplesPerSec", "8000", kRateFlags);
  Voice.avgBytesPerSec = registerVariable("voice_AvgBytesPerSec", "16000", kRateFlags);
}

bool UseEngineVoiceInit() { return Voice.useOld && SettingIsZero(Voice.useOld->value); }
