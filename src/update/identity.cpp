#include "update/identity.h"

#include <windows.h>

#include <cstring>
#include <new>

#include "base/plugin.h"
#include "update/digest.h"
#include "update/save_name.h"
#include "update/volume_serial.h"
#include "vstdlib/vstdlib_helper.h"

char* ModulePath;
char* StagingPath;
char* DownloadPath;
char ModuleMD5[33];
char SerialMD5[33];

namespace {

constexpr int kPathSize = 260;
// Beside the module, so that putting it in the module's place is a rename on one volume;
// no loader takes a file of that extension for a module (its 8.3 form is "*.DOW").
constexpr char kDownloadSuffix[] = ".download";

char* NewPathBuffer(int size = kPathSize) { return new (std::nothrow) char[size](); }

void MachineSerialText(char* HDDSerial) {
  DWORD VSNumber = 0;
  // Without a readable "C:\" the serial is undefined; "0" keeps the request well formed
  // and the same from one start to the next.
  if (GetVolumeInformationA("C:\\", nullptr, 0, &VSNumber, nullptr, nullptr, nullptr, 0))
    FormatVolumeSerial(VSNumber, HDDSerial);
  else
    std::strcpy(HDDSerial, "0");
}

}  // namespace

void InitModuleIdentity() {
  if (!ModulePath) ModulePath = NewPathBuffer();
  if (!StagingPath) StagingPath = NewPathBuffer();
  if (ModulePath) GetModuleFileNameA(hThisLib, ModulePath, kPathSize - 1);
  // Without the engine's Q_MakeAbsolutePath the path stays empty, and the replacement
  // then touches no file.
  if (StagingPath) Q_MakeAbsolutePath(StagingPath, kPathSize - 1, kStagingFileName, nullptr);
  if (ModulePath) FileMD5Hex(ModulePath, ModuleMD5);
  if (!DownloadPath) DownloadPath = NewPathBuffer(kPathSize + sizeof kDownloadSuffix);
  if (DownloadPath && ModulePath && ModulePath[0])
    Q_snprintf(DownloadPath, kPathSize + sizeof kDownloadSuffix, "%s%s", ModulePath, kDownloadSuffix);
  char HDDSerial[kSerialTextSize];
  MachineSerialText(HDDSerial);
  StringMD5Hex(HDDSerial, SerialMD5);
}
