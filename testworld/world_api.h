// The test world's control surface: exports of the fake engine module "hw.dll" that
// the host program (and the other fake modules) use to set the world up, drive the
// engine and read back what the plug-in did. The plug-in never sees these.
#pragma once

#include <cstdint>

#ifdef WORLD_ENGINE_BUILD
#define WORLD_API extern "C" __declspec(dllexport)
#else
#define WORLD_API extern "C" __declspec(dllimport)
#endif

// How the build-date probe text is laid out in the engine image.
enum WorldProbeStyle : int32_t {
  kProbeExact = 0,        // the engine's own text at its build's offset
  kProbePrefixed = 1,     // other characters in front of it
  kProbeOtherCase = 2,    // the same text in other letter case
  kProbeNone = 3,         // no probe text anywhere
};

struct WorldSetup {
  int32_t build;          // 6027, 6132, 4554, 4156, or anything else for "no known text"
  int32_t probeStyle;     // WorldProbeStyle
  int32_t guardProbe4;    // make the page of probe 4 inaccessible (a read there faults)
  int32_t voiceInitResult;// what the engine's voice initialisation returns (1 = success)
  int32_t clientState;    // the client state word (5 = connected and active)
};

// Sets the world up for one scenario: probe text, code jumps, data, function table.
// Call once, right after loading hw.dll and before loading the plug-in.
WORLD_API int World_Prepare(const WorldSetup* setup);

// Engine state the scenario can change while it runs.
WORLD_API void World_SetClientState(int32_t state);
WORLD_API void World_SetVoiceInitResult(int32_t result);

// A server message "voice init" (codec name, quality byte), parsed by the engine:
// the engine's parser calls the entry of its voice-init handler.
WORLD_API void World_ParseVoiceInit(const char* codec, int32_t quality);
// The engine runs its HUD_Frame routine with this time value.
WORLD_API void World_HudFrame(double time);
// The player types a console line ("name arg1 arg2"); the engine runs it.
WORLD_API void World_RunCommand(const char* line);
// Sets a console setting's text (and its numeric value as the engine does).
WORLD_API int World_SetSetting(const char* name, const char* value);
// Current numeric value of a setting, or -12345 when no such setting exists.
WORLD_API float World_SettingValue(const char* name);
WORLD_API int World_HasCommand(const char* name);

// Read-back. The console text holds every byte printed to the game console, in
// order (both through the GameUI console interface and the engine's own prints).
// The journal holds one line per engine event the plug-in caused ("slot14 ...").
WORLD_API const char* World_Console();
WORLD_API const char* World_Journal();
WORLD_API void World_ClearRecords();

// Appends to the records; used by the other fake modules.
WORLD_API void World_ConsoleWrite(const char* text);
WORLD_API void World_JournalWrite(const char* line);

// Addresses inside the engine image, for checks of the patched bytes and data.
WORLD_API uintptr_t World_EngineBase();
WORLD_API uintptr_t World_EngineAddress(const char* what);  // "VoiceInitHandler", "HudFrame",
    // "VoiceInitFunc", "CodecSlot", "ClientState", "VoiceWord", "VoiceFormat", "ReadString",
    // "ReadByte", "FuncTable"; 0 for an unknown name or an unsupported build
// The real routines behind the jumps (what a call-through must reach).
WORLD_API uintptr_t World_RealRoutine(const char* what);
