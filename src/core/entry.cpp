// The library's entry routine and the host's start/stop call: the attach sequence,
// the detach check and the transitions of the two start-up flags.
#include <windows.h>

#include "base/console.h"
#include "base/interfaces.h"
#include "base/plugin.h"
#include "base/run_mark.h"
#include "core/engine_build.h"
#include "core/start_module.h"
#include "crash/crash_filter.h"
#include "crash/error_log.h"
#include "crash/exit_hooks.h"
#include "crash/own_debug_info.h"
#include "engine/engine_builds.h"
#include "update/identity.h"
#include "update/replacement.h"
#include "voice/hooks.h"
#include "vstdlib/vstdlib_helper.h"

namespace {

// The filter that was installed before ours, put back when we are unloaded.
LPTOP_LEVEL_EXCEPTION_FILTER previousFilter;

// Runs under the loader's lock: only lookups of what the game has loaded already (no
// library's own start-up runs, no reference is taken), memory and our own file.
BOOL AttachSequence(HMODULE self) {
  if (bInitialized) return TRUE;
  hThisLib = self;
  BindVstdlib();  // everything below may use the engine's string functions
  previousFilter = SetUnhandledExceptionFilter(CrashDumpFilter);
  hEngineLib = GetModuleHandleW(L"hw.dll");
  // Without the engine the load is refused; the loader then calls us with
  // DLL_PROCESS_DETACH, whose check puts the previous filter back before our code goes.
  if (!hEngineLib) return FALSE;
  DetectEngineBuild();
  InitModuleIdentity();
  // Now, while the file under our name is still this image's: an update replaces it.
  LearnOwnDebugSections(self);
  // The rest waits for the host's first start call on every build, the supported ones
  // and the others alike: the engine's interface factories are its code, the late
  // start-up talks to the network, starts threads and waits for them, none of which
  // belongs where the loader holds its lock for our attach.
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

// Runs under the loader's lock, at a process's end after every other thread is gone.
void DetachCheck(bool processEnding) {
  // Still running on a supported build and never stopped: the game ended abnormally. The
  // exit hooks reported it before the loader took over; an end they did not see (a
  // module loaded after our start called ExitProcess, the host freed us through a
  // pointer of its own) gets what may be written here.
  if (RunningOnSupportedBuild()) WriteBareErrorRecord();
  // At process end everything stays: the image stays mapped until the process is gone,
  // and a fault in another DLL's detach still deserves a dump (written here: the dump's
  // thread is gone with every other thread).
  if (!processEnding) {
    RemoveHooks();
    RemoveExitHooks();
    RestorePreviousFilter();
    LeaveCrashDumpThreadParked();
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

// The module that holds `address`: the host, for our start call's return address.
HMODULE ModuleAt(void* address) {
  MEMORY_BASIC_INFORMATION region{};
  VirtualQuery(address, &region, sizeof region);
  return static_cast<HMODULE>(region.AllocationBase);
}

extern "C" BOOL WINAPI DllMainCRTStartup(HANDLE module, DWORD reason, LPVOID reserved);

// The image's entry point (the link names it): the C runtime's, except in the detach of
// an ending process, where its tear-down (the exit functions: destructors, the release
// of its memory, libgcc's frame tables) is left out with the memory it would tidy. The
// threads ExitProcess killed may hold the heap's lock and the runtime's.
extern "C" BOOL WINAPI MurmelonEntry(HANDLE module, DWORD reason, LPVOID reserved) {
  if (reason == DLL_PROCESS_DETACH && reserved)
    return DllMain(static_cast<HINSTANCE>(module), reason, reserved);
  return DllMainCRTStartup(module, reason, reserved);
}

// Exported as "_RIB_Main@20": standard call, five 32-bit arguments, only the second read.
extern "C" int __stdcall RIB_Main(int, int start, int, int, int) {
  // The host's calls come on the game's thread: what the update check said so far is
  // shown there (on supported builds every HUD_Frame shows it too).
  ShowHeldPrints();
  if (!start) {
    if (bInitialized) StopCrashDumpThread();
    bInitialized = 0;
    MarkRunClean();
  } else if (!bInitialized) {
    bInitialized = 1;
    // A crash before the dump's thread exists takes the filter's own path (the thread
    // runs from each start to its stop); an end before the exit hooks are in gets the
    // detach's bare record. Hooks and interfaces are taken once per load.
    StartCrashDumpThread();
    MarkRunBegun();
    InstallExitHooks(ModuleAt(__builtin_return_address(0)));
    BindEngineInterfaces();
    FinishModuleReplacement();
    StartModule();
  }
  return 1;
}
