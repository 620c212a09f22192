#include "voice/numbers.h"

#include <cmath>

int32_t TruncateSettingValue(float value) {
  if (std::isnan(value)) return 0;
  const double truncated = std::trunc(static_cast<double>(value));
  if (truncated >= 2147483647.0) return INT32_MAX;
  if (truncated <= -2147483648.0) return INT32_MIN;
  return static_cast<int32_t>(truncated);
}

int32_t ParseDecimal(const char* text) {
  if (!text) return 0;
  while (*text == ' ' || (*text >= '\t' && *text <= '\r')) ++text;
  bool negative = false;
  if (*text == '+' || *text == '-') negative = *text++ == '-';
  int64_t magnitude = 0;
  for (; *text >= '0' && *text <= '9'; ++text) {
    magnitude = magnitude * 10 + (*text - '0');
    if (magnitude > 2147483648LL) magnitude = 2147483648LL;  // keep it bounded, saturate below
  }
  const int64_t value = negative ? -magnitude : magnitude;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int32_t>(value);
}
