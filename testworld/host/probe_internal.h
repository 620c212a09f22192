// Shared by the pieces of the loader-lock probe (probe.h): the journal, the lock test and
// the two ways the probe sees the plug-in (its calls out, its entry routine's windows).
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdio>  // __MINGW_PRINTF_FORMAT

namespace world::probe {

// The phase every journal line is written under ("none" before the first).
extern char phase[16];
extern DWORD slowResolver;  // milliseconds each name lookup takes longer; 0: none

// One line, written in one append: no lock, so a thread that ExitProcess kills halfway
// through a line leaves no lock behind that the exiting thread would then wait for.
void WriteLine(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
LONGLONG Now();
double MillisecondsSince(LONGLONG start);

// The 32-bit PEB holds a pointer to the loader lock at 0xA0; the critical section's
// owner is the holding thread's identifier. Wine fills both as Windows does.
bool HoldsLoaderLock();

// The probe's own bookkeeping on a thread inside an entry-routine window: heap calls it
// makes meanwhile are not the plug-in's.
class Bookkeeping {
 public:
  Bookkeeping();
  ~Bookkeeping();
  Bookkeeping(const Bookkeeping&) = delete;
  Bookkeeping& operator=(const Bookkeeping&) = delete;

 private:
  DWORD paused_;
};

// Points every import of the plug-in's image at a journaling thunk, and what the
// plug-in binds with GetProcAddress too (probe_calls.cpp). False when the image has no
// import table the probe can read.
bool JournalEveryCall(HMODULE plugin);

// The heap counter: ntdll's allocation, release and resize routines count the calls of
// the thread inside an entry-routine window (probe_window.cpp). False when their entries
// cannot be patched.
bool ArmHeapCounter();
// The plug-in's entry routine and TLS callbacks run inside windows: each journals
//   <phase> window <reason> <lock|free> <heap calls> <milliseconds>
// when it returns (thread notifications only when they made a heap call).
bool WatchEntryRoutine(HMODULE plugin);

}  // namespace world::probe
