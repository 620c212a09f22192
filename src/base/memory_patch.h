// Writing into memory the loader protected: the engine's code for the hooks, other
// modules' import address tables for the exit hooks.
#pragma once

#include <cstddef>

// The pages of [at, at + size) writable (and executable: other threads may run code on
// them meanwhile) for the object's life; then they get their protection back.
class WritableSpan {
 public:
  WritableSpan(void* at, size_t size);
  ~WritableSpan();
  WritableSpan(const WritableSpan&) = delete;
  WritableSpan& operator=(const WritableSpan&) = delete;

  bool writable() const { return writable_; }
  // Copies the bytes in and tells the processor the code there changed.
  void Copy(const void* bytes) const;

 private:
  void* at_;
  size_t size_;
  unsigned long previous_ = 0;
  bool writable_;
};

// One copy in a WritableSpan of its own. False, with nothing written, when the pages
// cannot be made writable.
bool WriteProtected(void* at, const void* bytes, size_t size);
