// The process-wide unhandled-exception filter: a minidump of the whole process.
#include "crash/crash_filter.h"

#include <cstdio>

#include "base/module_function.h"
#include "base/run_mark.h"
#include "crash/dbghelp_api.h"
#include "crash/dump_thread.h"
#include "crash/fault_signature.h"

namespace {

// Relative on purpose: the dump lands in the game's current directory.
constexpr const char* kDumpFileName = "Murmelon.dmp";
constexpr int32_t kMiniDumpNormal = 0;

}  // namespace

LONG WriteCrashDump(DWORD faultingThread, EXCEPTION_POINTERS* exception) {
  HMODULE dbghelp = LoadLibraryA("DBGHELP.DLL");  // stays loaded: the process is ending
  if (!dbghelp) {
    PrintWindowsError(" Cannot load dll DBGHELP.DLL");
    return EXCEPTION_CONTINUE_SEARCH;
  }
  auto writeDump = ModuleFunction<MiniDumpWriteDumpFn>(dbghelp, "MiniDumpWriteDump");
  if (!writeDump) {
    PrintWindowsError(" Cannot get address of MiniDumpWriteDump function");
    return EXCEPTION_CONTINUE_SEARCH;
  }
  HANDLE file = CreateFileA(kDumpFileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    PrintWindowsError(" An unhandled exception occured. Error on creating dump file: Murmelon.dmp");
    return EXCEPTION_CONTINUE_SEARCH;
  }
  // The faulting thread's identifier: the dump names it, not the thread that writes it.
  DumpExceptionInfo info{faultingThread, exception, FALSE};
  LONG result;
  if (writeDump(GetCurrentProcess(), GetCurrentProcessId(), file, kMiniDumpNormal, &info, nullptr,
                nullptr)) {
    // Plain printf: the secure-CRT variants are missing from XP's msvcrt.dll.
    std::printf(" An unhandled exception occured. Dump saved to: %s", kDumpFileName);
    // The process is terminated right after we return; buffered output would be lost.
    std::fflush(stdout);
    result = EXCEPTION_EXECUTE_HANDLER;
  } else {
    PrintWindowsError(" An unhandled exception occured. Error saving dump file: Murmelon.dmp");
    result = EXCEPTION_CONTINUE_SEARCH;
  }
  CloseHandle(file);
  return result;
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exception) {
  MarkRunCrashed(FaultSignatureOf(exception));  // first: the dump may never finish
  LONG result;
  if (DumpOnParkedThread(exception, &result)) return result;
  return WriteCrashDump(GetCurrentThreadId(), exception);
}
