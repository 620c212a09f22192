// The text form of the volume serial number that identifies this machine.
#pragma once

#include <cstdint>

constexpr int kSerialTextSize = 50;

// The serial written in decimal as a signed 32-bit number: a serial with its top bit
// set gives a leading "-". The server has always received it in this form.
void FormatVolumeSerial(uint32_t serial, char* out);
