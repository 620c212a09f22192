// The process-wide unhandled-exception filter and the two diagnostic commands.
#pragma once

#include <windows.h>

// Writes "Murmelon.dmp"; 1 when the dump was written, 0 to let the default handling go on.
// The dump is written by the parked thread below once it exists, else right here.
LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exception);
// At the host's first start call: parks the thread that writes the dumps (once per load).
void StartCrashDumpThread();
// At an unload while the process goes on: ends the parked thread before our code goes.
void StopCrashDumpThread();
// Prints "<what>. Windows error <code>: <system text>" for the last error.
void PrintWindowsError(const char* what);
// "WriteMD": asks the engine's tier0 for its minidump.
void __cdecl WriteEngineMiniDump();
// "crash": faults on purpose so the filter path can be tried.
void __cdecl CrashCommand();
