// libbacktrace's five memory functions (its alloc.c, left out of the link), served from
// the region of the DwarfMemory alive at the time. Blocks are handed out one after
// another and never freed one by one: a walk asks for a few hundred kilobytes, and the
// whole region goes at its end.
#include "crash/dwarf_memory.h"

#include <windows.h>

#include <cstring>

#include "crash/libbacktrace.h"

namespace {

constexpr size_t kReserve = 8 << 20;   // address space; more than any walk has needed
constexpr size_t kCommitStep = 64 << 10;
constexpr size_t kAlignment = 8;

struct Region {
  char* base;
  size_t committed;
  size_t used;
} region;

size_t Aligned(size_t size) { return (size + kAlignment - 1) & ~(kAlignment - 1); }

char* Top() { return region.base + region.used; }

// Makes `size` more bytes usable at the top; false when the region is full or gone.
bool Grow(size_t size) {
  if (!region.base || size > kReserve - region.used) return false;
  const size_t needed = region.used + size;
  if (needed > region.committed) {
    size_t commit = (needed - region.committed + kCommitStep - 1) / kCommitStep * kCommitStep;
    if (commit > kReserve - region.committed) commit = kReserve - region.committed;
    if (!VirtualAlloc(region.base + region.committed, commit, MEM_COMMIT, PAGE_READWRITE))
      return false;
    region.committed += commit;
  }
  region.used = needed;
  return true;
}

void* Take(size_t size) {
  char* block = Top();
  return Grow(Aligned(size)) ? block : nullptr;
}

}  // namespace

DwarfMemory::DwarfMemory() {
  region = {static_cast<char*>(VirtualAlloc(nullptr, kReserve, MEM_RESERVE, PAGE_NOACCESS)), 0, 0};
}

DwarfMemory::~DwarfMemory() {
  if (region.base) VirtualFree(region.base, 0, MEM_RELEASE);
  region = {};
}

bool DwarfMemory::usable() const { return region.base != nullptr; }

extern "C" {

void* backtrace_alloc(backtrace_state*, size_t size, backtrace_error_callback error, void* data) {
  void* block = Take(size);
  if (!block && error) error(data, "out of memory", 0);
  return block;
}

void backtrace_free(backtrace_state*, void* block, size_t size, backtrace_error_callback, void*) {
  // Only the topmost block comes back (a vector's spare room, mostly).
  if (block && static_cast<char*>(block) + Aligned(size) == Top())
    region.used -= Aligned(size);
}

void* backtrace_vector_grow(backtrace_state*, size_t size, backtrace_error_callback error,
                            void* data, backtrace_vector* vec) {
  if (size > vec->alc) {
    char* base = static_cast<char*>(vec->base);
    const size_t wanted = 2 * (vec->size + size);  // doubling: copies stay few
    if (base && base + vec->size + vec->alc == Top()) {
      // The vector is the topmost block: it grows in place.
      if (!Grow(Aligned(wanted - vec->size - vec->alc))) {
        if (error) error(data, "out of memory", 0);
        return nullptr;
      }
      vec->alc = Top() - base - vec->size;
    } else {
      char* moved = static_cast<char*>(Take(wanted));
      if (!moved) {
        if (error) error(data, "out of memory", 0);
        return nullptr;
      }
      if (vec->size) std::memcpy(moved, base, vec->size);
      vec->base = moved;
      vec->alc = Top() - moved - vec->size;
    }
  }
  void* added = static_cast<char*>(vec->base) + vec->size;
  vec->size += size;
  vec->alc -= size;
  return added;
}

void* backtrace_vector_finish(backtrace_state*, backtrace_vector* vec, backtrace_error_callback,
                              void*) {
  // The finished part stays where it is; the spare room behind it starts the next one.
  void* finished = vec->base;
  vec->base = static_cast<char*>(vec->base) + vec->size;
  vec->size = 0;
  return finished;
}

int backtrace_vector_release(backtrace_state*, backtrace_vector* vec, backtrace_error_callback,
                             void*) {
  char* spare = static_cast<char*>(vec->base) + vec->size;
  if (vec->alc && spare + vec->alc == Top()) region.used = Aligned(spare - region.base);
  vec->alc = 0;
  if (vec->size == 0) vec->base = nullptr;
  return 1;
}

}  // extern "C"
