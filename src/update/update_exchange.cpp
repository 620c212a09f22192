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
// The longest a single receive of the answer waits, even with more of the deadline left.
constexpr uint32_t kReceiveWaitMs = 5000;

bool Signed(const DownloadPlan& plan) { return plan.keys && plan.keys[0]; }

ExchangeOutcome Discard(std::FILE* file, const char* path, ExchangeOutcome outcome) {
  if (file) std::fclose(file);
  std::remove(path);
  return outcome;
}

// Whether the offer can be a release signed for us at all, before its bytes are fetched.
bool CanBeSigned(const DownloadPlan& plan, const UpdateOffer& offer) {
  return !Signed(plan) || ReleaseClaimWellFormed(offer.build, offer.signature, plan.ownBuild);
}

// The MD5 first, then, with keys built in, the signature over exactly what arrived. With
// keys, any download that fails here was not a release signed for us, and is said so.
ExchangeOutcome Verify(const DownloadPlan& plan, const UpdateOffer& offer) {
  ExchangeOutcome refused = Signed(plan) ? ExchangeOutcome::kUnsigned : ExchangeOutcome::kDigestMismatch;
  if (!FileMatchesMD5(plan.path, offer.digest)) return Discard(nullptr, plan.path, refused);
  if (!Signed(plan)) return ExchangeOutcome::kVerified;
  unsigned char sha256[kSHA256Size];
  size_t size = 0;
  if (!FileSHA256(plan.path, sha256, &size) ||
      !ReleaseIsSigned(ReleaseClaim{plan.keys, plan.deliverable, plan.ownBuild, offer.build,
                                    offer.signature, size, sha256}))
    return Discard(nullptr, plan.path, refused);
  return ExchangeOutcome::kVerified;
}

// File mode: every piece goes straight to the file. The download ends when the
// connection does (a failed receive ends it the same way, and the digest then tells a
// cut download from a whole one), or is abandoned when it goes too slowly or the whole
// check passes its limit.
ExchangeOutcome Download(const Connection& connection, uint32_t checkStart,
                         const DownloadPlan& plan, const UpdateOffer& offer) {
  std::FILE* saveTo = std::fopen(plan.path, "wb");
  if (!saveTo) return ExchangeOutcome::kCannotSave;
  size_t written = offer.dataSize;
  if (written > kDownloadCap) return Discard(saveTo, plan.path, ExchangeOutcome::kTooLarge);
  if (std::fwrite(offer.data, 1, offer.dataSize, saveTo) != offer.dataSize)
    return Discard(saveTo, plan.path, ExchangeOutcome::kCannotSave);
  const Deadline whole = {checkStart, kDownloadLimitMs};
  DownloadPace pace;
  StartPace(&pace, connection.now(connection.context));
  CountArrival(&pace, pace.start, offer.dataSize);
  static char response[kDownloadPieceSize];  // one exchange at a time, on the start-up thread
  for (;;) {
    uint32_t now = connection.now(connection.context);
    if (TimeLeft(whole, now) == 0 || TooSlow(&pace, now))
      return Discard(saveTo, plan.path, ExchangeOutcome::kAbandoned);
    int count = connection.receive(connection.context, response, kDownloadPieceSize,
                                   BoundedWait(UntilPaceChanges(pace, now), whole, now));
    if (count == kReceiveTimedOut) continue;
    if (count <= 0) break;
    CountArrival(&pace, connection.now(connection.context), static_cast<size_t>(count));
    written += static_cast<size_t>(count);
    if (written > kDownloadCap) return Discard(saveTo, plan.path, ExchangeOutcome::kTooLarge);
    if (std::fwrite(response, 1, static_cast<size_t>(count), saveTo) != static_cast<size_t>(count))
      return Discard(saveTo, plan.path, ExchangeOutcome::kCannotSave);
  }
  if (std::fclose(saveTo) != 0) return Discard(nullptr, plan.path, ExchangeOutcome::kCannotSave);
  return Verify(plan, offer);
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
