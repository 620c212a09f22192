// The exchange over a scripted connection: pieces cut anywhere, early ends, stalls,
// oversized and malformed answers, unsafe names. Each runs in its own empty folder so
// "nothing left behind" is a listing of that folder.
#include <doctest/doctest.h>

#include <dirent.h>
#include <openssl/md5.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "update/save_name.h"
#include "update/update_exchange.h"

namespace {

// A connection that hands out the pieces in order (at most size bytes per call, as a
// socket would), then ends the way the script says.
struct Script {
  std::vector<std::string> pieces;
  int end = kReceiveClosed;
  size_t next = 0;
  size_t offset = 0;
  int calls = 0;
};

int ScriptedReceive(void* connection, char* buffer, int size) {
  Script& script = *static_cast<Script*>(connection);
  ++script.calls;
  if (script.next == script.pieces.size()) return script.end;
  const std::string& piece = script.pieces[script.next];
  size_t count = std::min(piece.size() - script.offset, static_cast<size_t>(size));
  std::memcpy(buffer, piece.data() + script.offset, count);
  script.offset += count;
  if (script.offset == piece.size()) {
    ++script.next;
    script.offset = 0;
  }
  return static_cast<int>(count);
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
  std::string hex;
  char pair[3];
  for (unsigned char byte : digest) {
    std::snprintf(pair, sizeof pair, "%02x", byte);
    hex += pair;
  }
  return hex;
}

const std::string kHeader = "HTTP/1.0 200 OK\r\nContent-Type: application/octet-stream\r\n\r\n";

std::string Offer(const std::string& name, const std::string& digest, const std::string& module,
                  const std::string& news = "Faster start.\n", const std::string& version = "2.0") {
  return kHeader + "SAVETO:" + name + "MD5:" + digest + "WHATNEW:" + news + "VERSION:" + version +
         "DATA:" + module;
}

struct Run {
  ExchangeOutcome outcome;
  UpdateAnswer answer;
  UpdateOffer offer = {};
  explicit Run(Script& script) {
    REQUIRE(StartAnswer(&answer));
    outcome = RunExchange(ScriptedReceive, &script, &answer, &offer);
  }
  ~Run() { ReleaseAnswer(&answer); }
};

ExchangeOutcome Outcome(std::vector<std::string> pieces, int end = kReceiveClosed) {
  Script script{std::move(pieces), end};
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
  CHECK(Outcome({kHeader + "LATEST_VERSION"}) == ExchangeOutcome::kLatest);
  CHECK(Outcome({kHeader + "FUTURE_VERSION"}) == ExchangeOutcome::kFuture);
  CHECK(Outcome({kHeader + "FUTURE_VERSION LATEST_VERSION"}) == ExchangeOutcome::kLatest);
  // (Natively the search is case-sensitive, as without the engine's library.)
  CHECK(Outcome({"HTTP/1.0 500 SERVER ERROR\r\n\r\nLATEST_VERSION"}) ==
        ExchangeOutcome::kRefused);
  CHECK(Outcome({kHeader + "LATEST_VER", "SION"}) == ExchangeOutcome::kLatest);
  CHECK(Outcome({kHeader + "ERR", "OR"}) == ExchangeOutcome::kRefused);
  // The refusal test comes first, so a news text holding the word ends the check too.
  CHECK(Outcome({Offer("new.asi", Hex(Module()), Module(), "Fixed an ERROR.")}) ==
        ExchangeOutcome::kRefused);
  CHECK(folder.Files().empty());
}

TEST_CASE("an answer that ends before saying anything: silent close or time-out") {
  CHECK(Outcome({}) == ExchangeOutcome::kClosed);
  CHECK(Outcome({kHeader + "LATEST_"}) == ExchangeOutcome::kClosed);
  CHECK(Outcome({kHeader}, kReceiveFailed) == ExchangeOutcome::kClosed);
  CHECK(Outcome({}, kReceiveTimedOut) == ExchangeOutcome::kTimedOut);
  CHECK(Outcome({kHeader + "SAVETO:x"}, kReceiveTimedOut) == ExchangeOutcome::kTimedOut);
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
    Script script{Split(answer, cut)};
    Run run(script);
    REQUIRE(run.outcome == ExchangeOutcome::kVerified);
    CHECK(std::string(run.offer.savePath) == "fresh.asi");
    CHECK(std::string(run.offer.news) == "News line\r\n");        // values are not trimmed
    CHECK(std::string(run.offer.version) == "2.0 (Sep 2)\r\n");
    CHECK(Content("fresh.asi") == module);
    CHECK(folder.Files() == std::vector<std::string>{"fresh.asi"});
  }
}

TEST_CASE("module bytes behind the cut are never searched for markers") {
  Folder folder;
  std::string module = Module() + "ERROR LATEST_VERSION DATA:";
  Script script{{Offer("m.asi", Hex(module), module)}};
  Run run(script);
  CHECK(run.outcome == ExchangeOutcome::kVerified);
  CHECK(Content("m.asi") == module);
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
      {"stalled", {Offer("m.asi", digest, module.substr(0, 12000))}, kReceiveTimedOut},
      {"connection failed", {Offer("m.asi", digest, module.substr(0, 12000))}, kReceiveFailed},
  };
  for (Case& c : cases) {
    CAPTURE(c.name);
    Folder folder;
    CHECK(Outcome(c.pieces, c.end) == ExchangeOutcome::kDigestMismatch);
    CHECK(folder.Files().empty());
  }
  // A stall after the last byte is no loss: the digest decides.
  Folder folder;
  CHECK(Outcome({Offer("m.asi", digest, module)}, kReceiveTimedOut) == ExchangeOutcome::kVerified);
}

TEST_CASE("the save path must be a new bare file name") {
  std::string module = Module();
  // (Every refused form is in the table below; these show the exchange applies it.)
  for (const char* name : {"..\\m.asi", "", "m.asi\r\n"}) {
    CAPTURE(name);
    Folder folder;
    CHECK(Outcome({Offer(name, Hex(module), module)}) == ExchangeOutcome::kUnsafeSavePath);
    CHECK(folder.Files().empty());
  }
  // An existing file is neither overwritten nor deleted, whatever the download does.
  Folder folder;
  { std::FILE* file = std::fopen("hw.dll", "wb"); std::fputs("engine", file); std::fclose(file); }
  CHECK(Outcome({Offer("hw.dll", "0", module)}) == ExchangeOutcome::kCannotSave);
  CHECK(Content("hw.dll") == "engine");
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
      kHeader + "MD5:" + digest + "WHATNEW:nVERSION:2DATA:" + module,
      kHeader + "SAVETO:m.asiWHATNEW:nVERSION:2DATA:" + module,
      kHeader + "SAVETO:m.asiMD5:" + digest + "VERSION:2DATA:" + module,
      kHeader + "SAVETO:m.asiMD5:" + digest + "WHATNEW:nDATA:" + module,
      kHeader + "SAVETO:m.asiMD5:" + digest + "VERSION:2WHATNEW:nDATA:" + module,
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
  Script script{{kHeader, chatter, "LATEST_VERSION"}};
  {
    Run run(script);
    CHECK(run.outcome == ExchangeOutcome::kOversized);
  }
  // Bytes behind a zero byte are never searched, but they still count.
  std::string zeros(kAnswerCap + 2000, '\0');
  CHECK(Outcome({zeros}) == ExchangeOutcome::kOversized);
  CHECK(Outcome({kHeader + std::string(kAnswerCap, 'y') + "SAVETO:m.asiMD5:0WHATNEW:nVERSION:2DATA:x"}) ==
        ExchangeOutcome::kOversized);

  // A module stream that does not stop: refused once it passes the cap.
  struct Endless {
    size_t sent = 0;
    static int Receive(void* self, char* buffer, int size) {
      Endless& endless = *static_cast<Endless*>(self);
      std::memset(buffer, 'M', static_cast<size_t>(size));
      endless.sent += static_cast<size_t>(size);
      return size;
    }
  } endless;
  std::string offer = Offer("big.asi", "0", "");
  UpdateAnswer answer;
  REQUIRE(StartAnswer(&answer));
  UpdateOffer parts = {};
  // The offer first, then module bytes without end.
  struct Chain {
    Script* head;
    Endless* tail;
    static int Receive(void* self, char* buffer, int size) {
      Chain& chain = *static_cast<Chain*>(self);
      if (chain.head->next < chain.head->pieces.size()) return ScriptedReceive(chain.head, buffer, size);
      return Endless::Receive(chain.tail, buffer, size);
    }
  };
  Script head{{offer}};
  Chain chain{&head, &endless};
  CHECK(RunExchange(Chain::Receive, &chain, &answer, &parts) == ExchangeOutcome::kTooLarge);
  CHECK(endless.sent > kDownloadCap - 2048);
  CHECK(endless.sent <= kDownloadCap + 16384);
  ReleaseAnswer(&answer);
  CHECK(folder.Files().empty());
}
