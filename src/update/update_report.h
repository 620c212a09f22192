// Every text the player reads about updates, in one place: the check's outcome, the
// replacement of the module file, and the note at the start after an update.
#pragma once

#include "update/update_answer.h"

// Why a check could not be made, as the player reads it after the "could not check"
// message.
enum class CheckFailure {
  kWinsock,     // "WSA_ERROR": Winsock would not start
  kSocket,      // "SOCKET_ERROR": no socket
  kHost,        // "HOST_ERROR": no usable server name, or it does not resolve
  kConnection,  // "CONNECTION_ERROR": the connect failed
  kTimeout,     // "TIMEOUT_ERROR": a deadline passed before a verdict
  kRefused,     // "SECURITY_ERROR": the server's answer contains "ERROR"
  kSignature,   // "SIGNATURE_ERROR": keys are built in and the offer is not signed for us
};

// The prefixed "could not check" message with its reason.
void ReportCheckFailure(CheckFailure reason);
// The server says this build is the latest, or that ours is newer than its own.
void ReportLatest();
void ReportFuture();
// A verified download took the module file's name; it runs at the next start.
void ReportStaged();
// After a verified download took the module's place: old and new version, the restart
// hint and the news text.
void ReportUpdate(const UpdateOffer& offer);
// At the start after an update: the staging file of the previous build was found.
void ReportReplaced();
// Once, at the first start whose check reports how the last run ended: what it sends
// and how to turn it off.
void ReportRunNotice();
