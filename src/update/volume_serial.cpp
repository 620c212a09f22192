#include "update/volume_serial.h"

#include "vstdlib/vstdlib_helper.h"

void FormatVolumeSerial(uint32_t serial, char* out) {
  Q_snprintf(out, kSerialTextSize, "%d", static_cast<int>(static_cast<int32_t>(serial)));
}
