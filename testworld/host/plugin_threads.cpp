#include "plugin_threads.h"

#include <cstddef>
#include <vector>

#include "world.h"

namespace world::plugin_threads {

namespace {

using CreateThreadFn = HANDLE(WINAPI*)(LPSECURITY_ATTRIBUTES, SIZE_T, LPTHREAD_START_ROUTINE,
                                       LPVOID, DWORD, LPDWORD);
using SignalAndWaitFn = DWORD(WINAPI*)(HANDLE, HANDLE, DWORD, BOOL);

CreateThreadFn realCreateThread;
SignalAndWaitFn realSignalAndWait;

struct Thread {
  HANDLE handle;  // our own duplicate, for waits
  DWORD id;
};

CRITICAL_SECTION lock;
std::vector<Thread> threads;  // never shrinks: a few per scenario
// Threads inside the parking wait, by identifier: a new thread may park before its
// creator is back to record it.
std::vector<DWORD> parked;

bool IsParked(DWORD id) {
  for (DWORD other : parked)
    if (other == id) return true;
  return false;
}

HANDLE WINAPI RecordedCreateThread(LPSECURITY_ATTRIBUTES attributes, SIZE_T stack,
                                   LPTHREAD_START_ROUTINE routine, LPVOID parameter,
                                   DWORD flags, LPDWORD id) {
  DWORD threadId = 0;
  HANDLE thread = realCreateThread(attributes, stack, routine, parameter, flags, &threadId);
  if (id) *id = threadId;
  HANDLE own = nullptr;
  if (thread && DuplicateHandle(GetCurrentProcess(), thread, GetCurrentProcess(), &own,
                                SYNCHRONIZE, FALSE, 0)) {
    EnterCriticalSection(&lock);
    threads.push_back(Thread{own, threadId});
    LeaveCriticalSection(&lock);
  }
  return thread;
}

DWORD WINAPI RecordedSignalAndWait(HANDLE signal, HANDLE wait, DWORD ms, BOOL alertable) {
  const DWORD self = GetCurrentThreadId();
  EnterCriticalSection(&lock);
  parked.push_back(self);
  LeaveCriticalSection(&lock);
  DWORD result = realSignalAndWait(signal, wait, ms, alertable);
  EnterCriticalSection(&lock);
  for (size_t i = 0; i < parked.size(); ++i)
    if (parked[i] == self) {
      parked.erase(parked.begin() + static_cast<std::ptrdiff_t>(i));
      break;
    }
  LeaveCriticalSection(&lock);
  return result;
}

}  // namespace

void Watch(HMODULE plugin) {
  static bool once = (InitializeCriticalSection(&lock), true);
  (void)once;
  void* previous = ReplaceImport(plugin, "kernel32.dll", "CreateThread",
                                 reinterpret_cast<void*>(&RecordedCreateThread));
  if (previous) realCreateThread = reinterpret_cast<CreateThreadFn>(previous);
  previous = ReplaceImport(plugin, "kernel32.dll", "SignalObjectAndWait",
                           reinterpret_cast<void*>(&RecordedSignalAndWait));
  if (previous) realSignalAndWait = reinterpret_cast<SignalAndWaitFn>(previous);
}

bool Settled() {
  EnterCriticalSection(&lock);
  bool settled = true;
  for (const Thread& thread : threads)
    if (!IsParked(thread.id) && WaitForSingleObject(thread.handle, 0) != WAIT_OBJECT_0) settled = false;
  LeaveCriticalSection(&lock);
  return settled;
}

}  // namespace world::plugin_threads
