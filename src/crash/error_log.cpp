// The report left behind when we are unloaded while still running: the engine's
// minidump, a record in "MurmelonError.log" and a message box asking for both.
#include "crash/error_log.h"

#include <windows.h>

#include <cstdio>
#include <string>

#include "base/interfaces.h"
#include "base/plugin.h"
#include "crash/call_stack.h"
#include "crash/crash_filter.h"
#include "crash/error_message.h"

namespace {

// Relative: the log lies in the game's current directory. Opened with plain fopen in
// text mode ("at"): every "\n" is stored as CR LF, and msvcrt's fopen lets others read
// and write the file meanwhile (deny-none). C stdio only: a C++ file stream would link
// libstdc++'s iostreams and locale machinery, most of the module's code.
constexpr const char* kLogFileName = "MurmelonError.log";
constexpr const char* kRecordSeparator = "_____________________________________________________";
static_assert(sizeof("_____________________________________________________") == 54,
              "53 underscores");

unsigned AsHex(const void* pointer) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}

void AppendHeader() {
  FILE* log = std::fopen(kLogFileName, "at");
  if (!log) return;  // the stack is still tried
  std::fprintf(log,
               "hThisLib=%x\n*G_UI=%x\n*G_Console=%x\n*B_UI=%x\n*R_GE=%x\n*V_Local=%x\n"
               "*V_Sys=%x\n*V_Inp=%x\n*V_Int=%x\nVersion=%i\n\n",
               AsHex(hThisLib), AsHex(G_UI), AsHex(G_Console), AsHex(B_UI), AsHex(R_GE),
               AsHex(V_Local), AsHex(V_Sys), AsHex(V_Inp), AsHex(V_Int), static_cast<int>(Version));
  std::fclose(log);
}

// The frames (each ending in a line break), an empty line and the separator.
void AppendCallStack(const stacktrace::call_stack& callStack) {
  FILE* log = std::fopen(kLogFileName, "at");
  if (!log) return;
  std::string frames = callStack.to_string();
  std::fwrite(frames.data(), 1, frames.size(), log);
  std::fprintf(log, "\n%s\n", kRecordSeparator);
  std::fclose(log);
}

}  // namespace

// Runs inside the detach notification, under the loader lock. Not inlined: the call
// stack's first frame must be this routine.
__attribute__((noinline)) void WriteErrorLog() {
  WriteEngineMiniDump();
  AppendHeader();
  stacktrace::call_stack callStack(0);  // taken here: its first frame is this routine
  AppendCallStack(callStack);
  MessageBoxW(nullptr, kErrorBoxText, kErrorBoxCaption, MB_OK | MB_ICONEXCLAMATION);
}
