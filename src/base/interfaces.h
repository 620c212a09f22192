// The eight engine interfaces. Only G_Console and R_GE are called; all eight go to
// the error log. Null until bound (and null for good when a factory said no).
#pragma once

#include <windows.h>

#include "engine/engine.h"

extern void* G_UI;       // "GameUI007"
extern void* G_Console;  // "GameConsole003"
extern void* B_UI;       // "BaseUI001"
extern void* R_GE;       // "RunGameEngine006"
extern void* V_Local;    // "VGUI_Localize002"
extern void* V_Sys;      // "VGUI_System009"
extern void* V_Inp;      // "VGUI_Input004"
extern void* V_Int;      // "VGUI_InputInternal001"

// The module's "CreateInterface" export, or null.
engine::CreateInterfaceFn GetModuleFactory(HMODULE module);
// At the host's first start call, once per load: the engine's factories are its own
// code, which has no business under the loader's lock of our attach.
void BindEngineInterfaces();

// Slot 1 of the game console, called once at each late start-up.
void ActivateGameConsole();
// Hands a command text to the engine through RunGameEngine006.
void RunEngineCommand(const char* text);
