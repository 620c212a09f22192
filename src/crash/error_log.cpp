// The report left behind when we are unloaded while still running: the engine's
// minidump, a record in "MurmelonError.log" and a message box asking for both.
#include "crash/error_log.h"

#include <windows.h>

#include <cstdio>

#include "base/interfaces.h"
#include "base/plugin.h"
#include "crash/call_stack.h"
#include "crash/crash_filter.h"
#include "crash/error_message.h"

namespace {

// Relative: the log lies in the game's current directory. Opened with plain fopen in
// text mode ("at"): every "\n" is stored as CR LF, and msvcrt's fopen lets others read
// and write the file meanwhile (deny-none). C stdio only: a C++ file stream would link
// libstdc++'s iostreams and locale machinery, most of the module's code. Nothing here
// takes memory from the heap: the texts are composed in fixed buffers and the stream
// has no buffer (msvcrt would allocate one), since a thread that died holding the
// heap's lock may be why the game ended.
constexpr const char* kLogFileName = "MurmelonError.log";
constexpr const char* kRecordSeparator = "_____________________________________________________";
static_assert(sizeof("_____________________________________________________") == 54,
              "53 underscores");

unsigned AsHex(const void* pointer) {
  return static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer));
}

// Appends the texts to the log in one opening; false when it does not open.
bool Append(const char* const* texts, int count) {
  FILE* log = std::fopen(kLogFileName, "at");
  if (!log) return false;
  std::setvbuf(log, nullptr, _IONBF, 0);
  for (int i = 0; i < count; ++i) std::fputs(texts[i], log);
  std::fclose(log);
  return true;
}

void AppendHeader() {
  // Nine values of at most eight digits, a build number and the keys: well below this.
  char header[512];
  const int length = _snprintf(
      header, sizeof header,
      "hThisLib=%x\n*G_UI=%x\n*G_Console=%x\n*B_UI=%x\n*R_GE=%x\n*V_Local=%x\n"
      "*V_Sys=%x\n*V_Inp=%x\n*V_Int=%x\nVersion=%i\n\n",
      AsHex(hThisLib), AsHex(G_UI), AsHex(G_Console), AsHex(B_UI), AsHex(R_GE), AsHex(V_Local),
      AsHex(V_Sys), AsHex(V_Inp), AsHex(V_Int), static_cast<int>(Version));
  if (length < 0 || static_cast<size_t>(length) >= sizeof header) return;
  const char* texts[] = {header};
  Append(texts, 1);  // without it the stack is still tried
}

// The frames (each ending in a line break), an empty line and the separator.
void AppendCallStack(const stacktrace::call_stack& callStack) {
  const char* texts[] = {callStack.to_string(), "\n", kRecordSeparator, "\n"};
  Append(texts, 4);
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
