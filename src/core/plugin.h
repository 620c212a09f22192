// Start-up state of the plug-in and the late start-up. Process-wide, zero at load.
#pragma once

#include <windows.h>
#include <cstdint>

extern HMODULE hThisLib;        // our own module, as the entry routine received it
extern HMODULE hEngineLib;      // "hw.dll"; its value is the base of every per-build offset
extern int32_t Version;         // detected engine build: 6027, 6132, 4554, 4156 or 0
extern uint8_t bInitialized;    // late start-up ran and the host has not stopped us since
extern uint8_t bSupportedBuild; // Version is 6027 or 6132; never cleared once set
extern uint8_t bInsideLoader;   // the late start-up runs inside the loader's attach call

// Late start-up: console, update check, about text, voice repair, commands.
void StartModule();

inline bool IsSupportedBuild(int32_t build) { return build == 6027 || build == 6132; }
