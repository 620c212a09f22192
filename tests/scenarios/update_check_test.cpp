// The update check against a real local server: the request's exact bytes, and each
// verdict's exact console text, connection failures and time-outs included.
#include <winsock2.h>

#include <chrono>
#include <vector>

#include "../update_server/server_process.h"
#include "../update_server/update_scenario.h"
#include "../../flavours/build_numbers.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using namespace update_test;

struct CheckRun {
  std::string output;   // what the check printed
  double startMs = 0;   // how long the host's start call took
  double seconds = 0;   // how long the check took, until its last message was shown
};

// The start call returns without waiting for the network, on every build.
constexpr double kStartCallLimitMs = 1000;  // loose; bench/run.sh has the figure

// Loads and starts the plug-in (engine build 6027 unless said) against host and returns
// what the check said: at a frame after it ended or, on an unsupported build (no frame
// of the engine's reaches the plug-in), at the host's stop call.
CheckRun StartAgainst(const std::string& host, const std::string& flavour = "Murmelon_W_7_D",
                      int engineBuild = 6027) {
  world::Options options;
  options.updateHost = host;
  options.flavour = flavour;
  options.build = engineBuild;
  world::Game game(options);
  CheckRun run;
  plugin_in_game::Loaded(game);
  auto begin = std::chrono::steady_clock::now();
  game.StartCall();
  run.startMs = game.LastStartCallMs();
  ok(run.startMs < kStartCallLimitMs, "the start call took %.1f ms\n", run.startMs);
  ok(game.Settle(), "the check did not end\n");
  run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  game.Stop();
  run.output = UpdateOutput(game.Console());
  ok(game.Console().size() > run.output.size(), "no start-up texts besides the check: %s\n",
     scenario::Escape(game.Console()).c_str());
  ok(game.Journal().find("off the game thread") == std::string::npos,
     "the console was printed to off the game's thread\n");
  return run;
}

std::string Scripted(const Script& script) {
  ScriptedServer server = StartScriptedServer(ServerFolder(scenario::StartDir(), scenario::Name()), script);
  if (server.address.empty()) ok(false, "the scripted server did not start\n");
  return server.address;
}

std::string Verdict(const Script& script) { return StartAgainst(Scripted(script)).output; }

void RequestCarriesIdentity(const std::string& flavour, int build, int engineBuild) {
  fs::path folder = ServerFolder(scenario::StartDir(), scenario::Name());
  ScriptedServer server = StartScriptedServer(folder, Script().Send(kAnswerHead + "LATEST_VERSION"));
  if (server.address.empty()) ok(false, "the scripted server did not start\n");
  std::string module = scenario::ReadFile(world::AsiPath(flavour));
  ok_bytes(StartAgainst(server.address, flavour, engineBuild).output, kLatest);
  // The exact bytes, with nothing after the empty line.
  ok_bytes(scenario::ReadFile(server.requestFile), ExpectedRequest(module, build, server.address));
}

}  // namespace

SCENARIO(update_request_w7_sends_identity_and_build) {
  RequestCarriesIdentity("Murmelon_W_7_D", MURMELON_BUILD_Murmelon_W_7_D, 6027);
}

// On an engine build it does not support the plug-in asks the same, at the host's start.
SCENARIO(update_request_xp_on_an_unsupported_engine_sends_identity_and_build) {
  RequestCarriesIdentity("Murmelon_W_XP_D", MURMELON_BUILD_Murmelon_W_XP_D, 4554);
}

SCENARIO(update_verdict_future_version) {
  ok_bytes(Verdict(Script().Send(kAnswerHead + "FUTURE_VERSION")), kFuture);
}

SCENARIO(update_verdict_split_across_pieces) {
  ok_bytes(Verdict(Script().Send(kAnswerHead + "LATEST_VER").Pause(300).Send("SION\n")), kLatest);
}

// The refusal test looks at the whole answer first, status line included.
SCENARIO(update_http_error_reason_is_a_refusal) {
  ok_bytes(Verdict(Script().Send("HTTP/1.1 500 Internal Server Error\r\n\r\nLATEST_VERSION")),
           kCouldNotCheck + "SECURITY_ERROR\n");
}

SCENARIO(update_server_closes_without_a_word) {
  ok_bytes(Verdict(Script().Close()), "");
}

SCENARIO(update_server_resets_the_connection) {
  ok_bytes(Verdict(Script().Send("HTTP/1.0 200 OK\r\n").Reset()), "");
}

SCENARIO(update_connection_refused) {
  // The world's default server address, where nothing listens.
  CheckRun run = StartAgainst("");
  ok_bytes(run.output, kCouldNotCheck + "CONNECTION_ERROR\n");
  ok(run.seconds < 3, "a refused connection took %.1f s\n", run.seconds);
}

// A server that never takes the connection: its queue is full, so the system drops the
// plug-in's connection request and its connect would wait for the system's retries (a
// minute and more); the connect's own limit ends the check.
SCENARIO(update_connection_never_accepted_ends_at_its_limit) {
  WSADATA data;
  ok(WSAStartup(MAKEWORD(2, 2), &data) == 0, "no Winsock\n");
  SOCKET listener = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
  sockaddr_in address = {};
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  int length = sizeof address;
  ok(bind(listener, reinterpret_cast<sockaddr*>(&address), sizeof address) == 0 && listen(listener, 0) == 0 &&
         getsockname(listener, reinterpret_cast<sockaddr*>(&address), &length) == 0,
     "no listening socket\n");
  // Connections nobody accepts, until one is not taken within half a second: the queue
  // is full (its length depends on the system).
  std::vector<SOCKET> queued;
  for (bool taken = true; taken && queued.size() < 64;) {
    SOCKET client = socket(AF_INET, SOCK_STREAM, IPPROTO_TCP);
    u_long nonBlocking = 1;
    ioctlsocket(client, FIONBIO, &nonBlocking);
    connect(client, reinterpret_cast<sockaddr*>(&address), sizeof address);
    fd_set writable;
    FD_ZERO(&writable);
    FD_SET(client, &writable);
    timeval wait = {0, 500000};
    taken = select(0, nullptr, &writable, nullptr, &wait) == 1;
    queued.push_back(client);
  }
  ok(queued.size() < 64, "the queue never filled\n");
  CheckRun run = StartAgainst("127.0.0.1:" + std::to_string(ntohs(address.sin_port)));
  ok_bytes(run.output, kCouldNotCheck + "TIMEOUT_ERROR\n");
  ok(run.seconds > 4.5 && run.seconds < 9, "the check ended after %.1f s\n", run.seconds);
  for (SOCKET client : queued) closesocket(client);
  closesocket(listener);
}

SCENARIO(update_host_does_not_resolve) {
  ok_bytes(StartAgainst("no-such-host.invalid").output, kCouldNotCheck + "HOST_ERROR\n");
}

SCENARIO(update_host_setting_is_malformed) {
  ok_bytes(StartAgainst("127.0.0.1:http").output, kCouldNotCheck + "HOST_ERROR\n");
}

// The answer's time-out end to end (the native exchange tests cover the others on a
// scripted clock): a byte every 4 s never lets one wait reach its own 5 s limit, and
// the check's 10 s deadline still ends it.
SCENARIO(update_trickled_answer_ends_at_the_deadline) {
  Script script;
  for (char c : kAnswerHead.substr(0, 5)) script.Send(std::string(1, c)).Pause(4000);
  CheckRun run = StartAgainst(Scripted(script));
  ok_bytes(run.output, kCouldNotCheck + "TIMEOUT_ERROR\n");
  ok(run.seconds > 9.5 && run.seconds < 14, "the check ended after %.1f s\n", run.seconds);
}

namespace {

HANDLE g_lookupEnded;
hostent*(WSAAPI* g_gethostbyname)(const char*);

// A name server that answers after the check's deadline.
hostent* WSAAPI LateGethostbyname(const char* name) {
  Sleep(12000);
  hostent* entry = g_gethostbyname(name);
  SetEvent(g_lookupEnded);
  return entry;
}

}  // namespace

// The check gives up on a late name lookup at its deadline; the lookup, still running on
// its own thread, keeps the plug-in loaded through the host's unload and lets it go as
// it ends, without touching anything freed.
SCENARIO(update_late_name_lookup_outlives_the_check_and_the_unload) {
  world::Game game;
  plugin_in_game::Loaded(game);
  g_lookupEnded = CreateEventW(nullptr, TRUE, FALSE, nullptr);
  g_gethostbyname = reinterpret_cast<decltype(g_gethostbyname)>(
      game.ReplaceImport("ws2_32.dll", "gethostbyname", reinterpret_cast<void*>(&LateGethostbyname)));
  if (!g_gethostbyname) skip("the plug-in does not import gethostbyname\n");
  auto begin = std::chrono::steady_clock::now();
  game.StartCall();
  // The lookup outlives the check: frames are played until the check has spoken.
  while (game.Console().find("TIMEOUT_ERROR") == std::string::npos &&
         std::chrono::steady_clock::now() - begin < std::chrono::seconds(15)) {
    game.HudFrame(0.0);
    Sleep(20);
  }
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  ok_bytes(UpdateOutput(game.Console()), kCouldNotCheck + "TIMEOUT_ERROR\n");
  ok(seconds > 9.5 && seconds < 12, "the check ended after %.1f s\n", seconds);
  std::wstring module = game.AsiInFolder().wstring();
  game.Stop();
  ok(game.Unload(), "FreeLibrary failed\n");
  ok(GetModuleHandleW(module.c_str()) != nullptr, "the plug-in was unloaded under its name lookup\n");
  ok(WaitForSingleObject(g_lookupEnded, 10000) == WAIT_OBJECT_0, "the name lookup never ended\n");
  for (int i = 0; i < 250 && GetModuleHandleW(module.c_str()); ++i) Sleep(20);
  ok(GetModuleHandleW(module.c_str()) == nullptr, "the plug-in stayed loaded after the lookup ended\n");
}

// For bench/update_bench.sh, not a test: one start against the host given, timed: the
// host's start call alone, and until the check's last message was shown.
CHILD_MODE(update_bench_start) {
  world::Options options;
  options.updateHost = scenario::Args().at(0);
  options.name = "bench";
  world::Game game(options);
  plugin_in_game::Loaded(game);
  auto begin = std::chrono::steady_clock::now();
  game.Start();
  double ms = std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - begin).count();
  std::printf("start_ms=%.1f call_ms=%.1f updated=%d\n", ms, game.LastStartCallMs(),
              fs::exists(game.Folder() / "stufftata.btz") ? 1 : 0);
  game.Stop();
}

// One start call on engine build <build> against <host>, timed; the process then ends
// with the check still waiting on the server. Prints "call_ms=<ms>".
CHILD_MODE(start_call_against) {
  world::Options options;
  options.build = atoi(scenario::Args().at(0).c_str());
  options.updateHost = scenario::Args().at(1);
  world::Game game(options);
  plugin_in_game::Loaded(game);
  game.StartCall();
  std::printf("call_ms=%.1f\n", game.LastStartCallMs());
}

// The host's start call (the game's start-up and window thread) never waits on the
// network: a server that accepts and never answers, or one that trickles, holds it on no
// engine build, supported or not.
SCENARIO(update_silent_or_trickling_server_holds_no_start_call) {
  const struct {
    int build;
    bool trickles;
  } rows[] = {{6027, false}, {6132, false}, {4554, false}, {4156, false}, {6027, true}};
  for (const auto& row : rows) {
    scenario::Context context("engine build %d, %s server", row.build, row.trickles ? "trickling" : "silent");
    Script script;
    if (row.trickles)
      for (char c : kAnswerHead) script.Send(std::string(1, c)).Pause(1000);
    else
      script.Stall();
    auto child = scenario::RunChildMode("start_call_against", {std::to_string(row.build), Scripted(script)});
    double ms = -1;
    size_t at = child.out.find("call_ms=");
    if (at != std::string::npos) ms = atof(child.out.c_str() + at + 8);
    ok(ms >= 0 && ms < kStartCallLimitMs, "the start call took %.1f ms (%s)\n", ms,
       scenario::Escape(child.out).c_str());
  }
}
