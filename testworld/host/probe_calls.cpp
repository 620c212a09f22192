// Every call the plug-in makes out of its image, journaled (probe.h): each import's
// address table entry, and each function it binds by name with GetProcAddress, leads to
// a thunk of its own. A thunk knows neither the function's arguments nor its calling
// convention: it notes the call, puts a return thunk in place of the caller's return
// address and jumps to the function with the stack as the caller left it; the return
// thunk journals the call and goes back to the caller with the function's registers,
// its x87 result and its last error as they were.
#include <windows.h>

#include <cstdint>
#include <cstdio>
#include <cstring>

#include "probe_internal.h"

namespace world::probe {
namespace {

enum class Kind : uint8_t {
  kPlain,
  kNarrowName,     // the first argument is a narrow name (a library's); null: none
  kWideName,       // ... a wide one
  kGetProcAddress, // the second argument is the function asked for; the result is wrapped
  kNameLookup,     // gethostbyname: a slow name server is played here
  kNoReturn,       // journaled as it is called: it never comes back
};

struct Callee {
  void* real;
  Kind kind;
  char name[64];
};

// One thunk: push imm32 (the callee's index), jmp rel32 (the common entry).
#pragma pack(push, 1)
struct Stub {
  uint8_t push = 0x68;  // 68 xxxxxxxx: PUSH imm32
  uint32_t index;
  uint8_t jump = 0xE9;  // E9 xxxxxxxx: JMP +5+xxxxxxxx
  int32_t displacement;
};
#pragma pack(pop)
static_assert(sizeof(Stub) == 10, "push imm32 and jmp rel32");

constexpr LONG kMaxCallees = 4096;
Callee callees[kMaxCallees];
Stub* stubs;  // executable block of kMaxCallees thunks
volatile LONG calleeCount;

// Per thread: the calls under way, innermost last.
struct PendingCall {
  uintptr_t returnTo;
  LONG callee;
  bool underLock;
  LONGLONG start;
  char argument[264];  // "(name)" or empty
};
constexpr int kMaxDepth = 32;
struct Pending {
  int depth;
  PendingCall calls[kMaxDepth];
};
DWORD pendingSlot = TLS_OUT_OF_INDEXES;

Pending* ThreadPending() {
  auto* pending = static_cast<Pending*>(TlsGetValue(pendingSlot));
  if (!pending) {
    // Not from the heap: the calls of a thread that holds the heap's lock are journaled too.
    pending = static_cast<Pending*>(
        VirtualAlloc(nullptr, sizeof(Pending), MEM_COMMIT | MEM_RESERVE, PAGE_READWRITE));
    TlsSetValue(pendingSlot, pending);
  }
  return pending;
}

}  // namespace
}  // namespace world::probe

extern "C" {
void ProbeThunkEntry();
void ProbeThunkReturn();
void* __cdecl ProbeCallBegins(uint32_t* frame);
void* __cdecl ProbeCallEnds(uint32_t* registers);
}

// Entry: [esp] the callee's index, [esp+4] the caller's return address, then the
// arguments. ProbeCallBegins gets a pointer to the index, may replace the return address
// and answers the function to jump to, which takes the index's place for the `ret`.
// Return: the function came back with its result in eax:edx or st(0); a slot for the
// caller's return address, the registers, the x87 state (fnsave also empties the x87
// stack for the C code) go on the stack; ProbeCallEnds answers the return address (and
// may rewrite the saved eax).
asm(R"(
  .text
  .globl _ProbeThunkEntry
_ProbeThunkEntry:
  pushal
  leal 32(%esp), %eax
  pushl %eax
  call _ProbeCallBegins
  addl $4, %esp
  movl %eax, 32(%esp)
  popal
  ret

  .globl _ProbeThunkReturn
_ProbeThunkReturn:
  pushl $0
  pushal
  subl $108, %esp
  fnsave (%esp)
  leal 108(%esp), %eax
  pushl %eax
  call _ProbeCallEnds
  addl $4, %esp
  frstor (%esp)
  addl $108, %esp
  movl %eax, 32(%esp)
  popal
  ret
)");

namespace world::probe {
namespace {

void CopyNarrow(char* out, size_t capacity, const char* text) {
  snprintf(out, capacity, "(%s)", text);
}

void CopyWide(char* out, size_t capacity, const wchar_t* text) {
  char narrow[256] = "";
  WideCharToMultiByte(CP_UTF8, 0, text, -1, narrow, sizeof narrow - 1, nullptr, nullptr);
  CopyNarrow(out, capacity, narrow);
}

Kind KindOf(const char* name) {
  static const struct {
    const char* name;
    Kind kind;
  } kinds[] = {
      {"LoadLibraryA", Kind::kNarrowName},     {"LoadLibraryExA", Kind::kNarrowName},
      {"GetModuleHandleA", Kind::kNarrowName}, {"LoadLibraryW", Kind::kWideName},
      {"LoadLibraryExW", Kind::kWideName},     {"GetModuleHandleW", Kind::kWideName},
      {"GetProcAddress", Kind::kGetProcAddress}, {"gethostbyname", Kind::kNameLookup},
      {"ExitProcess", Kind::kNoReturn},        {"ExitThread", Kind::kNoReturn},
      {"FreeLibraryAndExitThread", Kind::kNoReturn}, {"abort", Kind::kNoReturn},
      {"_exit", Kind::kNoReturn},              {"exit", Kind::kNoReturn},
      {"_amsg_exit", Kind::kNoReturn},
  };
  for (const auto& entry : kinds)
    if (std::strcmp(entry.name, name) == 0) return entry.kind;
  return Kind::kPlain;
}

// Data (msvcrt's _iob, __mb_cur_max) is imported like functions; only code is wrapped.
bool IsCode(const void* address) {
  MEMORY_BASIC_INFORMATION region;
  if (!address || !VirtualQuery(address, &region, sizeof region) || region.State != MEM_COMMIT)
    return false;
  return (region.Protect & (PAGE_EXECUTE | PAGE_EXECUTE_READ | PAGE_EXECUTE_READWRITE |
                            PAGE_EXECUTE_WRITECOPY)) != 0;
}

// The thunk of `real` named `name`: the one made before for the same function, or a new one;
// null when the table is full.
void* ThunkFor(void* real, const char* name) {
  const LONG made = calleeCount < kMaxCallees ? calleeCount : kMaxCallees;
  for (LONG i = 0; i < made; ++i)
    if (callees[i].real == real && std::strcmp(callees[i].name, name) == 0) return &stubs[i];
  const LONG index = InterlockedIncrement(&calleeCount) - 1;
  if (index >= kMaxCallees) return nullptr;
  Callee& callee = callees[index];
  callee.real = real;
  callee.kind = KindOf(name);
  snprintf(callee.name, sizeof callee.name, "%s", name);
  Stub& stub = stubs[index];
  stub = Stub{};
  stub.index = static_cast<uint32_t>(index);
  stub.displacement = static_cast<int32_t>(reinterpret_cast<uintptr_t>(&ProbeThunkEntry) -
                                           reinterpret_cast<uintptr_t>(&stub + 1));
  FlushInstructionCache(GetCurrentProcess(), &stub, sizeof stub);
  return &stub;
}

void Journal(const Callee& callee, const char* argument, bool underLock, double milliseconds) {
  WriteLine("%s %s%s %s %.1f\n", phase, callee.name, argument, underLock ? "lock" : "free",
            milliseconds);
}

}  // namespace
}  // namespace world::probe

using namespace world::probe;

void* __cdecl ProbeCallBegins(uint32_t* frame) {
  const DWORD error = GetLastError();
  Bookkeeping bookkeeping;
  const LONG index = static_cast<LONG>(frame[0]);
  const Callee& callee = callees[index];
  char argument[264] = "";
  const uint32_t first = frame[2], second = frame[3];
  switch (callee.kind) {
    case Kind::kNarrowName:
      if (first) CopyNarrow(argument, sizeof argument, reinterpret_cast<const char*>(first));
      break;
    case Kind::kWideName:
      if (first) CopyWide(argument, sizeof argument, reinterpret_cast<const wchar_t*>(first));
      break;
    case Kind::kGetProcAddress:
      if (second > 0xFFFF) CopyNarrow(argument, sizeof argument, reinterpret_cast<const char*>(second));
      else CopyNarrow(argument, sizeof argument, "ordinal");
      break;
    case Kind::kNoReturn:
      Journal(callee, argument, HoldsLoaderLock(), 0.0);
      SetLastError(error);
      return callee.real;
    default:
      break;
  }
  Pending* pending = ThreadPending();
  if (pending && pending->depth < kMaxDepth) {
    PendingCall& call = pending->calls[pending->depth++];
    call.returnTo = frame[1];
    call.callee = index;
    call.underLock = HoldsLoaderLock();
    std::memcpy(call.argument, argument, sizeof argument);
    if (callee.kind == Kind::kNameLookup && slowResolver) Sleep(slowResolver);
    call.start = Now();
    frame[1] = reinterpret_cast<uint32_t>(&ProbeThunkReturn);
  }
  SetLastError(error);
  return callee.real;
}

void* __cdecl ProbeCallEnds(uint32_t* registers) {
  const DWORD error = GetLastError();
  Bookkeeping bookkeeping;
  Pending* pending = ThreadPending();
  PendingCall& call = pending->calls[--pending->depth];
  const Callee& callee = callees[call.callee];
  const double milliseconds = MillisecondsSince(call.start);
  // pushal's order: edi esi ebp esp ebx edx ecx eax.
  uint32_t& eax = registers[7];
  if (callee.kind == Kind::kGetProcAddress && eax && std::strcmp(call.argument, "(ordinal)") != 0) {
    char name[64];
    snprintf(name, sizeof name, "%.*s", static_cast<int>(std::strlen(call.argument)) - 2,
             call.argument + 1);
    void* found = reinterpret_cast<void*>(eax);
    if (IsCode(found))
      if (void* thunk = ThunkFor(found, name)) eax = reinterpret_cast<uint32_t>(thunk);
  }
  Journal(callee, call.argument, call.underLock, milliseconds);
  SetLastError(error);
  return reinterpret_cast<void*>(call.returnTo);
}

namespace world::probe {

bool JournalEveryCall(HMODULE plugin) {
  pendingSlot = TlsAlloc();
  stubs = static_cast<Stub*>(VirtualAlloc(nullptr, sizeof(Stub) * kMaxCallees, MEM_COMMIT | MEM_RESERVE,
                                          PAGE_EXECUTE_READWRITE));
  if (pendingSlot == TLS_OUT_OF_INDEXES || !stubs) return false;
  auto* base = reinterpret_cast<uint8_t*>(plugin);
  auto* nt = reinterpret_cast<IMAGE_NT_HEADERS32*>(base + reinterpret_cast<IMAGE_DOS_HEADER*>(base)->e_lfanew);
  const IMAGE_DATA_DIRECTORY& directory = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!directory.VirtualAddress) return false;
  for (auto* d = reinterpret_cast<IMAGE_IMPORT_DESCRIPTOR*>(base + directory.VirtualAddress); d->Name; ++d) {
    if (!d->OriginalFirstThunk) return false;  // GNU ld always writes the name table
    auto* name = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->OriginalFirstThunk);
    auto* slot = reinterpret_cast<IMAGE_THUNK_DATA32*>(base + d->FirstThunk);
    for (; name->u1.AddressOfData; ++name, ++slot) {
      char function[64];
      if (IMAGE_SNAP_BY_ORDINAL32(name->u1.Ordinal))
        snprintf(function, sizeof function, "ordinal:%lu", IMAGE_ORDINAL32(name->u1.Ordinal));
      else
        snprintf(function, sizeof function, "%s",
                 reinterpret_cast<const char*>(
                     reinterpret_cast<IMAGE_IMPORT_BY_NAME*>(base + name->u1.AddressOfData)->Name));
      void* real = reinterpret_cast<void*>(slot->u1.Function);
      if (!IsCode(real)) continue;
      void* thunk = ThunkFor(real, function);
      if (!thunk) return false;
      DWORD old;
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old);
      slot->u1.Function = reinterpret_cast<uintptr_t>(thunk);
      VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
    }
  }
  return true;
}

}  // namespace world::probe
