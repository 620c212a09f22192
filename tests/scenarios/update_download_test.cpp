// Downloads under Wine: a verified module takes the plug-in's place across two starts
// (each its own process, one game folder), a module with keys built in takes only a
// release signed for it, and every failed, abandoned or killed download leaves the game
// folder as it was, with nothing loadable beside it.
#include <chrono>
#include <set>

#include "../update_server/server_process.h"
#include "../update_server/update_scenario.h"
#include "plugin_in_game.h"
#include "scenario.h"

namespace {

using namespace update_test;

const std::string kW7Date = "Aug 19 2013 11:21:48 (35)";
const std::string kNews = "Голосовой чат стал чище.\nWith thanks to our testers.";
const std::string kVersion = "1.1 (Sep 02 2013)";
const std::string kDownload = "Murmelon_W_7_D.asi.download";

fs::path GameFolder(const std::string& name) { return scenario::StartDir() / "games" / name; }

// The files directly in folder (other scenarios' server folders come and go beside ours).
std::set<std::string> FilesIn(const fs::path& folder) {
  std::set<std::string> names;
  for (const auto& entry : fs::directory_iterator(folder))
    if (entry.is_regular_file()) names.insert(entry.path().filename().string());
  return names;
}

// The module a start begins with: the shipped build, or its keyed variant.
std::string OldModule(bool keyed = false) {
  return scenario::ReadFile(keyed ? SignedAsiPath("Murmelon_W_7_D") : world::AsiPath("Murmelon_W_7_D"));
}

// A game that starts with the plug-in against host; its own folder survives Game's
// fresh start when keep is set (a later start of the game), the run mark with it: that
// start's check tells the service how the run before ended.
struct Start {
  std::string console;
  std::map<std::string, std::string> before;  // the folder as the game started
  double seconds = 0;                         // the host's start call and the check
  Start(const std::string& gameName, const std::string& host, bool keep, bool keyed = false) {
    std::map<std::string, std::string> kept;
    if (keep) kept = Snapshot(GameFolder(gameName));
    std::string mark = keep ? scenario::ReadFile(GameFolder(gameName) / kRunMark) : "";
    world::Options options;
    options.name = gameName;
    options.updateHost = host;
    world::Game game(options);
    for (const auto& [name, bytes] : kept) WriteBytes(game.Folder() / name, bytes);
    if (!mark.empty()) WriteBytes(game.Folder() / kRunMark, mark);
    if (keyed && !keep) WriteBytes(game.AsiInFolder(), OldModule(true));
    before = Snapshot(game.Folder());
    plugin_in_game::Loaded(game);
    auto begin = std::chrono::steady_clock::now();
    game.Start();
    seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    console = game.Console();
    // The check's lines reach the console on the game's thread, at a frame after it ended.
    ok(game.Journal().find("off the game thread") == std::string::npos,
       "the console was printed to off the game's thread\n");
    game.Stop();
    game.Unload();
  }
};

void ExpectFolder(const std::string& game, const std::map<std::string, std::string>& expected) {
  auto files = Snapshot(GameFolder(game));
  ok(files == expected, "game folder:\n  got      %s\n  expected %s\n", Listing(files).c_str(),
     Listing(expected).c_str());
}

// Two starts in one game folder, each a process of its own; "keyed" starts the first
// with the keyed variant of the plug-in.
void ExpectTwoStarts(const std::string& firstHost, const std::string& secondHost,
                     const std::string& variant = "shipped") {
  std::string game = scenario::Name() + ".game";
  auto first = scenario::RunChildMode("update_first_start", {game, firstHost, variant});
  ok(first.exitCode == 0, "first start failed (%lu): %s%s\n", first.exitCode, first.out.c_str(),
     first.err.c_str());
  auto second = scenario::RunChildMode("update_second_start", {game, secondHost, variant});
  ok(second.exitCode == 0, "second start failed (%lu): %s%s\n", second.exitCode,
     second.out.c_str(), second.err.c_str());
}

std::string ServeScript(const std::string& suffix, const Script& script) {
  ScriptedServer server = StartScriptedServer(ServerFolder(scenario::StartDir(), scenario::Name() + suffix), script);
  if (server.address.empty()) ok(false, "the scripted server did not start\n");
  return server.address;
}

// A failed download: it says what is expected (nothing, by default), and the game
// folder (the running module included) is byte for byte what it was, with nothing stray
// beside it or above it. Returns how long the host's start call took.
double ExpectNothingLost(const Script& script, const std::string& said = "", bool keyed = false) {
  std::string host = ServeScript("", script);
  world::Options options;
  options.updateHost = host;
  world::Game game(options);
  if (keyed) WriteBytes(game.AsiInFolder(), OldModule(true));
  auto before = Snapshot(game.Folder());
  auto gamesBefore = FilesIn(game.Folder().parent_path());
  plugin_in_game::Loaded(game);
  auto begin = std::chrono::steady_clock::now();
  game.Start();
  double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
  ok_bytes(UpdateOutput(game.Console()), said);
  auto after = Snapshot(game.Folder());
  ok(after == before, "game folder changed:\n  before %s\n  after  %s\n", Listing(before).c_str(),
     Listing(after).c_str());
  ok(FilesIn(game.Folder().parent_path()) == gamesBefore, "a file appeared beside the game folder\n");
  game.Stop();
  return seconds;
}

std::string Offer(const std::string& saveAs, const std::string& digest, const std::string& module,
                  const std::string& version = kVersion) {
  OfferParts parts;
  parts.saveAs = saveAs;
  parts.digest = digest;
  parts.news = kNews;
  parts.version = version;
  return OfferAnswer(parts, module);
}

// An offer of module as build 51091, signed with one of the test keys.
std::string SignedOffer(const std::string& module, const std::string& key) {
  fs::path folder = ServerFolder(scenario::StartDir(), scenario::Name() + ".signing");
  WriteBytes(folder / "module", module);
  OfferParts parts;
  parts.digest = Md5Hex(module);
  parts.news = kNews;
  parts.version = kVersion;
  parts.build = "51091";
  parts.signature = SignRelease(folder, key, folder / "module", "Murmelon_W_7_D", parts.build);
  ok(parts.signature.size() == 128, "signing failed: \"%s\"\n", parts.signature.c_str());
  return OfferAnswer(parts, module);
}

}  // namespace

// Start N: the check downloads and installs; args: game folder name, server address,
// "shipped" or "keyed" plug-in.
CHILD_MODE(update_first_start) {
  const std::string& game = scenario::Args().at(0);
  bool keyed = scenario::Args().at(2) == "keyed";
  std::string newer = NewerModule(OldModule(keyed));
  Start start(game, scenario::Args().at(1), false, keyed);
  ok_bytes(UpdateOutput(start.console), kStaged + UpdateReport(kW7Date, kVersion, kNews));
  // Exactly two changes: the download in the module's place, the old module parked.
  auto expected = start.before;
  expected["Murmelon_W_7_D.asi"] = newer;
  expected["stufftata.btz"] = OldModule(keyed);
  ExpectFolder(game, expected);
}

// Start N+1, a new process in the same folder: the new build cleans up, then checks,
// telling the service (the project's own, in one row) of the clean run before.
CHILD_MODE(update_second_start) {
  const std::string& game = scenario::Args().at(0);
  std::string newer = NewerModule(OldModule(scenario::Args().at(2) == "keyed"));
  Start start(game, scenario::Args().at(1), true);
  ok_bytes(UpdateOutput(start.console), kReplaced + kRunNotice + kLatest);
  auto expected = start.before;
  expected.erase("stufftata.btz");
  ExpectFolder(game, expected);
  ok(start.before["Murmelon_W_7_D.asi"] == newer, "the new module changed\n");
}

// The project's own server over a releases folder, end to end.
SCENARIO(update_from_release_server_across_two_starts) {
  if (!fs::exists(world::AsiPath("Murmelon_W_7_D"))) skip("plug-in not built\n");
  fs::path releases = GameFolder(scenario::Name() + ".releases");
  std::error_code ignored;
  fs::remove_all(releases, ignored);
  fs::path server = ServerFolder(scenario::StartDir(), scenario::Name());
  WriteBytes(server / "module", NewerModule(OldModule()));
  WriteBytes(server / "news", kNews);
  std::string written = RunPython(
      "tools/release_folder.py",
      {UnixPath(releases), "--build", "51091", "--module", UnixPath(server / "module"), "--version", kVersion,
       "--news-file", UnixPath(server / "news")},
      releases / "w7" / "release.ini");
  ok(!written.empty(), "the release folder was not written\n");
  std::string host = StartReleaseServer(server, releases);
  if (host.empty()) ok(false, "the update server did not start\n");
  // The second start asks the same server: the new module's digest is the newest.
  ExpectTwoStarts(host, host);
}

// With keys built in, a release signed by one of them installs like an unsigned one
// does in a build without keys.
SCENARIO(update_signed_release_installs_across_two_starts) {
  if (!fs::exists(SignedAsiPath("Murmelon_W_7_D"))) skip("keyed plug-in not built\n");
  std::string newer = NewerModule(OldModule(true));
  std::string first = ServeScript(".1", Script().Send(SignedOffer(newer, "release")));
  std::string second = ServeScript(".2", Script().Send(kAnswerHead + "LATEST_VERSION"));
  ExpectTwoStarts(first, second, "keyed");
}

// Whoever answers for the update host can send a module with its matching MD5; without
// a signature by a built-in key it is not kept.
SCENARIO(update_matching_md5_with_a_foreign_signature_keeps_nothing) {
  if (!fs::exists(SignedAsiPath("Murmelon_W_7_D"))) skip("keyed plug-in not built\n");
  ExpectNothingLost(Script().Send(SignedOffer(NewerModule(OldModule(true)), "outsider")),
                    kCouldNotCheck + "SIGNATURE_ERROR\n", true);
}

SCENARIO(update_data_marker_split_across_two_pieces) {
  if (!fs::exists(world::AsiPath("Murmelon_W_7_D"))) skip("plug-in not built\n");
  std::string newer = NewerModule(OldModule());
  std::string answer = Offer("Murmelon_W_7_D.asi.new", Md5Hex(newer), newer);
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

// 1 KiB every 2 s: abandoned once less than 16 KiB came in 10 s, not when the server
// chooses to stop.
LONG_SCENARIO(update_trickled_download_is_abandoned_within_its_bound) {
  std::string newer = NewerModule(OldModule());
  Script script;
  script.Send(Offer("m.download", Md5Hex(newer), ""));
  for (size_t at = 0; at < 16 * 1024; at += 1024) script.Pause(2000).Send(newer.substr(at, 1024));
  double seconds = ExpectNothingLost(script);
  ok(seconds > 9.5 && seconds < 15, "the start was held %.1f s\n", seconds);
}

// A player who ends a start that hangs in the download keeps no file that anything
// could load, and the next start deletes the partial download.
CHILD_MODE(update_start_to_be_killed) {
  Start start(scenario::Args().at(0), scenario::Args().at(1), false);
}

CHILD_MODE(update_start_after_the_kill) {
  const std::string& game = scenario::Args().at(0);
  Start start(game, scenario::Args().at(1), true);
  ok_bytes(UpdateOutput(start.console), kRunNotice + kLatest);  // the killed run reported
  auto expected = start.before;
  expected.erase(kDownload);
  ExpectFolder(game, expected);
}

SCENARIO(update_start_killed_mid_download_leaves_nothing_loadable) {
  if (!fs::exists(world::AsiPath("Murmelon_W_7_D"))) skip("plug-in not built\n");
  std::string newer = NewerModule(OldModule());
  std::string game = scenario::Name() + ".game";
  // 20 KiB every 2 s: a download that goes on (and holds the start) until the kill.
  Script script;
  script.Send(Offer("x.asi", Md5Hex(newer), newer.substr(0, 100000)));
  for (size_t at = 100000; at < newer.size(); at += 20000) script.Pause(2000).Send(newer.substr(at, 20000));
  std::string host = ServeScript(".1", script);
  auto killed = scenario::RunChildMode("update_start_to_be_killed", {game, host}, 6000);
  ok(killed.timedOut, "the start was not held in the download (exit %lu): %s\n", killed.exitCode,
     killed.out.c_str());
  std::set<std::string> files = FilesIn(GameFolder(game));
  ok(files.count(kDownload) == 1, "no partial download\n");
  for (const std::string& file : files)
    ok(!Loadable(file) || file == "Murmelon_W_7_D.asi" || file == "hw.dll" || file == "vstdlib.dll" ||
           file == "tier0.dll" || file == "vgui2.dll",
       "a loadable file was left: %s\n", file.c_str());
  ok(scenario::ReadFile(GameFolder(game) / "Murmelon_W_7_D.asi") == OldModule(), "the module changed\n");
  std::string second = ServeScript(".2", Script().Send(kAnswerHead + "LATEST_VERSION"));
  auto next = scenario::RunChildMode("update_start_after_the_kill", {game, second});
  ok(next.exitCode == 0, "next start failed (%lu): %s%s\n", next.exitCode, next.out.c_str(),
     next.err.c_str());
}

SCENARIO(update_unsafe_save_path_loses_nothing) {
  std::string newer = NewerModule(OldModule());
  ExpectNothingLost(Script().Send(Offer("..\\m.download", Md5Hex(newer), newer)));
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
  plugin_in_game::Loaded(game);
  game.Start();
  auto after = Snapshot(game.Folder());
  ok(after == before, "game folder changed:\n  before %s\n  after  %s\n", Listing(before).c_str(),
     Listing(after).c_str());
  game.Stop();
}

namespace {

// Another program (a virus scanner, say) that opens the download as soon as it appears
// and keeps it open without sharing its deletion, so it cannot be renamed or deleted.
class DownloadHolder {
 public:
  explicit DownloadHolder(const fs::path& path) : path_(path.wstring()) {
    stop_ = CreateEventW(nullptr, TRUE, FALSE, nullptr);
    thread_ = CreateThread(nullptr, 0, Watch, this, 0, nullptr);
  }
  ~DownloadHolder() {
    SetEvent(stop_);
    WaitForSingleObject(thread_, 10000);
    CloseHandle(thread_);
    CloseHandle(stop_);
    if (file_ != INVALID_HANDLE_VALUE) CloseHandle(file_);
  }
  bool Held() const { return file_ != INVALID_HANDLE_VALUE; }

 private:
  static DWORD WINAPI Watch(void* self) {
    auto* holder = static_cast<DownloadHolder*>(self);
    while (WaitForSingleObject(holder->stop_, 5) == WAIT_TIMEOUT) {
      holder->file_ = CreateFileW(holder->path_.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE,
                                  nullptr, OPEN_EXISTING, 0, nullptr);
      if (holder->Held()) break;
    }
    return 0;
  }
  std::wstring path_;
  HANDLE stop_, thread_;
  HANDLE volatile file_ = INVALID_HANDLE_VALUE;
};

// The scanner also looks at the running build the moment it is parked under the staging
// name, and holds it for a while without sharing its deletion, so that it cannot be
// moved back at once. Caught at the plug-in's import of msvcrt!rename.
int(__cdecl* realRename)(const char*, const char*);
HANDLE parkedHeld = INVALID_HANDLE_VALUE;
constexpr DWORD kParkedHeldMs = 400;

DWORD WINAPI ReleaseParked(void*) {
  Sleep(kParkedHeldMs);
  CloseHandle(parkedHeld);
  return 0;
}

int __cdecl RenameAndScan(const char* from, const char* to) {
  const int result = realRename(from, to);
  const std::string target = to;
  if (result == 0 && target.size() > 13 && target.compare(target.size() - 13, 13, "stufftata.btz") == 0) {
    parkedHeld = CreateFileA(to, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                             OPEN_EXISTING, 0, nullptr);
    if (parkedHeld != INVALID_HANDLE_VALUE) CloseHandle(CreateThread(nullptr, 0, ReleaseParked, nullptr, 0, nullptr));
  }
  return result;
}

}  // namespace

// A verified download that cannot take the module's name: the running build goes back
// to its own name, so the game still finds a module at the next start, also when the
// parked build is held for a moment.
SCENARIO(update_blocked_download_keeps_the_running_module) {
  std::string newer = NewerModule(OldModule());
  std::string answer = Offer("m.download", Md5Hex(newer), newer);
  size_t half = answer.size() - newer.size() / 2;
  std::string host = ServeScript("", Script().Send(answer.substr(0, half)).Pause(500).Send(answer.substr(half)));
  world::Options options;
  options.updateHost = host;
  world::Game game(options);
  auto before = Snapshot(game.Folder());
  plugin_in_game::Loaded(game);
  realRename = reinterpret_cast<decltype(realRename)>(
      game.ReplaceImport("msvcrt.dll", "rename", reinterpret_cast<void*>(&RenameAndScan)));
  ok(realRename != nullptr, "the plug-in does not import msvcrt!rename\n");
  DownloadHolder holder(game.Folder() / kDownload);
  game.Start();
  ok(holder.Held(), "the download was never held open\n");
  ok(parkedHeld != INVALID_HANDLE_VALUE, "the parked build was never held open\n");
  ok_bytes(UpdateOutput(game.Console()), "");
  auto after = Snapshot(game.Folder());
  after.erase(kDownload);  // held open, so it could not be deleted either
  ok(after == before, "game folder changed:\n  before %s\n  after  %s\n", Listing(before).c_str(),
     Listing(after).c_str());
  game.Stop();
}

// The report's narrow prints format into a 4096-byte area: an overlong version label is
// cut to 4095 bytes, its line break with it.
SCENARIO(update_report_cuts_an_overlong_version_label) {
  if (!fs::exists(world::AsiPath("Murmelon_W_7_D"))) skip("plug-in not built\n");
  std::string newer = NewerModule(OldModule());
  std::string host = ServeScript("", Script().Send(Offer("m.download", Md5Hex(newer), newer, std::string(5000, 'v'))));
  world::Options options;
  options.updateHost = host;
  world::Game game(options);
  plugin_in_game::Loaded(game);
  game.Start();
  std::string report = UpdateReport(kW7Date, std::string(4095, 'v'), kNews);
  report.erase(report.find(std::string(4095, 'v')) + 4095, 1);  // the cut line break
  ok_bytes(UpdateOutput(game.Console()), kStaged + report);
  ok(scenario::ReadFile(game.AsiInFolder()) == newer, "the verified download is not in place\n");
  game.Stop();
}
