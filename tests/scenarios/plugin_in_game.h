// Shared by the scenarios of the real plug-in: a game with it loaded or started, the
// engine's capture format as the world lays it out, and where an engine entry leads.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstring>
#include <memory>

#include "scenario.h"

namespace plugin_in_game {

#pragma pack(push, 1)
struct CaptureFormat {  // WAVEFORMATEX
  uint16_t formatTag, channels;
  uint32_t samplesPerSec, avgBytesPerSec;
  uint16_t blockAlign, bitsPerSample, extraSize;
};
#pragma pack(pop)
static_assert(sizeof(CaptureFormat) == 18, "the engine's capture format is 18 bytes");

// The module that holds an address.
inline HMODULE ModuleOf(uintptr_t address) {
  MEMORY_BASIC_INFORMATION region = {};
  VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region);
  return static_cast<HMODULE>(region.AllocationBase);
}

// Where the 5-byte relative jump at an engine entry leads.
inline uintptr_t JumpDestination(uintptr_t at) {
  int32_t displacement;
  std::memcpy(&displacement, reinterpret_cast<const void*>(at + 1), sizeof displacement);
  return at + 5 + static_cast<uintptr_t>(static_cast<intptr_t>(displacement));
}

// The plug-in loaded into the game, as the sound-system host loads it.
inline world::Game& Loaded(world::Game& game) {
  if (!game.PluginInFolder()) skip("the plug-in was not built\n");
  ok(game.LoadPlugin(), "the plug-in did not load, error %lu\n", GetLastError());
  return game;
}

// ... and started by the host on an engine of this build.
inline std::unique_ptr<world::Game> StartedGame(int build = 6027) {
  world::Options options;
  options.build = build;
  auto game = std::make_unique<world::Game>(options);
  Loaded(*game);
  ok(game->Start() == 1, "start call did not answer 1\n");
  return game;
}

}  // namespace plugin_in_game
