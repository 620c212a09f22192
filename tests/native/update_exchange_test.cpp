// The exchange over a scripted connection on a scripted clock: pieces cut anywhere and
// arriving late, early ends, time limits, oversized and malformed answers, unsafe names,
// signed offers. Every run starts 2.5 s before the tick wraps, so each limit is also
// checked across the wrap. Each case runs in its own empty folder, so "nothing left
// behind" is a listing of that folder.
#include <doctest/doctest.h>

#include <dirent.h>
#include <openssl/md5.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "../update_server/update_offer.h"
#include "release_signing.h"
#include "update/check_clock.h"
#include "update/save_name.h"
#include "update/update_exchange.h"

namespace {

using update_test::kAnswerHead;
using update_test::OfferParts;

// After the last piece the connection closes, fails, or stays silent for ever.
constexpr int kSilent = -100;

struct Piece {
  uint32_t delayMs;  // after the previous piece (or the script's start)
  std::string bytes;
};

// Hands out at most size bytes per call, as a socket does. A piece not due within the
// wait makes the wait pass on the clock and the receive time out.
struct Script {
  std::vector<Piece> pieces;
  int end = kReceiveClosed;
  uint32_t clock = 0xFFFFFFFFu - 2500;
  size_t next = 0, offset = 0;
};

int ScriptedReceive(void* context, char* buffer, int size, uint32_t waitMs) {
  Script& script = *static_cast<Script*>(context);
  if (script.next == script.pieces.size()) {
    if (script.end != kSilent) return script.end;
    script.clock += waitMs;
    return kReceiveTimedOut;
  }
  Piece& piece = script.pieces[script.next];
  if (piece.delayMs > waitMs) {
    script.clock += waitMs;
    piece.delayMs -= waitMs;
    return kReceiveTimedOut;
  }
  script.clock += piece.delayMs;
  piece.delayMs = 0;
  size_t count = std::min(piece.bytes.size() - script.offset, static_cast<size_t>(size));
  std::memcpy(buffer, piece.bytes.data() + script.offset, count);
  script.offset += count;
  if (script.offset == piece.bytes.size()) {
    ++script.next;
    script.offset = 0;
  }
  return static_cast<int>(count);
}

uint32_t ScriptedNow(void* context) { return static_cast<Script*>(context)->clock; }

// Pieces that arrive all at once.
std::vector<Piece> AtOnce(std::vector<std::string> texts) {
  std::vector<Piece> pieces;
  for (std::string& text : texts) pieces.push_back({0, std::move(text)});
  return pieces;
}

// bytes in chunks of size, each everyMs after the one before.
std::vector<Piece> Trickle(const std::string& bytes, size_t size, uint32_t everyMs) {
  std::vector<Piece> pieces;
  for (size_t at = 0; at < bytes.size(); at += size) pieces.push_back({everyMs, bytes.substr(at, size)});
  return pieces;
}

std::vector<Piece> Then(std::vector<Piece> first, const std::vector<Piece>& second) {
  first.insert(first.end(), second.begin(), second.end());
  return first;
}

// An empty working folder for one case, removed with whatever is left in it.
struct Folder {
  std::string previous, path;
  Folder() {
    char here[4096];
    previous = getcwd(here, sizeof here);
    char name[] = "/tmp/update_exchange_XXXXXX";
    path = mkdtemp(name);
    REQUIRE(chdir(path.c_str()) == 0);
  }
  ~Folder() {
    for (const std::string& file : Files()) std::remove(file.c_str());
    REQUIRE(chdir(previous.c_str()) == 0);
    rmdir(path.c_str());
  }
  std::vector<std::string> Files() const {
    std::vector<std::string> files;
    DIR* dir = opendir(".");
    while (dirent* entry = readdir(dir))
      if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, ".."))
        files.push_back(entry->d_name);
    closedir(dir);
    return files;
  }
};

std::string Content(const char* path) {
  std::string bytes;
  if (std::FILE* file = std::fopen(path, "rb")) {
    char buffer[4096];
    size_t count;
    while ((count = std::fread(buffer, 1, sizeof buffer, file)) > 0) bytes.append(buffer, count);
    std::fclose(file);
  }
  return bytes;
}

// A module image: "MZ", a zero byte early as in every PE file, then varied bytes.
std::string Module(size_t size = 5000) {
  std::string bytes(size, '\0');
  for (size_t i = 0; i < size; ++i) bytes[i] = static_cast<char>((i * 31 + 7) & 0xFF);
  bytes.replace(0, 4, std::string("MZ\x90\0", 4));
  return bytes;
}

std::string Hex(const std::string& bytes) {
  unsigned char digest[MD5_DIGEST_LENGTH];
  MD5(reinterpret_cast<const unsigned char*>(bytes.data()), bytes.size(), digest);
  return release_test::Hex(digest, sizeof digest);
}

std::string Offer(const std::string& saveAs, const std::string& digest, const std::string& module,
                  const std::string& news = "Faster start.\n", const std::string& version = "2.0") {
  OfferParts parts;
  parts.saveAs = saveAs;
  parts.digest = digest;
  parts.news = news;
  parts.version = version;
  return update_test::OfferAnswer(parts, module);
}

const char kDownload[] = "Murmelon_W_7_D.asi.download";
const DownloadPlan kUnsignedPlan = {kDownload, "", "Murmelon_W_7_D", 51081};

struct Run {
  ExchangeOutcome outcome;
  UpdateAnswer answer;
  UpdateOffer offer = {};
  uint32_t elapsedMs;  // on the script's clock, from the check's start
  // spentMs: what name resolution and connecting took before the exchange began.
  explicit Run(Script& script, const DownloadPlan& plan = kUnsignedPlan, uint32_t spentMs = 0) {
    REQUIRE(StartAnswer(&answer));
    uint32_t checkStart = script.clock - spentMs;
    outcome = RunExchange(Connection{&script, ScriptedReceive, ScriptedNow}, checkStart, plan,
                          &answer, &offer);
    elapsedMs = script.clock - checkStart;
  }
  ~Run() { ReleaseAnswer(&answer); }
};

ExchangeOutcome Outcome(std::vector<std::string> pieces, int end = kReceiveClosed) {
  Script script{AtOnce(std::move(pieces)), end};
  Run run(script);
  return run.outcome;
}

std::vector<std::string> Split(const std::string& text, std::vector<size_t> cuts) {
  std::vector<std::string> pieces;
  size_t from = 0;
  for (size_t cut : cuts) {
    pieces.push_back(text.substr(from, cut - from));
    from = cut;
  }
  pieces.push_back(text.substr(from));
  return pieces;
}

}  // namespace

TEST_CASE("verdicts: ERROR, then LATEST_VERSION, then FUTURE_VERSION, on all received so far") {
  Folder folder;
  CHECK(Outcome({kAnswerHead + "LATEST_VERSION"}) == ExchangeOutcome::kLatest);
  CHECK(Outcome({kAnswerHead + "future_Version"}) == ExchangeOutcome::kFuture);
  CHECK(Outcome({kAnswerHead + "FUTURE_VERSION LATEST_VERSION"}) == ExchangeOutcome::kLatest);
  CHECK(Outcome({"HTTP/1.0 500 Server Error\r\n\r\nLATEST_VERSION"}) == ExchangeOutcome::kRefused);
  CHECK(Outcome({kAnswerHead + "LATEST_VER", "SION"}) == ExchangeOutcome::kLatest);
  CHECK(Outcome({kAnswerHead + "ERR", "OR"}) == ExchangeOutcome::kRefused);
  // The refusal test comes first, so a news text holding the word ends the check too.
  CHECK(Outcome({Offer("new.asi", Hex(Module()), Module(), "Fixed an error.")}) ==
        ExchangeOutcome::kRefused);
  CHECK(folder.Files().empty());
}

TEST_CASE("an answer that ends before saying anything is silent") {
  CHECK(Outcome({}) == ExchangeOutcome::kClosed);
  CHECK(Outcome({kAnswerHead + "LATEST_"}) == ExchangeOutcome::kClosed);
  CHECK(Outcome({kAnswerHead}, kReceiveFailed) == ExchangeOutcome::kClosed);
}

TEST_CASE("the answer is bounded in time as a whole, not per piece") {
  struct Case {
    const char* what;
    std::vector<Piece> pieces;
    uint32_t spentMs;  // before the exchange: resolution and connect
    ExchangeOutcome outcome;
    uint32_t endsAtMs;  // on the clock, from the check's start
  } cases[] = {
      {"a silent server: one wait's own limit", {}, 0, ExchangeOutcome::kTimedOut, 5000},
      {"a byte every 4 s: the whole check's limit", Trickle(kAnswerHead + "LATEST_VERSION", 1, 4000), 0,
       ExchangeOutcome::kTimedOut, kCheckLimitMs},
      {"connecting took 9.5 s", {{600, kAnswerHead + "LATEST_VERSION"}}, 9500, ExchangeOutcome::kTimedOut,
       kCheckLimitMs},
      {"the verdict just in time", {{4999, kAnswerHead}, {4900, "LATEST_VERSION"}}, 0,
       ExchangeOutcome::kLatest, 9899},
  };
  for (Case& c : cases) {
    INFO(std::string(c.what));
    Folder folder;
    Script script{c.pieces, kSilent};
    Run run(script, kUnsignedPlan, c.spentMs);
    CHECK(run.outcome == c.outcome);
    CHECK(run.elapsedMs == c.endsAtMs);
  }
}

TEST_CASE("an update offer cut into pieces anywhere, DATA: itself included, is downloaded whole") {
  std::string module = Module();
  std::string answer = Offer("fresh.asi", Hex(module), module, "News line\r\n", "2.0 (Sep 2)\r\n");
  size_t data = answer.find("DATA:");
  std::vector<std::vector<size_t>> cuts = {
      {}, {data + 2}, {data}, {data + 5}, {answer.find("MD5:") + 1, data + 1, data + 3000},
      {10, 20, 30, data + 4, data + 5, data + 6}};
  for (const auto& cut : cuts) {
    CAPTURE(cut.size());
    Folder folder;
    Script script{AtOnce(Split(answer, cut))};
    Run run(script);
    REQUIRE(run.outcome == ExchangeOutcome::kVerified);
    CHECK(std::string(run.offer.savePath) == "fresh.asi");
    CHECK(std::string(run.offer.news) == "News line\r\n");  // values are not trimmed
    CHECK(std::string(run.offer.version) == "2.0 (Sep 2)\r\n");
    // Only under the download's own name: the server's name is never a file.
    CHECK(Content(kDownload) == module);
    CHECK(folder.Files() == std::vector<std::string>{kDownload});
  }
}

TEST_CASE("markers in the module bytes, and a claim's keys in the news, are not keys") {
  Folder folder;
  std::string module = Module() + "ERROR LATEST_VERSION DATA:";
  CHECK(Outcome({Offer("m.asi", Hex(module), module)}) == ExchangeOutcome::kVerified);
  CHECK(Content(kDownload) == module);
  // BUILD: and SIGNATURE: count only before SAVETO:; after it they are the news' text.
  const std::string news = "BUILD:51091 SIGNATURE:" + std::string(128, '0');
  Script script{AtOnce({Offer("m.asi", Hex(module), module, news)})};
  Run run(script);
  CHECK(run.outcome == ExchangeOutcome::kVerified);
  CHECK(run.offer.build == nullptr);
  CHECK(std::string(run.offer.news) == news);
}

TEST_CASE("a download that is not the promised file leaves nothing behind") {
  std::string module = Module(20000);
  std::string digest = Hex(module);
  std::string upper = digest;
  for (char& c : upper) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
  struct Case {
    const char* name;
    std::vector<std::string> pieces;
    int end;
  } cases[] = {
      {"other bytes", {Offer("m.asi", digest, Module(20001))}, kReceiveClosed},
      {"upper-case digest", {Offer("m.asi", upper, module)}, kReceiveClosed},
      {"digest with a line end", {Offer("m.asi", digest + "\r\n", module)}, kReceiveClosed},
      {"cut short", {Offer("m.asi", digest, module.substr(0, 12000))}, kReceiveClosed},
      {"connection failed", {Offer("m.asi", digest, module.substr(0, 12000))}, kReceiveFailed},
  };
  for (Case& c : cases) {
    INFO(std::string(c.name));
    Folder folder;
    CHECK(Outcome(c.pieces, c.end) == ExchangeOutcome::kDigestMismatch);
    CHECK(folder.Files().empty());
  }
}

TEST_CASE("a download is abandoned below 16 KiB in 10 s, and the whole check after 120 s") {
  std::string module = Module(200000);
  std::string offer = Offer("m.asi", Hex(module), "");
  struct Case {
    const char* what;
    std::vector<Piece> module;  // after the offer, which arrives at once
    int end;
    ExchangeOutcome outcome;
    uint32_t endsAfterMs, endsByMs;  // on the clock, from the check's start
    uint32_t spentMs = 0;            // before the exchange: resolution and connect
  } cases[] = {
      {"1 KiB every 2 s", Trickle(module, 1024, 2000), kReceiveClosed, ExchangeOutcome::kAbandoned,
       10000, 11000},
      {"fast, then silent before the end", Trickle(module.substr(0, 100000), 16384, 10), kSilent,
       ExchangeOutcome::kAbandoned, 10000, 11100},
      {"all of it, then silent instead of closing", Trickle(module, 16384, 10), kSilent,
       ExchangeOutcome::kAbandoned, 10000, 11200},
      {"2 KiB a second: slow but steady", Trickle(module, 2048, 1000), kReceiveClosed,
       ExchangeOutcome::kVerified, 98000, 98001},
      {"2 KiB a second without end", Trickle(module + module, 2048, 1000), kReceiveClosed,
       ExchangeOutcome::kAbandoned, kDownloadLimitMs, kDownloadLimitMs},
      {"the same after 3 s of connecting", Trickle(module + module, 2048, 1000), kReceiveClosed,
       ExchangeOutcome::kAbandoned, kDownloadLimitMs, kDownloadLimitMs, 3000},
      {"16 KiB every 9.9 s", Trickle(module, 16384, 9900), kReceiveClosed, ExchangeOutcome::kAbandoned,
       kDownloadLimitMs, kDownloadLimitMs},
      {"16 KiB, 11.5 s of silence, the rest", Then({{0, module.substr(0, 16384)}},
                                                   {{11500, module.substr(16384)}}),
       kReceiveClosed, ExchangeOutcome::kAbandoned, 10000, 11000},
  };
  for (Case& c : cases) {
    INFO(std::string(c.what));
    Folder folder;
    Script script{Then({{0, offer}}, c.module), c.end};
    Run run(script, kUnsignedPlan, c.spentMs);
    CHECK(run.outcome == c.outcome);
    CHECK(run.elapsedMs >= c.endsAfterMs);
    CHECK(run.elapsedMs <= c.endsByMs);
    if (c.outcome != ExchangeOutcome::kVerified) CHECK(folder.Files().empty());
  }
}

TEST_CASE("the pace counts only the last ten seconds, however long nobody asked") {
  // The exchange asks at every whole second; the pace must not rely on that.
  struct Row {
    const char* what;
    std::vector<std::pair<uint32_t, size_t>> arrivals;  // ms after the start, bytes
    uint32_t judgedAtMs;
    bool tooSlow;
  } rows[] = {
      {"16 KiB at once, judged 10 s later", {{0, 16384}}, 10000, false},
      {"16 KiB at once, then 11.5 s without a question", {{0, 16384}}, 11500, true},
      {"16 KiB, a byte 20 s later, judged a second after", {{0, 16384}, {20000, 1}}, 21000, true},
      {"16 KiB 20 s in, judged 5 s later", {{20000, 16384}}, 25000, false},
  };
  for (const Row& row : rows) {
    INFO(std::string(row.what));
    const uint32_t start = 0xFFFFFFFFu - 2500;  // across the tick's wrap
    DownloadPace pace;
    StartPace(&pace, start);
    for (const auto& [atMs, bytes] : row.arrivals) CountArrival(&pace, start + atMs, bytes);
    CHECK(TooSlow(&pace, start + row.judgedAtMs) == row.tooSlow);
  }
}

TEST_CASE("the save name must be a safe bare file name, and is never written") {
  std::string module = Module();
  // (Every refused form is in the table below; these show the exchange applies it.)
  for (const char* name : {"..\\m.asi", "", "m.asi\r\n"}) {
    INFO(std::string(name));
    Folder folder;
    CHECK(Outcome({Offer(name, Hex(module), module)}) == ExchangeOutcome::kUnsafeSavePath);
    CHECK(folder.Files().empty());
  }
  // A name that exists stays as it is: the download has its own.
  Folder folder;
  { std::FILE* file = std::fopen("hw.dll", "wb"); std::fputs("engine", file); std::fclose(file); }
  CHECK(Outcome({Offer("hw.dll", Hex(module), module)}) == ExchangeOutcome::kVerified);
  CHECK(Content("hw.dll") == "engine");
  CHECK(Content(kDownload) == module);
  // No download path (the module's own could not be had): nothing is fetched or saved.
  for (const char* path : {static_cast<const char*>(nullptr), ""}) {
    Folder empty;
    Script script{{{0, Offer("m.asi", Hex(module), "")}, {0, module}}};
    Run run(script, DownloadPlan{path, "", "Murmelon_W_7_D", 51081});
    CHECK(run.outcome == ExchangeOutcome::kCannotSave);
    CHECK(script.next == 1);
    CHECK(empty.Files().empty());
  }
}

TEST_CASE("save names: bare names pass, anything that leaves the folder or names a device does not") {
  for (const char* name : {"Murmelon_W_7_D.asi", "new module.asi", "a", ".hidden", "x..y"})
    CHECK_MESSAGE(IsSafeSaveName(name), name);
  for (const char* name : {".", "..", "...", "name.", "name ", "a/b", "a\\b", "c:", "a*b", "a?b",
                           "a|b", "a\"b", "a<b", "a>b", "tab\there", "CON", "con.txt", "Nul .asi",
                           "COM1", "lpt9.log", "CONOUT$", "STUFFTATA.BTZ"})
    CHECK_MESSAGE(!IsSafeSaveName(name), name);
  CHECK(IsSafeSaveName("COM0"));
  CHECK(IsSafeSaveName("CONSOLE.asi"));
  CHECK(IsSafeSaveName(std::string(200, 'n').c_str()));
  CHECK_FALSE(IsSafeSaveName(std::string(201, 'n').c_str()));
}

TEST_CASE("DATA: without the four keys before it, in order, writes no file") {
  std::string module = Module();
  std::string digest = Hex(module);
  std::vector<std::string> answers = {
      kAnswerHead + "MD5:" + digest + "WHATNEW:nVERSION:2DATA:" + module,
      kAnswerHead + "SAVETO:m.asiWHATNEW:nVERSION:2DATA:" + module,
      kAnswerHead + "SAVETO:m.asiMD5:" + digest + "VERSION:2DATA:" + module,
      kAnswerHead + "SAVETO:m.asiMD5:" + digest + "WHATNEW:nDATA:" + module,
      kAnswerHead + "SAVETO:m.asiMD5:" + digest + "VERSION:2WHATNEW:nDATA:" + module,
      // The first "MD5:" of the whole answer is the key, even in a header line.
      "HTTP/1.0 200 OK\r\nContent-MD5: " + digest + "\r\n\r\nSAVETO:m.asiMD5:" + digest +
          "WHATNEW:nVERSION:2DATA:" + module,
  };
  for (const std::string& answer : answers) {
    Folder folder;
    CHECK(Outcome({answer}) == ExchangeOutcome::kMalformed);
    CHECK(folder.Files().empty());
  }
}

TEST_CASE("an answer or a download past its cap ends the exchange without a file") {
  Folder folder;
  std::string chatter(kAnswerCap + 1, 'x');
  CHECK(Outcome({kAnswerHead, chatter, "LATEST_VERSION"}) == ExchangeOutcome::kOversized);
  CHECK(Outcome({std::string(kAnswerCap, 'x'), "LATEST_VERSION"}) == ExchangeOutcome::kLatest);
  // Bytes behind a zero byte are never searched, but they still count.
  CHECK(Outcome({std::string(kAnswerCap + 2000, '\0')}) == ExchangeOutcome::kOversized);
  CHECK(Outcome({kAnswerHead + std::string(kAnswerCap, 'y') + "SAVETO:m.asiMD5:0WHATNEW:nVERSION:2DATA:x"}) ==
        ExchangeOutcome::kOversized);
  // A module stream that does not stop: refused once it passes the cap.
  std::string chunk(1 << 20, 'M');
  Script script{Then({{0, Offer("big.asi", "0", "")}}, AtOnce(std::vector<std::string>(70, chunk))),
                kSilent};
  Run run(script);
  CHECK(run.outcome == ExchangeOutcome::kTooLarge);
  CHECK(folder.Files().empty());
  // One that stops exactly at the cap is whole.
  std::string whole;
  for (size_t i = 0; i < kDownloadCap / chunk.size(); ++i) whole += chunk;
  CHECK(Outcome({Offer("big.asi", Hex(whole), ""), whole}) == ExchangeOutcome::kVerified);
}

TEST_CASE("with keys built in, only a release signed for this module is kept") {
  const release_test::Key current(101), outsider(201);
  const std::string keys = release_test::Key(1).PublicHex() + "," + current.PublicHex();
  const DownloadPlan plan = {kDownload, keys.c_str(), "Murmelon_W_7_D", 51081};
  std::string module = Module(30000);
  struct Case {
    const char* what;
    std::string build, signature, digest;
    ExchangeOutcome outcome;
    bool fetched;  // whether the module was downloaded before the verdict
  } cases[] = {
      {"signed", "51091", current.SignRelease("Murmelon_W_7_D", "51091", module), Hex(module),
       ExchangeOutcome::kVerified, true},
      {"matching MD5, signed by another key", "51091",
       outsider.SignRelease("Murmelon_W_7_D", "51091", module), Hex(module), ExchangeOutcome::kUnsigned,
       true},
      {"signed, MD5 differs", "51091", current.SignRelease("Murmelon_W_7_D", "51091", module),
       Hex(module + "x"), ExchangeOutcome::kUnsigned, true},
      {"unsigned offer", "", "", Hex(module), ExchangeOutcome::kUnsigned, false},
      {"signed build not newer", "51081", current.SignRelease("Murmelon_W_7_D", "51081", module),
       Hex(module), ExchangeOutcome::kUnsigned, false},
  };
  for (Case& c : cases) {
    INFO(std::string(c.what));
    Folder folder;
    OfferParts parts;
    parts.digest = c.digest;
    parts.build = c.build;
    parts.signature = c.signature;
    std::string answer = update_test::OfferAnswer(parts, "");
    Script script{{{0, answer}, {0, module}}};
    Run run(script, plan);
    CHECK(run.outcome == c.outcome);
    CHECK((script.next == 2) == c.fetched);
    CHECK(folder.Files() == (c.outcome == ExchangeOutcome::kVerified ? std::vector<std::string>{kDownload}
                                                                      : std::vector<std::string>{}));
  }
  // Without keys the same signed answer installs on its MD5 alone, as unsigned ones do.
  Folder folder;
  OfferParts parts;
  parts.digest = Hex(module);
  parts.build = "51091";
  parts.signature = std::string(128, '0');
  CHECK(Outcome({update_test::OfferAnswer(parts, module)}) == ExchangeOutcome::kVerified);
}
