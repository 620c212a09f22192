// GCC's libbacktrace, with the internal header that opens its DWARF reader to sections
// already in memory (backtrace_dwarf_add) and declares its memory functions. Its C
// declarations, as its own build configured them (<stdint.h>, the sync and atomic
// builtins exist).
#pragma once

#include <sys/types.h>

#define HAVE_STDINT_H 1
#define HAVE_SYNC_FUNCTIONS 1
#define HAVE_ATOMIC_FUNCTIONS 1
extern "C" {
#include <backtrace.h>
#include <internal.h>
}
