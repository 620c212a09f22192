// How the fake modules other than hw.dll reach the world's records: through hw.dll's
// exports, looked up at each use. They do not import hw.dll, so each module loads and
// works (minus the records) also in a world without an engine.
#pragma once

#include <windows.h>

namespace world_fake {

template <typename Fn>
Fn EngineExport(const char* name) {
  HMODULE engine = GetModuleHandleA("hw.dll");
  return engine ? reinterpret_cast<Fn>(reinterpret_cast<void*>(GetProcAddress(engine, name)))
                : nullptr;
}

inline void Journal(const char* line) {
  if (auto write = EngineExport<void(__cdecl*)(const char*)>("World_JournalWrite")) write(line);
}

inline void ConsoleWrite(const char* text) {
  if (auto write = EngineExport<void(__cdecl*)(const char*)>("World_ConsoleWrite")) write(text);
}

inline void RunEngineLine(const char* line) {
  if (auto run = EngineExport<void(__cdecl*)(const char*)>("World_RunCommand")) run(line);
}

}  // namespace world_fake
