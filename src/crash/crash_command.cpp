// "crash": a deliberate fault, so that the whole unhandled-exception path can be tried.
#include <cstring>

#include "crash/crash_filter.h"

namespace {

// Volatile so the compiler cannot see the null and replace the write by a trap:
// we want a genuine access violation in our own code.
char* volatile nowhere = nullptr;

}  // namespace

void __cdecl CrashCommand() {
  // Nothing of ours catches this; it reaches the process's top-level filter.
  std::strcpy(nowhere, "Here we must crash");
}
