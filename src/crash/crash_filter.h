// The process-wide unhandled-exception filter and the two diagnostic commands.
#pragma once

#include <windows.h>

// Writes "Murmelon.dmp"; 1 when the dump was written, 0 to let the default handling go on.
// The faulting thread writes it itself (it may hold the heap's lock, which a writer on
// another thread would wait for); after a stack overflow, the parked thread below does.
LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exception);
// At the host's start call: parks the thread that writes the dumps after a stack overflow
// (once per start) and, on it, loads the dump writer before any crash needs it.
void StartCrashDumpThread();
// Returns once the parked thread is inside its wait (bounded; past that our module is
// pinned for good). Our module must stay mapped until then: whoever holds the last
// reference besides the host's waits here before letting go.
void AwaitCrashDumpThread();
// At the host's stop call: the parked thread ends by itself, letting go of a reference
// to our module that it is given here.
void StopCrashDumpThread();
// At an unload while started: the parked thread stays where it is, inside a wait that
// nothing will end, and runs no more of our code (nothing may end it under the loader
// lock, and TerminateThread would leave whatever it held held).
void LeaveCrashDumpThreadParked();
// Prints "<what>. Windows error <code>: <system text>" for the last error.
void PrintWindowsError(const char* what);
// "WriteMD": asks the engine's tier0 for its minidump.
void __cdecl WriteEngineMiniDump();
// "crash": faults on purpose so the filter path can be tried.
void __cdecl CrashCommand();
