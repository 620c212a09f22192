// hw.dll's World_* exports, bound at run time: the host does not import hw.dll, so a
// world without an engine (or with the small one) is still a world.
#pragma once

#include <windows.h>

#include "../world_api.h"

#define WORLD_ENGINE_EXPORTS(X)                                                            \
  X(World_Prepare) X(World_SetClientState) X(World_SetVoiceInitResult)                     \
  X(World_ParseVoiceInit) X(World_MessageFieldsRead) X(World_HudFrame)                     \
  X(World_LastHudFrame) X(World_HudFrameCount) X(World_LastVoiceInit) X(World_RunCommand)  \
  X(World_SetSetting) X(World_SettingValue) X(World_SettingRecord) X(World_SettingString)  \
  X(World_HasCommand) X(World_Console) X(World_Journal) X(World_ClearRecords)              \
  X(World_EngineBase) X(World_EngineAddress) X(World_RealRoutine)

namespace world {

struct EngineApi {
#define WORLD_API_MEMBER(name) decltype(&::name) name = nullptr;
  WORLD_ENGINE_EXPORTS(WORLD_API_MEMBER)
#undef WORLD_API_MEMBER

  // Returns the name of the first missing export, or null when all are bound.
  const char* Bind(HMODULE engine);
};

}  // namespace world
