// The world's two records: the game console's bytes and the journal of engine events.
#pragma once

#include <string>

namespace engine_world {

void ConsoleAppend(const std::string& text);
void JournalLine(const std::string& line);
// printf-style journal line (msvcrt formatting, as the engine's runtime).
void JournalF(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));
// A text as one journal line: a final "\n" dropped, inner line breaks as "\n".
std::string OneLine(const std::string& text);

}  // namespace engine_world
