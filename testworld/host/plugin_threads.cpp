#include "plugin_threads.h"

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
  volatile LONG parked;
};

CRITICAL_SECTION lock;
std::vector<Thread*> threads;  // never shrinks: a few per scenario

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
    threads.push_back(new Thread{own, threadId, 0});
    LeaveCriticalSection(&lock);
  }
  return thread;
}

Thread* Find(DWORD id) {
  EnterCriticalSection(&lock);
  Thread* found = nullptr;
  for (Thread* thread : threads)
    if (thread->id == id) found = thread;
  LeaveCriticalSection(&lock);
  return found;
}

DWORD WINAPI RecordedSignalAndWait(HANDLE signal, HANDLE wait, DWORD ms, BOOL alertable) {
  Thread* self = Find(GetCurrentThreadId());
  if (self) InterlockedExchange(&self->parked, 1);
  DWORD result = realSignalAndWait(signal, wait, ms, alertable);
  if (self) InterlockedExchange(&self->parked, 0);
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
  for (Thread* thread : threads)
    if (!thread->parked && WaitForSingleObject(thread->handle, 0) != WAIT_OBJECT_0) settled = false;
  LeaveCriticalSection(&lock);
  return settled;
}

}  // namespace world::plugin_threads
