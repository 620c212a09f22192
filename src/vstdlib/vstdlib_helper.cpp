#include "vstdlib/vstdlib_helper.h"

#include <windows.h>

#include <cstdio>
#include <cstring>

namespace {

#define VSTDLIB_INDEX(name, ...) k_##name,
#define VSTDLIB_INDEX_CUSTOM(name) k_##name,
enum VstdlibIndex { VSTDLIB_EXPORTS(VSTDLIB_INDEX, VSTDLIB_INDEX, VSTDLIB_INDEX_CUSTOM) kCount };
#undef VSTDLIB_INDEX
#undef VSTDLIB_INDEX_CUSTOM
static_assert(kCount == kVstdlibEntryCount, "46 engine string functions");

// VstdlibTable: one entry per export, empty until BindVstdlib, never changed after.
void* VstdlibTable[kVstdlibEntryCount];

template <typename Fn>
Fn Entry(VstdlibIndex index) {
  return reinterpret_cast<Fn>(VstdlibTable[index]);
}

}  // namespace

void RaiseAssertionReport(const char* expression, int line) {
  char report[512];
  std::snprintf(report, sizeof report, "Assertion failed: %s, file %s, line %d\n", expression,
                "vstdlib_helper", line);
  OutputDebugStringA(report);
  std::fputs(report, stderr);
}

#define VSTDLIB_NAME(name, ...) #name,
#define VSTDLIB_NAME_CUSTOM(name) #name,
const char* const kVstdlibNames[kVstdlibEntryCount] = {
    VSTDLIB_EXPORTS(VSTDLIB_NAME, VSTDLIB_NAME, VSTDLIB_NAME_CUSTOM)};
#undef VSTDLIB_NAME
#undef VSTDLIB_NAME_CUSTOM

void BindVstdlib() {
  // The engine has the library loaded already; this takes a reference we never drop.
  HMODULE library = LoadLibraryW(L"vstdlib.dll");
  if (!library) return;
  // Through void* so the conversion from FARPROC is explicit and warning-free.
  for (int i = 0; i < kVstdlibEntryCount; ++i)
    VstdlibTable[i] = reinterpret_cast<void*>(GetProcAddress(library, kVstdlibNames[i]));
}

bool VstdlibHas(const char* name) {
  for (int i = 0; i < kVstdlibEntryCount; ++i)
    if (std::strcmp(kVstdlibNames[i], name) == 0) return VstdlibTable[i] != nullptr;
  return false;
}

#define VSTDLIB_WRAP(name, result, params, args, empty)          \
  result name params {                                            \
    using Fn = result(__cdecl*) params;                           \
    if (Fn fn = Entry<Fn>(k_##name)) return fn args;              \
    return empty;                                                 \
  }
#define VSTDLIB_WRAP_VOID(name, params, args)                     \
  void name params {                                              \
    using Fn = void(__cdecl*) params;                             \
    if (Fn fn = Entry<Fn>(k_##name)) fn args;                     \
  }
#define VSTDLIB_WRAP_CUSTOM(name)
VSTDLIB_EXPORTS(VSTDLIB_WRAP, VSTDLIB_WRAP_VOID, VSTDLIB_WRAP_CUSTOM)
#undef VSTDLIB_WRAP
#undef VSTDLIB_WRAP_VOID
#undef VSTDLIB_WRAP_CUSTOM

const char* Q_stristr(const char* text, const char* find) {
  using Fn = const char*(__cdecl*)(const char*, const char*);
  if (Fn fn = Entry<Fn>(k_Q_stristr)) return fn(text, find);
  return std::strstr(text, find);
}

void Q_strcat(char* dest, const char* src, int destSize) {
  using Fn = void(__cdecl*)(char*, const char*, int);
  if (Fn fn = Entry<Fn>(k_Q_strcat)) return fn(dest, src, destSize);
  // Unbounded strcat would overrun a full destination; keep within its size.
  if (destSize <= 0) return;
  size_t used = strnlen(dest, static_cast<size_t>(destSize));
  if (used >= static_cast<size_t>(destSize)) return;
  size_t room = static_cast<size_t>(destSize) - used - 1;
  size_t add = strnlen(src, room);
  std::memcpy(dest + used, src, add);
  dest[used + add] = '\0';
}

int Q_vsnprintf(char* dest, int maxLen, const char* format, va_list args) {
  using Fn = int(__cdecl*)(char*, int, const char*, va_list);
  if (Fn fn = Entry<Fn>(k_Q_vsnprintf)) return fn(dest, maxLen, format, args);
  if (maxLen <= 0) return -1;
  int written = _vsnprintf(dest, static_cast<size_t>(maxLen), format, args);
  // _vsnprintf leaves a text that fills the area exactly unterminated.
  if (written < 0 || written >= maxLen) {
    dest[maxLen - 1] = '\0';
    return -1;
  }
  return written;
}

bool CheckWritable(void* ptr, unsigned count) {
  if (!IsBadWritePtr(ptr, count)) return true;
  RaiseAssertionReport("!IsBadWritePtr( ptr, count )", __LINE__);
  return false;
}

bool CheckString(const char* ptr, unsigned maxchar) {
  if (!IsBadStringPtrA(ptr, maxchar)) return true;
  RaiseAssertionReport("!IsBadStringPtrA( ptr, maxchar )", __LINE__);
  return false;
}
