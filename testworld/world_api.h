// The test world's control surface: exports of the fake engine module "hw.dll" that
// the host program (and the other fake modules) use to set the world up, drive the
// engine and read back what the plug-in did. The plug-in never sees these.
//
// Journal lines written by the world (one event per line, no trailing blanks):
//   slot14 <name> "<default>" <flags>        register a setting (client function table)
//   slot17 <name>                            add a command
//   slot20 <text>                            run a client command text
//   slot40 <text> / slot41 <text>            engine prints; a final "\n" is dropped and
//                                            inner line breaks are shown as the two
//                                            characters \n (the console gets the bytes)
//   unexpected slot <N>                      any other client function table slot
//   engine: CL_Parse_VoiceInit read "<codec>" <quality>   the engine's own handler ran
//   engine: VoiceInit "<codec>" <quality> slot=<engine|other> -> <codec "<name>"|Steam voice>,
//           rate <samples/s>, bytes <bytes/s>, result <r>       (one line)
//   engine: voice init message: read <n> of 2 fields
//   engine: message read out of order (<ReadString|ReadByte> at field <i>)
//   engine: voice record start / engine: voice record stop
//   console activate                         GameConsole003 slot 1
//   console printf off the game thread       GameConsole003 slot 6 from another thread
//   RunGameEngine <text>                     RunGameEngine006 slot 2
//   tier0 WriteMiniDump(<%p or null>)
//   unexpected <interface> slot <N>          any other interface method
// Console: every byte printed to the game console, in order (GameConsole003 printf,
// slots 40/41, and the engine's own answers such as "version" or "Unknown command: x\n").
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
  kProbePrefixed = 1,     // other characters ("xx") in front of it
  kProbeOtherCase = 2,    // the same text in other letter case
  kProbeNone = 3,         // no probe text anywhere
};

struct WorldSetup {
  int32_t build;          // 6027, 6132, 4554, 4156, or anything else for "no known text"
  int32_t probeStyle;     // WorldProbeStyle
  int32_t guardProbe4;    // make the page of probe 4 inaccessible (a read there faults)
  int32_t voiceInitResult;// what the engine's voice initialisation returns (1 = success)
  int32_t clientState;    // the client state word (5 = connected and active)
  char refusedSetting[32];// slot 14 registers no setting of this name (empty: none), as the
                          // engine does for a name a command already has
};

// What the engine's voice initialisation saw at its last call.
struct WorldVoiceInitCall {
  int32_t calls;              // how many times it ran since World_Prepare / ClearRecords
  char codec[64];             // codec name argument (cut to 63 bytes)
  int32_t quality;            // quality argument
  int32_t slotWasEngine;      // 1: the codec slot held the engine's own function
  int32_t usedSteam;          // 1: Steam voice (slot function returned non-zero), 0: named codec
  uint32_t samplesPerSec;     // capture format sample rate at the time of the call
  uint32_t avgBytesPerSec;    // capture format byte rate at the time of the call
  int32_t result;             // what it returned
};

// Sets the world up for one scenario: probe text, code jumps, data, function table.
// Call once, right after loading hw.dll and before loading the plug-in. Returns 1.
// The small engine (hw_small.dll) has no room for the layout: it sets up only the
// console, settings and commands.
WORLD_API int World_Prepare(const WorldSetup* setup);

// Engine state the scenario can change while it runs.
WORLD_API void World_SetClientState(int32_t state);
WORLD_API void World_SetVoiceInitResult(int32_t result);

// A server message "voice init" (codec name, quality byte), parsed by the engine:
// the engine's parser calls the entry of its voice-init handler.
WORLD_API void World_ParseVoiceInit(const char* codec, int32_t quality);
// How many fields the last parsed voice-init message had read from it (2 is right).
WORLD_API int32_t World_MessageFieldsRead();
// The engine runs its HUD_Frame routine with this time value.
WORLD_API void World_HudFrame(double time);
// What the engine's real HUD_Frame routine last got (bit-exact) and how often it ran.
WORLD_API double World_LastHudFrame();
WORLD_API int32_t World_HudFrameCount();
// What the engine's voice initialisation saw at its last call.
WORLD_API void World_LastVoiceInit(WorldVoiceInitCall* out);
// The player types a console line ("name arg1 arg2"); the engine runs it.
WORLD_API void World_RunCommand(const char* line);
// Sets a console setting's text (and its numeric value as the engine does).
// Returns 1, or 0 when no such setting exists.
WORLD_API int World_SetSetting(const char* name, const char* value);
// Current numeric value of a setting, or -12345 when no such setting exists.
WORLD_API float World_SettingValue(const char* name);
// The setting's record (the engine's layout: name, string, flags, float value, next)
// and its text; null when no such setting exists.
WORLD_API const void* World_SettingRecord(const char* name);
WORLD_API const char* World_SettingString(const char* name);
WORLD_API int World_HasCommand(const char* name);

// Read-back. The console text holds every byte printed to the game console, in
// order (both through the GameUI console interface and the engine's own prints).
// The journal holds one line per engine event the plug-in caused ("slot14 ...").
// The pointers stay valid until the next write to the records.
WORLD_API const char* World_Console();
WORLD_API const char* World_Journal();
// Empties console, journal and the read-back counters (HUD_Frame, voice init).
WORLD_API void World_ClearRecords();

// Appends to the records; used by the other fake modules.
WORLD_API void World_ConsoleWrite(const char* text);
WORLD_API void World_JournalWrite(const char* line);  // one line, without "\n"

// Addresses inside the engine image, for checks of the patched bytes and data.
WORLD_API uintptr_t World_EngineBase();
WORLD_API uintptr_t World_EngineAddress(const char* what);  // "VoiceInitHandler", "HudFrame",
    // "VoiceInitFunc", "CodecSlot", "ClientState", "VoiceWord", "VoiceFormat", "ReadString",
    // "ReadByte", "FuncTable", "Probe" (this build's probe text); 0 for an unknown name,
    // an unsupported build or the small engine
// The real routines behind the jumps (what a call-through must reach): the same names
// for the code entries, plus "CodecFunction" (the engine's function in the codec slot).
WORLD_API uintptr_t World_RealRoutine(const char* what);
