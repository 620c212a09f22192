// The plug-in's prints to the game console. Player messages are UTF-16 and reach the
// console as UTF-8. Without a game console interface nothing is printed.
#pragma once

constexpr const char* kMessagePrefix = "[Murmel]:";

// Prefixed wide print: "[Murmel]:" directly followed by the formatted text.
void ConsoleMsgW(const wchar_t* format, ...);
// Plain wide print (no prefix).
void ConsolePrintW(const wchar_t* format, ...);
// Plain narrow print.
void ConsolePrint(const char* format, ...) __attribute__((format(ms_printf, 1, 2)));
// Plain narrow text and a line end, whole however long: no format area cuts it.
void ConsolePrintLine(const char* text);
