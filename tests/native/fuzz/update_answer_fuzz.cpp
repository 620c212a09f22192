// Fuzz target for the update answer: whatever a server (or anything on the path to it)
// sends, cut into whatever pieces the network delivers, must end in a verdict without
// a read or write outside the answer, and an update offer must point into the answer.
//
// Input: [flags][n][n little-endian 16-bit piece lengths][stream bytes]
//   flags bit 0: the search ignores letter case (the engine's), else the fallback's
//   flags bit 1: run the whole exchange, download and files included, else the parser
//   flags bit 2: the exchange of a module with a release key built in
//   a piece length of 0 is a receive that timed out (the whole wait passes on the
//   clock); the rest of the stream after the listed pieces arrives in receive-sized
//   pieces.
// Every verdict is compared with a plain model of the rules written here again.
#include <dirent.h>
#include <strings.h>
#include <unistd.h>

#include <cctype>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <vector>

#include "vstdlib_native.h"
#include "update/check_clock.h"
#include "update/save_name.h"
#include "update/update_answer.h"
#include "update/update_exchange.h"

namespace {

constexpr size_t kReceiveSize = 1023;  // what the exchange asks for while it reads text
constexpr char kDownload[] = "Murmelon_W_7_D.asi.download";

[[noreturn]] void Fail(const char* what) {
  std::fprintf(stderr, "invariant broken: %s\n", what);
  std::abort();
}
#define REQUIRE(condition) \
  do {                     \
    if (!(condition)) Fail(#condition); \
  } while (0)

struct Input {
  bool ignoreCase = true;
  bool exchange = false;
  bool keyed = false;
  std::vector<std::string> pieces;  // an empty piece: a receive that timed out
};

Input Parse(const uint8_t* data, size_t size) {
  Input input;
  size_t at = 0;
  const uint8_t flags = size > at ? data[at++] : 0;
  input.ignoreCase = !(flags & 1);
  input.exchange = flags & 2;
  input.keyed = flags & 4;
  size_t listed = size > at ? data[at++] % 17 : 0;
  std::vector<size_t> lengths;
  for (; listed > 0 && at + 2 <= size; --listed, at += 2) lengths.push_back(data[at] | (data[at + 1] << 8));
  for (size_t length : lengths) {
    length = std::min(length, size - at);
    input.pieces.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  while (at < size) {
    const size_t length = std::min(kReceiveSize, size - at);
    input.pieces.emplace_back(reinterpret_cast<const char*>(data + at), length);
    at += length;
  }
  return input;
}

// The model: plain std::string searches over the text up to its first zero byte; with
// the engine's search both sides are lowered first.
std::string Searched(const std::string& received, bool ignoreCase) {
  std::string text = received.substr(0, received.find('\0'));
  if (ignoreCase)
    for (char& c : text) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return text;
}

size_t Find(const std::string& searched, std::string key, size_t from, bool ignoreCase) {
  if (ignoreCase)
    for (char& c : key) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return searched.find(key, from);
}

AnswerVerdict ModelVerdict(const std::string& received, bool ignoreCase) {
  const std::string text = Searched(received, ignoreCase);
  if (Find(text, "ERROR", 0, ignoreCase) != std::string::npos) return AnswerVerdict::kRefused;
  if (Find(text, "LATEST_VERSION", 0, ignoreCase) != std::string::npos) return AnswerVerdict::kLatest;
  if (Find(text, "FUTURE_VERSION", 0, ignoreCase) != std::string::npos) return AnswerVerdict::kFuture;
  const size_t data = Find(text, "DATA:", 0, ignoreCase);
  const size_t before = data == std::string::npos ? received.size() : data;
  if (before > kAnswerCap) return AnswerVerdict::kOversized;
  return data == std::string::npos ? AnswerVerdict::kIncomplete : AnswerVerdict::kUpdate;
}

struct ModelOffer {
  bool wellFormed = false;
  bool signedOffer = false;  // "BUILD:", then "SIGNATURE:", both before "SAVETO:"
  std::string build, signature, savePath, digest, news, version, data;
};

ModelOffer ModelCut(const std::string& received, bool ignoreCase) {
  ModelOffer offer;
  const std::string text = Searched(received, ignoreCase);
  const size_t data = Find(text, "DATA:", 0, ignoreCase);
  offer.data = received.substr(data + 5);
  const std::string head = text.substr(0, data);
  const std::string original = received.substr(0, data);  // the values keep their case
  const size_t saveTo = Find(head, "SAVETO:", 0, ignoreCase);
  const size_t md5 = Find(head, "MD5:", 0, ignoreCase);
  if (saveTo == std::string::npos || md5 == std::string::npos || md5 < saveTo + 7) return offer;
  const size_t whatNew = Find(head, "WHATNEW:", md5 + 4, ignoreCase);
  if (whatNew == std::string::npos) return offer;
  const size_t version = Find(head, "VERSION:", whatNew + 8, ignoreCase);
  if (version == std::string::npos) return offer;
  offer.wellFormed = true;
  const size_t build = Find(head, "BUILD:", 0, ignoreCase);
  const size_t signature = build == std::string::npos ? build : Find(head, "SIGNATURE:", build + 6, ignoreCase);
  offer.signedOffer = signature != std::string::npos && signature + 10 <= saveTo;
  if (offer.signedOffer) {
    offer.build = original.substr(build + 6, signature - build - 6);
    offer.signature = original.substr(signature + 10, saveTo - signature - 10);
  }
  offer.savePath = original.substr(saveTo + 7, md5 - saveTo - 7);
  offer.digest = original.substr(md5 + 4, whatNew - md5 - 4);
  offer.news = original.substr(whatNew + 8, version - whatNew - 8);
  offer.version = original.substr(version + 8);
  return offer;
}

bool Inside(const char* p, const UpdateAnswer& answer) {
  return p >= answer.text && p < answer.text + answer.count;
}

// A value of the offer: inside the answer, terminated inside it, equal to the model's.
void CheckValue(const char* value, const std::string& expected, const UpdateAnswer& answer) {
  REQUIRE(Inside(value, answer));
  REQUIRE(Inside(value + expected.size(), answer));
  REQUIRE(std::memcmp(value, expected.data(), expected.size()) == 0);
  REQUIRE(value[expected.size()] == '\0');
}

// A name that passes may be created in the working directory and nowhere else.
void CheckSaveName(const char* name) {
  if (!IsSafeSaveName(name)) return;
  const size_t length = std::strlen(name);
  REQUIRE(length > 0 && length <= 200);
  for (size_t i = 0; i < length; ++i) {
    const unsigned char c = static_cast<unsigned char>(name[i]);
    REQUIRE(c >= 0x20 && !std::strchr("<>:\"/\\|?*", c));
  }
  REQUIRE(name[length - 1] != '.' && name[length - 1] != ' ');
  REQUIRE(strcasecmp(name, kStagingFileName) != 0);
}

// The parser as the exchange drives it, checked after every piece.
void FuzzParser(const Input& input) {
  UpdateAnswer answer;
  REQUIRE(StartAnswer(&answer));
  REQUIRE(answer.count == 1 && answer.text[0] == '\0');
  std::string received;
  AnswerVerdict decided = AnswerVerdict::kIncomplete;
  std::string atDecision;
  for (const std::string& piece : input.pieces) {
    REQUIRE(AppendToAnswer(&answer, piece.data(), piece.size()));
    received += piece;
    REQUIRE(answer.count == received.size() + 1);
    REQUIRE(answer.text[received.size()] == '\0');
    REQUIRE(std::memcmp(answer.text, received.data(), received.size()) == 0);
    const AnswerVerdict verdict = TestAnswer(answer);
    REQUIRE(verdict == ModelVerdict(received, input.ignoreCase));
    REQUIRE(verdict == TestAnswer(answer));  // testing changes nothing
    // A verdict, once given, stays given: more bytes never make an answer undecided.
    if (decided != AnswerVerdict::kIncomplete) REQUIRE(verdict != AnswerVerdict::kIncomplete);
    if (decided == AnswerVerdict::kIncomplete && verdict != AnswerVerdict::kIncomplete) {
      decided = verdict;
      atDecision = received;
    }
  }
  ReleaseAnswer(&answer);
  REQUIRE(answer.text == nullptr);
  if (decided != AnswerVerdict::kUpdate) return;

  // Cut the answer as it stood when "DATA:" was first seen, as the exchange does.
  REQUIRE(StartAnswer(&answer));
  REQUIRE(AppendToAnswer(&answer, atDecision.data(), atDecision.size()));
  UpdateOffer offer = {};
  const ModelOffer model = ModelCut(atDecision, input.ignoreCase);
  const bool cut = CutAnswer(&answer, &offer);
  REQUIRE(cut == model.wellFormed);
  REQUIRE(Inside(offer.data, answer) || offer.data == answer.text + answer.count);
  REQUIRE(offer.data + offer.dataSize == answer.text + answer.count - 1);
  REQUIRE(offer.dataSize == model.data.size());
  REQUIRE(std::memcmp(offer.data, model.data.data(), model.data.size()) == 0);
  if (cut) {
    CheckValue(offer.savePath, model.savePath, answer);
    CheckValue(offer.digest, model.digest, answer);
    CheckValue(offer.news, model.news, answer);
    CheckValue(offer.version, model.version, answer);
    REQUIRE((offer.build != nullptr) == model.signedOffer);
    REQUIRE((offer.signature != nullptr) == model.signedOffer);
    if (model.signedOffer) {
      CheckValue(offer.build, model.build, answer);
      CheckValue(offer.signature, model.signature, answer);
    }
    CheckSaveName(offer.savePath);
  }
  ReleaseAnswer(&answer);
}

struct Script {
  const std::vector<std::string>* pieces;
  size_t piece = 0, offset = 0;
  uint32_t clock = 0xFFFFF000u;  // near the tick's wrap
};

// Hands the pieces out as a socket would: never more than asked for, the rest of a
// piece at the next call; an empty piece times out once; then the connection closes.
int Receive(void* connection, char* buffer, int size, uint32_t waitMs) {
  auto* script = static_cast<Script*>(connection);
  REQUIRE(size > 0);
  REQUIRE(waitMs <= kDownloadLimitMs);
  if (script->piece >= script->pieces->size()) return kReceiveClosed;
  const std::string& piece = (*script->pieces)[script->piece];
  if (piece.empty()) {
    ++script->piece;
    script->clock += waitMs;
    return kReceiveTimedOut;
  }
  const size_t count = std::min(piece.size() - script->offset, static_cast<size_t>(size));
  std::memcpy(buffer, piece.data() + script->offset, count);
  script->offset += count;
  if (script->offset == piece.size()) {
    ++script->piece;
    script->offset = 0;
  }
  return static_cast<int>(count);
}

uint32_t Now(void* connection) { return static_cast<Script*>(connection)->clock; }

// Files in the working directory (a fresh one of this process): only a verified
// download may be left behind.
std::vector<std::string> Files() {
  std::vector<std::string> names;
  if (DIR* dir = opendir(".")) {
    while (dirent* entry = readdir(dir))
      if (std::strcmp(entry->d_name, ".") && std::strcmp(entry->d_name, "..")) names.push_back(entry->d_name);
    closedir(dir);
  }
  return names;
}

char g_folder[] = "update-answer-fuzz.XXXXXX";
char g_startDir[4096];

void RemoveFolder() {
  if (chdir(g_startDir) == 0) rmdir(g_folder);
}

void FuzzExchange(const Input& input) {
  if (chdir(g_folder) != 0) Fail("cannot enter the working folder");
  UpdateAnswer answer;
  REQUIRE(StartAnswer(&answer));
  UpdateOffer offer = {};
  Script script{&input.pieces};
  // RFC 8032's first test key: nothing the fuzzer writes is signed by it.
  const char* keys = input.keyed ? "d75a980182b10ab7d54bfed3c964073a0ee172f3daa62325af021a68f707511a" : "";
  const DownloadPlan plan = {kDownload, keys, "Murmelon_W_7_D", 51081};
  const ExchangeOutcome outcome =
      RunExchange(Connection{&script, Receive, Now}, script.clock, plan, &answer, &offer);
  const std::vector<std::string> left = Files();
  if (outcome == ExchangeOutcome::kVerified) {
    CheckSaveName(offer.savePath);
    REQUIRE(IsSafeSaveName(offer.savePath));
    REQUIRE(left.size() == 1 && left[0] == kDownload);  // never under the server's name
    std::remove(kDownload);
  } else {
    REQUIRE(left.empty());
  }
  ReleaseAnswer(&answer);
  if (chdir(g_startDir) != 0) Fail("cannot leave the working folder");
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  // RunExchange creates files under names from the answer: keep them in a folder of
  // our own, so that nothing else is touched and what is left behind is seen. The
  // process stays in its own folder otherwise: the corpus paths are relative to it.
  if (!getcwd(g_startDir, sizeof g_startDir) || !mkdtemp(g_folder)) Fail("no working folder");
  std::atexit(RemoveFolder);
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const Input input = Parse(data, size);
  g_searchIgnoresCase = input.ignoreCase;
  if (input.exchange)
    FuzzExchange(input);
  else
    FuzzParser(input);
  return 0;
}
