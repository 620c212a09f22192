// How the last run ended, told by the next start's update check: each start is its own
// process in one game folder, against a scripted server that keeps the request. A run
// ends clean (the host stops us), crashed (through our filter), abnormal (the game exits
// without stopping us) or unknown (the process is killed); the next start reports it
// once, again after a check without an answer (three checks at most), and never when
// the player turned it off or the engine build is one without the setting.
#include <cstdio>
#include <string>
#include <vector>

#include "../update_server/server_process.h"
#include "../update_server/update_scenario.h"
#include "../../flavours/build_numbers.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using namespace update_test;

struct Flavour {
  const char* name;
  int build;
  const char* module;  // the signature's module name for a fault in the plug-in
};
const Flavour kW7 = {"Murmelon_W_7_D", MURMELON_BUILD_Murmelon_W_7_D, "murmelon_w_7_d.asi"};
const Flavour kXP = {"Murmelon_W_XP_D", MURMELON_BUILD_Murmelon_W_XP_D, "murmelon_w_xp_d.asi"};

// The child's own view of its fault, printed before the plug-in's filter runs: the
// code and the offset in the module that holds the address (0 outside any module).
LONG WINAPI PrintFault(EXCEPTION_POINTERS* exception) {
  static bool printed;
  const EXCEPTION_RECORD* record = exception->ExceptionRecord;
  if (printed || (record->ExceptionCode & 0xF0000000) != 0xC0000000) return EXCEPTION_CONTINUE_SEARCH;
  printed = true;
  HMODULE module = nullptr;
  GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                     static_cast<LPCWSTR>(record->ExceptionAddress), &module);
  const uintptr_t address = reinterpret_cast<uintptr_t>(record->ExceptionAddress);
  std::printf("fault %08lx %08lx\n", static_cast<unsigned long>(record->ExceptionCode),
              static_cast<unsigned long>(module ? address - reinterpret_cast<uintptr_t>(module) : 0));
  std::fflush(stdout);
  return EXCEPTION_CONTINUE_SEARCH;
}

int* volatile nowhere = nullptr;
__attribute__((noinline)) void FaultHere() { *nowhere = 1; }

// One start of the game: args game folder name, server address, flavour, engine build,
// and how the run ends: "clean", "off" (the player turns the report off, then a clean
// end), "crash" (the plug-in's "crash" command), "exe" (a fault in the game's own code),
// "nowhere" (a call to address 0), "abnormal" or "killed". Prints what the update check
// said, escaped, on one line.
CHILD_MODE(run_report_start) {
  const std::vector<std::string>& args = scenario::Args();
  world::Options options;
  options.name = args.at(0);
  options.updateHost = args.at(1);
  options.flavour = args.at(2);
  options.build = std::stoi(args.at(3));
  options.keepFolder = true;
  const std::string& end = args.at(4);
  options.stopAtEnd = end != "abnormal";
  world::Game game(options);
  plugin_in_game::Loaded(game);
  game.Start();
  std::printf("said %s\n", scenario::Escape(UpdateOutput(game.Console())).c_str());
  std::fflush(stdout);
  AddVectoredExceptionHandler(1, PrintFault);
  // No dump (a directory holds its name): the filter marks the run and gives up at once,
  // instead of the seconds a dump of the whole process takes.
  CreateDirectoryW(L"Murmelon.dmp", nullptr);
  if (end == "off") ok(game.Set("murmelon_report_runs", "0"), "no setting murmelon_report_runs\n");
  if (end == "crash") game.Command("crash");
  if (end == "exe") FaultHere();
  if (end == "nowhere") reinterpret_cast<void (*)()>(static_cast<uintptr_t>(0))();
  if (end == "killed") TerminateProcess(GetCurrentProcess(), 9);
}

struct Start {
  std::string host;     // the server's address
  std::string said;     // what the check printed
  std::string request;  // what the server received
  std::string fault;    // "fault <code> <offset>" when the run faulted
};

// A start of `game` (a fresh one when it is the first) against a server that answers
// with `answer`, ending as `end` says.
Start StartGame(const std::string& game, const Flavour& flavour, int engineBuild, const std::string& end,
                const Script& answer, scenario::Where at = SCENARIO_CALLER) {
  static int number;
  ScriptedServer server = StartScriptedServer(
      ServerFolder(scenario::StartDir(), game + ".server" + std::to_string(++number)), answer);
  ok_at(at, !server.address.empty(), "the scripted server did not start\n");
  auto child = scenario::RunChildMode(
      "run_report_start", {game, server.address, flavour.name, std::to_string(engineBuild), end}, 40000);
  ok_at(at, child.started && !child.timedOut, "start %d did not end by itself\n", number);
  Start start;
  start.host = server.address;
  start.request = scenario::ReadFile(server.requestFile);
  for (const std::string& line : scenario::Lines(child.out)) {
    if (line.rfind("said ", 0) == 0) start.said = line.substr(5);
    if (line.rfind("fault ", 0) == 0) start.fault = line.substr(6);
  }
  return start;
}

// The start's request carried these report fields ("" none), and it said this first.
void Expect(const Start& start, const Flavour& flavour, const std::string& fields, const std::string& said,
            scenario::Where at = SCENARIO_CALLER) {
  ok_bytes_at(at, start.request,
              ExpectedRequest(scenario::ReadFile(world::AsiPath(flavour.name)), flavour.build, start.host, fields));
  ok_bytes_at(at, start.said, scenario::Escape(said));
}

const Script kAnswered = Script().Send(kAnswerHead + "LATEST_VERSION");

struct EndRow {
  const Flavour& flavour;
  const char* end;
  const char* outcome;
  const char* module;  // of the signature: null without one, "" for the plug-in's own
  bool again;          // a third start, which tells of the second run, not of the first
};

// The first start of a game, which has nothing to report, then how it ended told by
// the second start, and (again) the second's clean end by the third: each run once.
void EachEndOnce(const std::vector<EndRow>& rows) {
  for (const EndRow& row : rows) {
    const Flavour& flavour = row.flavour;
    scenario::Context context("%s, run ends %s", flavour.name, row.end);
    const std::string game = scenario::Name() + "." + flavour.name + "." + row.end;
    std::error_code ignored;
    fs::remove_all(scenario::StartDir() / "games" / game, ignored);
    Start first = StartGame(game, flavour, 6027, row.end, kAnswered);
    Expect(first, flavour, "", kLatest);
    std::string fields = std::string("&e=") + row.outcome + "&f=";
    if (row.module) {
      unsigned long code = 0, offset = 0;
      ok(std::sscanf(first.fault.c_str(), "%lx %lx", &code, &offset) == 2, "the run did not fault\n");
      char signature[80];
      std::snprintf(signature, sizeof signature, "%08lx:%s:%08lx", code, *row.module ? row.module : flavour.module,
                    std::string(row.module) == "-" ? 0ul : offset);
      fields += signature;
    }
    Expect(StartGame(game, flavour, 6132, "clean", kAnswered), flavour, fields, kRunNotice + kLatest);
    if (row.again) Expect(StartGame(game, flavour, 6027, "clean", kAnswered), flavour, "&e=clean&f=", kLatest);
  }
}

}  // namespace

// A clean, a crashed and an abnormal end in each flavour, three rows a scenario.
SCENARIO(run_report_tells_each_end_once) {
  EachEndOnce({{kW7, "clean", "clean", nullptr, false},
               {kXP, "crash", "crashed", "", true},
               {kW7, "abnormal", "abnormal", nullptr, false}});
}

SCENARIO(run_report_tells_each_end_once_in_the_other_flavour) {
  EachEndOnce({{kXP, "clean", "clean", nullptr, true},
               {kW7, "crash", "crashed", "", false},
               {kXP, "abnormal", "abnormal", nullptr, true}});
}

// A fault outside the plug-in names the module that holds it, or none; a killed run's
// end is unknown.
SCENARIO(run_report_names_the_faulting_module_or_none) {
  EachEndOnce({{kXP, "exe", "crashed", "update_run_report_test.exe", false},
               {kW7, "nowhere", "crashed", "-", false},
               {kXP, "killed", "unknown", nullptr, false}});
}

// A check without an answer (the server reads the request and closes) leaves the report
// for the next start, three checks in all; the runs meanwhile go unreported, and after
// the third the last run's end goes out.
SCENARIO(run_report_unanswered_goes_again_three_times_at_most) {
  const std::string game = scenario::Name() + ".game";
  std::error_code ignored;
  fs::remove_all(scenario::StartDir() / "games" / game, ignored);
  StartGame(game, kXP, 6027, "abnormal", kAnswered);
  Expect(StartGame(game, kXP, 6027, "clean", Script().Close()), kXP, "&e=abnormal&f=", kRunNotice);
  Expect(StartGame(game, kXP, 6027, "clean", Script().Close()), kXP, "&e=abnormal&f=", "");
  Expect(StartGame(game, kXP, 6027, "killed", Script().Close()), kXP, "&e=abnormal&f=", "");
  Expect(StartGame(game, kXP, 6027, "clean", kAnswered), kXP, "&e=unknown&f=", kLatest);
}

// Turned off by the player, the report of that run is not sent, nor one that waited,
// and the choice is read again at the end of each run. On an engine build without the
// setting nothing is sent at all, and what waits goes at the next start on a supported one.
SCENARIO(run_report_off_or_on_an_unsupported_build_sends_nothing) {
  struct Row {
    const Flavour& flavour;
    const char* end;    // of the run whose start left a report waiting
    int engineBuild;    // of the start after it
    const char* later;  // what the start after that sends
  } rows[] = {{kW7, "off", 6027, "&e=clean&f="}, {kXP, "clean", 4554, "&e=unknown&f="}};
  for (const Row& row : rows) {
    scenario::Context context("%s, run ends %s, then engine build %d", row.flavour.name, row.end, row.engineBuild);
    const std::string game = scenario::Name() + "." + row.end;
    std::error_code ignored;
    fs::remove_all(scenario::StartDir() / "games" / game, ignored);
    StartGame(game, row.flavour, 6027, "killed", kAnswered);
    Start waiting = StartGame(game, row.flavour, 6027, row.end, Script().Close());
    ok(waiting.request.find("&e=unknown&f=") != std::string::npos, "nothing reported: %s\n",
       scenario::Escape(waiting.request).c_str());
    // An unsupported build has no frame of ours: the check's lines wait for the host's
    // stop call, after what this start prints.
    const bool supported = row.engineBuild == 6027;
    Expect(StartGame(game, row.flavour, row.engineBuild, "clean", kAnswered), row.flavour, "",
           supported ? kLatest : "");
    Start later = StartGame(game, row.flavour, 6027, "clean", kAnswered);
    ok(later.request.find(std::string("&d=") + std::to_string(row.flavour.build) + row.later) != std::string::npos,
       "the start after sent %s\n", scenario::Escape(later.request).c_str());
  }
}
