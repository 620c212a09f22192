// Downloads under Wine: a verified module takes the plug-in's place across two starts
// (each its own process, one game folder), and every failed download leaves the game
// folder exactly as it was.
#include <set>

#include "../update_server/server_process.h"
#include "../update_server/update_scenario.h"
#include "scenario.h"

namespace {

using namespace update_test;

const std::string kW7Date = "Aug 19 2013 11:21:48 (35)";
const std::string kNews = "Голосовой чат стал чище.\nWith thanks to our testers.";
const std::string kVersion = "1.1 (Sep 02 2013)";

fs::path GameFolder(const std::string& name) { return scenario::StartDir() / "games" / name; }

// The files directly in folder (other scenarios' server folders come and go beside ours).
std::set<std::string> FilesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  return names;
}

std::string OldModule() { return ReadBytes(world::AsiPath("Murmelon_W_7_D")); }

// A game that starts with the plug-in against host; its own folder survives Game's
// fresh start when keep is set (the second start of the game).
struct Start {
  std::string console;
  std::map<std::string, std::string> before;  // the folder as the game started
  explicit Start(const std::string& gameName, const std::string& host, bool keep = false) {
    std::map<std::string, std::string> kept;
    if (keep) kept = Snapshot(GameFolder(gameName));
    world::Options options;
    options.name = gameName;
    options.updateHost = host;
    world::Game game(options);
    for (const auto& [name, bytes] : kept) WriteBytes(game.Folder() / name, bytes);
    before = Snapshot(game.Folder());
    ok(game.LoadPlugin(), "plug-in not loaded, error %lu\n", GetLastError());
    game.Start();
    console = game.Console();
    game.Stop();
    game.Unload();
  }
};

void ExpectTwoStarts(const std::string& firstHost, const std::string& secondHost) {
  std::string game = scenario::Name() + ".game";
  auto first = scenario::RunChildMode("update_first_start", {game, firstHost});
  ok(first.exitCode == 0, "first start failed (%lu): %s%s\n", first.exitCode, first.out.c_str(),
     first.err.c_str());
  auto second = scenario::RunChildMode("update_second_start", {game, secondHost});
  ok(second.exitCode == 0, "second start failed (%lu): %s%s\n", second.exitCode,
     second.out.c_str(), second.err.c_str());
}

std::string ServeScript(const std::string& suffix, const Script& script) {
  ScriptedServer server = StartScriptedServer(ServerFolder(scenario::StartDir(), scenario::Name() + suffix), script);
  if (server.address.empty()) ok(false, "the scripted server did not start\n");
  return server.address;
}

// A failed download: silent, and the game folder (the running module included) is
// byte for byte what it was, with nothing stray beside it or above it.
void ExpectNothingLost(const Script& script, int build = 6027) {
  std::string host = ServeScript("", script);
  world::Options options;
  options.updateHost = host;
  options.build = build;
  world::Game game(options);
  auto before = Snapshot(game.Folder());
  auto gamesBefore = FilesIn(game.Folder().parent_path());
  ok(game.LoadPlugin(), "plug-in not loaded, error %lu\n", GetLastError());
  game.Start();
  ok_bytes(UpdateOutput(game.Console()), "");
  auto after = Snapshot(game.Folder());
  ok(after == before, "game folder changed:\n  before %s\n  after  %s\n", Listing(before).c_str(),
     Listing(after).c_str());
  ok(FilesIn(game.Folder().parent_path()) == gamesBefore, "a file appeared beside the game folder\n");
  game.Stop();
}

std::string Offer(const std::string& saveAs, const std::string& digest, const std::string& module) {
  return UpdateAnswer(saveAs, digest, kNews, kVersion, module);
}

}  // namespace

// Start N: the check downloads and installs; args: game folder name, server address.
CHILD_MODE(update_first_start) {
  const std::string& game = scenario::Args().at(0);
  std::string newer = NewerModule(OldModule());
  Start start(game, scenario::Args().at(1));
  ok_bytes(UpdateOutput(start.console), kStaged + UpdateReport(kW7Date, kVersion, kNews));
  // Exactly two changes: the download in the module's place, the old module parked.
  auto expected = start.before;
  expected["Murmelon_W_7_D.asi"] = newer;
  expected["stufftata.btz"] = OldModule();
  auto files = Snapshot(GameFolder(game));
  ok(files == expected, "game folder:\n  got      %s\n  expected %s\n", Listing(files).c_str(),
     Listing(expected).c_str());
}

// Start N+1, a new process in the same folder: the new build cleans up, then checks.
CHILD_MODE(update_second_start) {
  const std::string& game = scenario::Args().at(0);
  std::string newer = NewerModule(OldModule());
  Start start(game, scenario::Args().at(1), true);
  ok_bytes(UpdateOutput(start.console), kReplaced + kLatest);
  auto expected = start.before;
  expected.erase("stufftata.btz");
  auto files = Snapshot(GameFolder(game));
  ok(files == expected, "game folder:\n  got      %s\n  expected %s\n", Listing(files).c_str(),
     Listing(expected).c_str());
  ok(files["Murmelon_W_7_D.asi"] == newer, "the new module changed\n");
}

// The project's own server over a releases folder, end to end.
SCENARIO(update_from_release_server_across_two_starts) {
  if (!fs::exists(world::AsiPath("Murmelon_W_7_D"))) skip("plug-in not built\n");
  fs::path releases = GameFolder(scenario::Name() + ".releases");
  std::error_code ignored;
  fs::remove_all(releases, ignored);
  fs::create_directories(releases / "w7");
  WriteBytes(releases / "w7" / "release.ini",
             "[release]\nbuild = 51091\nsuffix = 1\nversion = " + kVersion +
                 "\nmodule = Murmelon_W_7_D.asi\nnews = news.txt\n");
  WriteBytes(releases / "w7" / "news.txt", kNews);
  WriteBytes(releases / "w7" / "Murmelon_W_7_D.asi", NewerModule(OldModule()));
  std::string host = StartReleaseServer(ServerFolder(scenario::StartDir(), scenario::Name()), releases);
  if (host.empty()) ok(false, "the update server did not start\n");
  // The second start asks the same server: the new module's digest is the newest.
  ExpectTwoStarts(host, host);
}

SCENARIO(update_data_marker_split_across_two_pieces) {
  if (!fs::exists(world::AsiPath("Murmelon_W_7_D"))) skip("plug-in not built\n");
  std::string newer = NewerModule(OldModule());
  std::string answer = Offer("Murmelon_W_7_D.download", Md5Hex(newer), newer);
  size_t cut = answer.find("DATA:") + 2;
  std::string first = ServeScript(".1", Script().Send(answer.substr(0, cut)).Pause(300).Send(answer.substr(cut)));
  std::string second = ServeScript(".2", Script().Send(kAnswerHead + "LATEST_VERSION"));
  ExpectTwoStarts(first, second);
}

SCENARIO(update_digest_mismatch_loses_nothing) {
  std::string newer = NewerModule(OldModule());
  ExpectNothingLost(Script().Send(Offer("m.download", Md5Hex(newer + "x"), newer)));
}

SCENARIO(update_download_cut_short_loses_nothing) {
  std::string newer = NewerModule(OldModule());
  ExpectNothingLost(Script().Send(Offer("m.download", Md5Hex(newer), newer.substr(0, newer.size() / 2))).Close());
}

SCENARIO(update_download_stalls_loses_nothing) {
  std::string newer = NewerModule(OldModule());
  ExpectNothingLost(Script().Send(Offer("m.download", Md5Hex(newer), newer.substr(0, 40000))).Stall());
}

SCENARIO(update_unsafe_save_path_loses_nothing) {
  std::string newer = NewerModule(OldModule());
  ExpectNothingLost(Script().Send(Offer("..\\m.download", Md5Hex(newer), newer)));
}

SCENARIO(update_save_path_naming_the_module_loses_nothing) {
  std::string newer = NewerModule(OldModule());
  ExpectNothingLost(Script().Send(Offer("Murmelon_W_7_D.asi", Md5Hex(newer), newer)));
}

SCENARIO(update_oversized_answer_loses_nothing) {
  ExpectNothingLost(Script().Send(kAnswerHead + std::string(70 * 1024, 'x')).Send("LATEST_VERSION"));
}

// Without the engine's Q_MakeAbsolutePath there is no staging path: a verified
// download cannot take the module's place, and is not left lying around either.
SCENARIO(update_without_staging_path_loses_nothing) {
  std::string newer = NewerModule(OldModule());
  std::string host = ServeScript("", Script().Send(Offer("m.download", Md5Hex(newer), newer)));
  world::Options options;
  options.updateHost = host;
  options.vstdlibPartial = true;
  world::Game game(options);
  auto before = Snapshot(game.Folder());
  ok(game.LoadPlugin(), "plug-in not loaded, error %lu\n", GetLastError());
  game.Start();
  auto after = Snapshot(game.Folder());
  ok(after == before, "game folder changed:\n  before %s\n  after  %s\n", Listing(before).c_str(),
     Listing(after).c_str());
  game.Stop();
}

// The report's narrow prints format into a 4096-byte area: an overlong version label is
// cut to 4095 bytes, its line break with it.
SCENARIO(update_report_cuts_an_overlong_version_label) {
  if (!fs::exists(world::AsiPath("Murmelon_W_7_D"))) skip("plug-in not built\n");
  std::string newer = NewerModule(OldModule());
  std::string host = ServeScript(
      "", Script().Send(UpdateAnswer("m.download", Md5Hex(newer), kNews, std::string(5000, 'v'), newer)));
  world::Options options;
  options.updateHost = host;
  world::Game game(options);
  ok(game.LoadPlugin(), "plug-in not loaded, error %lu\n", GetLastError());
  game.Start();
  std::string report = UpdateReport(kW7Date, std::string(4095, 'v'), kNews);
  report.erase(report.find(std::string(4095, 'v')) + 4095, 1);  // the cut line break
  ok_bytes(UpdateOutput(game.Console()), kStaged + report);
  ok(ReadBytes(game.AsiInFolder()) == newer, "the verified download is not in place\n");
  game.Stop();
}
