// Loading the symbols of every module of the process: toolhelp first, psapi when
// toolhelp yields nothing. Fixed blocks, no heap: the report runs when something went
// wrong, and a thread that died holding the heap's lock may be part of it.
#include <initializer_list>

#include "base/module_function.h"
#include "crash/stack_walker.h"

namespace {

// More modules than this block holds (2024 handles): the list would be cut, so psapi
// loads nothing.
constexpr DWORD kPsapiBlockSize = 8096;

}  // namespace

bool StackWalker::LoadModulesWithToolhelp() {
  for (const char* name : {"kernel32.dll", "tlhelp32.dll"}) {
    ScopedLibrary library(LoadLibraryA(name));
    if (!library.get()) continue;
    auto snapshotOf =
        ModuleFunction<CreateToolhelp32SnapshotFn>(library.get(), "CreateToolhelp32Snapshot");
    auto first = ModuleFunction<Module32FirstFn>(library.get(), "Module32First");
    auto next = ModuleFunction<Module32NextFn>(library.get(), "Module32Next");
    if (!snapshotOf || !first || !next) continue;

    ScopedHandle snapshot(snapshotOf(TH32CS_SNAPMODULE, GetCurrentProcessId()));
    if (!snapshot.valid()) return false;
    MODULEENTRY32 entry{};
    entry.dwSize = sizeof entry;
    int seen = 0;
    for (BOOL more = first(snapshot.get(), &entry); more; more = next(snapshot.get(), &entry)) {
      dbghelp_.SymLoadModule64(dbghelp_.process(), nullptr, entry.szExePath, entry.szModule,
                               reinterpret_cast<uintptr_t>(entry.modBaseAddr), entry.modBaseSize);
      ++seen;
    }
    return seen > 0;
  }
  return false;
}

bool StackWalker::LoadModulesWithPsapi() {
  ScopedLibrary psapi(LoadLibraryA("psapi.dll"));
  if (!psapi.get()) return false;
  auto enumModules = ModuleFunction<EnumProcessModulesFn>(psapi.get(), "EnumProcessModules");
  auto fileNameOf = ModuleFunction<GetModuleFileNameExAFn>(psapi.get(), "GetModuleFileNameExA");
  auto baseNameOf = ModuleFunction<GetModuleBaseNameAFn>(psapi.get(), "GetModuleBaseNameA");
  auto informationOf = ModuleFunction<GetModuleInformationFn>(psapi.get(), "GetModuleInformation");
  if (!enumModules || !fileNameOf || !baseNameOf || !informationOf) return false;

  const HANDLE process = dbghelp_.process();
  HMODULE modules[kPsapiBlockSize / sizeof(HMODULE)];
  DWORD needed = 0;
  if (!enumModules(process, modules, kPsapiBlockSize, &needed) || needed > kPsapiBlockSize)
    return false;
  char fileName[kPsapiBlockSize], baseName[kPsapiBlockSize];
  for (DWORD i = 0; i < needed / sizeof(HMODULE); ++i) {
    MODULEINFO info{};
    informationOf(process, modules[i], &info, sizeof info);
    fileName[0] = baseName[0] = '\0';
    fileNameOf(process, modules[i], fileName, kPsapiBlockSize);
    baseNameOf(process, modules[i], baseName, kPsapiBlockSize);
    fileName[kPsapiBlockSize - 1] = baseName[kPsapiBlockSize - 1] = '\0';
    dbghelp_.SymLoadModule64(process, nullptr, fileName, baseName,
                             reinterpret_cast<uintptr_t>(info.lpBaseOfDll), info.SizeOfImage);
  }
  return needed != 0;
}
