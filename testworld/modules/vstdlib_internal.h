// Shared pieces of the fake vstdlib.dll. Its "Q_" exports are cdecl, as the engine's.
// Built twice: vstdlib.dll with all 46 names, and vstdlib_partial.dll (VSTDLIB_PARTIAL)
// without Q_UnicodeToUTF8, Q_strncpy and Q_MakeAbsolutePath, for the fallback tests.
#pragma once

#include <cstddef>

#define Q_EXPORT extern "C" __declspec(dllexport)

namespace vstdlib_world {

// Copies at most maxLen - 1 bytes and always terminates (when maxLen > 0).
void CopyBounded(char* dest, const char* src, int maxLen);
inline bool IsSlash(char c) { return c == '\\' || c == '/'; }

}  // namespace vstdlib_world
