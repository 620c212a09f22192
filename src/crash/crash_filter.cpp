// The process-wide unhandled-exception filter: a minidump of the whole process.
#include "crash/crash_filter.h"

#include <cstdio>

#include "base/module_function.h"
#include "base/run_mark.h"
#include "crash/dbghelp_api.h"
#include "crash/dump_thread.h"
#include "crash/fault_signature.h"

namespace {

// Relative on purpose: the dump lands in the game's current directory. It is written
// under the second name and takes the first only once it is whole, so a dump that never
// finishes (a writer that faults again or hangs, a process ended meanwhile) leaves no
// file that players would send as a dump.
constexpr const char* kDumpFileName = "Murmelon.dmp";
constexpr const char* kPartFileName = "Murmelon.dmp.part";
constexpr int32_t kMiniDumpNormal = 0;
constexpr const char* kCreateFailed =
    " An unhandled exception occured. Error on creating dump file: Murmelon.dmp";
constexpr const char* kSaveFailed =
    " An unhandled exception occured. Error saving dump file: Murmelon.dmp";

MiniDumpWriteDumpFn volatile preloaded;

// The thread inside WriteCrashDump and its open file: a fault inside the writer (a heap
// the first fault left broken) comes back to the filter on the same thread.
volatile DWORD writingThread;
HANDLE volatile writingFile = INVALID_HANDLE_VALUE;

// The dump writer, found now unless it was found before any crash.
MiniDumpWriteDumpFn DumpWriter() {
  if (MiniDumpWriteDumpFn writer = preloaded) return writer;
  HMODULE dbghelp = LoadLibraryA("DBGHELP.DLL");  // stays loaded: the process is ending
  if (!dbghelp) {
    PrintWindowsError(" Cannot load dll DBGHELP.DLL");
    return nullptr;
  }
  auto writer = ModuleFunction<MiniDumpWriteDumpFn>(dbghelp, "MiniDumpWriteDump");
  if (!writer) PrintWindowsError(" Cannot get address of MiniDumpWriteDump function");
  return writer;
}

// The failure said with the error of the call that failed, and the unfinished file gone.
LONG DumpFailed(DWORD error) {
  DeleteFileA(kPartFileName);
  SetLastError(error);
  PrintWindowsError(kSaveFailed);
  return EXCEPTION_CONTINUE_SEARCH;
}

// A second fault while this thread writes: the first dump will not finish.
LONG AbandonDump() {
  const DWORD error = GetLastError();
  HANDLE file = writingFile;
  writingFile = INVALID_HANDLE_VALUE;
  if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  return DumpFailed(error);
}

}  // namespace

void PreloadDumpWriter() {
  if (preloaded) return;
  if (HMODULE dbghelp = LoadLibraryA("DBGHELP.DLL"))  // kept: a crash needs it later
    preloaded = ModuleFunction<MiniDumpWriteDumpFn>(dbghelp, "MiniDumpWriteDump");
}

MiniDumpWriteDumpFn PreloadedDumpWriter() { return preloaded; }

LONG WriteCrashDump(DWORD faultingThread, EXCEPTION_POINTERS* exception) {
  MiniDumpWriteDumpFn writeDump = DumpWriter();
  if (!writeDump) return EXCEPTION_CONTINUE_SEARCH;
  // The earlier dump goes first: one that cannot be replaced (a directory in the way, a
  // file held open) is the creation failure the player reads, and a crash whose dump
  // fails leaves no older dump that would pass for its own.
  if (!DeleteFileA(kDumpFileName) && GetLastError() != ERROR_FILE_NOT_FOUND) {
    PrintWindowsError(kCreateFailed);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  HANDLE file = CreateFileA(kPartFileName, GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                            FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    PrintWindowsError(kCreateFailed);
    return EXCEPTION_CONTINUE_SEARCH;
  }
  writingFile = file;
  writingThread = GetCurrentThreadId();
  // The faulting thread's identifier: the dump names it, not the thread that writes it.
  DumpExceptionInfo info{faultingThread, exception, FALSE};
  const BOOL written = writeDump(GetCurrentProcess(), GetCurrentProcessId(), file,
                                 kMiniDumpNormal, &info, nullptr, nullptr);
  const DWORD error = GetLastError();
  writingThread = 0;
  writingFile = INVALID_HANDLE_VALUE;
  CloseHandle(file);
  if (!written) return DumpFailed(error);
  if (!MoveFileA(kPartFileName, kDumpFileName)) return DumpFailed(GetLastError());
  // Plain printf: the secure-CRT variants are missing from XP's msvcrt.dll.
  std::printf(" An unhandled exception occured. Dump saved to: %s", kDumpFileName);
  // The process is terminated right after we return; buffered output would be lost.
  std::fflush(stdout);
  return EXCEPTION_EXECUTE_HANDLER;
}

LONG WINAPI CrashDumpFilter(EXCEPTION_POINTERS* exception) {
  if (writingThread == GetCurrentThreadId()) return AbandonDump();
  MarkRunCrashed(FaultSignatureOf(exception));  // first: the dump may never finish
  LONG result;
  // Only an overflow needs another thread's stack. Any other fault is written here: this
  // thread may hold the heap's lock (a fault inside a heap function), which the writer
  // takes again, and only the thread that holds it gets through.
  if (exception && exception->ExceptionRecord &&
      exception->ExceptionRecord->ExceptionCode == EXCEPTION_STACK_OVERFLOW &&
      DumpOnParkedThread(exception, &result))
    return result;
  return WriteCrashDump(GetCurrentThreadId(), exception);
}
