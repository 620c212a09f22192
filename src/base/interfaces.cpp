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

namespace {

bool bound;

// A module the game has loaded, by its file name (the game loads GameUI from
// valve\cl_dlls, whatever the current folder is), with a reference of ours that keeps it
// for our life: nothing is loaded here.
HMODULE Referenced(const wchar_t* name) {
  HMODULE module = nullptr;
  return GetModuleHandleExW(0, name, &module) ? module : nullptr;
}

}  // namespace

void BindEngineInterfaces() {
  if (bound) return;
  bound = true;
  Referenced(L"vstdlib.dll");  // bound by name at the attach, where no reference is taken
  if (auto factory = GetModuleFactory(Referenced(L"GameUI.dll"))) {
    G_UI = factory("GameUI007", nullptr);
    G_Console = factory("GameConsole003", nullptr);
    R_GE = factory("RunGameEngine006", nullptr);
  }
  if (auto factory = GetModuleFactory(Referenced(L"hw.dll"))) {
    B_UI = factory("BaseUI001", nullptr);
  }
  if (auto factory = GetModuleFactory(Referenced(L"vgui2.dll"))) {
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
