// The report left behind when we are unloaded while still running: the engine's
// minidump, a record in "MurmelonError.log" and a message box asking for both.
#include "crash/error_log.h"

#include <windows.h>

#include <cstdio>
#include <fstream>

#include "core/interfaces.h"
#include "core/plugin.h"
#include "crash/call_stack.h"
#include "crash/crash_filter.h"
#include "crash/error_message.h"

namespace {

// Relative: the log lies in the game's current directory. Text mode everywhere, so
// every "\n" is stored as CR LF.
constexpr const char* kLogFileName = "MurmelonError.log";
constexpr const char* kRecordSeparator = "_____________________________________________________";
static_assert(sizeof("_____________________________________________________") == 54,
              "53 underscores");

unsigned AsHex(const void* pointer) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}

void AppendHeader() {
  FILE* log = nullptr;
  if (fopen_s(&log, kLogFileName, "at") != 0 || !log) return;  // the stack is still tried
  std::fprintf(log,
               "hThisLib=%x\n*G_UI=%x\n*G_Console=%x\n*B_UI=%x\n*R_GE=%x\n*V_Local=%x\n"
               "*V_Sys=%x\n*V_Inp=%x\n*V_Int=%x\nVersion=%i\n\n",
               AsHex(hThisLib), AsHex(G_UI), AsHex(G_Console), AsHex(B_UI), AsHex(R_GE),
               AsHex(V_Local), AsHex(V_Sys), AsHex(V_Inp), AsHex(V_Int), static_cast<int>(Version));
  std::fclose(log);
}

}  // namespace

// Runs inside the detach notification, under the loader lock. Not inlined: the call
// stack's first frame must be this routine.
__attribute__((noinline)) void WriteErrorLog() {
  WriteEngineMiniDump();
  AppendHeader();
  stacktrace::call_stack callStack(0);
  {
    // libstdc++ opens through the C runtime's fopen: shared for reading and writing
    // by others, text mode.
    std::ofstream stream(kLogFileName, std::ios::out | std::ios::app);
    if (stream) stream << callStack.to_string() << '\n' << kRecordSeparator << '\n';
  }
  MessageBoxW(nullptr, kErrorBoxText, kErrorBoxCaption, MB_OK | MB_ICONEXCLAMATION);
}
