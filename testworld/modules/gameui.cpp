// Fake "valve\cl_dlls\GameUI.dll": the game UI's three interfaces.
//   "GameUI007"        a dummy object (the plug-in only records it)
//   "GameConsole003"   slot 1 Activate (this-call, no arguments), slot 6 Printf (variadic,
//                      object first, caller cleans)
//   "RunGameEngine006" slot 2 runs a console line (this-call, one narrow text)
// The console belongs to the game's window: a print from any thread but the one that
// loaded this module (the game's) journals "console printf off the game thread".
#include <windows.h>

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>

#include "../common/fake_interface.h"

namespace {

using world_fake::Interface;

constexpr char kGameUI[] = "GameUI007";
constexpr char kConsole[] = "GameConsole003";
constexpr char kRunGameEngine[] = "RunGameEngine006";

using ActivateFn = void(WORLD_THISCALL*)(void* self);
using PrintfFn = void(__cdecl*)(void* self, const char* format, ...);
using RunCommandFn = void(WORLD_THISCALL*)(void* self, const char* text);

void WORLD_THISCALL ConsoleActivate(void* /*self*/) { world_fake::Journal("console activate"); }

DWORD gameThread;

void __cdecl ConsolePrintf(void* /*self*/, const char* format, ...) {
  if (GetCurrentThreadId() != gameThread) world_fake::Journal("console printf off the game thread");
  char text[4096];
  va_list args;
  va_start(args, format);
  int n = _vsnprintf(text, sizeof text - 1, format, args);  // the engine's runtime
  va_end(args);
  text[n < 0 ? sizeof text - 1 : n] = '\0';
  world_fake::ConsoleWrite(text);
}

void WORLD_THISCALL RunGameEngineCommand(void* /*self*/, const char* text) {
  std::string line = "RunGameEngine " + std::string(text ? text : "");
  world_fake::Journal(line.c_str());
  world_fake::RunEngineLine(text);
}

Interface<kGameUI, 32> gameUI;
Interface<kConsole, 32> console;
Interface<kRunGameEngine, 32> runGameEngine;

// The slots the plug-in uses, with their types checked against the catchers' slots.
struct Methods {
  Methods() {
    gameThread = GetCurrentThreadId();
    console.SetMethod(1, reinterpret_cast<void*>(static_cast<ActivateFn>(&ConsoleActivate)));
    console.SetMethod(6, reinterpret_cast<void*>(static_cast<PrintfFn>(&ConsolePrintf)));
    runGameEngine.SetMethod(
        2, reinterpret_cast<void*>(static_cast<RunCommandFn>(&RunGameEngineCommand)));
  }
} methods;

}  // namespace

extern "C" __declspec(dllexport) void* __cdecl CreateInterface(const char* version,
                                                               int* returnCode) {
  void* object = nullptr;
  if (version && strcmp(version, kGameUI) == 0) object = gameUI.Object();
  if (version && strcmp(version, kConsole) == 0) object = console.Object();
  if (version && strcmp(version, kRunGameEngine) == 0) object = runGameEngine.Object();
  if (returnCode)
    *returnCode = object ? world_fake::kInterfaceFound : world_fake::kInterfaceMissing;
  return object;
}
