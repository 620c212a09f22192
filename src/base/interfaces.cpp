#include "base/interfaces.h"

#include "base/module_function.h"

void* G_UI;
void* G_Console;
void* B_UI;
void* R_GE;
void* V_Local;
void* V_Sys;
void* V_Inp;
void* V_Int;

engine::CreateInterfaceFn GetModuleFactory(HMODULE module) {
  if (!module) return nullptr;
  return ModuleFunction<engine::CreateInterfaceFn>(module, "CreateInterface");
}

void BindEngineInterfaces() {
  // Modules loaded here are kept for the life of the process.
  if (auto factory = GetModuleFactory(LoadLibraryA("valve\\cl_dlls\\GameUI.dll"))) {
    G_UI = factory("GameUI007", nullptr);
    G_Console = factory("GameConsole003", nullptr);
    R_GE = factory("RunGameEngine006", nullptr);
  }
  if (auto factory = GetModuleFactory(LoadLibraryA("hw.dll"))) {
    B_UI = factory("BaseUI001", nullptr);
  }
  if (auto factory = GetModuleFactory(LoadLibraryA("vgui2.dll"))) {
    V_Local = factory("VGUI_Localize002", nullptr);
    V_Sys = factory("VGUI_System009", nullptr);
    V_Inp = factory("VGUI_Input004", nullptr);
    V_Int = factory("VGUI_InputInternal001", nullptr);
  }
}

void ActivateGameConsole() {
  if (!G_Console) return;
  auto activate = reinterpret_cast<engine::ConsoleActivateFn>(
      engine::Method(G_Console, engine::kConsoleActivateSlot));
  activate(G_Console);
}

void RunEngineCommand(const char* text) {
  if (!R_GE) return;
  auto run = reinterpret_cast<engine::RunCommandFn>(engine::Method(R_GE, engine::kRunCommandSlot));
  run(R_GE, text);
}
