// The report written when the game ends, or we are unloaded, while we still run.
#pragma once

// Asks tier0 for its minidump, appends a record (module handle, interface pointers,
// engine build, call stack) to "MurmelonError.log" and asks the player to send both.
// Outside the loader's lock only: it loads libraries, walks the stack with dbghelp and
// shows a window.
void WriteErrorLog();

// WriteErrorLog, once per load: the process's exit and the host's release of our module
// both lead here (crash/exit_hooks.h), and so may a later detach.
void ReportAbnormalEnd();
bool AbnormalEndReported();

// What the loader's detach may still write when the end came by a way no hook saw (and
// nothing was reported): the record's header and its separator, no frames, no dump, no
// box. Plain kernel32 file calls, no heap, no C runtime: at the process's end the other
// threads are gone with whatever locks they held. Once per load, like the report.
void WriteBareErrorRecord();
