// A module's export as a function of the type its caller expects.
#pragma once

#include <windows.h>

template <typename Fn>
Fn ModuleFunction(HMODULE module, const char* name) {
  // Through void* so the conversion from FARPROC is explicit and warning-free.
  return reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(module, name)));
}
