// The crash dump's own thread: parked from the host's first start call on, it writes the
// dump that the filter asks for, so the faulting thread (perhaps with a few kilobytes of
// stack left after an overflow) only waits.
#pragma once

#include <windows.h>

// The filter's steps (library, writer, file, dump, message) for the exception of
// `faultingThread`, on whichever thread calls it.
LONG WriteCrashDump(DWORD faultingThread, EXCEPTION_POINTERS* exception);

// Hands the exception to the parked thread and waits for its result, at most
// kDumpWaitMs (0, no dump known, when it does not come). False, with nothing done, when
// no parked thread can take it: it does not exist yet (a fault during our attach), it is
// the thread that faulted, the faulting thread holds the loader lock (a fault inside a
// module's entry routine, ours included), or an earlier dump never finished.
bool DumpOnParkedThread(EXCEPTION_POINTERS* exception, LONG* result);

// A dump of a large game takes seconds; a writer stuck on a lock the faulting thread
// holds must not keep the process from ending.
constexpr DWORD kDumpWaitMs = 30000;
