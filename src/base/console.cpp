#include "base/console.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>

#include <windows.h>

#include "base/interfaces.h"
#include "base/utf8.h"
#include "vstdlib/vstdlib_helper.h"

namespace {

constexpr int kFormatArea = 4096;  // characters, or UTF-16 units for the wide prints

// One held print: the format (always one of our literals) and copies of its texts.
struct HeldPrint {
  HeldPrint* next;
  const char* format;
  char* a;
  char* b;  // null for a format with one text
};

volatile DWORD holdingThread;  // 0: nobody's prints are held
HeldPrint* volatile heldFirst;
HeldPrint* heldLast;
volatile LONG queueLock;  // a spin lock: held for a few pointer moves only

void LockQueue() {
  while (InterlockedExchange(&queueLock, 1) != 0) Sleep(0);
}
void UnlockQueue() { InterlockedExchange(&queueLock, 0); }

char* Copy(const char* text) {
  if (!text) return nullptr;
  size_t size = std::strlen(text) + 1;
  char* copy = static_cast<char*>(std::malloc(size));
  if (copy) std::memcpy(copy, text, size);
  return copy;
}

void Release(HeldPrint* print) {
  std::free(print->a);
  std::free(print->b);
  std::free(print);
}

void Hold(const char* format, const char* a, const char* b) {
  auto* print = static_cast<HeldPrint*>(std::malloc(sizeof(HeldPrint)));
  if (!print) return;
  *print = {nullptr, format, Copy(a), Copy(b)};
  if (!print->a || (b && !print->b)) {
    Release(print);
    return;
  }
  LockQueue();
  if (heldLast)
    heldLast->next = print;
  else
    heldFirst = print;
  heldLast = print;
  UnlockQueue();
}

void PrintNow(const char* format, const char* a, const char* b) {
  auto print = reinterpret_cast<engine::ConsolePrintfFn>(
      engine::Method(G_Console, engine::kConsolePrintfSlot));
  if (b)
    print(G_Console, format, a, b);
  else
    print(G_Console, format, a);
}

// Every print reaches the console through here, at once or, for a held thread, later.
void ConsolePrintf(const char* format, const char* a, const char* b = nullptr) {
  if (holdingThread != 0 && GetCurrentThreadId() == holdingThread)
    Hold(format, a, b);
  else
    PrintNow(format, a, b);
}

void PrintWide(bool prefixed, const wchar_t* format, va_list args) {
  if (!G_Console) return;
  wchar_t area[kFormatArea];
  _vsnwprintf(area, kFormatArea, format, args);
  area[kFormatArea - 1] = L'\0';  // a cut text comes back unterminated
  size_t length = wcslen(area);
  size_t capacity = 2 * length;
  char* utf8 = static_cast<char*>(std::malloc(capacity + 2));
  if (!utf8) return;
  utf8[0] = '\0';
  if (VstdlibHas("Q_UnicodeToUTF8")) {
    Q_UnicodeToUTF8(area, utf8, static_cast<int>(capacity));
    utf8[capacity] = '\0';  // whatever the engine did, the console gets a terminated text
  } else {
    Utf16ToUtf8(reinterpret_cast<const uint16_t*>(area), utf8, capacity);
  }
  if (prefixed)
    ConsolePrintf("%s%s", kMessagePrefix, utf8);
  else
    ConsolePrintf("%s", utf8);
  std::free(utf8);
}

}  // namespace

void ConsoleMsgW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintWide(true, format, args);
  va_end(args);
}

void ConsolePrintW(const wchar_t* format, ...) {
  va_list args;
  va_start(args, format);
  PrintWide(false, format, args);
  va_end(args);
}

void ConsolePrintLine(const char* text) {
  if (G_Console) ConsolePrintf("%s\n", text);
}

void ConsolePrint(const char* format, ...) {
  if (!G_Console) return;
  char area[kFormatArea];
  va_list args;
  va_start(args, format);
  Q_vsnprintf(area, kFormatArea, format, args);
  va_end(args);
  area[kFormatArea - 1] = '\0';
  ConsolePrintf("%s", area);
}

void HoldConsolePrints() { holdingThread = GetCurrentThreadId(); }

void EndHeldPrints() { holdingThread = 0; }

void ShowHeldPrints() {
  if (!heldFirst) return;
  LockQueue();
  HeldPrint* print = heldFirst;
  heldFirst = nullptr;
  heldLast = nullptr;
  UnlockQueue();
  while (print) {
    HeldPrint* next = print->next;
    if (G_Console) PrintNow(print->format, print->a, print->b);
    Release(print);
    print = next;
  }
}
