// Turning the engine's setting values and command arguments into integers. No windows.h.
#pragma once

#include <cstdint>

// A setting's float value truncated toward zero (11025.9 gives 11025). NaN gives 0 and
// values beyond the 32-bit range stop at its ends: a float-to-int conversion out of range
// would be undefined, and the player can type any number into a setting.
int32_t TruncateSettingValue(float value);

// The standard decimal conversion (leading blanks, optional sign, digits; no digits gives
// 0), saturating at the 32-bit range instead of overflowing. A null text gives 0.
int32_t ParseDecimal(const char* text);

// True when a setting's value counts as 0. A value that is not a number does not.
inline bool SettingIsZero(float value) { return value == 0.0f; }
