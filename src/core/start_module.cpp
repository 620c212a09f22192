// The order of the late start-up's steps is fixed.
#include "core/start_module.h"

#include "base/interfaces.h"
#include "base/plugin.h"
#include "core/about.h"
#include "core/command_table.h"
#include "core/update_worker.h"
#include "engine/engine_positions.h"
#include "update/run_report.h"
#include "voice/hooks.h"
#include "voice/voice_init.h"

void StartModule() {
  if (!hEngineLib) return;
  ActivateGameConsole();
  AnnounceRunReport();
  StartUpdateWorker();  // its messages reach the console at a later frame
  if (!bSupportedBuild) {
    ReportUnsupportedBuild();
    return;
  }
  PrintAbout();
  SetupVoiceEngine();
  RegisterRunReportSetting();
  SetupMessageReaders(Version, EngineBase());
  InstallVoiceInitHook();
  InstallHudFrameHook();
  RegisterCommandTable();
}
