// "<what>. Windows error <code>: <system text>" on standard output.
#include <windows.h>

#include <cstdio>

#include "crash/crash_filter.h"

namespace {

// The system's message text, released however the printing ends.
class SystemMessage {
 public:
  explicit SystemMessage(DWORD code) {
    // 0xFF: no line breaks from the message definition; 0x400: the user's language.
    constexpr DWORD kFlags = FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_IGNORE_INSERTS |
                             FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_MAX_WIDTH_MASK;
    static_assert(kFlags == 0x13FF, "allocate, ignore inserts, from system, no line breaks");
    FormatMessageA(kFlags, nullptr, code, MAKELANGID(LANG_NEUTRAL, SUBLANG_DEFAULT),
                   reinterpret_cast<char*>(&text_), 0, nullptr);
  }
  ~SystemMessage() {
    if (text_) LocalFree(text_);
  }
  SystemMessage(const SystemMessage&) = delete;
  SystemMessage& operator=(const SystemMessage&) = delete;

  const char* text() const { return text_ ? text_ : ""; }

 private:
  char* text_ = nullptr;
};

}  // namespace

void PrintWindowsError(const char* what) {
  DWORD code = GetLastError();  // first, before any call can overwrite it
  SystemMessage message(code);
  std::printf("%s. Windows error %#x: %s", what, static_cast<unsigned>(code), message.text());
  // The filter's failure paths end the process soon after; keep the text.
  std::fflush(stdout);
}
