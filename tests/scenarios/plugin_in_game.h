// Shared by the scenarios of the real plug-in: a game with it loaded or started, and
// where an engine entry leads. Failures are reported at the caller's line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <memory>
#include <set>
#include <sstream>
#include <string>

#include "scenario.h"

namespace plugin_in_game {

using world::CaptureFormat;
using world::JumpDestination;

// The module that holds an address.
inline HMODULE ModuleOf(uintptr_t address) {
  MEMORY_BASIC_INFORMATION region = {};
  VirtualQuery(reinterpret_cast<const void*>(address), &region, sizeof region);
  return static_cast<HMODULE>(region.AllocationBase);
}

// The two hooked entries (CL_Parse_VoiceInit, HUD_Frame) jump into the plug-in; the
// engine's other code entries still lead to its own routines.
inline void CheckHooks(const world::Game& game, scenario::Where at = SCENARIO_CALLER) {
  for (const char* entry : {"VoiceInitHandler", "HudFrame"}) {
    scenario::Context row("%s", entry);
    const uintptr_t address = game.EngineAddress(entry);
    ok_at(at, address != 0, "no engine address\n");
    if (!address) continue;
    const uint8_t opcode = *reinterpret_cast<const uint8_t*>(address);
    ok_at(at, opcode == world::kJumpOpcode, "starts with %02x, expected e9\n", opcode);
    ok_at(at, ModuleOf(JumpDestination(address)) == game.Plugin(),
          "jumps to %08x, outside the plug-in at %p\n",
          static_cast<unsigned>(JumpDestination(address)), static_cast<void*>(game.Plugin()));
  }
  for (const char* other : {"VoiceInitFunc", "ReadString", "ReadByte"})
    ok_at(at, JumpDestination(game.EngineAddress(other)) == game.RealRoutine(other),
          "%s was changed\n", other);
}

// Ends the scenario as skipped when the game folder has no plug-in (it was not built).
inline world::Game& WithPlugin(world::Game& game) {
  if (!game.PluginInFolder()) skip("the plug-in was not built\n");
  return game;
}

// The plug-in loaded into the game, as the sound-system host loads it.
inline world::Game& Loaded(world::Game& game, scenario::Where at = SCENARIO_CALLER) {
  const bool loaded = WithPlugin(game).LoadPlugin();
  const DWORD error = GetLastError();
  ok_at(at, loaded, "the plug-in did not load, error %lu\n", error);
  return game;
}

// ... and started by the host; false (a failure reported) when either step failed.
inline bool Started(world::Game& game, scenario::Where at = SCENARIO_CALLER) {
  const bool started = Loaded(game, at).Plugin() && game.Start() == 1;
  ok_at(at, started, "the plug-in was not started\n");
  return started;
}

// A game of `options` with the plug-in started in it.
inline std::unique_ptr<world::Game> StartedGame(const world::Options& options,
                                                scenario::Where at = SCENARIO_CALLER) {
  auto game = std::make_unique<world::Game>(options);
  Started(*game, at);
  return game;
}

inline std::unique_ptr<world::Game> StartedGame(int build = 6027,
                                                scenario::Where at = SCENARIO_CALLER) {
  return StartedGame(world::ForBuild(build), at);
}

// What the loader-lock probe (testworld/host/probe.h) journaled in one phase: the calls
// made under the loader lock (GetProcAddress without the name it was asked for; the
// library of a LoadLibrary call kept), whether `call` was seen at all, the longest stall
// of a thread start and, for the load, how long the attach took.
struct ProbedPhase {
  std::set<std::string> underLock, seen;
  double longestStall = -1;  // -1: the phase never ended
  double attach = -1;        // -1: the plug-in was not loaded in it
};
inline ProbedPhase Probed(const std::string& journal, const std::string& phase) {
  ProbedPhase probed;
  std::istringstream lines(journal);
  for (std::string name, call, lock, time; lines >> name >> call >> lock;) {
    if (call == "longest-stall" || call == "attach") {
      if (name == phase) (call == "attach" ? probed.attach : probed.longestStall) = atof(lock.c_str());
      continue;
    }
    lines >> time;
    if (name != phase) continue;
    if (call.compare(0, 15, "GetProcAddress(") == 0) call = "GetProcAddress";
    probed.seen.insert(call);
    if (lock == "lock") probed.underLock.insert(call);
  }
  return probed;
}

// Fails for every call under the lock that the pinned list does not hold, and for every
// pinned call no longer seen there.
inline void CheckUnderLock(const ProbedPhase& probed, const std::set<std::string>& pinned,
                           scenario::Where at = SCENARIO_CALLER) {
  for (const std::string& call : probed.underLock)
    ok_at(at, pinned.count(call) != 0, "%s is new under the loader lock\n", call.c_str());
  for (const std::string& call : pinned)
    ok_at(at, probed.underLock.count(call) != 0, "%s is no longer seen under the loader lock\n",
          call.c_str());
}

}  // namespace plugin_in_game
