// The parked dump thread and the hand-over from the filter. Everything the filter runs
// here is small: after a stack overflow the faulting thread has a few pages left.
#include "crash/dump_thread.h"

#include <cstdint>

#include "crash/crash_filter.h"

namespace {

// One request at a time: `turn` is held by the faulting thread from the hand-over to
// the result, so a second thread that faults meanwhile waits its turn (bounded).
struct DumpRequest {
  DWORD faultingThread;
  EXCEPTION_POINTERS* exception;
  LONG result;
};
DumpRequest request;
HANDLE turn;       // mutex
HANDLE requested;  // auto-reset: a request is in `request`
HANDLE finished;   // auto-reset: its result is in `request`
HANDLE thread;
DWORD threadId;
bool stuck;        // a request timed out: the thread may still be inside it

DWORD WINAPI ServeDumps(void*) {
  for (;;) {
    if (WaitForSingleObject(requested, INFINITE) != WAIT_OBJECT_0) return 0;
    request.result = WriteCrashDump(request.faultingThread, request.exception);
    SetEvent(finished);
  }
}

void Close(HANDLE& handle) {
  if (handle) CloseHandle(handle);
  handle = nullptr;
}

void CloseAll() {
  Close(thread);
  Close(finished);
  Close(requested);
  Close(turn);
  threadId = 0;
  stuck = false;
}

bool Acquired(DWORD waited) { return waited == WAIT_OBJECT_0 || waited == WAIT_ABANDONED; }

// Whether this thread holds the loader lock: a fault inside any module's entry routine
// (ours included), or while a library loads. The parked thread would wait for that lock
// to load the debug-help library and to list the modules, so the dump is written here.
// The 32-bit PEB holds a pointer to the lock at 0xA0, from Windows XP on; the critical
// section's owner is the holding thread's identifier.
bool HoldsLoaderLock() {
  const uint8_t* peb;
  asm volatile("mov %%fs:0x30, %0" : "=r"(peb));
  const auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + 0xA0);
  return lock && reinterpret_cast<uintptr_t>(lock->OwningThread) == GetCurrentThreadId();
}

}  // namespace

void StartCrashDumpThread() {
  if (thread) return;
  turn = CreateMutexW(nullptr, FALSE, nullptr);
  requested = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  finished = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (turn && requested && finished)
    thread = CreateThread(nullptr, 0, ServeDumps, nullptr, 0, &threadId);
  if (!thread) CloseAll();  // the filter writes on the faulting thread, as before
}

void StopCrashDumpThread() {
  if (!thread) return;
  // The thread is parked in its wait and holds nothing: ended there, it runs no more of
  // our code, which is about to be unmapped. Waiting for it to end would need the
  // loader lock we are holding (its detach notifications), so nothing waits.
  TerminateThread(thread, 0);
  CloseAll();
}

bool DumpOnParkedThread(EXCEPTION_POINTERS* exception, LONG* result) {
  const DWORD self = GetCurrentThreadId();
  if (!thread || self == threadId || HoldsLoaderLock()) return false;
  if (!Acquired(WaitForSingleObject(turn, kDumpWaitMs))) return false;
  if (stuck) {
    ReleaseMutex(turn);
    return false;
  }
  request = {self, exception, EXCEPTION_CONTINUE_SEARCH};
  SetEvent(requested);
  if (WaitForSingleObject(finished, kDumpWaitMs) == WAIT_OBJECT_0) {
    *result = request.result;
  } else {
    stuck = true;
    *result = EXCEPTION_CONTINUE_SEARCH;
  }
  ReleaseMutex(turn);
  return true;
}
