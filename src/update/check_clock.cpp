#include "update/check_clock.h"

uint32_t TimeLeft(const Deadline& deadline, uint32_t now) {
  uint32_t elapsed = now - deadline.start;
  return elapsed >= deadline.limitMs ? 0 : deadline.limitMs - elapsed;
}

uint32_t BoundedWait(uint32_t ownLimitMs, const Deadline& deadline, uint32_t now) {
  uint32_t left = TimeLeft(deadline, now);
  return ownLimitMs < left ? ownLimitMs : left;
}

namespace {

// Brings the slots up to now's second: the seconds passed since hold nothing yet.
void Advance(DownloadPace* pace, uint32_t now) {
  uint32_t second = (now - pace->start) / 1000;
  for (uint32_t cleared = 0; pace->second < second && cleared < kPaceSlots; ++cleared)
    pace->slots[++pace->second % kPaceSlots] = 0;
  pace->second = second;
}

}  // namespace

void StartPace(DownloadPace* pace, uint32_t now) {
  *pace = DownloadPace{};
  pace->start = now;
}

void CountArrival(DownloadPace* pace, uint32_t now, size_t bytes) {
  Advance(pace, now);
  uint32_t& slot = pace->slots[pace->second % kPaceSlots];
  slot = bytes > UINT32_MAX - slot ? UINT32_MAX : slot + static_cast<uint32_t>(bytes);
}

bool TooSlow(DownloadPace* pace, uint32_t now) {
  Advance(pace, now);
  if (now - pace->start < kPaceWindowMs) return false;
  uint64_t window = 0;
  for (uint32_t bytes : pace->slots) window += bytes;
  return window < kPaceMinimumBytes;
}

uint32_t UntilPaceChanges(const DownloadPace& pace, uint32_t now) {
  return 1000 - (now - pace.start) % 1000;
}
