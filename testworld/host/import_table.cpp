// Rewriting one import address table entry of a loaded module, e.g. the plug-in's
// user32!MessageBoxW, so a scenario sees what would have been shown.
#include <windows.h>

#include <cstring>

#include "world.h"

namespace world {
namespace {

template <typename T>
T* AtRva(HMODULE module, DWORD rva) {
  return reinterpret_cast<T*>(reinterpret_cast<BYTE*>(module) + rva);
}

void* Swap(IMAGE_THUNK_DATA* slot, void* replacement) {
  DWORD old;
  VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, PAGE_READWRITE, &old);
  void* previous = reinterpret_cast<void*>(slot->u1.Function);
  slot->u1.Function = reinterpret_cast<ULONG_PTR>(replacement);
  VirtualProtect(&slot->u1.Function, sizeof slot->u1.Function, old, &old);
  return previous;
}

}  // namespace

void* ReplaceImport(HMODULE module, const char* dll, const char* function, void* replacement) {
  auto* dos = reinterpret_cast<IMAGE_DOS_HEADER*>(module);
  auto* nt = AtRva<IMAGE_NT_HEADERS>(module, dos->e_lfanew);
  const IMAGE_DATA_DIRECTORY& imports = nt->OptionalHeader.DataDirectory[IMAGE_DIRECTORY_ENTRY_IMPORT];
  if (!imports.VirtualAddress) return nullptr;
  for (auto* d = AtRva<IMAGE_IMPORT_DESCRIPTOR>(module, imports.VirtualAddress); d->Name; ++d) {
    if (_stricmp(AtRva<char>(module, d->Name), dll) != 0) continue;
    auto* slot = AtRva<IMAGE_THUNK_DATA>(module, d->FirstThunk);
    if (d->OriginalFirstThunk) {  // match by the name table (GNU ld always writes it)
      for (auto* name = AtRva<IMAGE_THUNK_DATA>(module, d->OriginalFirstThunk);
           name->u1.AddressOfData; ++name, ++slot) {
        if (IMAGE_SNAP_BY_ORDINAL(name->u1.Ordinal)) continue;
        auto* byName = AtRva<IMAGE_IMPORT_BY_NAME>(module, name->u1.AddressOfData);
        if (strcmp(reinterpret_cast<const char*>(byName->Name), function) == 0)
          return Swap(slot, replacement);
      }
    } else {  // no name table: match the bound address
      HMODULE target = GetModuleHandleA(dll);
      FARPROC address = target ? GetProcAddress(target, function) : nullptr;
      for (; address && slot->u1.Function; ++slot)
        if (slot->u1.Function == reinterpret_cast<ULONG_PTR>(address)) return Swap(slot, replacement);
    }
  }
  return nullptr;
}

}  // namespace world
