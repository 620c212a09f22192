#include "update/save_name.h"

#include <cctype>
#include <cstring>

namespace {

constexpr size_t kMaxNameLength = 200;

bool IsRefusedCharacter(unsigned char c) {
  return c < 0x20 || std::strchr("<>:\"/\\|?*", c) != nullptr;
}

bool EqualsIgnoringCase(const char* a, size_t length, const char* b) {
  if (std::strlen(b) != length) return false;
  for (size_t i = 0; i < length; ++i)
    if (std::tolower(static_cast<unsigned char>(a[i])) != std::tolower(static_cast<unsigned char>(b[i])))
      return false;
  return true;
}

// Windows opens the device, not a file, for these names whatever extension follows.
bool IsDeviceName(const char* name) {
  size_t base = std::strcspn(name, ".");
  while (base > 0 && name[base - 1] == ' ') --base;
  static const char* const kDevices[] = {"CON", "PRN", "AUX", "NUL", "CONIN$", "CONOUT$"};
  for (const char* device : kDevices)
    if (EqualsIgnoringCase(name, base, device)) return true;
  if (base == 4 && std::isdigit(static_cast<unsigned char>(name[3])) && name[3] != '0')
    return EqualsIgnoringCase(name, 3, "COM") || EqualsIgnoringCase(name, 3, "LPT");
  return false;
}

}  // namespace

bool IsSafeSaveName(const char* name) {
  size_t length = std::strlen(name);
  if (length == 0 || length > kMaxNameLength) return false;
  for (size_t i = 0; i < length; ++i)
    if (IsRefusedCharacter(static_cast<unsigned char>(name[i]))) return false;
  if (name[length - 1] == '.' || name[length - 1] == ' ') return false;  // also "." and ".."
  if (IsDeviceName(name)) return false;
  return !EqualsIgnoringCase(name, length, kStagingFileName);
}
