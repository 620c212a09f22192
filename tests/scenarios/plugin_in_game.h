// Shared by the scenarios of the real plug-in: a game with it loaded or started, and
// where an engine entry leads. Failures are reported at the caller's line.
#pragma once

#include <windows.h>

#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <map>
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

// Every page the plug-in writes keeps the protection the engine has: its code
// read-and-execute, its data (the codec slot, the capture format) as the loader mapped
// the world's writable, executable section (copy-on-write).
inline void CheckEngineProtection(const world::Game& game, scenario::Where at = SCENARIO_CALLER) {
  const struct {
    const char* entry;
    DWORD protection;
  } pages[] = {{"VoiceInitHandler", PAGE_EXECUTE_READ}, {"HudFrame", PAGE_EXECUTE_READ},
               {"CodecSlot", PAGE_EXECUTE_WRITECOPY}, {"VoiceFormat", PAGE_EXECUTE_WRITECOPY}};
  for (const auto& page : pages) {
    MEMORY_BASIC_INFORMATION region = {};
    VirtualQuery(reinterpret_cast<const void*>(game.EngineAddress(page.entry)), &region, sizeof region);
    ok_at(at, region.Protect == page.protection, "%s's page is 0x%lx, expected 0x%lx\n", page.entry,
          region.Protect, page.protection);
  }
}

// The two hooked entries (CL_Parse_VoiceInit, HUD_Frame) jump into the plug-in; the
// engine's other code entries still lead to its own routines.
inline void CheckHooks(const world::Game& game, scenario::Where at = SCENARIO_CALLER) {
  CheckEngineProtection(game, at);
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
// library of a LoadLibrary or GetModuleHandle call kept), whether `call` was seen at all,
// the heap calls inside each kind of entry-routine window ("attach", "detach", "exit"),
// the longest stall of a thread start and, for the load, how long the attach took.
struct ProbedPhase {
  std::set<std::string> underLock, seen;
  std::map<std::string, long> heapCalls;  // per window kind seen; summed
  double longestStall = -1;  // -1: the phase never ended (or ended the process)
  double attach = -1;        // -1: the plug-in was not loaded in it
  bool probeFailed = false;  // the probe could not watch the plug-in
};
inline ProbedPhase Probed(const std::string& journal, const std::string& phase) {
  ProbedPhase probed;
  std::istringstream lines(journal);
  for (std::string line; std::getline(lines, line);) {
    std::istringstream fields(line);
    std::string name, call, lock;
    fields >> name >> call;
    if (name != phase) continue;
    if (call == "probe-failed") {
      probed.probeFailed = true;
    } else if (call == "longest-stall" || call == "attach") {
      double milliseconds = -1;
      fields >> milliseconds;
      (call == "attach" ? probed.attach : probed.longestStall) = milliseconds;
    } else if (call == "window") {
      std::string what;
      long heap = 0;
      fields >> what >> lock >> heap;
      probed.heapCalls[what] += heap;
    } else {
      fields >> lock;
      if (call.compare(0, 15, "GetProcAddress(") == 0) call = "GetProcAddress";
      probed.seen.insert(call);
      if (lock == "lock") probed.underLock.insert(call);
    }
  }
  return probed;
}

// Fails for every call under the lock that the pinned list does not hold, and for every
// pinned call no longer seen there.
inline void CheckUnderLock(const ProbedPhase& probed, const std::set<std::string>& pinned,
                           scenario::Where at = SCENARIO_CALLER) {
  ok_at(at, !probed.probeFailed, "the probe could not watch the plug-in\n");
  for (const std::string& call : probed.underLock)
    ok_at(at, pinned.count(call) != 0, "%s is new under the loader lock\n", call.c_str());
  for (const std::string& call : pinned)
    ok_at(at, probed.underLock.count(call) != 0, "%s is no longer seen under the loader lock\n",
          call.c_str());
}

// What no entry-routine window may do (Microsoft's "Dynamic-Link Library Best
// Practices"): load or free a library, start, end or wait for a thread or take a lock
// another thread may hold, or use user32, gdi32, Winsock, COM or dbghelp. In the detach
// of an ending process (`processEnds`) also the heap and the C runtime's streams: the
// threads the exit killed keep what they held.
inline const char* BrokenRule(const std::string& call, bool processEnds) {
  static const char* const kLibraries[] = {"LoadLibrary", "FreeLibrary", "LdrLoadDll", "LdrUnloadDll"};
  static const std::set<std::string> kThreads = {
      "CreateThread", "CreateRemoteThread", "TerminateThread", "ExitThread", "SuspendThread",
      "ResumeThread", "WaitForSingleObject", "WaitForSingleObjectEx", "WaitForMultipleObjects",
      "WaitForMultipleObjectsEx", "SignalObjectAndWait", "MsgWaitForMultipleObjects", "Sleep",
      "SleepEx", "EnterCriticalSection", "TryEnterCriticalSection", "_lock", "_lock_file",
      "AcquireSRWLockExclusive", "AcquireSRWLockShared"};
  static const std::set<std::string> kWindowsAndNetwork = {
      "MessageBoxW", "MessageBoxA", "WSAStartup", "WSACleanup", "WSAGetLastError", "__WSAFDIsSet",
      "socket", "closesocket", "connect", "getsockopt", "htons", "ioctlsocket", "recv", "select",
      "send", "gethostbyname", "CoInitialize", "CoInitializeEx", "CoCreateInstance"};
  static const std::set<std::string> kDbghelp = {
      "StackWalk64", "MiniDumpWriteDump", "UnDecorateSymbolName", "EnumerateLoadedModules64"};
  static const std::set<std::string> kHeapAndStreams = {
      "malloc", "calloc", "realloc", "free", "_strdup", "HeapAlloc", "HeapFree", "HeapReAlloc",
      "LocalAlloc", "LocalFree", "GlobalAlloc", "GlobalFree", "fopen", "fclose", "fread",
      "fwrite", "fputs", "fputc", "fflush", "setvbuf", "printf", "vfprintf", "fprintf"};
  for (const char* prefix : kLibraries)
    if (call.compare(0, std::strlen(prefix), prefix) == 0) return "loads or frees a library";
  if (kThreads.count(call)) return "starts, ends or waits for a thread, or takes a lock";
  if (kWindowsAndNetwork.count(call)) return "uses user32, Winsock or COM";
  if (kDbghelp.count(call) || call.compare(0, 3, "Sym") == 0) return "uses dbghelp";
  if (processEnds && kHeapAndStreams.count(call)) return "uses the heap or a stream as the process ends";
  return nullptr;
}

}  // namespace plugin_in_game
