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

// The game console is part of the game's window, which only the game's thread may touch.
// A worker's prints (the update check's) are therefore held: from HoldConsolePrints() on,
// every print of the calling thread is queued, and the game's thread shows them, in their
// order and byte for byte, at ShowHeldPrints(). A print that cannot be queued (no memory)
// is dropped rather than printed off the game's thread.
void HoldConsolePrints();
// The holding thread is done: nothing more of it comes.
void EndHeldPrints();
// On the game's thread: shows what was queued so far. Cheap when nothing is.
void ShowHeldPrints();
