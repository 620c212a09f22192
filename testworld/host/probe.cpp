// The loader-lock probe (probe.h): load notification, journaling wrappers, watchdog.
#include <winsock2.h>  // before windows.h, which probe.h brings

#include "probe.h"

#include <windows.h>
#include <dbghelp.h>
#include <psapi.h>
#include <tlhelp32.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "world.h"

namespace world::probe {
namespace {

// --- the journal ------------------------------------------------------------------------

CRITICAL_SECTION journalLock;
HANDLE journal = INVALID_HANDLE_VALUE;
char phase[16] = "none";
LARGE_INTEGER frequency;
DWORD slowResolver;

double MillisecondsSince(LONGLONG start) {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return static_cast<double>(now.QuadPart - start) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void WriteLine(const char* format, ...) __attribute__((format(__MINGW_PRINTF_FORMAT, 1, 2)));
void WriteLine(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof line) length = sizeof line - 1;
  EnterCriticalSection(&journalLock);
  DWORD written;
  WriteFile(journal, line, static_cast<DWORD>(length), &written, nullptr);
  LeaveCriticalSection(&journalLock);
}

// The 32-bit PEB holds a pointer to the loader lock at 0xA0; the critical section's
// owner is the holding thread's identifier. Wine fills both as Windows does.
bool HoldsLoaderLock() {
  const uint8_t* peb;
  asm volatile("mov %%fs:0x30, %0" : "=r"(peb));
  auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + 0xA0);
  return lock && reinterpret_cast<uintptr_t>(lock->OwningThread) == GetCurrentThreadId();
}

// One call: the lock state as it began, its time as it returned. The caller's last
// error is the real function's, whatever the journal does.
class CallRecord {
 public:
  explicit CallRecord(const char* name, const char* argument = nullptr)
      : name_(name), underLock_(HoldsLoaderLock()) {
    argument_[0] = '\0';
    if (argument) snprintf(argument_, sizeof argument_, "(%s)", argument);
    QueryPerformanceCounter(&start_);
  }
  ~CallRecord() {
    const DWORD error = GetLastError();
    WriteLine("%s %s%s %s %.1f\n", phase, name_, argument_, underLock_ ? "lock" : "free",
              MillisecondsSince(start_.QuadPart));
    SetLastError(error);
  }

 private:
  const char* name_;
  char argument_[280];
  bool underLock_;
  LARGE_INTEGER start_;
};

// --- the wrappers -------------------------------------------------------------------------

// One wrapper per function, of the function's own type and calling convention; Id keeps
// two functions of the same type apart.
template <int Id, typename Fn>
struct Journaled;
template <int Id, typename R, typename... A>
struct Journaled<Id, R(__stdcall*)(A...)> {
  static inline R(__stdcall* real)(A...) = nullptr;
  static inline const char* name = "";
  static R __stdcall Call(A... args) {
    CallRecord record(name);
    return real(args...);
  }
};
template <int Id, typename R, typename... A>
struct Journaled<Id, R(__cdecl*)(A...)> {
  static inline R(__cdecl* real)(A...) = nullptr;
  static inline const char* name = "";
  static R __cdecl Call(A... args) {
    CallRecord record(name);
    return real(args...);
  }
};

struct Redirect {
  const char* dll;       // the import's library (by-name entries: unused)
  const char* function;
  void* wrapper;
  void** real;
  const char** name;
};

template <int Id, typename Fn>
Redirect Journal(const char* dll, const char* function) {
  using W = Journaled<Id, Fn>;
  W::name = function;
  return {dll, function, reinterpret_cast<void*>(&W::Call), reinterpret_cast<void**>(&W::real),
          &W::name};
}
#define PROBE_JOURNAL(dll, function) Journal<__COUNTER__, decltype(&::function)>(dll, #function)

// tier0's minidump routine, bound by name: cdecl, one pointer.
using WriteMiniDumpFn = void(__cdecl*)(void*);

// What the plug-in binds with GetProcAddress and the probe journals.
Redirect* ByName(const char* function) {
  static Redirect table[] = {
      PROBE_JOURNAL("", SymInitialize),      PROBE_JOURNAL("", SymCleanup),
      PROBE_JOURNAL("", SymGetOptions),      PROBE_JOURNAL("", SymSetOptions),
      PROBE_JOURNAL("", SymLoadModule64),    PROBE_JOURNAL("", StackWalk64),
      PROBE_JOURNAL("", SymGetSymFromAddr64), PROBE_JOURNAL("", SymGetLineFromAddr64),
      PROBE_JOURNAL("", MiniDumpWriteDump),  PROBE_JOURNAL("", EnumProcessModules),
      PROBE_JOURNAL("", GetModuleFileNameExA), PROBE_JOURNAL("", GetModuleBaseNameA),
      PROBE_JOURNAL("", GetModuleInformation), PROBE_JOURNAL("", CreateToolhelp32Snapshot),
      PROBE_JOURNAL("", Module32First),      PROBE_JOURNAL("", Module32Next),
      Journal<__COUNTER__, WriteMiniDumpFn>("", "WriteMiniDump"),
  };
  for (Redirect& entry : table)
    if (std::strcmp(entry.function, function) == 0) return &entry;
  return nullptr;
}

// Imports whose journal line names what they were asked for, or that do more.
decltype(&::LoadLibraryA) realLoadLibraryA;
decltype(&::LoadLibraryW) realLoadLibraryW;
decltype(&::LoadLibraryExA) realLoadLibraryExA;
decltype(&::LoadLibraryExW) realLoadLibraryExW;
decltype(&::GetProcAddress) realGetProcAddress;
decltype(&::gethostbyname) realgethostbyname;

std::string Narrow(LPCWSTR text) {
  char narrow[260] = "";
  if (text) WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow, nullptr, nullptr);
  narrow[sizeof narrow - 1] = '\0';
  return narrow;
}

HMODULE WINAPI ProbeLoadLibraryA(LPCSTR name) {
  CallRecord record("LoadLibraryA", name);
  return realLoadLibraryA(name);
}
HMODULE WINAPI ProbeLoadLibraryW(LPCWSTR name) {
  CallRecord record("LoadLibraryW", Narrow(name).c_str());
  return realLoadLibraryW(name);
}
HMODULE WINAPI ProbeLoadLibraryExA(LPCSTR name, HANDLE file, DWORD flags) {
  CallRecord record("LoadLibraryExA", name);
  return realLoadLibraryExA(name, file, flags);
}
HMODULE WINAPI ProbeLoadLibraryExW(LPCWSTR name, HANDLE file, DWORD flags) {
  CallRecord record("LoadLibraryExW", Narrow(name).c_str());
  return realLoadLibraryExW(name, file, flags);
}

FARPROC WINAPI ProbeGetProcAddress(HMODULE module, LPCSTR name) {
  const bool byName = reinterpret_cast<uintptr_t>(name) > 0xFFFF;
  CallRecord record("GetProcAddress", byName ? name : "ordinal");
  FARPROC found = realGetProcAddress(module, name);
  Redirect* wrapped = byName && found ? ByName(name) : nullptr;
  if (!wrapped) return found;
  *wrapped->real = reinterpret_cast<void*>(found);
  return reinterpret_cast<FARPROC>(wrapped->wrapper);
}

hostent* WSAAPI Probegethostbyname(const char* name) {
  CallRecord record("gethostbyname");
  if (slowResolver) Sleep(slowResolver);
  return realgethostbyname(name);
}

template <size_t N>
void RedirectAll(HMODULE plugin, Redirect (&table)[N]) {
  for (Redirect& entry : table)
    if (void* previous = ReplaceImport(plugin, entry.dll, entry.function, entry.wrapper))
      *entry.real = previous;
}

Redirect Own(const char* dll, const char* function, void* wrapper, void* real) {
  return {dll, function, wrapper, static_cast<void**>(real), nullptr};
}
#define PROBE_OWN(dll, function) \
  Own(dll, #function, reinterpret_cast<void*>(&Probe##function), &real##function)

void RedirectImports(HMODULE plugin) {
  Redirect special[] = {
      PROBE_OWN("kernel32.dll", LoadLibraryA),   PROBE_OWN("kernel32.dll", LoadLibraryW),
      PROBE_OWN("kernel32.dll", LoadLibraryExA), PROBE_OWN("kernel32.dll", LoadLibraryExW),
      PROBE_OWN("kernel32.dll", GetProcAddress), PROBE_OWN("ws2_32.dll", gethostbyname),
  };
  RedirectAll(plugin, special);

  static Redirect journaled[] = {
      PROBE_JOURNAL("kernel32.dll", CreateThread), PROBE_JOURNAL("kernel32.dll", WaitForSingleObject),
      PROBE_JOURNAL("kernel32.dll", Sleep),        PROBE_JOURNAL("user32.dll", MessageBoxW),
      PROBE_JOURNAL("ws2_32.dll", WSAStartup),     PROBE_JOURNAL("ws2_32.dll", WSACleanup),
      PROBE_JOURNAL("ws2_32.dll", WSAGetLastError), PROBE_JOURNAL("ws2_32.dll", __WSAFDIsSet),
      PROBE_JOURNAL("ws2_32.dll", socket),         PROBE_JOURNAL("ws2_32.dll", closesocket),
      PROBE_JOURNAL("ws2_32.dll", connect),        PROBE_JOURNAL("ws2_32.dll", getsockopt),
      PROBE_JOURNAL("ws2_32.dll", htons),          PROBE_JOURNAL("ws2_32.dll", ioctlsocket),
      PROBE_JOURNAL("ws2_32.dll", recv),           PROBE_JOURNAL("ws2_32.dll", select),
      PROBE_JOURNAL("ws2_32.dll", send),
  };
  RedirectAll(plugin, journaled);
}

// --- the load notification ----------------------------------------------------------------

struct CountedString {
  USHORT length, maximumLength;  // in bytes
  PWSTR buffer;
};
struct LoadNotification {  // LDR_DLL_LOADED_NOTIFICATION_DATA
  ULONG flags;
  const CountedString* fullName;
  const CountedString* baseName;
  void* base;
  ULONG imageSize;
};
static_assert(sizeof(LoadNotification) == 20, "five 32-bit fields");
constexpr ULONG kReasonLoaded = 1;
using NotificationFn = void(CALLBACK*)(ULONG reason, const LoadNotification* data, void* context);
using RegisterFn = LONG(NTAPI*)(ULONG flags, NotificationFn callback, void* context, void** cookie);

wchar_t pluginName[MAX_PATH];
LONGLONG notified;  // when the plug-in's attach was about to run; 0 once journaled

void CALLBACK OnLoad(ULONG reason, const LoadNotification* data, void*) {
  if (reason != kReasonLoaded || !data->baseName) return;
  const std::wstring name(data->baseName->buffer, data->baseName->length / sizeof(wchar_t));
  if (_wcsicmp(name.c_str(), pluginName) != 0) return;
  RedirectImports(static_cast<HMODULE>(data->base));
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  notified = now.QuadPart;
}

// --- the watchdog -------------------------------------------------------------------------

constexpr DWORD kWatchPeriodMs = 100;
constexpr DWORD kThreadStartLimitMs = 150000;  // longer than any start-up may take
volatile LONGLONG roundStart;  // 0: no thread start under way
volatile LONG rounds;
double longest;                // under journalLock
HANDLE wake;                   // a phase begins: a round starts at once

DWORD WINAPI Nothing(void*) { return 0; }

DWORD WINAPI Watch(void*) {
  for (;;) {
    LARGE_INTEGER start;
    QueryPerformanceCounter(&start);
    roundStart = start.QuadPart;
    if (HANDLE thread = CreateThread(nullptr, 0, Nothing, nullptr, 0, nullptr)) {
      WaitForSingleObject(thread, kThreadStartLimitMs);
      CloseHandle(thread);
    }
    const double stalled = MillisecondsSince(start.QuadPart);
    EnterCriticalSection(&journalLock);
    if (stalled > longest) longest = stalled;
    roundStart = 0;
    LeaveCriticalSection(&journalLock);
    InterlockedIncrement(&rounds);
    WaitForSingleObject(wake, kWatchPeriodMs);
  }
}

bool armed;

}  // namespace

bool Arm(const std::wstring& plugin, const std::filesystem::path& journalPath, DWORD slowResolverMs) {
  if (armed) return true;
  auto registerFn = reinterpret_cast<RegisterFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("ntdll.dll"), "LdrRegisterDllNotification")));
  if (!registerFn) return false;
  InitializeCriticalSection(&journalLock);
  QueryPerformanceFrequency(&frequency);
  wcsncpy(pluginName, plugin.c_str(), MAX_PATH - 1);
  slowResolver = slowResolverMs;
  journal = CreateFileW(journalPath.wstring().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  void* cookie = nullptr;
  if (journal == INVALID_HANDLE_VALUE || registerFn(0, OnLoad, nullptr, &cookie) != 0) return false;
  wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (HANDLE watchdog = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr)) CloseHandle(watchdog);
  // Running before the first phase: its own start would otherwise wait for that phase.
  for (int i = 0; i < 500 && rounds == 0; ++i) Sleep(10);
  armed = true;
  return true;
}

bool Armed() { return armed; }

Phase::Phase(const char* name) {
  if (!armed) return;
  EnterCriticalSection(&journalLock);
  snprintf(phase, sizeof phase, "%s", name);
  longest = 0;
  LeaveCriticalSection(&journalLock);
  // A thread start under way as the phase begins, then one every period.
  const LONG seen = rounds;
  SetEvent(wake);
  for (int i = 0; i < 200 && roundStart == 0 && rounds == seen; ++i) Sleep(1);
}

Phase::~Phase() {
  if (!armed) return;
  if (notified) {  // the load returned: the attach and the loader's last steps are over
    WriteLine("%s attach %.1f\n", phase, MillisecondsSince(notified));
    notified = 0;
  }
  // A thread start still waiting is part of this phase: its wait ends soon after ours.
  const LONG seen = rounds;
  for (int i = 0; i < 200 && roundStart != 0 && rounds == seen; ++i) Sleep(10);
  EnterCriticalSection(&journalLock);
  double stalled = longest;
  if (roundStart != 0 && MillisecondsSince(roundStart) > stalled) stalled = MillisecondsSince(roundStart);
  LeaveCriticalSection(&journalLock);
  WriteLine("%s longest-stall %.1f\n", phase, stalled);
}

}  // namespace world::probe
