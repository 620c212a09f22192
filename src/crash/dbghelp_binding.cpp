// Finding and binding dbghelp, and the symbol handler's start.
#include "crash/dbghelp_binding.h"

#include <cstdlib>
#include <cstring>
#include <cwchar>

#include "base/module_function.h"
#include "crash/bounded_copy.h"
#include "crash/stack_walker.h"

namespace {

constexpr DWORD kWidePathCapacity = 4096;

bool FileExistsW(const wchar_t* path) {
  return GetFileAttributesW(path) != INVALID_FILE_ATTRIBUTES;
}

// "<ProgramFiles><suffix>" loaded when that file exists.
HMODULE LoadFromProgramFiles(const wchar_t* suffix) {
  wchar_t path[kWidePathCapacity];
  DWORD length = GetEnvironmentVariableW(L"ProgramFiles", path, kWidePathCapacity);
  if (length == 0 || length >= kWidePathCapacity) return nullptr;
  if (length + std::wcslen(suffix) >= kWidePathCapacity) return nullptr;
  std::wcscat(path, suffix);
  return FileExistsW(path) ? LoadLibraryW(path) : nullptr;
}

}  // namespace

HMODULE DbgHelpBinding::LoadLibraryInSearchOrder() {
  HMODULE library = nullptr;
  // A "<exe>.local" file asks for DLL redirection: then only the plain name is tried, so
  // the redirected copy wins over the debugging tools' one.
  wchar_t exePath[kWidePathCapacity];
  DWORD length = GetModuleFileNameW(nullptr, exePath, kWidePathCapacity);
  if (length > 0 && length + 6 < kWidePathCapacity) {
    std::wcscat(exePath, L".local");
    if (!FileExistsW(exePath)) {
      library = LoadFromProgramFiles(L"\\Debugging Tools for Windows (x86)\\dbghelp.dll");
      if (!library) library = LoadFromProgramFiles(L"\\Debugging Tools for Windows\\dbghelp.dll");
    }
  }
  if (!library) library = LoadLibraryW(L"dbghelp.dll");
  return library;
}

bool DbgHelpBinding::ResolveFunctions() {
  SymCleanup = ModuleFunction<SymCleanupFn>(module, "SymCleanup");
  SymFunctionTableAccess64 =
      ModuleFunction<SymFunctionTableAccess64Fn>(module, "SymFunctionTableAccess64");
  SymGetLineFromAddr64 = ModuleFunction<SymGetLineFromAddr64Fn>(module, "SymGetLineFromAddr64");
  SymGetModuleBase64 = ModuleFunction<SymGetModuleBase64Fn>(module, "SymGetModuleBase64");
  SymGetModuleInfo64 = ModuleFunction<SymGetModuleInfo64Fn>(module, "SymGetModuleInfo64");
  SymGetOptions = ModuleFunction<SymGetOptionsFn>(module, "SymGetOptions");
  SymGetSymFromAddr64 = ModuleFunction<SymGetSymFromAddr64Fn>(module, "SymGetSymFromAddr64");
  SymInitialize = ModuleFunction<SymInitializeFn>(module, "SymInitialize");
  SymLoadModule64 = ModuleFunction<SymLoadModule64Fn>(module, "SymLoadModule64");
  SymSetOptions = ModuleFunction<SymSetOptionsFn>(module, "SymSetOptions");
  StackWalk64 = ModuleFunction<StackWalk64Fn>(module, "StackWalk64");
  UnDecorateSymbolName = ModuleFunction<UnDecorateSymbolNameFn>(module, "UnDecorateSymbolName");
  SymGetSearchPath = ModuleFunction<SymGetSearchPathFn>(module, "SymGetSearchPath");
  return SymCleanup && SymFunctionTableAccess64 && SymGetModuleBase64 && SymGetModuleInfo64 &&
         SymGetOptions && SymGetSymFromAddr64 && SymInitialize && SymLoadModule64 &&
         SymSetOptions && StackWalk64 && UnDecorateSymbolName;
}

bool DbgHelpBinding::Bind(const char* searchPath) {
  module = LoadLibraryInSearchOrder();
  if (!module) return false;
  if (!ResolveFunctions()) {
    FreeLibrary(module);
    module = nullptr;
    SymCleanup = nullptr;  // the destructor must not end a handler that never started
    return false;
  }
  std::free(searchPath_);
  searchPath_ = searchPath ? DuplicateText(searchPath) : nullptr;
  if (!SymInitialize(process_, searchPath_, FALSE))
    owner_->OnWalkError("SymInitialize", GetLastError(), 0);

  DWORD options = SymGetOptions();
  options |= kSymoptLoadLines | kSymoptFailCriticalErrors;
  options = SymSetOptions(options);

  char effectivePath[1024] = {};
  if (SymGetSearchPath && !SymGetSearchPath(process_, effectivePath, sizeof effectivePath))
    owner_->OnWalkError("SymGetSearchPath", GetLastError(), 0);
  effectivePath[sizeof effectivePath - 1] = '\0';

  char userName[1024] = {};
  DWORD userNameSize = sizeof userName;
  if (!GetUserNameA(userName, &userNameSize)) userName[0] = '\0';
  userName[sizeof userName - 1] = '\0';

  owner_->OnSymbolsReady(effectivePath, options, userName);
  return true;
}

DbgHelpBinding::~DbgHelpBinding() {
  if (SymCleanup) SymCleanup(process_);
  if (module) FreeLibrary(module);
  std::free(searchPath_);
}

bool DbgHelpBinding::ReadModuleRecord(DWORD64 address, ModuleRecordV3* record) {
  // Process-wide: once dbghelp has refused the 1672-byte layout it is not asked again.
  static bool versionThreeWorks = true;

  if (!SymGetModuleInfo64) {
    SetLastError(ERROR_DLL_INIT_FAILED);
    return false;
  }
  std::memset(record, 0, sizeof *record);
  record->SizeOfStruct = sizeof(ModuleRecordV3);
  // dbghelp gets a separate, larger block: some versions write past the size they were
  // told, and the caller's record must survive that.
  void* block = std::malloc(4096);
  if (!block) {
    SetLastError(ERROR_NOT_ENOUGH_MEMORY);
    return false;
  }
  if (versionThreeWorks) {
    std::memcpy(block, record, sizeof(ModuleRecordV3));
    if (SymGetModuleInfo64(process_, address, block)) {
      std::memcpy(record, block, sizeof(ModuleRecordV3));
      record->SizeOfStruct = sizeof(ModuleRecordV3);
      std::free(block);
      return true;
    }
    versionThreeWorks = false;
  }
  record->SizeOfStruct = sizeof(ModuleRecordV2);
  std::memcpy(block, record, sizeof(ModuleRecordV2));
  if (SymGetModuleInfo64(process_, address, block)) {
    std::memcpy(record, block, sizeof(ModuleRecordV2));
    record->SizeOfStruct = sizeof(ModuleRecordV2);
    std::free(block);
    return true;
  }
  std::free(block);
  SetLastError(ERROR_DLL_INIT_FAILED);
  return false;
}
