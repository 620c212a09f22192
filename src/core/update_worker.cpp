#include "core/update_worker.h"

#include <windows.h>

#include "base/console.h"
#include "crash/crash_filter.h"
#include "update/update_check.h"

namespace {

volatile LONG checkUnderWay;

DWORD WINAPI RunUpdateCheck(void* parameter) {
  HMODULE pin = static_cast<HMODULE>(parameter);
  HoldConsolePrints();
  CheckForUpdates();
  EndHeldPrints();
  // Our reference is what keeps the module mapped: it goes only once the crash dump's
  // thread is parked in its wait, with no instruction of ours left to run before a
  // dump is asked for.
  AwaitCrashDumpThread();
  InterlockedExchange(&checkUnderWay, 0);
  // Lets go of the module and ends the thread in one call, which returns into no code
  // of ours: the module may be unloaded the moment the reference is gone.
  FreeLibraryAndExitThread(pin, 0);
}

}  // namespace

void StartUpdateWorker() {
  if (InterlockedCompareExchange(&checkUnderWay, 1, 0) != 0) return;
  HMODULE pin = nullptr;
  HANDLE thread = nullptr;
  if (GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&RunUpdateCheck), &pin))
    thread = CreateThread(nullptr, 0, RunUpdateCheck, pin, 0, nullptr);
  if (thread) {
    CloseHandle(thread);
    return;
  }
  if (pin) FreeLibrary(pin);
  InterlockedExchange(&checkUnderWay, 0);
  // Nobody else holds the module until the dump thread parks; the host's thread waits
  // for that here (a thread start, not the network).
  AwaitCrashDumpThread();
}
