// The report written when we are unloaded while still running.
#pragma once

// Asks tier0 for its minidump, appends a record (module handle, interface pointers,
// engine build, call stack) to "MurmelonError.log" and asks the player to send both.
void WriteErrorLog();
