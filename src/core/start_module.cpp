// Late start-up: runs at the host's start call on supported builds, inside the attach
// on any other build. The order of the steps is fixed.
#include "core/command_table.h"
#include "core/console.h"
#include "core/interfaces.h"
#include "core/plugin.h"
#include "update/update_check.h"
#include "voice/engine_positions.h"
#include "voice/hooks.h"
#include "voice/voice_init.h"

void StartModule() {
  if (!hEngineLib) return;
  ActivateGameConsole();
  CheckForUpdates();
  if (!bSupportedBuild) {
    ReportUnsupportedBuild();
    return;
  }
  PrintAbout();
  SetupVoiceEngine();
  SetupMessageReaders();
  InstallVoiceInitHook();
  InstallHudFrameHook();
  RegisterCommandTable();
}
