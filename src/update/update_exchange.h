// One update exchange once the request is out: the answer, and for an update offer the
// download into a temporary file and its verification. No Windows API: the connection
// is reached through connection_io.h, files through the C runtime.
#pragma once

#include <cstddef>
#include <cstdint>

#include "update/connection_io.h"
#include "update/update_answer.h"

// A download larger than this is no module of ours; it is refused and deleted.
constexpr size_t kDownloadCap = 64u * 1024 * 1024;

// Where a download goes, and what it must prove before it may take the module's place.
struct DownloadPlan {
  const char* path;         // the temporary download, under a name nothing loads
  const char* keys;         // the built-in release keys; "" trusts the MD5 alone
  const char* deliverable;  // this module's deliverable name, part of the signed message
  int ownBuild;             // a signed release must be newer than this
};

enum class ExchangeOutcome {
  kRefused,         // the answer contains "ERROR"
  kLatest,          // "LATEST_VERSION"
  kFuture,          // "FUTURE_VERSION"
  kTimedOut,        // the check's deadline, or one wait's own limit, passed before a verdict
  kClosed,          // closed (or a receive failed) before the answer said anything
  kOversized,       // the answer passed kAnswerCap before saying anything
  kNoMemory,        // the answer could not grow
  kMalformed,       // "DATA:" without the four keys before it, in order
  kUnsafeSavePath,  // the save name is not a safe bare file name (see save_name.h)
  kCannotSave,      // the temporary download cannot be created or written
  kTooLarge,        // the download passed kDownloadCap
  kAbandoned,       // the download went too slowly, or past the whole check's limit
  kDigestMismatch,  // the download ended but its digest differs (no keys built in)
  kUnsigned,        // keys are built in and the offer is not a release signed for us
  kVerified,        // the download is at plan.path and passed every check
};

// Whether the service saw the request and answered it with a verdict or an offer: what
// the check carried is delivered. An answer cut off, too long or never come may be
// someone else's, or lost on its way; what it carried goes again next time.
bool ExchangeAnswered(ExchangeOutcome outcome);

// Receives until the answer decides; checkStart is the tick the check began, so that
// name resolution and connecting count against its deadline. Only kVerified leaves a
// file behind (the download, at plan.path); every other outcome deletes what it wrote.
// The offer points into answer, which the caller releases.
ExchangeOutcome RunExchange(const Connection& connection, uint32_t checkStart,
                            const DownloadPlan& plan, UpdateAnswer* answer, UpdateOffer* offer);
