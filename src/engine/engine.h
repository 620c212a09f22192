// What the plug-in uses of the game engine and the sound-system host: interface
// slots, client function table slots and the setting record. Nothing here is ours;
// the layouts and calling conventions are the engine's.
#pragma once

#include <cstddef>
#include <cstdint>

#ifndef __thiscall
#define __thiscall __attribute__((__thiscall__))
#endif

namespace engine {

// "CreateInterface" of hw.dll, vgui2.dll and GameUI.dll (cdecl).
using CreateInterfaceFn = void*(__cdecl*)(const char* version, int* returnCode);

// An interface is an object whose first word points to its method table.
inline void* Method(void* object, int slot) { return (*static_cast<void***>(object))[slot]; }

// "GameConsole003"
constexpr int kConsoleActivateSlot = 1;   // this-call, no arguments
constexpr int kConsolePrintfSlot = 6;     // variadic: object passed first, caller cleans
using ConsoleActivateFn = void(__thiscall*)(void* self);
using ConsolePrintfFn = void(__cdecl*)(void* self, const char* format, ...);

// "RunGameEngine006"
constexpr int kRunCommandSlot = 2;        // this-call, one narrow text
using RunCommandFn = void(__thiscall*)(void* self, const char* text);

// The engine's record of a console setting; only the current value is read.
struct SettingRecord {
  const char* name;
  const char* string;
  int flags;
  float value;          // fourth 32-bit word
  SettingRecord* next;
};
static_assert(offsetof(SettingRecord, value) == 12, "value is the record's fourth word");
static_assert(sizeof(SettingRecord) == 20, "engine setting record");

// Client function table: 32-bit cdecl function pointers, slots counted from 0.
constexpr int kRegisterVariableSlot = 14;
constexpr int kAddCommandSlot = 17;
constexpr int kClientCmdSlot = 20;
constexpr int kCmdArgvSlot = 39;
constexpr int kConPrintfSlot = 40;
constexpr int kConDPrintfSlot = 41;

using CommandHandler = void(__cdecl*)();
using RegisterVariableFn = SettingRecord*(__cdecl*)(const char* name, const char* value, int flags);
using AddCommandFn = int(__cdecl*)(const char* name, CommandHandler handler);
using ClientCmdFn = int(__cdecl*)(const char* text);
using CmdArgvFn = const char*(__cdecl*)(int index);
using ConPrintfFn = void(__cdecl*)(const char* format, ...);

// Internal engine routines at per-build positions (engine/engine_positions.h).
using ReadStringFn = const char*(__cdecl*)();
using ReadByteFn = int(__cdecl*)();
using VoiceInitFn = int(__cdecl*)(const char* codec, int quality);
using ParseHandlerFn = void(__cdecl*)();
using HudFrameFn = void(__cdecl*)(double time);

// The engine's voice capture format (WAVEFORMATEX, 18 bytes, packed).
#pragma pack(push, 1)
struct CaptureFormat {
  uint16_t formatTag;
  uint16_t channels;
  uint32_t samplesPerSec;     // byte 4
  uint32_t avgBytesPerSec;    // byte 8
  uint16_t blockAlign;
  uint16_t bitsPerSample;
  uint16_t extraSize;
};
#pragma pack(pop)
static_assert(sizeof(CaptureFormat) == 18, "WAVEFORMATEX is 18 bytes");
static_assert(offsetof(CaptureFormat, samplesPerSec) == 4, "sample rate at byte 4");
static_assert(offsetof(CaptureFormat, avgBytesPerSec) == 8, "byte rate at byte 8");

}  // namespace engine
