// The update server's answer as it accumulates, and what it says. No Windows API.
//
// The plug-in does not interpret HTTP: everything that arrives before "DATA:" (status
// line and headers included) is one text, and every test runs on the whole of it again
// after each received piece, so a marker split across two pieces is still found.
#pragma once

#include <cstddef>

// Bytes of answer accepted before "DATA:". Real answers are a few hundred bytes; the
// cap keeps a server that never stops talking from growing our memory without end.
constexpr size_t kAnswerCap = 64 * 1024;

struct UpdateAnswer {
  char* text;    // every byte received before the download, zero-terminated; owned
  size_t count;  // bytes held, terminator included: 1 for the empty answer
};

// What the answer received so far says; the first test that holds decides.
enum class AnswerVerdict {
  kIncomplete,  // none of the markers and no "DATA:" yet
  kRefused,     // contains "ERROR"
  kLatest,      // contains "LATEST_VERSION"
  kFuture,      // contains "FUTURE_VERSION"
  kUpdate,      // contains "DATA:": an update offer, ready to be cut
  kOversized,   // more than kAnswerCap bytes without a verdict or before "DATA:"
};

// The parts of an update offer, pointing into the answer's text (valid while it lives).
struct UpdateOffer {
  const char* build;      // signed releases: the "BUILD:" value, or null
  const char* signature;  // signed releases: the "SIGNATURE:" value, or null
  const char* savePath;   // the name the server gives the download, as sent (checked only)
  const char* digest;     // expected hex MD5 of the download, as sent
  const char* news;       // news text for the player
  const char* version;    // the new version's label
  const char* data;       // the first module bytes, received with the answer
  size_t dataSize;
};

// Starts an empty answer. False when no memory could be had.
bool StartAnswer(UpdateAnswer* answer);
// Appends received bytes behind the text and terminates it again. False when no memory.
bool AppendToAnswer(UpdateAnswer* answer, const char* bytes, size_t count);
void ReleaseAnswer(UpdateAnswer* answer);

// An answer started when made and released when it goes, whichever way its owner ends.
class ScopedAnswer {
 public:
  ScopedAnswer() : started_(StartAnswer(&answer_)) {}
  ~ScopedAnswer() { ReleaseAnswer(&answer_); }
  ScopedAnswer(const ScopedAnswer&) = delete;
  ScopedAnswer& operator=(const ScopedAnswer&) = delete;

  bool Started() const { return started_; }  // false: no memory could be had
  UpdateAnswer* get() { return &answer_; }

 private:
  UpdateAnswer answer_;
  bool started_;
};

// Tests the text (up to its first zero byte) for "ERROR", "LATEST_VERSION",
// "FUTURE_VERSION", then "DATA:", in that order.
AnswerVerdict TestAnswer(const UpdateAnswer& answer);

// Cuts an answer whose verdict is kUpdate into its parts: the text ends at "DATA:", and
// each key's first letter becomes the end of the value before it. Values are not
// trimmed. "SAVETO:" and "MD5:" are the first ones of the whole answer; "WHATNEW:" is
// looked for after the digest, "VERSION:" after the news. False, with the answer
// unusable, when a key is missing or the keys are out of that order. "BUILD:" and then
// "SIGNATURE:" are taken only before "SAVETO:", where an answer without them holds
// nothing the plug-in reads; both are null unless both are there in that order.
bool CutAnswer(UpdateAnswer* answer, UpdateOffer* offer);
