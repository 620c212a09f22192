// Stops a walk that keeps returning to the address it is at: some broken stacks make
// the unwinder report the same frame forever. No windows.h.
#pragma once

#include <cstdint>

class EndlessStackGuard {
 public:
  explicit EndlessStackGuard(int32_t limit) : limit_(limit) {}

  // False when this frame is one too many in a run of frames whose program counter
  // equals their return address; with a limit of 1000, 1001 such frames pass. A limit
  // of 0 or below never stops the walk.
  bool Admit(uint64_t programCounter, uint64_t returnAddress) {
    if (programCounter != returnAddress) {
      run_ = 0;
      return true;
    }
    if (limit_ > 0 && run_ > limit_) return false;
    if (run_ < INT32_MAX) ++run_;
    return true;
  }

 private:
  int32_t limit_;
  int32_t run_ = 0;
};
