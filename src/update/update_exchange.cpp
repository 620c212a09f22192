#include "update/update_exchange.h"

#include <cstdio>

#include "update/check_clock.h"
#include "update/digest.h"
#include "update/release_signature.h"
#include "update/save_name.h"

namespace {

// At most 1023 bytes per receive while the answer is read as text: every piece grows
// the answer and is searched with the rest, so small pieces keep each search short. The
// download then takes larger pieces, since under Wine each receive costs a round trip
// to the wine server.
constexpr int kPieceSize = 1023;
constexpr int kDownloadPieceSize = 16384;

bool Signed(const DownloadPlan& plan) { return plan.keys && plan.keys[0]; }

// The temporary download, created when made: closed and deleted when it goes, unless it
// was kept. A file that could not be created is never deleted, as nothing of ours is there.
class DownloadFile {
 public:
  explicit DownloadFile(const char* path)
      : path_(path), file_(std::fopen(path, "wb")), created_(file_ != nullptr) {}
  ~DownloadFile() {
    if (file_) std::fclose(file_);
    if (created_ && !kept_) std::remove(path_);
  }
  DownloadFile(const DownloadFile&) = delete;
  DownloadFile& operator=(const DownloadFile&) = delete;

  bool Created() const { return created_; }
  bool Write(const void* bytes, size_t count) {
    return std::fwrite(bytes, 1, count, file_) == count;
  }
  // False when the last bytes could not be written out.
  bool Close() {
    std::FILE* file = file_;
    file_ = nullptr;
    return std::fclose(file) == 0;
  }
  void Keep() { kept_ = true; }

 private:
  const char* path_;
  std::FILE* file_;
  bool created_;
  bool kept_ = false;
};

// Whether the offer can be a release signed for us at all, before its bytes are fetched.
bool CanBeSigned(const DownloadPlan& plan, const UpdateOffer& offer) {
  return !Signed(plan) || ReleaseClaimWellFormed(offer.build, offer.signature, plan.ownBuild);
}

// The MD5 first, then, with keys built in, the signature over exactly what arrived. With
// keys, any download that fails here was not a release signed for us, and is said so.
ExchangeOutcome Verify(const DownloadPlan& plan, const UpdateOffer& offer) {
  ExchangeOutcome refused = Signed(plan) ? ExchangeOutcome::kUnsigned : ExchangeOutcome::kDigestMismatch;
  if (!FileMatchesMD5(plan.path, offer.digest)) return refused;
  if (!Signed(plan)) return ExchangeOutcome::kVerified;
  unsigned char sha256[kSHA256Size];
  size_t size = 0;
  if (!FileSHA256(plan.path, sha256, &size) ||
      !ReleaseIsSigned(ReleaseClaim{plan.keys, plan.deliverable, plan.ownBuild, offer.build,
                                    offer.signature, size, sha256}))
    return refused;
  return ExchangeOutcome::kVerified;
}

// File mode: every piece goes straight to the file. The download ends when the
// connection does (a failed receive ends it the same way, and the digest then tells a
// cut download from a whole one), or is abandoned when it goes too slowly or the whole
// check passes its limit.
ExchangeOutcome Download(const Connection& connection, uint32_t checkStart,
                         const DownloadPlan& plan, const UpdateOffer& offer) {
  DownloadFile saveTo(plan.path);
  if (!saveTo.Created()) return ExchangeOutcome::kCannotSave;
  // What came with the answer is part of one receive of the answer, far below the cap.
  size_t written = offer.dataSize;
  if (!saveTo.Write(offer.data, offer.dataSize)) return ExchangeOutcome::kCannotSave;
  const Deadline whole = {checkStart, kDownloadLimitMs};
  DownloadPace pace;
  StartPace(&pace, connection.now(connection.context));
  CountArrival(&pace, pace.start, offer.dataSize);
  static char response[kDownloadPieceSize];  // one exchange at a time, on the start-up thread
  for (;;) {
    uint32_t now = connection.now(connection.context);
    if (TimeLeft(whole, now) == 0 || TooSlow(&pace, now)) return ExchangeOutcome::kAbandoned;
    int count = connection.receive(connection.context, response, kDownloadPieceSize,
                                   BoundedWait(UntilPaceChanges(pace, now), whole, now));
    if (count == kReceiveTimedOut) continue;
    if (count <= 0) break;
    CountArrival(&pace, connection.now(connection.context), static_cast<size_t>(count));
    written += static_cast<size_t>(count);
    if (written > kDownloadCap) return ExchangeOutcome::kTooLarge;
    if (!saveTo.Write(response, static_cast<size_t>(count))) return ExchangeOutcome::kCannotSave;
  }
  if (!saveTo.Close()) return ExchangeOutcome::kCannotSave;
  ExchangeOutcome outcome = Verify(plan, offer);
  if (outcome == ExchangeOutcome::kVerified) saveTo.Keep();
  return outcome;
}

}  // namespace

ExchangeOutcome RunExchange(const Connection& connection, uint32_t checkStart,
                            const DownloadPlan& plan, UpdateAnswer* answer, UpdateOffer* offer) {
  const Deadline deadline = {checkStart, kCheckLimitMs};
  char response[kPieceSize + 1];
  for (;;) {
    uint32_t now = connection.now(connection.context);
    if (TimeLeft(deadline, now) == 0) return ExchangeOutcome::kTimedOut;
    int count = connection.receive(connection.context, response, kPieceSize,
                                   BoundedWait(kReceiveWaitMs, deadline, now));
    if (count == kReceiveTimedOut) return ExchangeOutcome::kTimedOut;
    if (count <= 0) return ExchangeOutcome::kClosed;
    if (!AppendToAnswer(answer, response, static_cast<size_t>(count)))
      return ExchangeOutcome::kNoMemory;
    switch (TestAnswer(*answer)) {
      case AnswerVerdict::kIncomplete: continue;
      case AnswerVerdict::kRefused: return ExchangeOutcome::kRefused;
      case AnswerVerdict::kLatest: return ExchangeOutcome::kLatest;
      case AnswerVerdict::kFuture: return ExchangeOutcome::kFuture;
      case AnswerVerdict::kOversized: return ExchangeOutcome::kOversized;
      case AnswerVerdict::kUpdate: break;
    }
    if (!CutAnswer(answer, offer)) return ExchangeOutcome::kMalformed;
    if (!IsSafeSaveName(offer->savePath)) return ExchangeOutcome::kUnsafeSavePath;
    if (!CanBeSigned(plan, *offer)) return ExchangeOutcome::kUnsigned;
    if (!plan.path || !plan.path[0]) return ExchangeOutcome::kCannotSave;
    return Download(connection, checkStart, plan, *offer);
  }
}

bool ExchangeAnswered(ExchangeOutcome outcome) {
  switch (outcome) {
    case ExchangeOutcome::kTimedOut:
    case ExchangeOutcome::kClosed:
    case ExchangeOutcome::kOversized:
    case ExchangeOutcome::kNoMemory:
      return false;
    default:  // a verdict, or "DATA:" with whatever came of the download
      return true;
  }
}
