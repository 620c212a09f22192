#include "base/readable_memory.h"

#include <windows.h>

#include <cstdint>

namespace {

constexpr DWORD kReadable = PAGE_READONLY | PAGE_READWRITE | PAGE_WRITECOPY | PAGE_EXECUTE_READ |
                            PAGE_EXECUTE_READWRITE | PAGE_EXECUTE_WRITECOPY;

}  // namespace

bool ReadableMemory(const void* address, size_t size) {
  if (!address || size == 0) return false;
  uintptr_t at = reinterpret_cast<uintptr_t>(address);
  const uintptr_t end = at + size;
  if (end < at) return false;
  // One region at a time: a range may span regions of different protection.
  while (at < end) {
    MEMORY_BASIC_INFORMATION region;
    if (VirtualQuery(reinterpret_cast<const void*>(at), &region, sizeof region) != sizeof region)
      return false;
    if (region.State != MEM_COMMIT || (region.Protect & (PAGE_GUARD | PAGE_NOACCESS)) ||
        !(region.Protect & kReadable))
      return false;
    const uintptr_t regionEnd = reinterpret_cast<uintptr_t>(region.BaseAddress) + region.RegionSize;
    if (regionEnd <= at) return false;
    at = regionEnd;
  }
  return true;
}
