// The five console settings of the voice repair. The records are the engine's; we keep
// the pointers slot 14 gave us and read the current value whenever it is needed.
#pragma once

#include "engine/engine.h"

struct VoiceSettings {
  engine::SettingRecord* useOld;             // voice_useold
  engine::SettingRecord* samplesPerSecSteam; // voice_SamplesPerSec_Steam
  engine::SettingRecord* avgBytesPerSecSteam;// voice_AvgBytesPerSec_Steam
  engine::SettingRecord* samplesPerSec;      // voice_SamplesPerSec
  engine::SettingRecord* avgBytesPerSec;     // voice_AvgBytesPerSec
};
extern VoiceSettings Voice;

// Registers the five settings through slot 14, in their fixed order, keeping the records.
void RegisterVoiceSettings();

// voice_useold is 0: voice-init messages go to the engine's own handler. A setting the
// engine did not give us a record for counts as its default "1".
bool UseEngineVoiceInit();
