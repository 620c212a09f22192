// The report left behind when the game ends, or we are unloaded, while we still run: the
// engine's minidump, a record in "MurmelonError.log" and a message box asking for both.
#include "crash/error_log.h"

#include <windows.h>

#include <cstdint>
#include <cstring>

#include "base/interfaces.h"
#include "base/plugin.h"
#include "base/run_mark.h"
#include "crash/call_stack.h"
#include "crash/crash_filter.h"
#include "crash/error_message.h"

namespace {

// Relative: the log lies in the game's current directory. Written with kernel32's file
// calls alone, each line break as CR LF (the bytes a C runtime's text mode gives), the
// file shared for reading and writing meanwhile (deny-none). No C runtime stdio and no
// heap: the bare record is written from the loader's detach at the process's end, where
// a thread killed while holding the heap's lock or a stream's would keep it for good.
constexpr const char* kLogFileName = "MurmelonError.log";
constexpr const char* kRecordSeparator = "_____________________________________________________";
static_assert(sizeof("_____________________________________________________") == 54,
              "53 underscores");

bool reported;  // once per load: the hooks and the detach may both see the end

// Writes the text with every "\n" as "\r\n".
void WriteText(HANDLE file, const char* text) {
  DWORD written;
  for (const char* end; (end = std::strchr(text, '\n')) != nullptr; text = end + 1) {
    WriteFile(file, text, static_cast<DWORD>(end - text), &written, nullptr);
    WriteFile(file, "\r\n", 2, &written, nullptr);
  }
  if (*text) WriteFile(file, text, static_cast<DWORD>(std::strlen(text)), &written, nullptr);
}

// Appends the texts to the log in one opening; false when it does not open.
bool Append(const char* const* texts, int count) {
  HANDLE log = CreateFileA(kLogFileName, FILE_APPEND_DATA, FILE_SHARE_READ | FILE_SHARE_WRITE,
                           nullptr, OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (log == INVALID_HANDLE_VALUE) return false;
  for (int i = 0; i < count; ++i) WriteText(log, texts[i]);
  CloseHandle(log);
  return true;
}

// A fixed-size text built without the C runtime's formatting.
struct Text {
  char bytes[512];
  size_t length = 0;

  void Add(const char* text) {
    while (*text && length + 1 < sizeof bytes) bytes[length++] = *text++;
    bytes[length] = '\0';
  }
  // Unpadded lower-case hexadecimal, as "%x" prints it.
  void AddHex(uint32_t value) {
    char digits[9];
    int at = 8;
    digits[at] = '\0';
    do {
      digits[--at] = "0123456789abcdef"[value & 0xF];
      value >>= 4;
    } while (value);
    Add(digits + at);
  }
  // Signed decimal, as "%i" prints it.
  void AddDecimal(int32_t value) {
    char digits[12];
    int at = 11;
    digits[at] = '\0';
    uint32_t magnitude = value < 0 ? 0u - static_cast<uint32_t>(value) : static_cast<uint32_t>(value);
    do {
      digits[--at] = static_cast<char>('0' + magnitude % 10);
      magnitude /= 10;
    } while (magnitude);
    if (value < 0) digits[--at] = '-';
    Add(digits + at);
  }
};

uint32_t AsHex(const void* pointer) { return static_cast<uint32_t>(reinterpret_cast<uintptr_t>(pointer)); }

// Lines 1 to 11: the module handle, the eight interfaces (0 when not obtained), the build
// and an empty line.
void ComposeHeader(Text& header) {
  const struct {
    const char* key;
    const void* value;
  } fields[] = {{"hThisLib=", hThisLib}, {"\n*G_UI=", G_UI},         {"\n*G_Console=", G_Console},
                {"\n*B_UI=", B_UI},      {"\n*R_GE=", R_GE},         {"\n*V_Local=", V_Local},
                {"\n*V_Sys=", V_Sys},    {"\n*V_Inp=", V_Inp},       {"\n*V_Int=", V_Int}};
  for (const auto& field : fields) {
    header.Add(field.key);
    header.AddHex(AsHex(field.value));
  }
  header.Add("\nVersion=");
  header.AddDecimal(Version);
  header.Add("\n\n");
}

void AppendHeader() {
  Text header;
  ComposeHeader(header);
  const char* texts[] = {header.bytes};
  Append(texts, 1);  // without it the stack is still tried
}

// The frames (each ending in a line break), an empty line and the separator.
void AppendCallStack(const char* frames) {
  const char* texts[] = {frames, "\n", kRecordSeparator, "\n"};
  Append(texts, 4);
}

}  // namespace

// Not inlined: the call stack's first frame must be this routine.
__attribute__((noinline)) void WriteErrorLog() {
  WriteEngineMiniDump();
  AppendHeader();
  stacktrace::call_stack callStack(0);  // taken here: its first frame is this routine
  AppendCallStack(callStack.to_string());
  MessageBoxW(nullptr, kErrorBoxText, kErrorBoxCaption, MB_OK | MB_ICONEXCLAMATION);
}

__attribute__((noinline)) void ReportAbnormalEnd() {
  if (reported) return;
  reported = true;
  MarkRunAbnormal();  // first: the report may never finish
  WriteErrorLog();
  asm volatile("" ::: "memory");  // a call, not a jump: this frame stays in the record
}

bool AbnormalEndReported() { return reported; }

void WriteBareErrorRecord() {
  if (reported) return;
  reported = true;
  MarkRunAbnormal();
  Text header;
  ComposeHeader(header);
  const char* texts[] = {header.bytes, "\n", kRecordSeparator, "\n"};
  Append(texts, 4);
}
