#include "base/run_mark.h"

#include <windows.h>

#include "base/flavour.h"
#include "base/plugin.h"
#include "base/readable_memory.h"

namespace {

constexpr DWORD kPathSize = 1024;
// How long a mark waits for another thread's mark: a thread ended by the process's exit
// while it wrote may have left the flag set for good.
constexpr int kLockTries = 100;

HANDLE markFile = INVALID_HANDLE_VALUE;
bool running;  // a run was begun in this process and its mark written
RunMark mark;  // as written last
RunReport startReport;
bool startNotice;
const engine::SettingRecord* volatile reportSetting;
char area[kRunMarkFileCap + 1];  // the file's bytes, read or formatted under the lock
volatile LONG busy;

// Marks come from the host's thread, the engine's, the update check's and a faulting
// one. A flag rather than a critical section: a thread that died holding it must not
// hold the others for ever (the process-exit detach runs after every other thread is
// ended wherever it was), so after a bounded wait the mark is written anyway.
class MarkLock {
 public:
  MarkLock() {
    for (int i = 0; i < kLockTries; ++i) {
      if (InterlockedCompareExchange(&busy, 1, 0) == 0) {
        held_ = true;
        return;
      }
      Sleep(1);
    }
  }
  ~MarkLock() {
    if (held_) InterlockedExchange(&busy, 0);
  }
  MarkLock(const MarkLock&) = delete;
  MarkLock& operator=(const MarkLock&) = delete;

 private:
  bool held_ = false;
};

// Beside our module, wherever the game runs from.
bool OpenMarkFile() {
  if (markFile != INVALID_HANDLE_VALUE) return true;
  static wchar_t path[kPathSize];
  DWORD length = GetModuleFileNameW(hThisLib, path, kPathSize);
  // XP leaves a cut name unterminated and says nothing: a full buffer counts as cut.
  if (length == 0 || length >= kPathSize) return false;
  DWORD folderEnd = length;
  while (folderEnd > 0 && path[folderEnd - 1] != L'\\' && path[folderEnd - 1] != L'/') --folderEnd;
  const DWORD nameLength = sizeof kRunMarkFileName / sizeof kRunMarkFileName[0];
  if (folderEnd + nameLength > kPathSize) return false;
  for (DWORD i = 0; i < nameLength; ++i) path[folderEnd + i] = kRunMarkFileName[i];
  // Shared every way, so that a player or a scanner may read or delete it meanwhile.
  markFile = CreateFileW(path, GENERIC_READ | GENERIC_WRITE,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  return markFile != INVALID_HANDLE_VALUE;
}

bool ReadMark(RunMark* out) {
  DWORD read = 0;
  if (SetFilePointer(markFile, 0, nullptr, FILE_BEGIN) == INVALID_SET_FILE_POINTER ||
      !ReadFile(markFile, area, sizeof area, &read, nullptr))
    return false;
  return ParseRunMark(area, read, out);
}

bool WriteMark() {
  const size_t length = FormatRunMark(mark, area, sizeof area);
  DWORD written = 0;
  return length > 0 && SetFilePointer(markFile, 0, nullptr, FILE_BEGIN) != INVALID_SET_FILE_POINTER &&
         WriteFile(markFile, area, static_cast<DWORD>(length), &written, nullptr) &&
         written == length && SetEndOfFile(markFile);
}

// The setting's current value, when its record can be read: 0 turns the report off.
void ReadPlayersChoice() {
  const engine::SettingRecord* setting = reportSetting;
  if (setting && ReadableMemory(&setting->value, sizeof setting->value))
    mark.reportOn = setting->value != 0.0f;
}

void EndWith(RunEnd how, const FaultSignature* fault = nullptr) {
  if (!running) return;
  MarkLock lock;
  ReadPlayersChoice();
  if (fault && mark.run != RunEnd::kCrashed) mark.fault = *fault;
  EndRun(&mark, how);
  WriteMark();
}

}  // namespace

void MarkRunBegun() {
  if (!bSupportedBuild) return;
  MarkLock lock;
  startReport = RunReport{};
  startNotice = false;
  if (running) {
    // A start after a stop in the same process (the sound system restarted): the same
    // game session goes on, reported once, by its first start, and ended by the last.
    if (mark.run == RunEnd::kClean) mark.run = RunEnd::kBegun;
    WriteMark();
    return;
  }
  if (!OpenMarkFile()) return;
  RunMark previous;
  const bool known = ReadMark(&previous);
  RunStart start = BeginRun(known ? &previous : nullptr, FlavourBuildNumber());
  mark = start.mark;
  // A try that cannot be counted is not made: a report must not go out more often than
  // it may.
  running = WriteMark();
  if (!running) return;
  startReport = start.report;
  startNotice = start.notice;
}

void MarkRunClean() { EndWith(RunEnd::kClean); }

void MarkRunCrashed(const FaultSignature& fault) { EndWith(RunEnd::kCrashed, &fault); }

void MarkRunAbnormal() { EndWith(RunEnd::kAbnormal); }

void WatchRunReportSetting(const engine::SettingRecord* setting) { reportSetting = setting; }

RunReport StartedRunReport(bool* notice) {
  MarkLock lock;
  *notice = startNotice;
  return startReport;
}

void RunReportDelivered() {
  if (!running) return;
  MarkLock lock;
  // Only what this start's check carried: a later start of the same process sends nothing.
  if (startReport.outcome == RunOutcome::kNone) return;
  startReport = RunReport{};
  mark.pending = RunReport{};
  WriteMark();
}
