// The parked dump thread and the hand-over from the filter. Everything the filter runs
// here is small: after a stack overflow the faulting thread has a few pages left.
#include "crash/dump_thread.h"

#include <cstdint>
#include <new>

#include "crash/crash_filter.h"

namespace {

enum Command : LONG { kNone, kDump, kQuit };

// One parked thread. Never freed, nor its events closed: a thread left parked at an
// unload still waits on them, and a filter or a waiter may still hold the pointer after
// a stop. A stop and a start leak one of these (a few dozen bytes, two events).
struct Parking {
  HANDLE wake;      // auto-reset: a command is in `command`
  HANDLE parked;    // manual-reset: the thread is inside its first wait
  HANDLE finished;  // auto-reset: a dump's result is in `result`
  volatile LONG command;
  HANDLE thread;
  DWORD threadId;
  DWORD faultingThread;
  EXCEPTION_POINTERS* exception;
  LONG result;
  HMODULE pin;  // given at the stop call: the reference the thread lets go of as it ends
};

Parking* volatile current;  // the thread that takes requests now, or null
HANDLE turn;                // mutex, made once: one request (or stop) at a time
bool stuck;                 // a request timed out: the thread may still be inside it

DWORD WINAPI ServeDumps(void* parameter) {
  auto* parking = static_cast<Parking*>(parameter);
  PreloadDumpWriter();
  HANDLE signal = parking->parked;
  for (;;) {
    // Signals and waits in one call: once the other side sees the signal, this thread
    // is inside the wait, with no instruction of ours to run before it is woken. So an
    // unload that leaves it parked leaves it in the system's code for good.
    if (SignalObjectAndWait(signal, parking->wake, INFINITE, FALSE) != WAIT_OBJECT_0) break;
    if (parking->command == kQuit) FreeLibraryAndExitThread(parking->pin, 0);
    parking->result = WriteCrashDump(parking->faultingThread, parking->exception);
    signal = parking->finished;
  }
  // The wait failed: stay out of the way, without a reference that would keep us here.
  for (;;) Sleep(INFINITE);
}

bool Acquired(DWORD waited) { return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED; }

// Whether this thread holds the loader lock: a fault inside any module's entry routine
// (ours included), or while a library loads. The 32-bit PEB holds a pointer to the lock
// at 0xA0, from Windows XP on; the critical section's owner is the holding thread's
// identifier.
bool HoldsLoaderLock() {
  const uint8_t* peb;
  asm volatile("mov %%fs:0x30, %0" : "=r"(peb));
  const auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + 0xA0);
  return lock && reinterpret_cast<uintptr_t>(lock->OwningThread) == GetCurrentThreadId();
}

void Discard(Parking* parking) {
  if (parking->wake) CloseHandle(parking->wake);
  if (parking->parked) CloseHandle(parking->parked);
  if (parking->finished) CloseHandle(parking->finished);
  delete parking;
}

Parking* NewParking() {
  auto* parking = new (std::nothrow) Parking();
  if (!parking) return nullptr;
  parking->wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  parking->parked = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  parking->finished = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (parking->wake && parking->parked && parking->finished) return parking;
  Discard(parking);
  return nullptr;
}

}  // namespace

void StartCrashDumpThread() {
  if (current) return;
  if (!turn) turn = CreateMutexW(nullptr, FALSE, nullptr);
  Parking* parking = turn ? NewParking() : nullptr;
  if (!parking) return;  // the filter writes on the faulting thread, as before
  HANDLE thread = CreateThread(nullptr, 0, ServeDumps, parking, 0, &parking->threadId);
  if (!thread) {
    Discard(parking);
    return;
  }
  parking->thread = thread;
  stuck = false;
  current = parking;
}

void AwaitCrashDumpThread() {
  Parking* parking = current;
  if (!parking || WaitForSingleObject(parking->parked, kParkWaitMs) == WAIT_OBJECT_0) return;
  // It may still start and run our code at any time: our module stays for good.
  HMODULE pinned;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_PIN,
                     reinterpret_cast<LPCWSTR>(&ServeDumps), &pinned);
}

void StopCrashDumpThread() {
  Parking* parking = current;
  if (!parking) return;
  // A dump under way finishes first (bounded: a stuck one keeps its thread).
  const bool mine = Acquired(WaitForSingleObject(turn, kDumpWaitMs));
  current = nullptr;
  // The reference keeps our code mapped until the thread's last call has returned into
  // the system's; without one, the thread stays parked.
  if (mine && !stuck &&
      GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                         reinterpret_cast<LPCWSTR>(&ServeDumps), &parking->pin)) {
    parking->command = kQuit;
    SetEvent(parking->wake);
    // Gone before the stop call returns, so that an unload right after it is done when
    // the host's FreeLibrary returns, on the host's thread, and not later on ours while
    // the engine may be running our hooks. Bounded: past it, the reference keeps us.
    WaitForSingleObject(parking->thread, kStopWaitMs);
  }
  CloseHandle(parking->thread);
  parking->thread = nullptr;
  if (mine) ReleaseMutex(turn);
}

void LeaveCrashDumpThreadParked() { current = nullptr; }

bool DumpOnParkedThread(EXCEPTION_POINTERS* exception, LONG* result) {
  const DWORD self = GetCurrentThreadId();
  Parking* parking = current;
  if (!parking || self == parking->threadId || HoldsLoaderLock()) return false;
  if (!Acquired(WaitForSingleObject(turn, kDumpWaitMs))) return false;
  if (stuck || current != parking) {
    ReleaseMutex(turn);
    return false;
  }
  parking->faultingThread = self;
  parking->exception = exception;
  parking->result = EXCEPTION_CONTINUE_SEARCH;
  parking->command = kDump;
  SetEvent(parking->wake);
  if (WaitForSingleObject(parking->finished, kDumpWaitMs) == WAIT_OBJECT_0) {
    *result = parking->result;
  } else {
    stuck = true;
    *result = EXCEPTION_CONTINUE_SEARCH;
  }
  ReleaseMutex(turn);
  return true;
}
