// Placeholders until crash reporting lands.
#include "crash/crash_filter.h"
#include "crash/error_log.h"

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS*) { return 0; }
void PrintWindowsError(const char*) {}
void __cdecl WriteEngineMiniDump() {}
void __cdecl CrashCommand() {}
void WriteErrorLog() {}
