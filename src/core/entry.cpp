// The library's entry routine and the host's start/stop call: the attach sequence,
// the detach check and the transitions of the two start-up flags.
#include <windows.h>

#include "base/interfaces.h"
#include "base/plugin.h"
#include "base/run_mark.h"
#include "core/engine_build.h"
#include "core/start_module.h"
#include "crash/crash_filter.h"
#include "crash/error_log.h"
#include "crash/own_debug_info.h"
#include "engine/engine_builds.h"
#include "update/identity.h"
#include "update/replacement.h"
#include "voice/hooks.h"
#include "vstdlib/vstdlib_helper.h"

namespace {

// The filter that was installed before ours, put back when we are unloaded.
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter;

BOOL AttachSequence(HMODULE self) {
  if (bInitialized) return TRUE;
  hThisLib = self;
  BindVstdlib();  // everything below may use the engine's string functions
  previousFilter = SetUnhandledExceptionFilter(CrashDumpFilter);
  hEngineLib = LoadLibraryW(L"hw.dll");
  // Without the engine the load is refused; the loader then calls us with
  // DLL_PROCESS_DETACH, whose check puts the previous filter back before our code goes.
  if (!hEngineLib) return FALSE;
  DetectEngineBuild();
  InitModuleIdentity();
  // Now, while the file under our name is still this image's: an update replaces it.
  LearnOwnDebugSections(self);
  BindEngineInterfaces();
  // Late start-up waits for the host's first start call on every build, the supported
  // ones and the others alike: it talks to the network, starts threads and waits for
  // them, none of which may happen while the loader holds its lock for our attach.
  if (IsSupportedBuild(Version)) bSupportedBuild = 1;
  return TRUE;
}

// An unload while the process goes on: a later crash must not jump into our unmapped
// code, so the previous filter comes back, unless someone installed theirs after ours
// (that one stays). There is no compare-and-swap for the filter; the swap and swap-back
// below are as close as the API allows.
void RestorePreviousFilter() {
  LPTOP_LEVEL_EXCEPTION_FILTER installed = SetUnhandledExceptionFilter(previousFilter);
  if (installed != CrashDumpFilter) SetUnhandledExceptionFilter(installed);
}

void DetachCheck(bool processEnding) {
  // Still running on a supported build and never stopped: the game ended abnormally.
  if (bInitialized && bSupportedBuild) {
    MarkRunAbnormal();  // first: the report may never finish
    WriteErrorLog();
  }
  RemoveHooks();
  // At process end our filter stays: the image stays mapped until the process is gone,
  // and a fault in another DLL's detach still deserves a dump (written here: the dump's
  // thread is gone with every other thread).
  if (!processEnding) {
    RestorePreviousFilter();
    StopCrashDumpThread();
  }
}

}  // namespace

extern "C" BOOL WINAPI DllMain(HINSTANCE instance, DWORD reason, LPVOID reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH:
      return AttachSequence(instance);
    case DLL_PROCESS_DETACH:
      DetachCheck(reserved != nullptr);  // null: FreeLibrary; non-null: the process ends
      return TRUE;
    default:  // thread attach and detach
      return TRUE;
  }
}

// Exported as "_RIB_Main@20": standard call, five 32-bit arguments, only the second read.
extern "C" int __stdcall RIB_Main(int, int start, int, int, int) {
  if (!start) {
    bInitialized = 0;
    MarkRunClean();
  } else if (!bInitialized) {
    bInitialized = 1;
    StartCrashDumpThread();  // once per load; a crash before it takes the filter's own path
    MarkRunBegun();
    FinishModuleReplacement();
    StartModule();
  }
  return 1;
}
