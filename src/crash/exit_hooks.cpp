// The hooks of crash/exit_hooks.h: import address table entries of the game's modules
// led through a stub of ours. An entry is one aligned pointer, written in one store while
// other threads may call through it; the code of the system's libraries stays untouched.
// A game and its C runtime end through their imports of ExitProcess, on every Windows.
// From Vista on, kernel32's ExitProcess ends in ntdll's RtlExitUserProcess; where it
// calls that through its own import, as Wine's does, even an ExitProcess called through a
// pointer from GetProcAddress is seen. Whether Windows 7's kernel32 does is the one part
// the test world cannot show; XP has no RtlExitUserProcess. An end no hook sees still
// gets the detach's bare record (crash/error_log.h).
#include "crash/exit_hooks.h"

#include <cstdint>
#include <cstring>

#include "base/memory_patch.h"
#include "base/module_function.h"
#include "base/plugin.h"
#include "crash/error_log.h"

extern "C" {
// Where each stub goes on: the function the entry named before.
void* MurmelonExitProcess;
void* MurmelonRtlExitUserProcess;
void* MurmelonFreeLibrary;
void MurmelonExitProcessStub();
void MurmelonRtlExitUserProcessStub();
void MurmelonFreeLibraryStub();
void __cdecl MurmelonBeforeProcessExit();
void __cdecl MurmelonBeforeLibraryFreed(HMODULE module);
}

// Each stub runs its check and then jumps to the real function with the caller's stack
// untouched, so the function returns straight to its caller: after FreeLibrary has
// unloaded us, nothing of ours is left to return into.
asm(R"(
  .text
  .globl _MurmelonExitProcessStub
_MurmelonExitProcessStub:
  call _MurmelonBeforeProcessExit
  jmp *_MurmelonExitProcess

  .globl _MurmelonRtlExitUserProcessStub
_MurmelonRtlExitUserProcessStub:
  call _MurmelonBeforeProcessExit
  jmp *_MurmelonRtlExitUserProcess

  .globl _MurmelonFreeLibraryStub
_MurmelonFreeLibraryStub:
  pushl 4(%esp)
  call _MurmelonBeforeLibraryFreed
  addl $4, %esp
  jmp *_MurmelonFreeLibrary
)");

// The record's call stack runs outward from the report through these frames to the stub
// (which has no source lines, so the list ends there): each call stays a call, not a
// jump that would take its caller's frame off the stack.
#define KEEP_FRAME() asm volatile("" ::: "memory")

void __cdecl MurmelonBeforeProcessExit() {
  if (RunningOnSupportedBuild()) ReportAbnormalEnd();
  KEEP_FRAME();
}

void __cdecl MurmelonBeforeLibraryFreed(HMODULE module) {
  if (module == hThisLib && RunningOnSupportedBuild()) ReportAbnormalEnd();
  KEEP_FRAME();
}

namespace {

struct Hook {
  const char* dll;
  const char* function;
  void (*stub)();
  void** real;
};
const Hook kExitProcess{"kernel32.dll", "ExitProcess", MurmelonExitProcessStub, &MurmelonExitProcess};
const Hook kRtlExitUserProcess{"ntdll.dll", "RtlExitUserProcess", MurmelonRtlExitUserProcessStub,
                               &MurmelonRtlExitUserProcess};
const Hook kFreeLibrary{"kernel32.dll", "FreeLibrary", MurmelonFreeLibraryStub, &MurmelonFreeLibrary};

// Every entry led through us, with what it held before.
struct LedEntry {
  void** entry;
  void* previous;
  void* stub;
};
constexpr int kMaxEntries = 256;
LedEntry led[kMaxEntries];
int ledCount;
bool installed;

template <typename T>
const T* At(const uint8_t* base, uint32_t rva) {
  return reinterpret_cast<const T*>(base + rva);
}

// The module's import descriptors, or null when its headers do not hold together.
const IMAGE_IMPORT_DESCRIPTOR* ImportsOf(const uint8_t* base, uint32_t* imageSize) {
  const auto* dos = At<IMAGE_DOS_HEADER>(base, 0);
  if (dos->e_magic != IMAGE_DOS_SIGNATURE || dos->e_lfanew <= 0 || dos->e_lfanew > 0x1000) return nullptr;
  const auto* nt = At<IMAGE_NT_HEADERS32>(base, static_cast<uint32_t>(dos->e_lfanew));
  if (nt->Signature != IMAGE_NT_SIGNATURE || nt->OptionalHeader.Magic != IMAGE_NT_OPTIONAL_HDR32_MAGIC)
    return nullptr;
  *imageSize = nt->OptionalHeader.SizeOfImage;
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!imports.VirtualAddress || imports.VirtualAddress >= *imageSize) return nullptr;
  return At<IMAGE_IMPORT_DESCRIPTOR>(base, imports.VirtualAddress);
}

// Leads the module's import of the hook's function (matched by name: a module's own
// table says what it asked for) through the hook's stub.
void Lead(HMODULE module, const Hook& hook) {
  const auto* base = reinterpret_cast<const uint8_t*>(module);
  uint32_t size = 0;
  for (const IMAGE_IMPORT_DESCRIPTOR* d = ImportsOf(base, &size); d && d->Name; ++d) {
    if (d->Name >= size || d->FirstThunk >= size || d->OriginalFirstThunk >= size) return;
    if (!d->OriginalFirstThunk || _stricmp(At<char>(base, d->Name), hook.dll) != 0) continue;
    const auto* name = At<IMAGE_THUNK_DATA32>(base, d->OriginalFirstThunk);
    auto** entry = const_cast<void**>(At<void*>(base, d->FirstThunk));
    for (; name->u1.AddressOfData; ++name, ++entry) {
      if (IMAGE_SNAP_BY_ORDINAL32(name->u1.Ordinal) || name->u1.AddressOfData >= size) continue;
      const char* imported = reinterpret_cast<const char*>(
          At<IMAGE_IMPORT_BY_NAME>(base, name->u1.AddressOfData)->Name);
      if (std::strcmp(imported, hook.function) != 0 || ledCount == kMaxEntries) continue;
      void* stub = reinterpret_cast<void*>(hook.stub);
      void* previous = *entry;
      if (previous == stub || !WriteProtected(entry, &stub, sizeof stub)) continue;
      led[ledCount++] = {entry, previous, stub};
    }
  }
}

// Every image mapped in the process now: the address space walked region by region, an
// image's first region (its allocation base) starting it, the rest of it skipped by its
// size of image. A hundred queries or so, where a module snapshot (toolhelp) takes
// milliseconds under Wine; and no loader list read without the loader's lock.
template <typename Visit>
void ForEachImage(Visit visit) {
  MEMORY_BASIC_INFORMATION region;
  for (auto at = static_cast<uintptr_t>(0x10000);
       VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) == sizeof region;) {
    uintptr_t next = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    uint32_t size = 0;
    if (region.Type == MEM_IMAGE && region.State == MEM_COMMIT && region.AllocationBase == region.BaseAddress &&
        !(region.Protect & (PAGE_NOACCESS | PAGE_GUARD)) &&
        ImportsOf(static_cast<const uint8_t*>(region.BaseAddress), &size) != nullptr) {
      visit(static_cast<HMODULE>(region.AllocationBase));
      if (reinterpret_cast<uintptr_t>(region.BaseAddress) + size > next)
        next = reinterpret_cast<uintptr_t>(region.BaseAddress) + size;
    }
    if (next <= at) break;  // the top of the address space
    at = next;
  }
}

// The module of the entry is still the one we patched: mapped as an image, and the entry
// still holds our stub.
bool StillOurs(const LedEntry& entry) {
  MEMORY_BASIC_INFORMATION region;
  return VirtualQuery(entry.entry, &region, sizeof region) && region.State == MEM_COMMIT &&
         region.Type == MEM_IMAGE && *entry.entry == entry.stub;
}

}  // namespace

void InstallExitHooks(HMODULE host) {
  if (installed) return;
  installed = true;
  HMODULE kernel32 = GetModuleHandleW(L"kernel32.dll");
  HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
  MurmelonExitProcess = ModuleFunction<void*>(kernel32, "ExitProcess");
  MurmelonRtlExitUserProcess = ModuleFunction<void*>(ntdll, "RtlExitUserProcess");  // none on XP
  MurmelonFreeLibrary = ModuleFunction<void*>(kernel32, "FreeLibrary");
  if (host && host != hThisLib && MurmelonFreeLibrary) Lead(host, kFreeLibrary);
  ForEachImage([](HMODULE module) {
    if (module == hThisLib) return;
    if (MurmelonExitProcess) Lead(module, kExitProcess);
    if (MurmelonRtlExitUserProcess) Lead(module, kRtlExitUserProcess);
  });
}

void RemoveExitHooks() {
  for (int i = 0; i < ledCount; ++i)
    if (StillOurs(led[i])) WriteProtected(led[i].entry, &led[i].previous, sizeof led[i].previous);
  ledCount = 0;
  installed = false;
}
