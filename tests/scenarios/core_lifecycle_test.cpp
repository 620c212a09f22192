// The plug-in's life in the game: attach, the host's start and stop calls, thread
// notifications, and a refused load. Every transition of the two start-up flags shows
// in what reaches the console and the engine.
#include <winsock2.h>

#include <cstring>
#include <set>
#include <string>

#include "core_texts.h"
#include "plugin_in_game.h"
#include "probe.h"
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

// What runs under the loader lock, per path, as the probe sees every call the plug-in
// makes out of its image: the attach's lookups of what the game has loaded, its own
// file and the C runtime's start; at an unload, putting back what we patched. The
// report of an abnormal end runs before the loader takes over, from the exit hooks.
// Anything new fails with its name; nothing pinned may break the rule of the windows.
const std::set<std::string> kNothing;
const std::set<std::string> kAttachUnderLock = {
    // the C runtime's start (libgcc's frame tables and thread support, static objects)
    "_initterm", "GetModuleHandleA(libgcc_s_dw2-1.dll)", "CreateSemaphoreW", "malloc", "free",
    // the engine's string library and build, looked up
    "GetModuleHandleW(vstdlib.dll)", "GetModuleHandleW(hw.dll)", "GetProcAddress", "Q_stristr",
    "Q_MakeAbsolutePath", "Q_vsnprintf", "IsBadWritePtr", "IsBadStringPtrA",
    // our own file: its digest and where its DWARF lies; the volume's serial
    "GetModuleFileNameA", "GetModuleFileNameW", "fopen", "fread", "fclose", "CreateFileW",
    "ReadFile", "SetFilePointer", "CloseHandle", "GetVolumeInformationA",
    "SetUnhandledExceptionFilter", "memchr", "memcmp", "memcpy", "memset", "strcmp", "strlen"};
// Putting back the engine's bytes and the imports we led through us (with their pages'
// protection), and the filter; the parked dump thread is left in its wait.
const std::set<std::string> kUnloadUnderLock = {
    "VirtualQuery", "VirtualProtect", "FlushInstructionCache", "GetCurrentProcess", "memcpy",
    "SetUnhandledExceptionFilter", "CloseHandle"};
// The end no hook saw: the detach marks the run abnormal in its mark file, opened at the
// start, and writes the bare record, with kernel32's file and memory calls.
const std::set<std::string> kUnhookedExitUnderLock = {
    "CreateFileA", "WriteFile", "CloseHandle", "SetFilePointer", "SetEndOfFile",
    "VirtualQuery", "strchr", "strlen"};

// A name lookup that takes seconds: were it under the lock, every thread start of the
// game would wait that long.
constexpr DWORD kSlowLookupMs = 2000;

world::Options ProbedOptions(DWORD slowLookupMs) {
  world::Options options;
  options.build = atoi(scenario::Args().at(0).c_str());
  options.probe = scenario::Args().at(1) == "none" ? kProbeNone : kProbeExact;
  options.loaderProbe = true;
  options.slowResolverMs = slowLookupMs;
  options.stopAtEnd = false;
  return options;
}

// Load, start, stop and start again, unload while running: one process under the probe
// with a slow name server; args: build, probe style.
CHILD_MODE(probed_paths) {
  world::Game game(ProbedOptions(kSlowLookupMs));
  Loaded(game);
  game.Start();
  game.Stop();
  game.Start();
  game.Unload();
}

// Load and start, then the game ends while the plug-in runs; args: build, probe style,
// and "hooked" (through the C runtime's exit, as a game ends) or "unhooked" (straight
// through ntdll's RtlExitUserProcess, which no module's import leads to).
CHILD_MODE(probed_exit) {
  world::Game game(ProbedOptions(0));
  Loaded(game);
  game.Start();
  world::probe::FinalPhase("exit");
  if (scenario::Args().at(2) == "unhooked") {
    using ExitFn = void(WINAPI*)(DWORD);
    auto exitProcess = reinterpret_cast<ExitFn>(reinterpret_cast<void*>(
        GetProcAddress(GetModuleHandleW(L"ntdll.dll"), "RtlExitUserProcess")));
    if (exitProcess) exitProcess(0);
  }
  exit(0);
}

// Load and start, then the player types "crash" (supported builds: the command exists);
// args: build, probe style.
CHILD_MODE(probed_crash) {
  world::Game game(ProbedOptions(0));
  Loaded(game);
  game.Start();
  world::probe::FinalPhase("crash");
  game.Command("crash");
}

std::string ChildJournal(const char* mode) {
  return scenario::ReadFile(scenario::StartDir() / "games" / (scenario::Name() + "." + mode) /
                            "probe.journal");
}

void CheckChild(const scenario::ChildResult& child, scenario::Where at = SCENARIO_CALLER) {
  ok_at(at, child.started && !child.timedOut && child.exitCode == 0, "exit 0x%lx, timed out %d:\n%s%s\n",
        child.exitCode, child.timedOut, child.out.c_str(), child.err.c_str());
}

// One phase: exactly the pinned calls under the lock, none of them against the rule,
// and, as the process ends, not one heap call inside the detach.
void CheckPhase(const std::string& journal, const char* phase, const std::set<std::string>& pinned,
                scenario::Where at = SCENARIO_CALLER) {
  scenario::Context context("%s", phase);
  const plugin_in_game::ProbedPhase probed = plugin_in_game::Probed(journal, phase);
  plugin_in_game::CheckUnderLock(probed, pinned, at);
  const bool exit = std::string(phase) == "exit";
  for (const std::string& call : probed.underLock)
    if (const char* broken = plugin_in_game::BrokenRule(call, exit))
      ok_at(at, false, "%s under the loader lock %s\n", call.c_str(), broken);
  for (const auto& window : probed.heapCalls)
    trace("%s window: %ld heap calls\n", window.first.c_str(), window.second);
  if (exit) {
    // None at all, whoever would make it; the bare record's file calls make some inside
    // kernel32 (the path's conversion), and none of ours.
    const long heap = probed.heapCalls.count("exit") ? probed.heapCalls.at("exit") : -1;
    ok_at(at, heap == 0 || (heap > 0 && pinned.count("CreateFileA")),
          "%ld heap calls in the detach as the process ends\n", heap);
    return;
  }
  if (std::string(phase) == "crash") return;  // the process ends in it: no stall journaled
  trace("longest stall %.1f ms\n", probed.longestStall);
  // Whatever the name server does, no thread start waits for long.
  ok_at(at, probed.longestStall >= 0 && probed.longestStall < kSlowLookupMs / 2,
        "a thread start waited %.1f ms\n", probed.longestStall);
}

bool Supported(int build, const char* probe) {
  return std::string(probe) == "exact" && (build == 6027 || build == 6132);
}

// The paths of one engine build under the probe: load, start, stop, unload while running.
void CheckProbedPaths(int build, const char* probe) {
  scenario::Context context("build %d, probe %s", build, probe);
  CheckChild(scenario::RunChildMode("probed_paths", {std::to_string(build), probe}, 60000));
  const std::string journal = ChildJournal("probed_paths");
  // Each phase with its process window: the attach in the load and the detach in the
  // unload, each under its own name, and the attach's length journaled for the load only.
  const struct {
    const char* phase;
    const std::set<std::string>& pinned;
    const char* window;
  } phases[] = {{"load", kAttachUnderLock, "attach"},
                {"start", kNothing, nullptr},
                {"stop", kNothing, nullptr},
                {"unload", kUnloadUnderLock, "detach"}};
  for (const auto& row : phases) {
    CheckPhase(journal, row.phase, row.pinned);
    const plugin_in_game::ProbedPhase probed = plugin_in_game::Probed(journal, row.phase);
    for (const char* window : {"attach", "detach"})
      ok(probed.heapCalls.count(window) == (row.window && strcmp(row.window, window) == 0 ? 1u : 0u),
         "%s: %s window %s\n", row.phase, window, probed.heapCalls.count(window) ? "journaled" : "missing");
    ok((probed.attach >= 0) == (row.window && strcmp(row.window, "attach") == 0),
       "%s: attach length %.1f ms\n", row.phase, probed.attach);
  }
  const double attach = plugin_in_game::Probed(journal, "load").attach;
  trace("the attach took %.1f ms\n", attach);
  ok(attach >= 0 && attach < kSlowLookupMs / 2, "the attach took %.1f ms\n", attach);
  // The probe saw the exchange and the report where they run, outside the lock.
  const bool supported = Supported(build, probe);
  ok(plugin_in_game::Probed(journal, "start").seen.count("gethostbyname"), "no name lookup at the start\n");
  ok(plugin_in_game::Probed(journal, "unload").seen.count("MessageBoxW") == (supported ? 1u : 0u),
     "message box at the unload: %s\n", supported ? "missing" : "shown");
}

// The process's end while the plug-in runs, through the C runtime's exit as a game ends,
// through a way no import leads, and (where the command exists) by a crash.
void CheckProbedEnds(int build, const char* probe) {
  const bool supported = Supported(build, probe);
  if (supported) {
    scenario::Context context("build %d, crash", build);
    const scenario::ChildResult child =
        scenario::RunChildMode("probed_crash", {std::to_string(build), probe}, 60000);
    ok(child.started && !child.timedOut && child.exitCode == 0xC0000005, "exit 0x%lx, timed out %d:\n%s%s\n",
       child.exitCode, child.timedOut, child.out.c_str(), child.err.c_str());
    CheckPhase(ChildJournal("probed_crash"), "crash", kNothing);
    // The dump writer was found at the start: a crashed process loads no library (its
    // heap may be broken, another thread may hold the loader lock).
    for (const std::string& call : plugin_in_game::Probed(ChildJournal("probed_crash"), "crash").seen)
      ok(call.compare(0, 11, "LoadLibrary") != 0, "%s after the fault\n", call.c_str());
  }
  for (const char* how : {"hooked", "unhooked"}) {
    scenario::Context context("build %d, probe %s, %s end", build, probe, how);
    CheckChild(scenario::RunChildMode("probed_exit", {std::to_string(build), probe, how}, 60000));
    const std::string journal = ChildJournal("probed_exit");
    const bool unhooked = std::string(how) == "unhooked";
    CheckPhase(journal, "exit", supported && unhooked ? kUnhookedExitUnderLock : kNothing);
    ok(plugin_in_game::Probed(journal, "exit").seen.count("MessageBoxW") == (supported && !unhooked ? 1u : 0u),
       "message box at the end: %s\n", supported && !unhooked ? "missing" : "shown");
    // The record: named frames from the hooks; from the detach, the bare one (a record
    // without frames: its header, two empty lines, the separator).
    const std::string log = scenario::ReadFile(scenario::StartDir() / "games" /
                                               (scenario::Name() + ".probed_exit") / "MurmelonError.log");
    const std::string end = "Version=" + std::to_string(build) + "\r\n\r\n";
    const std::string separator = std::string(53, '_') + "\r\n";
    const size_t at = log.find(end);
    if (!supported) {
      ok_bytes(log, "");
    } else if (unhooked) {
      ok(at != std::string::npos && log.compare(at, std::string::npos, end + "\r\n" + separator) == 0,
         "not a bare record: %s\n", scenario::Escape(log).c_str());
    } else {
      ok(at != std::string::npos && log.find("): WriteErrorLog\r\n", at) != std::string::npos &&
             log.size() > separator.size() && log.compare(log.size() - separator.size(), separator.size(), separator) == 0,
         "no record with frames: %s\n", scenario::Escape(log).c_str());
    }
  }
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

// Every path under the loader-lock probe, one engine build each (each takes seconds of
// Wine processes): what it calls under the lock is the pinned list, within the rule.
SCENARIO(loader_lock_calls_on_build_6027) { CheckProbedPaths(6027, "exact"); }
SCENARIO(loader_lock_calls_on_build_6132) { CheckProbedPaths(6132, "exact"); }
SCENARIO(loader_lock_calls_on_build_4554) { CheckProbedPaths(4554, "exact"); }
SCENARIO(loader_lock_calls_on_build_4156) { CheckProbedPaths(4156, "exact"); }
SCENARIO(loader_lock_calls_on_an_unrecognised_engine) { CheckProbedPaths(6027, "none"); }
SCENARIO(loader_lock_calls_at_the_end_on_build_6027) { CheckProbedEnds(6027, "exact"); }
SCENARIO(loader_lock_calls_at_the_end_on_build_6132) { CheckProbedEnds(6132, "exact"); }
SCENARIO(loader_lock_calls_at_the_end_on_build_4554) { CheckProbedEnds(4554, "exact"); }
SCENARIO(loader_lock_calls_at_the_end_on_build_4156) { CheckProbedEnds(4156, "exact"); }
SCENARIO(loader_lock_calls_at_the_end_on_an_unrecognised_engine) { CheckProbedEnds(6027, "none"); }
