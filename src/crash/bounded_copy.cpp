#include "crash/bounded_copy.h"

#include <cstring>

void BoundedCopy(char* dst, size_t capacity, const char* src) {
  if (capacity == 0) return;
  // Never read more of src than could be kept: a symbol text is not always terminated
  // within a sane distance.
  size_t length = strnlen(src, capacity);
  if (length >= capacity) length = capacity - 1;
  std::memcpy(dst, src, length);
  dst[length] = '\0';
}

void BoundedAppend(char* dst, size_t capacity, const char* src) {
  if (capacity == 0) return;
  size_t used = strnlen(dst, capacity);
  if (used >= capacity) {  // not terminated: make it so before adding anything
    dst[capacity - 1] = '\0';
    return;
  }
  BoundedCopy(dst + used, capacity - used, src);
}
