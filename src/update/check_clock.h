// Time limits of the update check on a millisecond tick that wraps, as GetTickCount's
// does after 49.7 days (GetTickCount64 does not exist on Windows XP): every interval is
// an unsigned difference of two ticks, which stays right across the wrap. No Windows API.
#pragma once

#include <cstddef>
#include <cstdint>

// Name resolution, connect, request and the answer up to a verdict or "DATA:".
constexpr uint32_t kCheckLimitMs = 10000;
// Within it, the longest one connect and one receive of the answer wait, even with
// more of the deadline left.
constexpr uint32_t kConnectWaitMs = 5000;
constexpr uint32_t kReceiveWaitMs = 5000;
// The whole check when it downloads: the start is never held longer.
constexpr uint32_t kDownloadLimitMs = 120000;
// A download is abandoned when less than this arrived in the last window.
constexpr uint32_t kPaceWindowMs = 10000;
constexpr uint32_t kPaceMinimumBytes = 16 * 1024;

struct Deadline {
  uint32_t start;    // the tick it counts from
  uint32_t limitMs;
};

// Milliseconds left at now; 0 once the deadline has passed.
uint32_t TimeLeft(const Deadline& deadline, uint32_t now);
// What one wait may take: the smaller of its own limit and the time left.
uint32_t BoundedWait(uint32_t ownLimitMs, const Deadline& deadline, uint32_t now);

// Bytes of a download per whole second since it began, for the last kPaceWindowMs. The
// pace is judged over the current second and the ten before it, so a download is
// abandoned at most one second after less than kPaceMinimumBytes arrived in the last
// ten seconds, never before.
constexpr int kPaceSlots = kPaceWindowMs / 1000 + 1;
struct DownloadPace {
  uint32_t start;              // the tick the download began
  uint32_t second;             // whole seconds since start that slots hold up to
  uint32_t slots[kPaceSlots];  // bytes per second, indexed by second % kPaceSlots
};

void StartPace(DownloadPace* pace, uint32_t now);
void CountArrival(DownloadPace* pace, uint32_t now, size_t bytes);
// True once a whole window has passed with less than kPaceMinimumBytes in it.
bool TooSlow(DownloadPace* pace, uint32_t now);
// Milliseconds until the next whole second of the download, when the pace changes.
uint32_t UntilPaceChanges(const DownloadPace& pace, uint32_t now);
