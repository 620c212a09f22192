// "WriteMD": the engine's own minidump, through tier0.
#include <windows.h>

#include "base/module_function.h"
#include "crash/crash_filter.h"

namespace {

// tier0's export takes one pointer argument; cdecl, the caller removes it.
using WriteMiniDumpFn = void(__cdecl*)(void* argument);

}  // namespace

void __cdecl WriteEngineMiniDump() {
  // The engine holds tier0 already; this only takes a reference, kept for good.
  HMODULE tier0 = LoadLibraryW(L"tier0.dll");
  if (!tier0) return;
  auto writeMiniDump = ModuleFunction<WriteMiniDumpFn>(tier0, "WriteMiniDump");
  if (writeMiniDump) writeMiniDump(nullptr);
}
