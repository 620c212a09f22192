// Fake tier0.dll. Built twice: tier0.dll with "WriteMiniDump" (cdecl, one pointer), and
// tier0_noexport.dll (TIER0_NO_MINIDUMP) without it.
#include <cstdio>

#include "../common/world_link.h"

#ifndef TIER0_NO_MINIDUMP
extern "C" __declspec(dllexport) void __cdecl WriteMiniDump(void* argument) {
  char line[96];
  if (argument)
    snprintf(line, sizeof line, "tier0 WriteMiniDump(%p)", argument);
  else
    snprintf(line, sizeof line, "tier0 WriteMiniDump(null)");
  world_fake::Journal(line);
}
#endif

// Something every tier0 variant exports, so the module is a real library either way.
extern "C" __declspec(dllexport) double __cdecl Plat_FloatTime() { return GetTickCount() / 1000.0; }
