// The engine's string library ("vstdlib.dll"), bound by name at attach, and thin
// wrappers of the same names that test the entry first. Some wrappers fall back to the
// C runtime when the engine lacks the function; the rest then do nothing or return a
// neutral value. Q_snprintf is our own bounded formatter. No windows.h here.
#pragma once

#include <cstdarg>

#include "vstdlib/vstdlib_names.h"

#ifdef _WIN32
#define VSTDLIB_PRINTF_FORMAT(f, a) __attribute__((format(ms_printf, f, a)))
#else
#define VSTDLIB_PRINTF_FORMAT(f, a) __attribute__((format(printf, f, a)))
#endif

constexpr int kVstdlibEntryCount = 46;

// Export names in binding order.
extern const char* const kVstdlibNames[kVstdlibEntryCount];

// Loads "vstdlib.dll" and resolves every name; a missing library or name leaves the
// entry empty.
void BindVstdlib();
// True when the named entry was bound (for diagnostics and tests).
bool VstdlibHas(const char* name);

#define VSTDLIB_DECLARE(name, result, params, args, empty) result name params;
#define VSTDLIB_DECLARE_VOID(name, params, args) void name params;
#define VSTDLIB_SKIP(name)
VSTDLIB_EXPORTS(VSTDLIB_DECLARE, VSTDLIB_DECLARE_VOID, VSTDLIB_SKIP)
#undef VSTDLIB_DECLARE
#undef VSTDLIB_DECLARE_VOID
#undef VSTDLIB_SKIP

// Case-insensitive search when bound; the runtime's case-sensitive strstr otherwise.
const char* Q_stristr(const char* text, const char* find);
// Bounded concatenation; the fallback honours the destination size.
void Q_strcat(char* dest, const char* src, int destSize);
// Bounded formatting into maxLen bytes (terminator included). Negative when the text
// was cut; the destination is always terminated when maxLen > 0.
int Q_vsnprintf(char* dest, int maxLen, const char* format, va_list args);
// Our own formatter (bounded_format.cpp): checks its pointers, formats through
// Q_vsnprintf and reports a cut text as maxLen. maxLen 0 writes nothing.
int Q_snprintf(char* dest, int maxLen, const char* format, ...)
    VSTDLIB_PRINTF_FORMAT(3, 4);

// The runtime's assertion report, as the debug runtime words it (source name
// "vstdlib_helper"). It returns, and the caller decides whether it is safe to go on.
void RaiseAssertionReport(const char* expression, int line);
// Pointer checks: each raises the assertion report when the test fails and returns
// whether the pointer is usable.
bool CheckWritable(void* ptr, unsigned count);
bool CheckString(const char* ptr, unsigned maxchar);
