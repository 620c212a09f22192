// Finding and binding dbghelp, and the symbol handler's start.
#include "crash/dbghelp_binding.h"

#include <cwchar>

#include "base/module_function.h"

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

// A "<exe>.local" file asks for DLL redirection: then only the plain name is tried, so
// the redirected copy wins over the debugging tools' one.
HMODULE LoadLibraryInSearchOrder() {
  HMODULE library = nullptr;
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

}  // namespace

bool DbgHelpBinding::ResolveFunctions() {
  HMODULE module = library_.get();
  SymCleanup = ModuleFunction<SymCleanupFn>(module, "SymCleanup");
  SymFunctionTableAccess64 =
      ModuleFunction<SymFunctionTableAccess64Fn>(module, "SymFunctionTableAccess64");
  SymGetLineFromAddr64 = ModuleFunction<SymGetLineFromAddr64Fn>(module, "SymGetLineFromAddr64");
  SymGetModuleBase64 = ModuleFunction<SymGetModuleBase64Fn>(module, "SymGetModuleBase64");
  SymGetOptions = ModuleFunction<SymGetOptionsFn>(module, "SymGetOptions");
  SymGetSymFromAddr64 = ModuleFunction<SymGetSymFromAddr64Fn>(module, "SymGetSymFromAddr64");
  SymInitialize = ModuleFunction<SymInitializeFn>(module, "SymInitialize");
  SymLoadModule64 = ModuleFunction<SymLoadModule64Fn>(module, "SymLoadModule64");
  SymSetOptions = ModuleFunction<SymSetOptionsFn>(module, "SymSetOptions");
  StackWalk64 = ModuleFunction<StackWalk64Fn>(module, "StackWalk64");
  return SymCleanup && SymFunctionTableAccess64 && SymGetModuleBase64 && SymGetOptions &&
         SymGetSymFromAddr64 && SymInitialize && SymLoadModule64 && SymSetOptions && StackWalk64;
}

bool DbgHelpBinding::Bind(const char* searchPath) {
  library_.reset(LoadLibraryInSearchOrder());
  if (!library_.get() || !ResolveFunctions()) return false;
  const HANDLE self = GetCurrentProcess();
  if (!DuplicateHandle(self, self, self, &process_, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    process_ = nullptr;
    return false;
  }
  // A failed start is not fatal: dbghelp may still answer for the modules loaded below.
  // Only a session that started is ended.
  started_ = SymInitialize(process_, searchPath, FALSE) != FALSE;
  // The options the process has (a host may have chosen them) plus lines, and symbols
  // read only for the frames that need them. They are dbghelp's, not the session's, so
  // they go back as they were.
  foundOptions_ = SymGetOptions();
  optionsSet_ = true;
  SymSetOptions(foundOptions_ | kSymoptLoadLines | kSymoptFailCriticalErrors |
                kSymoptDeferredLoads);
  return true;
}

DbgHelpBinding::~DbgHelpBinding() {
  if (started_) SymCleanup(process_);
  if (optionsSet_) SymSetOptions(foundOptions_);
  if (process_) CloseHandle(process_);
}
