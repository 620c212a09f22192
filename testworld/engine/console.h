// The engine's console: settings, commands and the running of console lines.
#pragma once

#include <cstdint>

namespace engine_world {

// The engine's setting record; the plug-in reads the value in the fourth word.
struct SettingRecord {
  const char* name;
  const char* string;
  int32_t flags;
  float value;
  SettingRecord* next;
};
static_assert(sizeof(SettingRecord) == 20 && __builtin_offsetof(SettingRecord, value) == 12,
              "engine setting record: value is the fourth 32-bit word");

using CommandHandler = void(__cdecl*)();

// Creates the setting, or returns the existing one unchanged (as the engine does).
SettingRecord* RegisterSetting(const char* name, const char* text, int32_t flags);
SettingRecord* FindSetting(const char* name);
void SetSetting(SettingRecord* setting, const char* text);
// Stores the command; a later registration of the same name replaces the handler.
void AddCommand(const char* name, CommandHandler handler);
bool HasCommand(const char* name);
// Runs a console line: commands split at ";" and line breaks, quotes group words.
void RunConsoleLine(const char* line);
// Argument i of the command being run; "" when there is none.
const char* CommandArgument(int index);
// Forgets every setting and command (records stay allocated: callers may hold them).
void ResetConsole();

}  // namespace engine_world
