// The plug-in's life in the game: attach, the host's start and stop calls, thread
// notifications, and a refused load. Every transition of the two start-up flags shows
// in what reaches the console and the engine.
#include <winsock2.h>

#include <set>
#include <string>

#include "core_texts.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using namespace core_texts;

using plugin_in_game::Loaded;

std::string VersionAnswer(int build, const char* date) {
  return kVersionAnswerStart + date + " (" + std::to_string(build) + ")\n";
}

// Everything a full late start-up leaves in the records, checked at the caller's line.
void CheckFullStart(world::Game& game, scenario::Where at = SCENARIO_CALLER) {
  ok_bytes_at(at, game.Console(), About("(WIN_7)") + kUpdateUnreachable);
  auto lines = game.JournalLines();
  ok_at(at, !lines.empty() && lines[0] == "console activate",
        "the game console is not activated first: \"%s\"\n", lines.empty() ? "" : lines[0].c_str());
  ok_at(at, scenario::CountLines(game.Journal(), "slot17 VoiceInit") == 1,
        "VoiceInit registered %d times\n", scenario::CountLines(game.Journal(), "slot17 VoiceInit"));
  // Commands come last: after the five settings, in the table's order.
  std::string journal = game.Journal();
  size_t lastSetting = journal.rfind("slot14 ");
  size_t previous = 0;
  for (const char* command : kCommands) {
    size_t found = journal.find(std::string("slot17 ") + command + "\n");
    ok_at(at, found != std::string::npos && found > lastSetting && found >= previous,
          "command %s registered out of order (at %zu)\n", command, found);
    ok_at(at, game.HasCommand(command), "command %s missing\n", command);
    previous = found;
  }
}

hostent*(WSAAPI* g_gethostbyname)(const char*);
DWORD g_lookupThread;

hostent* WSAAPI RecordLookupThread(const char* name) {
  g_lookupThread = GetCurrentThreadId();
  return g_gethostbyname(name);
}

// A build the plug-in does not support: the load does nothing visible, and the host's
// start call runs the unsupported path (on its thread, never under the loader lock).
void CheckUnsupportedPath(int build, WorldProbeStyle probe, const char* date) {
  world::Options options;
  options.build = build;
  options.probe = probe;
  world::Game game(options);
  Loaded(game);
  ok_bytes(game.Console(), "");
  ok_bytes(game.Journal(), "");
  // The name lookup runs on a worker, bounded by the deadline.
  g_gethostbyname = reinterpret_cast<decltype(g_gethostbyname)>(
      game.ReplaceImport("ws2_32.dll", "gethostbyname", reinterpret_cast<void*>(&RecordLookupThread)));
  ok(g_gethostbyname != nullptr, "the plug-in does not import gethostbyname\n");
  g_lookupThread = 0;
  ok(game.Start() == 1, "start call did not return 1\n");
  // No frame of the engine reaches the plug-in on such a build: the check's message
  // waits for the host's next call.
  ok_bytes(game.Console(), kUnsupported + VersionAnswer(build, date));
  ok_bytes(game.Journal(), "console activate\nRunGameEngine version\n");
  ok(g_lookupThread != 0 && g_lookupThread != GetCurrentThreadId(),
     "the name was looked up on the host's thread, not on a worker\n");
  for (const char* command : kCommands) ok(!game.HasCommand(command), "%s registered\n", command);
  ok(game.Setting("voice_useold") == -12345.0f, "voice settings registered\n");

  // A second start only shows what the check said; only a stop followed by a start runs
  // the path again.
  game.ClearRecords();
  ok(game.Start() == 1, "second start call did not return 1\n");
  ok_bytes(game.Console(), kUpdateUnreachable);
  game.ClearRecords();
  ok(game.Stop() == 1, "stop call did not return 1\n");
  ok_bytes(game.Console(), "");
  ok(game.Start() == 1, "start call after the stop did not return 1\n");
  ok_bytes(game.Console(), kUnsupported + VersionAnswer(build, date));
  ok(game.Stop() == 1, "second stop call did not return 1\n");
  ok_bytes(game.Console(), kUnsupported + VersionAnswer(build, date) + kUpdateUnreachable);
}

DWORD WINAPI DoNothing(void*) { return 0; }

// What runs under the loader lock by design, per path, as the probe sees it; anything
// else there fails with its name. The attach binds what the game has loaded already (a
// reference each, no library's own start-up runs); the abnormal-end report must run
// inside the detach notification. Nothing of the start, the stop or a network exchange.
const std::set<std::string> kAttachUnderLock = {
    "GetProcAddress",           "LoadLibraryA(hw.dll)",    "LoadLibraryA(valve\\cl_dlls\\GameUI.dll)",
    "LoadLibraryA(vgui2.dll)",  "LoadLibraryW(hw.dll)",    "LoadLibraryW(vstdlib.dll)"};
const std::set<std::string> kReportUnderLock = {
    "CreateToolhelp32Snapshot", "GetProcAddress",       "LoadLibraryA(kernel32.dll)",
    "LoadLibraryW(dbghelp.dll)", "LoadLibraryW(tier0.dll)", "MessageBoxW",
    "Module32First",            "Module32Next",         "StackWalk64",
    "SymCleanup",               "SymGetLineFromAddr64", "SymGetOptions",
    "SymGetSymFromAddr64",      "SymInitialize",        "SymLoadModule64",
    "SymSetOptions",            "WriteMiniDump"};

// A name lookup that takes seconds: were it under the lock, every thread start of the
// game would wait that long.
constexpr DWORD kSlowLookupMs = 2000;

struct ProbedRow {
  int build;
  const char* probe;  // "exact", or "none" for an unrecognised engine
  bool stopAndStartAgain;
};

// Load, start (and a stop and a second start), unload while running: one process under
// the probe with a slow name server; args: build, probe style, "stop" or "".
CHILD_MODE(probed_paths) {
  world::Options options;
  options.build = atoi(scenario::Args().at(0).c_str());
  options.probe = scenario::Args().at(1) == "none" ? kProbeNone : kProbeExact;
  options.loaderProbe = true;
  options.slowResolverMs = kSlowLookupMs;
  world::Game game(options);
  Loaded(game);
  game.Start();
  if (scenario::Args().at(2) == "stop") {
    game.Stop();
    game.Start();
  }
  game.Unload();
}

void CheckProbedPaths(const ProbedRow& row) {
  scenario::Context context("build %d, probe %s", row.build, row.probe);
  auto child = scenario::RunChildMode(
      "probed_paths", {std::to_string(row.build), row.probe, row.stopAndStartAgain ? "stop" : ""},
      40000);
  ok(child.started && !child.timedOut && child.exitCode == 0, "exit 0x%lx, timed out %d:\n%s%s\n",
     child.exitCode, child.timedOut, child.out.c_str(), child.err.c_str());
  const std::string journal = scenario::ReadFile(scenario::StartDir() / "games" /
                                                 (scenario::Name() + ".probed_paths") / "probe.journal");
  const bool supported = std::string(row.probe) == "exact" && (row.build == 6027 || row.build == 6132);
  const struct {
    const char* phase;
    const std::set<std::string>& pinned;
  } paths[] = {{"load", kAttachUnderLock},
               {"start", {}},
               {"stop", {}},
               {"unload", supported ? kReportUnderLock : std::set<std::string>{}}};
  for (const auto& path : paths) {
    scenario::Context phase("%s", path.phase);
    const plugin_in_game::ProbedPhase probed = plugin_in_game::Probed(journal, path.phase);
    if (!row.stopAndStartAgain && std::string(path.phase) == "stop") continue;
    plugin_in_game::CheckUnderLock(probed, path.pinned);
    trace("longest stall %.1f ms\n", probed.longestStall);
    // The report holds the lock as long as it takes (and its box as long as the player
    // reads); every other path only briefly, whatever the name server does.
    ok(probed.longestStall >= 0 &&
           (path.pinned.count("MessageBoxW") || probed.longestStall < kSlowLookupMs / 2),
       "a thread start waited %.1f ms\n", probed.longestStall);
  }
  const double attach = plugin_in_game::Probed(journal, "load").attach;
  trace("the attach took %.1f ms\n", attach);
  ok(attach >= 0 && attach < kSlowLookupMs / 2, "the attach took %.1f ms\n", attach);
  // The probe saw the exchange and the report where they run.
  ok(plugin_in_game::Probed(journal, "start").seen.count("gethostbyname"),
     "no name lookup at the start\n");
  ok(plugin_in_game::Probed(journal, "unload").seen.count("MessageBoxW") == (supported ? 1u : 0u),
     "message box at the unload: %s\n", supported ? "missing" : "shown");
}

}  // namespace

SCENARIO(supported_build_waits_for_the_host) {
  world::Game game;
  Loaded(game);
  ok_bytes(game.Console(), "");
  ok_bytes(game.Journal(), "");
  ok(!game.HasCommand("+steamvoice"), "commands registered before the start call\n");
  ok(game.Start() == 1, "start call did not return 1\n");
  CheckFullStart(game);
}

SCENARIO(second_start_does_nothing_and_stop_then_start_runs_again) {
  world::Game game;
  Loaded(game);
  game.Start();
  game.ClearRecords();
  ok(game.Start() == 1, "second start did not return 1\n");
  ok_bytes(game.Console(), "");
  ok_bytes(game.Journal(), "");

  ok(game.Stop() == 1, "stop did not return 1\n");
  ok(game.Stop() == 1, "second stop did not return 1\n");
  ok_bytes(game.Console(), "");
  ok_bytes(game.Journal(), "");
  ok(game.HasCommand("+steamvoice"), "a stop must not remove commands\n");

  ok(game.Start() == 1, "restart did not return 1\n");
  CheckFullStart(game);
  // The engine is offered every setting and command again.
  ok(scenario::CountLines(game.Journal(), "slot14 voice_useold \"1\" 16") == 1,
     "voice_useold not registered again\n");
}

SCENARIO(stop_before_any_start_changes_nothing) {
  world::Game game;
  Loaded(game);
  ok(game.Stop() == 1, "stop did not return 1\n");
  ok_bytes(game.Console(), "");
  ok(game.Start() == 1, "start did not return 1\n");
  CheckFullStart(game);
}

SCENARIO(thread_notifications_change_nothing) {
  world::Game game;
  Loaded(game);
  // A thread start and end reach the entry routine with reasons 2 and 3.
  HANDLE thread = CreateThread(nullptr, 0, DoNothing, nullptr, 0, nullptr);
  ok(thread != nullptr, "no thread\n");
  WaitForSingleObject(thread, 5000);
  CloseHandle(thread);
  ok_bytes(game.Console(), "");
  ok_bytes(game.Journal(), "");
  game.Start();
  CheckFullStart(game);
}

SCENARIO(unsupported_build_4554_runs_late_start_up_at_the_host_start) {
  CheckUnsupportedPath(4554, kProbeExact, "Exe build: 16:05:41 Jun 15 2009");
}

SCENARIO(unsupported_build_4156_takes_the_same_path) {
  CheckUnsupportedPath(4156, kProbeExact, "Exe build: 14:58:36 Mar 11 2008");
}

SCENARIO(unrecognised_engine_takes_the_unsupported_path) {
  CheckUnsupportedPath(6027, kProbeNone, "Exe build: 17:47:17 Apr 25 2013");
}

SCENARIO(missing_engine_refuses_the_load_and_leaves_no_filter_behind) {
  world::Options options;
  options.engine = false;
  world::Game game(options);
  plugin_in_game::WithPlugin(game);
  auto sentinel = reinterpret_cast<LPTOP_LEVEL_EXCEPTION_FILTER>(&DoNothing);
  SetUnhandledExceptionFilter(sentinel);
  ok(!game.LoadPlugin(), "the plug-in loaded without hw.dll\n");
  ok(GetModuleHandleA("Murmelon_W_7_D.asi") == nullptr, "the plug-in stayed in memory\n");
  LPTOP_LEVEL_EXCEPTION_FILTER current = SetUnhandledExceptionFilter(nullptr);
  ok(current == sentinel, "the process's filter is %p, expected the host's %p\n",
     reinterpret_cast<void*>(current), reinterpret_cast<void*>(sentinel));
  ok(!std::filesystem::exists("MurmelonError.log"), "an error log was written\n");
}

SCENARIO(unload_before_any_start_writes_no_report) {
  world::Game game;
  Loaded(game);
  ok(game.Unload(), "the plug-in did not unload\n");
  ok_bytes(game.Console(), "");
  ok_bytes(game.Journal(), "");  // no tier0 minidump asked for either
  ok(!std::filesystem::exists("MurmelonError.log"), "an error log was written\n");
}

SCENARIO(unload_after_stop_on_an_unsupported_build_writes_no_report) {
  world::Options options;
  options.build = 4554;
  world::Game game(options);
  Loaded(game);
  game.Stop();
  game.ClearRecords();
  ok(game.Unload(), "the plug-in did not unload\n");
  ok_bytes(game.Journal(), "");
  ok(!std::filesystem::exists("MurmelonError.log"), "an error log was written\n");
}

// Every path under the loader-lock probe, per build: what it calls under the lock is the
// pinned list, and no thread start waits for long, not even with a slow name server.
SCENARIO(loader_lock_calls_on_supported_builds) {
  for (const ProbedRow& row : {ProbedRow{6027, "exact", true}, ProbedRow{6132, "exact", false}})
    CheckProbedPaths(row);
}

SCENARIO(loader_lock_calls_on_other_builds) {
  for (const ProbedRow& row : {ProbedRow{4554, "exact", false}, ProbedRow{4156, "exact", false},
                               ProbedRow{6027, "none", false}})
    CheckProbedPaths(row);
}
