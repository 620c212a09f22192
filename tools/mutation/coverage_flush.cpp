// Linked into every module of the coverage build only (never a shipped one): a process
// that ends through an unhandled exception is terminated without unloading its modules,
// so gcov would never write what ran in it, the crash filter included. This object takes
// the module's import of SetUnhandledExceptionFilter (its "__imp_" pointer, which the
// linker finds here before kernel32's import library) and installs a filter of its own
// in front of the module's: it calls the module's filter, then writes the counts.
// The module still sees its own filter in every value the call returns.
// At load it leaves a mark, GCOV_PREFIX/loaded/<its file name>: a module that loaded but
// wrote no counts ended in a way that lost them, which is not the same as never running.
// Built without the C++ runtime (no exceptions, no guarded statics, no C library): the
// C compiler's own checks link it too.
#include <windows.h>

extern "C" void __gcov_dump(void);
extern "C" void __gcov_reset(void);

namespace {

using SetFilterFn = LPTOP_LEVEL_EXCEPTION_FILTER(WINAPI*)(LPTOP_LEVEL_EXCEPTION_FILTER);
LPTOP_LEVEL_EXCEPTION_FILTER moduleFilter;

LONG WINAPI FlushingFilter(EXCEPTION_POINTERS* exception) {
  LONG result = moduleFilter ? moduleFilter(exception) : EXCEPTION_CONTINUE_SEARCH;
  __gcov_dump();
  __gcov_reset();  // a process that goes on counts afresh, and writes again at its end
  return result;
}

HMODULE Owner(const void* address) {
  HMODULE module = nullptr;
  GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCSTR>(address), &module);
  return module;
}

LPTOP_LEVEL_EXCEPTION_FILTER WINAPI SetFilter(LPTOP_LEVEL_EXCEPTION_FILTER filter) {
  static SetFilterFn real = reinterpret_cast<SetFilterFn>(reinterpret_cast<void*>(
      GetProcAddress(GetModuleHandleA("kernel32.dll"), "SetUnhandledExceptionFilter")));
  // Only a filter of this module is wrapped: one it puts back (another module's) must
  // not point into this module once it is unloaded.
  LPTOP_LEVEL_EXCEPTION_FILTER own = moduleFilter;
  bool mine = filter && Owner(reinterpret_cast<void*>(filter)) == Owner(reinterpret_cast<void*>(&SetFilter));
  if (mine) moduleFilter = filter;
  LPTOP_LEVEL_EXCEPTION_FILTER previous = real(mine ? FlushingFilter : filter);
  return previous == FlushingFilter ? own : previous;
}

struct LoadMark {
  LoadMark() {
    char prefix[MAX_PATH], module[MAX_PATH], mark[2 * MAX_PATH];
    DWORD length = GetEnvironmentVariableA("GCOV_PREFIX", prefix, sizeof prefix);
    if (length == 0 || length >= sizeof prefix) return;
    if (!GetModuleFileNameA(Owner(reinterpret_cast<void*>(&SetFilter)), module, sizeof module)) return;
    const char* name = module;
    for (const char* at = module; *at; ++at) {
      if (*at == '\\') name = at + 1;
    }
    lstrcpyA(mark, prefix);
    lstrcatA(mark, "/loaded/");
    lstrcatA(mark, name);
    HANDLE file = CreateFileA(mark, GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_ALWAYS,
                              FILE_ATTRIBUTE_NORMAL, nullptr);
    if (file != INVALID_HANDLE_VALUE) CloseHandle(file);
  }
} loadMark;

}  // namespace

extern "C" __attribute__((used)) void* coverage_set_filter_import asm("__imp__SetUnhandledExceptionFilter@4") =
    reinterpret_cast<void*>(&SetFilter);
