#include "update/update_exchange.h"

#include <cstdio>

#include "update/digest.h"
#include "update/save_name.h"

namespace {

// At most 1023 bytes per receive call while the answer is read as text, as the
// exchange has always read it; the download then takes larger pieces, since under Wine
// each receive call costs a round trip to the wine server.
constexpr int kPieceSize = 1023;
constexpr int kDownloadPieceSize = 16384;

bool FileExists(const char* path) {
  std::FILE* file = std::fopen(path, "rb");
  if (file) std::fclose(file);
  return file != nullptr;
}

ExchangeOutcome Discard(std::FILE* file, const char* path, ExchangeOutcome outcome) {
  std::fclose(file);
  std::remove(path);
  return outcome;
}

// File mode: every piece goes straight to the file. The download ends when the
// connection does; a time-out or failed receive ends it the same way, and the digest
// comparison then tells a cut download from a whole one.
ExchangeOutcome Download(ReceiveFn receive, void* connection, const UpdateOffer& offer) {
  // An existing file is never overwritten: the name comes from the network and could
  // name anything in the game folder, which a failed download would then delete.
  if (FileExists(offer.savePath)) return ExchangeOutcome::kCannotSave;
  std::FILE* saveTo = std::fopen(offer.savePath, "wb");
  if (!saveTo) return ExchangeOutcome::kCannotSave;
  size_t written = offer.dataSize;
  if (written > kDownloadCap) return Discard(saveTo, offer.savePath, ExchangeOutcome::kTooLarge);
  if (std::fwrite(offer.data, 1, offer.dataSize, saveTo) != offer.dataSize)
    return Discard(saveTo, offer.savePath, ExchangeOutcome::kCannotSave);
  static char response[kDownloadPieceSize];  // one exchange at a time, on the start-up thread
  for (;;) {
    int count = receive(connection, response, kDownloadPieceSize);
    if (count <= 0) break;
    written += static_cast<size_t>(count);
    if (written > kDownloadCap) return Discard(saveTo, offer.savePath, ExchangeOutcome::kTooLarge);
    if (std::fwrite(response, 1, static_cast<size_t>(count), saveTo) != static_cast<size_t>(count))
      return Discard(saveTo, offer.savePath, ExchangeOutcome::kCannotSave);
  }
  if (std::fclose(saveTo) != 0) {
    std::remove(offer.savePath);
    return ExchangeOutcome::kCannotSave;
  }
  if (FileMatchesMD5(offer.savePath, offer.digest)) return ExchangeOutcome::kVerified;
  std::remove(offer.savePath);
  return ExchangeOutcome::kDigestMismatch;
}

}  // namespace

ExchangeOutcome RunExchange(ReceiveFn receive, void* connection, UpdateAnswer* answer,
                            UpdateOffer* offer) {
  char response[kPieceSize + 1];
  for (;;) {
    int count = receive(connection, response, kPieceSize);
    if (count == kReceiveTimedOut) return ExchangeOutcome::kTimedOut;
    if (count <= 0) return ExchangeOutcome::kClosed;
    if (!AppendToAnswer(answer, response, static_cast<size_t>(count)))
      return ExchangeOutcome::kOversized;
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
    return Download(receive, connection, *offer);
  }
}
