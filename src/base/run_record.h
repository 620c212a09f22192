// What the plug-in remembers about its runs from one start to the next: how the last
// run ended, the report the update check still has to deliver, and the player's choice.
// No Windows API and no heap: the crash filter and the process-exit detach format the
// record into memory reserved before.
#pragma once

#include <cstddef>
#include <cstdint>

// How the current run stands. A run is begun at the host's start call and ends at its
// stop call (clean), in the crash filter (crashed) or in the detach of a game that never
// stopped us (abnormal).
enum class RunEnd : uint8_t { kBegun, kClean, kCrashed, kAbnormal };

// What a report says about a run. Unknown: the run was begun and never marked ended
// (the process was killed, the power went, something swallowed the crash).
enum class RunOutcome : uint8_t { kNone, kClean, kCrashed, kAbnormal, kUnknown };

// Where a crash happened, and nothing more: the exception code, the faulting module's
// file name without its folder, and the offset in that module. Outside any module the
// name is "-" and the offset 0 (an absolute address would tell of the memory layout).
constexpr size_t kFaultModuleChars = 32;
struct FaultSignature {
  uint32_t code;
  uint32_t offset;
  char module[kFaultModuleChars + 1];  // lower case, [a-z0-9._-] only
};
// "c0000005:hw.dll:0001a2b3": 8 hex digits, the module, 8 hex digits, and a terminator.
constexpr size_t kSignatureTextSize = 8 + 1 + kFaultModuleChars + 1 + 8 + 1;

// The report one update check carries.
struct RunReport {
  RunOutcome outcome;    // kNone: nothing to send
  FaultSignature fault;  // when kCrashed
  int32_t build;         // the build of the plug-in that ran
  int32_t tries;         // how many checks have carried it
};

// A check that gets no answer leaves the report for the next start, at most this many
// checks in all.
constexpr int32_t kReportTries = 3;

struct RunMark {
  RunEnd run;            // the run that began last
  FaultSignature fault;  // when run is kCrashed
  int32_t build;         // its plug-in build
  bool reportOn;         // the player's choice, as last read from the setting
  bool noticeShown;      // the player has been told what the report sends
  RunReport pending;     // sent and not yet answered; outcome kNone when there is none
};

// The mark file is small; anything longer is not ours.
constexpr size_t kRunMarkFileCap = 1024;

// Sets the signature's module from a UTF-16 file name (length in units): letters
// lowered, anything outside [a-z0-9._-] as "_", cut to kFaultModuleChars; an empty name
// is "-".
void SetFaultModule(FaultSignature* fault, const uint16_t* name, size_t length);
void SetNoFaultModule(FaultSignature* fault);
// The text form (kSignatureTextSize bytes) and its strict reading.
void FormatFaultSignature(const FaultSignature& fault, char* out);
bool ParseFaultSignature(const char* text, size_t length, FaultSignature* out);

// "clean", "crashed", "abnormal", "unknown"; "" for kNone.
const char* OutcomeWord(RunOutcome outcome);

// The file's bytes, CR LF lines in a fixed order. Returns the length, or 0 when size
// is too small.
size_t FormatRunMark(const RunMark& mark, char* out, size_t size);
// Anything but exactly what FormatRunMark writes is refused.
bool ParseRunMark(const char* bytes, size_t length, RunMark* out);

struct RunStart {
  RunMark mark;      // to be written now: this run begun
  RunReport report;  // what this start's check sends (outcome kNone: nothing)
  bool notice;       // the player is told first, this once
};

// A new run of plug-in `build` begins after `previous` (null: no readable mark). The
// report is the one still pending while it has tries left, else the last run's end; a
// report about another build is dropped (the check names our build), and so is
// everything when the player turned the report off.
RunStart BeginRun(const RunMark* previous, int32_t build);

// The run ends as `how` says. A run ends once; only a crash overrides an earlier end,
// since the process that stopped us may still crash on its way out. A crash is never
// overridden: on Windows XP a crash our filter handled ends the process through
// ExitProcess, whose detach (abnormal, we were never stopped) comes after it.
void EndRun(RunMark* mark, RunEnd how);
