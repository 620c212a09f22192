// The plug-in's own account of what it bound at attach: the record it appends to its
// error log when it is unloaded while running on a supported build. The message box that
// follows is answered at once.
#pragma once

#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "scenario.h"

namespace core_report {

inline int WINAPI AnswerBox(HWND, LPCWSTR, LPCWSTR, UINT) { return IDOK; }

// Starts the loaded plug-in, unloads it without a stop call, and returns the log's text.
inline std::string StartAndUnload(world::Game& game) {
  game.ReplaceImport("user32.dll", "MessageBoxW", reinterpret_cast<void*>(&AnswerBox));
  game.Start();
  game.Unload();
  return scenario::ReadFile("MurmelonError.log");
}

// The value after "<key>=" on its line of the record, or "(none)".
inline std::string Field(const std::string& log, const std::string& key) {
  size_t at = log.find(key + "=");
  if (at == std::string::npos) return "(none)";
  at += key.size() + 1;
  return log.substr(at, log.find_first_of("\r\n", at) - at);
}

inline std::string Hex(const void* pointer) {
  char text[16];
  std::snprintf(text, sizeof text, "%x", static_cast<unsigned>(reinterpret_cast<uintptr_t>(pointer)));
  return text;
}

// The record's eight interface pointers in its order: the key, and the module and version
// text whose factory handed the pointer out.
struct InterfaceField {
  const char* key;
  const char* module;
  const char* version;
};
inline constexpr InterfaceField kInterfaceFields[8] = {
    {"*G_UI", "GameUI.dll", "GameUI007"},          {"*G_Console", "GameUI.dll", "GameConsole003"},
    {"*B_UI", "hw.dll", "BaseUI001"},              {"*R_GE", "GameUI.dll", "RunGameEngine006"},
    {"*V_Local", "vgui2.dll", "VGUI_Localize002"}, {"*V_Sys", "vgui2.dll", "VGUI_System009"},
    {"*V_Inp", "vgui2.dll", "VGUI_Input004"},      {"*V_Int", "vgui2.dll", "VGUI_InputInternal001"}};

// What the module's factory hands out for a version text (the world's are singletons).
inline void* Interface(const char* module, const char* name) {
  using Factory = void*(__cdecl*)(const char*, int*);
  HMODULE handle = GetModuleHandleA(module);
  auto factory = handle ? reinterpret_cast<Factory>(reinterpret_cast<void*>(
                              GetProcAddress(handle, "CreateInterface")))
                        : nullptr;
  return factory ? factory(name, nullptr) : nullptr;
}

// One frame of a call stack's text: "<file> (<line>): <function>".
struct Frame {
  std::string file;
  int line;
  std::string function;
};

// The frames of a call stack's text from `start`, one per line ended by `lineEnd`, up to
// an empty line, the end, or a line of another form.
inline std::vector<Frame> FramesFrom(const std::string& text, size_t start,
                                     const std::string& lineEnd) {
  std::vector<Frame> frames;
  for (;;) {
    size_t end = text.find(lineEnd, start);
    if (end == std::string::npos || end == start) break;
    const std::string line = text.substr(start, end - start);
    const size_t open = line.rfind(" (");
    const size_t close = line.find("): ", open == std::string::npos ? 0 : open);
    if (open == std::string::npos || close == std::string::npos) break;
    frames.push_back({line.substr(0, open), atoi(line.substr(open + 2, close - open - 2).c_str()),
                      line.substr(close + 3)});
    start = end + lineEnd.size();
  }
  return frames;
}

}  // namespace core_report
