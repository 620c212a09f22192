// The plug-in's shared start-up state. Process-wide, zero at load; the entry routine
// (core/entry.cpp) sets it, everything else reads it.
#pragma once

#include <windows.h>
#include <cstdint>

extern HMODULE hThisLib;        // our own module, as the entry routine received it
extern HMODULE hEngineLib;      // "hw.dll"; its value is the base of every per-build offset
extern int32_t Version;         // detected engine build: a row of engine/engine_builds.cpp, or 0
extern uint8_t bInitialized;    // late start-up ran and the host has not stopped us since
extern uint8_t bSupportedBuild; // Version is a supported build; never cleared once set

// Started on a supported build and not stopped since: an end of the game now is abnormal.
inline bool RunningOnSupportedBuild() { return bInitialized && bSupportedBuild; }

// The engine module's base as the 32-bit number the per-build offsets are added to.
inline uint32_t EngineBase() { return reinterpret_cast<uint32_t>(hEngineLib); }
