// Console and journal records, and their exports. The engine runs on one thread (the
// host's); the records take no lock.
#include "records.h"

#include <cstdarg>
#include <cstdio>

#include "../world_api.h"
#include "routines.h"

namespace engine_world {
namespace {

std::string& Console() {
  static std::string text;
  return text;
}

std::string& Journal() {
  static std::string text;
  return text;
}

}  // namespace

void ConsoleAppend(const std::string& text) { Console() += text; }

void JournalLine(const std::string& line) {
  Journal() += line;
  Journal() += '\n';
}

void JournalF(const char* format, ...) {
  char line[1024];
  va_list args;
  va_start(args, format);
  int n = _vsnprintf(line, sizeof line - 1, format, args);
  va_end(args);
  line[sizeof line - 1] = '\0';
  if (n < 0) line[sizeof line - 2] = '~';  // mark a cut line instead of hiding it
  JournalLine(line);
}

std::string OneLine(const std::string& text) {
  std::string line = text;
  if (!line.empty() && line.back() == '\n') line.pop_back();
  std::string out;
  for (char c : line) {
    if (c == '\n')
      out += "\\n";
    else
      out += c;
  }
  return out;
}

}  // namespace engine_world

using namespace engine_world;

WORLD_API const char* World_Console() { return Console().c_str(); }
WORLD_API const char* World_Journal() { return Journal().c_str(); }

WORLD_API void World_ClearRecords() {
  Console().clear();
  Journal().clear();
  ResetReadBack();
}

WORLD_API void World_ConsoleWrite(const char* text) {
  if (text) ConsoleAppend(text);
}

WORLD_API void World_JournalWrite(const char* line) {
  if (line) JournalLine(line);
}
