// Client function table slots 14, 17, 20, 39, 40 and 41, and the stray-slot catchers.
#include "functable.h"

#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <string>
#include <utility>

#include "console.h"
#include "layout.h"
#include "records.h"
#include "state.h"

namespace engine_world {
namespace {

// Slot 14: register a setting.
SettingRecord* __cdecl RegisterVariable(const char* name, const char* text, int flags) {
  JournalF("slot14 %s \"%s\" %d", name, text, flags);
  if (name && strcmp(name, State().refusedSetting) == 0) return nullptr;
  return RegisterSetting(name, text, flags);
}

// Slot 17: add a console command.
int __cdecl AddCommandSlot(const char* name, CommandHandler handler) {
  JournalF("slot17 %s", name);
  AddCommand(name, handler);
  return 1;
}

// Slot 20: run a client command text.
int __cdecl ClientCmd(const char* text) {
  JournalLine("slot20 " + OneLine(text ? text : ""));
  RunConsoleLine(text);
  return 1;
}

// Slot 39: argument of the command being run.
const char* __cdecl CommandArgv(int index) { return CommandArgument(index); }

// Slots 40 and 41: formatted prints to the console (msvcrt formatting, as the engine).
void Print(int slot, const char* format, va_list args) {
  char text[4096];
  int n = _vsnprintf(text, sizeof text - 1, format, args);
  text[n < 0 ? sizeof text - 1 : n] = '\0';
  ConsoleAppend(text);
  JournalLine("slot" + std::to_string(slot) + " " + OneLine(text));
}

void __cdecl ConPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(40, format, args);
  va_end(args);
}

void __cdecl ConDPrintf(const char* format, ...) {
  va_list args;
  va_start(args, format);
  Print(41, format, args);
  va_end(args);
}

// Any other slot: takes nothing off the stack (cdecl), so a stray call of any
// signature returns safely and shows up in the journal.
template <int Slot>
int __cdecl UnexpectedSlot() {
  JournalF("unexpected slot %d", Slot);
  return 0;
}

template <int... Slots>
void FillUnexpected(void** table, std::integer_sequence<int, Slots...>) {
  ((table[Slots] = reinterpret_cast<void*>(&UnexpectedSlot<Slots>)), ...);
}

}  // namespace

void FillFunctionTable(void** table, int slots) {
  static_assert(kFuncTableSlots == 160, "the catcher list below has kFuncTableSlots entries");
  void* catchers[kFuncTableSlots];
  FillUnexpected(catchers, std::make_integer_sequence<int, kFuncTableSlots>{});
  for (int i = 0; i < slots && i < kFuncTableSlots; ++i) table[i] = catchers[i];
  table[14] = reinterpret_cast<void*>(&RegisterVariable);
  table[17] = reinterpret_cast<void*>(&AddCommandSlot);
  table[20] = reinterpret_cast<void*>(&ClientCmd);
  table[39] = reinterpret_cast<void*>(&CommandArgv);
  table[40] = reinterpret_cast<void*>(&ConPrintf);
  table[41] = reinterpret_cast<void*>(&ConDPrintf);
}

}  // namespace engine_world
