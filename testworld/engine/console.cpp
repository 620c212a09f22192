// Console settings, commands and lines, as the engine runs them.
#include "console.h"

#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "../world_api.h"
#include "records.h"
#include "state.h"

namespace engine_world {
namespace {

struct Command {
  std::string name;
  CommandHandler handler;
};

SettingRecord* settings = nullptr;  // newest first, as the engine links them
std::vector<Command>& Commands() {
  static std::vector<Command> commands;
  return commands;
}
std::vector<std::string>& Arguments() {  // of the command being run
  static std::vector<std::string> arguments;
  return arguments;
}

bool SameName(const char* a, const char* b) { return _stricmp(a, b) == 0; }

char* CopyText(const char* text) {
  // Never freed: the plug-in may keep pointers into setting records.
  size_t length = strlen(text) + 1;
  char* copy = static_cast<char*>(malloc(length));
  memcpy(copy, text, length);
  return copy;
}

// Splits one command into words; a quoted part is one word without its quotes.
std::vector<std::string> Tokenise(const std::string& command) {
  std::vector<std::string> words;
  size_t i = 0;
  while (i < command.size()) {
    while (i < command.size() && static_cast<unsigned char>(command[i]) <= ' ') ++i;
    if (i >= command.size()) break;
    std::string word;
    if (command[i] == '"') {
      ++i;
      while (i < command.size() && command[i] != '"') word += command[i++];
      if (i < command.size()) ++i;
    } else {
      while (i < command.size() && static_cast<unsigned char>(command[i]) > ' ')
        word += command[i++];
    }
    words.push_back(word);
  }
  return words;
}

// Splits a line into commands at ";" and line breaks outside quotes.
std::vector<std::string> SplitCommands(const char* line) {
  std::vector<std::string> commands(1);
  bool quoted = false;
  for (const char* p = line; *p; ++p) {
    if (*p == '"') quoted = !quoted;
    if (!quoted && (*p == ';' || *p == '\n')) {
      commands.emplace_back();
      continue;
    }
    commands.back() += *p;
  }
  return commands;
}

const char* BuildDateText(int32_t build) {
  const Probe* probe = FindProbe(build);
  return probe ? probe->text : "Exe build: 12:00:00 Jan  1 2000";
}

// The engine's own commands (those the plug-in's scenarios reach).
bool RunEngineCommand(const std::vector<std::string>& words) {
  const std::string& name = words[0];
  if (SameName(name.c_str(), "version")) {
    ConsoleAppend("Protocol version 48\nExe version 1.1.2.2/Stdio (valve)\n");
    ConsoleAppend(std::string(BuildDateText(State().build)) + " (" +
                  std::to_string(State().build) + ")\n");
    return true;
  }
  if (SameName(name.c_str(), "+voicerecord")) {
    JournalLine("engine: voice record start");
    return true;
  }
  if (SameName(name.c_str(), "-voicerecord")) {
    JournalLine("engine: voice record stop");
    return true;
  }
  return false;
}

void RunCommandWords(const std::vector<std::string>& words) {
  const char* name = words[0].c_str();
  // Registered commands first (a nested run keeps the outer command's arguments).
  for (const Command& command : Commands()) {
    if (!SameName(command.name.c_str(), name)) continue;
    std::vector<std::string> outer = Arguments();
    Arguments() = words;
    CommandHandler handler = command.handler;  // the table may change inside
    handler();
    Arguments() = outer;
    return;
  }
  if (RunEngineCommand(words)) return;
  if (SettingRecord* setting = FindSetting(name)) {
    if (words.size() > 1)
      SetSetting(setting, words[1].c_str());
    else
      ConsoleAppend("\"" + std::string(setting->name) + "\" is \"" + setting->string + "\"\n");
    return;
  }
  ConsoleAppend("Unknown command: " + words[0] + "\n");
}

}  // namespace

SettingRecord* FindSetting(const char* name) {
  for (SettingRecord* s = settings; s; s = s->next)
    if (SameName(s->name, name)) return s;
  return nullptr;
}

SettingRecord* RegisterSetting(const char* name, const char* text, int32_t flags) {
  if (SettingRecord* existing = FindSetting(name)) return existing;
  SettingRecord* setting = static_cast<SettingRecord*>(calloc(1, sizeof(SettingRecord)));
  setting->name = CopyText(name);
  setting->flags = flags;
  SetSetting(setting, text);
  setting->next = settings;
  settings = setting;
  return setting;
}

void SetSetting(SettingRecord* setting, const char* text) {
  setting->string = CopyText(text);
  setting->value = static_cast<float>(atof(text));
}

void AddCommand(const char* name, CommandHandler handler) {
  for (Command& command : Commands()) {
    if (SameName(command.name.c_str(), name)) {
      command.handler = handler;
      return;
    }
  }
  Commands().push_back(Command{name, handler});
}

bool HasCommand(const char* name) {
  for (const Command& command : Commands())
    if (SameName(command.name.c_str(), name)) return true;
  return false;
}

void RunConsoleLine(const char* line) {
  if (!line) return;
  for (const std::string& command : SplitCommands(line)) {
    std::vector<std::string> words = Tokenise(command);
    if (!words.empty()) RunCommandWords(words);
  }
}

const char* CommandArgument(int index) {
  const std::vector<std::string>& arguments = Arguments();
  if (index < 0 || index >= static_cast<int>(arguments.size())) return "";
  return arguments[index].c_str();
}

void ResetConsole() {
  settings = nullptr;
  Commands().clear();
  Arguments().clear();
}

}  // namespace engine_world

using namespace engine_world;

WORLD_API void World_RunCommand(const char* line) { RunConsoleLine(line); }

WORLD_API int World_SetSetting(const char* name, const char* value) {
  SettingRecord* setting = name ? FindSetting(name) : nullptr;
  if (!setting) return 0;
  SetSetting(setting, value ? value : "");
  return 1;
}

WORLD_API float World_SettingValue(const char* name) {
  SettingRecord* setting = name ? FindSetting(name) : nullptr;
  return setting ? setting->value : -12345.0f;
}

WORLD_API const void* World_SettingRecord(const char* name) { return name ? FindSetting(name) : nullptr; }

WORLD_API const char* World_SettingString(const char* name) {
  SettingRecord* setting = name ? FindSetting(name) : nullptr;
  return setting ? setting->string : nullptr;
}

WORLD_API int World_HasCommand(const char* name) { return name && HasCommand(name) ? 1 : 0; }
