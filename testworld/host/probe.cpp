// The loader-lock probe (probe.h): journal, load notification, watchdog.
#include "probe.h"

#include <windows.h>

#include <cstdarg>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "probe_internal.h"

namespace world::probe {

char phase[16] = "none";
DWORD slowResolver;

namespace {

// --- the journal ------------------------------------------------------------------------

HANDLE journal = INVALID_HANDLE_VALUE;
LARGE_INTEGER frequency;

}  // namespace

LONGLONG Now() {
  LARGE_INTEGER now;
  QueryPerformanceCounter(&now);
  return now.QuadPart;
}

double MillisecondsSince(LONGLONG start) {
  return static_cast<double>(Now() - start) * 1000.0 / static_cast<double>(frequency.QuadPart);
}

void WriteLine(const char* format, ...) {
  char line[512];
  va_list args;
  va_start(args, format);
  int length = vsnprintf(line, sizeof line, format, args);
  va_end(args);
  if (length < 0) return;
  if (static_cast<size_t>(length) >= sizeof line) length = sizeof line - 1;
  DWORD written;
  WriteFile(journal, line, static_cast<DWORD>(length), &written, nullptr);  // appends
}

bool HoldsLoaderLock() {
  const uint8_t* peb;
  asm volatile("mov %%fs:0x30, %0" : "=r"(peb));
  auto* lock = *reinterpret_cast<RTL_CRITICAL_SECTION* const*>(peb + 0xA0);
  return lock && reinterpret_cast<uintptr_t>(lock->OwningThread) == GetCurrentThreadId();
}

namespace {

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
  const auto plugin = static_cast<HMODULE>(data->base);
  if (!JournalEveryCall(plugin) || !WatchEntryRoutine(plugin))
    WriteLine("%s probe-failed %s\n", phase, "the plug-in's calls or entry routine cannot be watched");
  notified = Now();
}

// --- the watchdog -------------------------------------------------------------------------

constexpr DWORD kWatchPeriodMs = 100;
constexpr DWORD kThreadStartLimitMs = 150000;  // longer than any start-up may take
volatile LONGLONG roundStart;  // 0: no thread start under way
volatile LONG rounds;
CRITICAL_SECTION statsLock;    // the longest stall and the phase's name
double longest;
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
    EnterCriticalSection(&statsLock);
    if (stalled > longest) longest = stalled;
    roundStart = 0;
    LeaveCriticalSection(&statsLock);
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
  InitializeCriticalSection(&statsLock);
  QueryPerformanceFrequency(&frequency);
  wcsncpy(pluginName, plugin.c_str(), MAX_PATH - 1);
  slowResolver = slowResolverMs;
  journal = CreateFileW(journalPath.wstring().c_str(), FILE_APPEND_DATA, FILE_SHARE_READ, nullptr,
                        CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  void* cookie = nullptr;
  if (journal == INVALID_HANDLE_VALUE || registerFn(0, OnLoad, nullptr, &cookie) != 0) return false;
  // Before any thread of ours runs: the counters are patched into routines every thread uses.
  if (!ArmHeapCounter()) return false;
  wake = CreateEventW(nullptr, FALSE, FALSE, nullptr);
  if (HANDLE watchdog = CreateThread(nullptr, 0, Watch, nullptr, 0, nullptr)) CloseHandle(watchdog);
  // Running before the first phase: its own start would otherwise wait for that phase.
  for (int i = 0; i < 500 && rounds == 0; ++i) Sleep(10);
  armed = true;
  return true;
}

bool Armed() { return armed; }

void FinalPhase(const char* name) {
  if (armed) snprintf(phase, sizeof phase, "%s", name);
}

Phase::Phase(const char* name) {
  if (!armed) return;
  EnterCriticalSection(&statsLock);
  snprintf(phase, sizeof phase, "%s", name);
  longest = 0;
  LeaveCriticalSection(&statsLock);
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
  EnterCriticalSection(&statsLock);
  double stalled = longest;
  if (roundStart != 0 && MillisecondsSince(roundStart) > stalled) stalled = MillisecondsSince(roundStart);
  LeaveCriticalSection(&statsLock);
  WriteLine("%s longest-stall %.1f\n", phase, stalled);
}

}  // namespace world::probe
