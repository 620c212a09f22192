// One update exchange once the request is out: the answer, and for an update offer the
// download into the file the answer names and its verification. No Windows API: the
// connection is reached through a receive function, files through the C runtime.
#pragma once

#include <cstddef>

#include "update/update_answer.h"

// A download larger than this is no module of ours; it is refused and deleted.
constexpr size_t kDownloadCap = 64u * 1024 * 1024;

// What one receive call gives: a positive count of bytes, or one of these.
constexpr int kReceiveClosed = 0;
constexpr int kReceiveFailed = -1;
constexpr int kReceiveTimedOut = -2;
using ReceiveFn = int (*)(void* connection, char* buffer, int size);

enum class ExchangeOutcome {
  kRefused,           // the answer contains "ERROR"
  kLatest,            // "LATEST_VERSION"
  kFuture,            // "FUTURE_VERSION"
  kTimedOut,          // a receive timed out before the answer said anything
  kClosed,            // closed (or a receive failed) before the answer said anything
  kOversized,         // the answer passed kAnswerCap before saying anything
  kMalformed,         // "DATA:" without the four keys before it, in order
  kUnsafeSavePath,    // the save path is not a safe bare file name (see save_name.h)
  kCannotSave,        // the save file exists already, cannot be created or written
  kTooLarge,          // the download passed kDownloadCap
  kDigestMismatch,    // the download is complete but its digest differs
  kVerified,          // the download is at offer.savePath and its digest matches
};

// Receives until the answer decides. Only kVerified leaves a file behind (the download,
// under offer->savePath); every other outcome deletes what it wrote. The offer points
// into answer, which the caller releases.
ExchangeOutcome RunExchange(ReceiveFn receive, void* connection, UpdateAnswer* answer,
                            UpdateOffer* offer);
