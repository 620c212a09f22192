// Whether memory can be read without faulting, for the paths where a second fault
// would end everything: the crash filter and the process-exit detach.
#pragma once

#include <cstddef>

// True when all `size` bytes at `address` lie in committed memory that may be read now,
// judged from VirtualQuery: no exception, no lock, no heap. Another thread may still
// free the memory right after; callers read what they need at once.
bool ReadableMemory(const void* address, size_t size);
