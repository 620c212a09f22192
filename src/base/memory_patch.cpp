#include "base/memory_patch.h"

#include <windows.h>

#include <cstring>

WritableSpan::WritableSpan(void* at, size_t size)
    : at_(at), size_(size),
      writable_(VirtualProtect(at, size, PAGE_EXECUTE_READWRITE, &previous_) != 0) {}

// The range may span two pages of different protections; VirtualProtect answered the
// first one's, and the loader gives a patched range (five bytes, one pointer) one kind.
WritableSpan::~WritableSpan() {
  DWORD ignored = 0;
  if (writable_) VirtualProtect(at_, size_, previous_, &ignored);
}

void WritableSpan::Copy(const void* bytes) const {
  if (!writable_) return;
  std::memcpy(at_, bytes, size_);
  // Code changed in memory: the processor must not run what it fetched before. (x86 keeps
  // its caches coherent and Wine's call does nothing, but the documented rule is this.)
  FlushInstructionCache(GetCurrentProcess(), at_, size_);
}

bool WriteProtected(void* at, const void* bytes, size_t size) {
  WritableSpan span(at, size);
  span.Copy(bytes);
  return span.writable();
}
