// The plug-in's entry-routine windows and the heap calls made inside them (probe.h).
//
// The window: the loader calls the entry routine its module record names, so the record's
// entry point is pointed at a wrapper, and so is each TLS callback of the image. The heap
// calls: ntdll's RtlAllocateHeap, RtlFreeHeap and RtlReAllocateHeap (where HeapAlloc,
// malloc and every library's allocations end) begin with a jump to a counter, which
// counts the calls of the thread inside a window and goes on into the routine.
#include <windows.h>

#include <cstdint>
#include <cstring>

#include "probe_internal.h"

extern "C" {
// Read by the counters below: the thread inside a window (0: none) and its heap calls.
volatile DWORD ProbeWindowThread;
volatile LONG ProbeWindowHeapCalls;
// Where each counter goes on: the routine past the bytes its jump replaced.
void* ProbeAllocContinue;
void* ProbeFreeContinue;
void* ProbeReAllocContinue;
void ProbeCountAlloc();
void ProbeCountFree();
void ProbeCountReAlloc();
}

// fs:0x24 is the calling thread's identifier (TEB ClientId.UniqueThread). Only eax and
// the flags change, neither of which carries an argument at a routine's entry.
asm(R"(
  .text
  .globl _ProbeCountAlloc
_ProbeCountAlloc:
  movl %fs:0x24, %eax
  cmpl _ProbeWindowThread, %eax
  jne 1f
  lock incl _ProbeWindowHeapCalls
1:
  jmp *_ProbeAllocContinue

  .globl _ProbeCountFree
_ProbeCountFree:
  movl %fs:0x24, %eax
  cmpl _ProbeWindowThread, %eax
  jne 1f
  lock incl _ProbeWindowHeapCalls
1:
  jmp *_ProbeFreeContinue

  .globl _ProbeCountReAlloc
_ProbeCountReAlloc:
  movl %fs:0x24, %eax
  cmpl _ProbeWindowThread, %eax
  jne 1f
  lock incl _ProbeWindowHeapCalls
1:
  jmp *_ProbeReAllocContinue
)");

namespace world::probe {

Bookkeeping::Bookkeeping() : paused_(0) {
  const DWORD self = GetCurrentThreadId();
  if (ProbeWindowThread == self) {
    paused_ = self;
    ProbeWindowThread = 0;
  }
}
Bookkeeping::~Bookkeeping() {
  if (paused_) ProbeWindowThread = paused_;
}

namespace {

// --- patching a routine's entry -----------------------------------------------------------

bool WriteCode(uint8_t* at, const void* bytes, size_t size) {
  DWORD old;
  if (!VirtualProtect(at, size, PAGE_EXECUTE_READWRITE, &old)) return false;
  std::memcpy(at, bytes, size);
  VirtualProtect(at, size, old, &old);
  FlushInstructionCache(GetCurrentProcess(), at, size);
  return true;
}

// The five bytes of a jump that will lie at `at`, written to `out`.
void EncodeJump(uint8_t* out, const uint8_t* at, const void* to) {
  out[0] = 0xE9;  // E9 xxxxxxxx: JMP +5+xxxxxxxx
  const int32_t displacement =
      static_cast<int32_t>(reinterpret_cast<uintptr_t>(to) - reinterpret_cast<uintptr_t>(at + 5));
  std::memcpy(out + 1, &displacement, 4);
}

// The length of one prologue instruction the probe knows how to move, or 0.
size_t KnownInstruction(const uint8_t* code) {
  static const struct {
    uint8_t bytes[4];
    size_t length;
  } known[] = {
      {{0x8B, 0xFF}, 2},             // mov edi, edi
      {{0x55}, 1},                   // push ebp
      {{0x8B, 0xEC}, 2},             // mov ebp, esp
      {{0x89, 0xE5}, 2},             // mov ebp, esp
      {{0x53}, 1}, {{0x56}, 1}, {{0x57}, 1},  // push ebx / esi / edi
      {{0x8D, 0x4C, 0x24, 0x04}, 4}, // lea ecx, [esp+4]
      {{0x83, 0xE4, 0xF0}, 3},       // and esp, -16
      {{0xFF, 0x71, 0xFC}, 3},       // push [ecx-4]
  };
  for (const auto& instruction : known)
    if (std::memcmp(code, instruction.bytes, instruction.length) == 0) return instruction.length;
  if (code[0] == 0x83 && code[1] == 0xEC) return 3;  // sub esp, imm8
  return 0;
}

// Puts a jump to `counter` at the routine's entry; *proceed becomes where the counter
// goes on. A hot-patchable entry (mov edi, edi after five bytes of padding) takes a
// two-byte jump back into the padding, written in one store while other threads may
// run it; another takes a five-byte jump over whole instructions, which move to a
// trampoline.
bool Divert(void* routine, void (*counter)(), void** proceed) {
  auto* code = static_cast<uint8_t*>(routine);
  if (code[0] == 0x8B && code[1] == 0xFF &&
      (std::memcmp(code - 5, "\xCC\xCC\xCC\xCC\xCC", 5) == 0 ||
       std::memcmp(code - 5, "\x90\x90\x90\x90\x90", 5) == 0)) {
    uint8_t jump[5];
    EncodeJump(jump, code - 5, reinterpret_cast<void*>(counter));
    *proceed = code + 2;
    return WriteCode(code - 5, jump, 5) && WriteCode(code, "\xEB\xF9", 2);  // EB F9: JMP -7
  }
  size_t moved = 0;
  while (moved < 5) {
    const size_t length = KnownInstruction(code + moved);
    if (!length) return false;
    moved += length;
  }
  auto* trampoline = static_cast<uint8_t*>(
      VirtualAlloc(nullptr, 64, MEM_COMMIT | MEM_RESERVE, PAGE_EXECUTE_READWRITE));
  if (!trampoline) return false;
  std::memcpy(trampoline, code, moved);
  EncodeJump(trampoline + moved, trampoline + moved, code + moved);
  *proceed = trampoline;
  uint8_t patch[16];
  EncodeJump(patch, code, reinterpret_cast<void*>(counter));
  std::memset(patch + 5, 0x90, moved - 5);  // 90: NOP
  return WriteCode(code, patch, moved);
}

// --- the windows ---------------------------------------------------------------------------

const char* WindowName(DWORD reason, void* reserved) {
  switch (reason) {
    case DLL_PROCESS_ATTACH: return "attach";
    case DLL_PROCESS_DETACH: return reserved ? "exit" : "detach";
    case DLL_THREAD_ATTACH: return "thread-attach";
    default: return "thread-detach";
  }
}

using EntryFn = BOOL(WINAPI*)(HINSTANCE, DWORD, LPVOID);
using TlsCallbackFn = void(NTAPI*)(void*, DWORD, void*);

// Runs one window; the loader runs one entry routine at a time (under its lock).
template <typename Call>
void Window(DWORD reason, void* reserved, Call call) {
  const bool underLock = HoldsLoaderLock();
  const LONGLONG start = Now();
  ProbeWindowHeapCalls = 0;
  ProbeWindowThread = GetCurrentThreadId();
  call();
  ProbeWindowThread = 0;
  const LONG heapCalls = ProbeWindowHeapCalls;
  if (heapCalls || reason == DLL_PROCESS_ATTACH || reason == DLL_PROCESS_DETACH)
    WriteLine("%s window %s %s %ld %.1f\n", phase, WindowName(reason, reserved),
              underLock ? "lock" : "free", heapCalls, MillisecondsSince(start));
}

EntryFn realEntry;
BOOL WINAPI WindowedEntry(HINSTANCE module, DWORD reason, LPVOID reserved) {
  BOOL result = FALSE;
  Window(reason, reserved, [&] { result = realEntry(module, reason, reserved); });
  return result;
}

constexpr int kMaxTlsCallbacks = 8;
TlsCallbackFn realTlsCallbacks[kMaxTlsCallbacks];
template <int N>
void NTAPI WindowedTlsCallback(void* module, DWORD reason, void* reserved) {
  Window(reason, reserved, [&] { realTlsCallbacks[N](module, reason, reserved); });
}
const TlsCallbackFn kTlsWrappers[kMaxTlsCallbacks] = {
    WindowedTlsCallback<0>, WindowedTlsCallback<1>, WindowedTlsCallback<2>, WindowedTlsCallback<3>,
    WindowedTlsCallback<4>, WindowedTlsCallback<5>, WindowedTlsCallback<6>, WindowedTlsCallback<7>};

// The loader's record of a module (LDR_DATA_TABLE_ENTRY, 32-bit): its load-order links
// first, the base at 0x18 and the entry point at 0x1C. The PEB's loader data is at 0x0C,
// its load-order list head at 0x0C in there.
void** EntryPointField(HMODULE module) {
  const uint8_t* peb;
  asm volatile("mov %%fs:0x30, %0" : "=r"(peb));
  const uint8_t* loaderData = *reinterpret_cast<uint8_t* const*>(peb + 0x0C);
  auto* head = reinterpret_cast<const LIST_ENTRY*>(loaderData + 0x0C);
  for (const LIST_ENTRY* link = head->Flink; link != head; link = link->Flink) {
    auto* record = reinterpret_cast<uint8_t*>(const_cast<LIST_ENTRY*>(link));
    if (*reinterpret_cast<HMODULE*>(record + 0x18) == module) return reinterpret_cast<void**>(record + 0x1C);
  }
  return nullptr;
}

}  // namespace

bool ArmHeapCounter() {
  HMODULE ntdll = GetModuleHandleA("ntdll.dll");
  auto routine = [&](const char* name) {
    return reinterpret_cast<void*>(GetProcAddress(ntdll, name));
  };
  return Divert(routine("RtlAllocateHeap"), ProbeCountAlloc, &ProbeAllocContinue) &&
         Divert(routine("RtlFreeHeap"), ProbeCountFree, &ProbeFreeContinue) &&
         Divert(routine("RtlReAllocateHeap"), ProbeCountReAlloc, &ProbeReAllocContinue);
}

bool WatchEntryRoutine(HMODULE plugin) {
  void** entry = EntryPointField(plugin);
  if (!entry || !*entry) return false;
  realEntry = reinterpret_cast<EntryFn>(*entry);
  *entry = reinterpret_cast<void*>(&WindowedEntry);

  auto* base = reinterpret_cast<uint8_t*>(plugin);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& tls = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_TLS];
  if (!tls.VirtualAddress) return true;
  auto* directory = reinterpret_cast<IMAGE_TLS_DIRECTORY32*>(base + tls.VirtualAddress);
  auto** callbacks = reinterpret_cast<TlsCallbackFn*>(directory->AddressOfCallBacks);
  for (int i = 0; callbacks && callbacks[i]; ++i) {
    if (i == kMaxTlsCallbacks) return false;
    realTlsCallbacks[i] = callbacks[i];
    DWORD old;
    VirtualProtect(&callbacks[i], sizeof callbacks[i], PAGE_READWRITE, &old);
    callbacks[i] = kTlsWrappers[i];
    VirtualProtect(&callbacks[i], sizeof callbacks[i], old, &old);
  }
  return true;
}

}  // namespace world::probe
