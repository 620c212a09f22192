// Loading the symbols of every module of the walked process: toolhelp first, psapi when
// toolhelp yields nothing.
#include <cstdlib>
#include <cstring>

#include "base/module_function.h"
#include "crash/bounded_copy.h"
#include "crash/dbghelp_binding.h"
#include "crash/stack_walker.h"
#include "crash/symbol_kind.h"

namespace {

constexpr DWORD kPsapiBlockSize = 8096;

// The file version from the module's version resource; 0 when it has none.
ULONGLONG ReadFileVersion(const char* path) {
  HMODULE version = LoadLibraryA("version.dll");
  if (!version) return 0;
  auto infoSize = ModuleFunction<GetFileVersionInfoSizeAFn>(version, "GetFileVersionInfoSizeA");
  auto info = ModuleFunction<GetFileVersionInfoAFn>(version, "GetFileVersionInfoA");
  auto query = ModuleFunction<VerQueryValueWFn>(version, "VerQueryValueW");
  ULONGLONG result = 0;
  DWORD handle = 0;
  DWORD size = infoSize && info && query ? infoSize(path, &handle) : 0;
  if (size) {
    void* data = std::malloc(size);
    if (data) {
      VS_FIXEDFILEINFO* fixed = nullptr;
      UINT length = 0;
      if (info(path, handle, size, data) &&
          query(data, L"\\", reinterpret_cast<void**>(&fixed), &length) && fixed &&
          length >= sizeof(VS_FIXEDFILEINFO))
        result = (static_cast<ULONGLONG>(fixed->dwFileVersionMS) << 32) | fixed->dwFileVersionLS;
      std::free(data);
    }
  }
  FreeLibrary(version);
  return result;
}

}  // namespace

DWORD StackWalker::LoadModule(const char* imagePath, const char* moduleName, DWORD64 base,
                              DWORD size) {
  char* path = DuplicateText(imagePath);
  char* name = DuplicateText(moduleName);
  DWORD result = ERROR_NOT_ENOUGH_MEMORY;
  if (path && name) {
    result = binding_->SymLoadModule64(process_, nullptr, path, name, base, size) ? 0
                                                                                  : GetLastError();
    ULONGLONG version = (options_ & WantFileVersion) ? ReadFileVersion(path) : 0;

    ModuleRecordV3 record;
    const char* kind = kUnknownSymbolKind;
    const char* symbolFile = "";
    if (binding_->ReadModuleRecord(base, &record)) {
      if (const char* known = SymbolKindText(record.SymType)) kind = known;
      // The 584-byte layout has no symbol-file name; the image name stands in then.
      bool hasPdbName = record.SizeOfStruct == sizeof(ModuleRecordV3) && record.LoadedPdbName[0];
      symbolFile = hasPdbName ? record.LoadedPdbName : record.LoadedImageName;
    }
    OnModuleLoaded(path, name, base, size, result, kind, symbolFile, version);
  }
  std::free(path);
  std::free(name);
  return result;
}

bool StackWalker::LoadModulesWithToolhelp() {
  static const char* const kLibraries[] = {"kernel32.dll", "tlhelp32.dll"};
  HMODULE library = nullptr;
  CreateToolhelp32SnapshotFn snapshotOf = nullptr;
  Module32FirstFn first = nullptr;
  Module32NextFn next = nullptr;
  for (const char* name : kLibraries) {
    library = LoadLibraryA(name);
    if (!library) continue;
    snapshotOf = ModuleFunction<CreateToolhelp32SnapshotFn>(library, "CreateToolhelp32Snapshot");
    first = ModuleFunction<Module32FirstFn>(library, "Module32First");
    next = ModuleFunction<Module32NextFn>(library, "Module32Next");
    if (snapshotOf && first && next) break;
    FreeLibrary(library);
    library = nullptr;
  }
  if (!library) return false;

  HANDLE snapshot = snapshotOf(TH32CS_SNAPMODULE, processId_);
  if (snapshot == INVALID_HANDLE_VALUE) {
    FreeLibrary(library);
    return false;
  }
  MODULEENTRY32 entry;
  std::memset(&entry, 0, sizeof entry);
  entry.dwSize = sizeof entry;
  int seen = 0;
  for (BOOL more = first(snapshot, &entry); more; more = next(snapshot, &entry)) {
    LoadModule(entry.szExePath, entry.szModule,
               static_cast<DWORD64>(reinterpret_cast<uintptr_t>(entry.modBaseAddr)),
               entry.modBaseSize);
    ++seen;
  }
  CloseHandle(snapshot);
  FreeLibrary(library);
  return seen > 0;
}

bool StackWalker::LoadModulesWithPsapi() {
  HMODULE psapi = LoadLibraryA("psapi.dll");
  if (!psapi) return false;
  auto enumModules = ModuleFunction<EnumProcessModulesFn>(psapi, "EnumProcessModules");
  auto fileNameOf = ModuleFunction<GetModuleFileNameExAFn>(psapi, "GetModuleFileNameExA");
  auto baseNameOf = ModuleFunction<GetModuleBaseNameAFn>(psapi, "GetModuleBaseNameA");
  auto informationOf = ModuleFunction<GetModuleInformationFn>(psapi, "GetModuleInformation");
  if (!enumModules || !fileNameOf || !baseNameOf || !informationOf) {
    FreeLibrary(psapi);
    return false;
  }
  auto* modules = static_cast<HMODULE*>(std::malloc(kPsapiBlockSize));
  auto* fileName = static_cast<char*>(std::malloc(kPsapiBlockSize));
  auto* baseName = static_cast<char*>(std::malloc(kPsapiBlockSize));
  DWORD needed = 0;
  int count = 0;
  // More modules than the block holds: the list would be cut, so nothing is loaded.
  if (modules && fileName && baseName &&
      enumModules(process_, modules, kPsapiBlockSize, &needed) && needed <= kPsapiBlockSize) {
    for (DWORD i = 0; i < needed / sizeof(HMODULE); ++i) {
      MODULEINFO info{};
      informationOf(process_, modules[i], &info, sizeof info);
      fileName[0] = '\0';
      fileNameOf(process_, modules[i], fileName, kPsapiBlockSize);
      fileName[kPsapiBlockSize - 1] = '\0';
      baseName[0] = '\0';
      baseNameOf(process_, modules[i], baseName, kPsapiBlockSize);
      baseName[kPsapiBlockSize - 1] = '\0';
      DWORD result = LoadModule(fileName, baseName,
                                static_cast<DWORD64>(reinterpret_cast<uintptr_t>(info.lpBaseOfDll)),
                                info.SizeOfImage);
      if (result) OnWalkError("LoadModule", result, 0);
      ++count;
    }
  }
  FreeLibrary(psapi);
  std::free(modules);
  std::free(fileName);
  std::free(baseName);
  return count != 0;
}
