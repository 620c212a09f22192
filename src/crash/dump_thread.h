// The crash dump's own thread: parked from the host's start call on, it writes the dump
// after a stack overflow, when the faulting thread has only a few pages of stack left and
// waits for it.
#pragma once

#include <windows.h>

#include "crash/dbghelp_api.h"

// The filter's steps (writer, file, dump, message) for the exception of
// `faultingThread`, on whichever thread calls it.
LONG WriteCrashDump(DWORD faultingThread, EXCEPTION_POINTERS* exception);

// Loads "DBGHELP.DLL" and finds its dump writer, once; the parked thread does it as it
// starts, so that a crash rarely needs the loader. Null until then, or when either is
// missing (the filter then tries itself, to say why).
void PreloadDumpWriter();
MiniDumpWriteDumpFn PreloadedDumpWriter();

// Hands the exception to the parked thread and waits for its result, at most
// kDumpWaitMs (0, no dump known, when it does not come). False, with nothing done, when
// no parked thread can take it: there is none (before the start call, after a stop), it
// is the thread that faulted, the faulting thread holds the loader lock (a fault inside a
// module's entry routine, ours included: the parked thread would wait for that lock), or
// an earlier dump never finished.
bool DumpOnParkedThread(EXCEPTION_POINTERS* exception, LONG* result);

// A dump of a large game takes seconds; a writer stuck on a lock the faulting thread
// holds must not keep the process from ending.
constexpr DWORD kDumpWaitMs = 30000;
// Told to end, the parked thread is gone within milliseconds.
constexpr DWORD kStopWaitMs = 5000;
// A thread start takes milliseconds; one that is not parked after this never will be.
constexpr DWORD kParkWaitMs = 10000;
