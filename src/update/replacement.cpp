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

}  // namespace

bool StageModuleReplacement(const char* downloadPath) {
  if (!HaveStagingPath() || std::rename(ModulePath, StagingPath) != 0) {
    DeleteFileA(downloadPath);  // the running module stays where it is
    return false;
  }
  if (std::rename(downloadPath, ModulePath) != 0) {
    // Put the running build back. The download goes only once that worked, so one of
    // the two builds is always left for the player.
    if (std::rename(StagingPath, ModulePath) == 0) DeleteFileA(downloadPath);
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
