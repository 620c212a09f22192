#include "update/replacement.h"

#include <windows.h>

#include <io.h>

#include <cstdio>

#include "update/identity.h"
#include "update/update_report.h"

namespace {

// Without a staging path (the engine's string library could not make one) no file is
// touched: the replacement cannot work without somewhere to park the running build.
bool HaveStagingPath() { return StagingPath && StagingPath[0] && ModulePath && ModulePath[0]; }

// A virus scanner often opens a file the moment it appears under a new name and holds it
// for a while without sharing its deletion; the running build, just parked, is such a
// file. Putting it back is tried until it works or about two seconds have passed. (Wine's
// server enforces those share modes between handles too.) This runs on the host's start
// call, never under the loader lock.
constexpr int kPutBackAttempts = 20;
constexpr DWORD kPutBackPauseMs = 100;

bool PutBack() {
  for (int attempt = 1;; ++attempt) {
    if (std::rename(StagingPath, ModulePath) == 0) return true;
    if (attempt == kPutBackAttempts) return false;
    Sleep(kPutBackPauseMs);
  }
}

}  // namespace

bool StageModuleReplacement(const char* downloadPath) {
  if (!HaveStagingPath() || std::rename(ModulePath, StagingPath) != 0) {
    DeleteFileA(downloadPath);  // the running module stays where it is
    return false;
  }
  if (std::rename(downloadPath, ModulePath) != 0) {
    // Put the running build back. The download goes only once that worked, so one of
    // the two builds is always left for the player.
    if (PutBack()) DeleteFileA(downloadPath);
    return false;
  }
  ReportStaged();
  return true;
}

void FinishModuleReplacement() {
  if (DownloadPath && DownloadPath[0]) DeleteFileA(DownloadPath);
  if (!StagingPath || !StagingPath[0]) return;
  if (_access(StagingPath, 0) == -1) return;
  // Printed whether or not the deletion worked: the next start simply tries again.
  DeleteFileA(StagingPath);
  ReportReplaced();
}
