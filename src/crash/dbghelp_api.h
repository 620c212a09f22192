// What the walker and the crash filter use of dbghelp, toolhelp and psapi,
// all bound at run time. Calling conventions and record layouts are written out here
// because the libraries are found by name and nothing is checked by a linker.
#pragma once

#include <windows.h>
#include <dbghelp.h>
#include <tlhelp32.h>
#include <psapi.h>

#include <cstddef>
#include <cstdint>

// --- records ---------------------------------------------------------------------------

static_assert(sizeof(IMAGEHLP_SYMBOL64) == 32, "IMAGEHLP_SYMBOL64 header is 32 bytes");
static_assert(offsetof(IMAGEHLP_SYMBOL64, Name) == 28, "symbol name follows the header fields");
static_assert(sizeof(IMAGEHLP_LINE64) == 24, "IMAGEHLP_LINE64 is 24 bytes");
static_assert(sizeof(STACKFRAME64) == 264, "STACKFRAME64 is 264 bytes");
static_assert(sizeof(MODULEENTRY32) == 548, "MODULEENTRY32 (narrow) is 548 bytes");
static_assert(sizeof(MODULEINFO) == 12, "MODULEINFO is 12 bytes");

// MINIDUMP_EXCEPTION_INFORMATION is packed to 4 bytes in the platform headers.
#pragma pack(push, 4)
struct DumpExceptionInfo {
  DWORD ThreadId;
  EXCEPTION_POINTERS* ExceptionPointers;
  BOOL ClientPointers;
};
#pragma pack(pop)
static_assert(sizeof(DumpExceptionInfo) == 12, "MINIDUMP_EXCEPTION_INFORMATION is 12 bytes");

// --- dbghelp (all standard call) -------------------------------------------------------

using MiniDumpWriteDumpFn = BOOL(__stdcall*)(HANDLE process, DWORD processId, HANDLE file,
                                            int32_t dumpType, DumpExceptionInfo* exception,
                                            void* userStreams, void* callback);
using SymCleanupFn = BOOL(__stdcall*)(HANDLE process);
using SymFunctionTableAccess64Fn = PVOID(__stdcall*)(HANDLE process, DWORD64 address);
using SymGetLineFromAddr64Fn = BOOL(__stdcall*)(HANDLE process, DWORD64 address,
                                                DWORD* displacement, IMAGEHLP_LINE64* line);
using SymGetModuleBase64Fn = DWORD64(__stdcall*)(HANDLE process, DWORD64 address);
using SymGetOptionsFn = DWORD(__stdcall*)();
using SymGetSymFromAddr64Fn = BOOL(__stdcall*)(HANDLE process, DWORD64 address,
                                               DWORD64* displacement, IMAGEHLP_SYMBOL64* symbol);
using SymInitializeFn = BOOL(__stdcall*)(HANDLE process, const char* searchPath, BOOL invade);
using SymLoadModule64Fn = DWORD64(__stdcall*)(HANDLE process, HANDLE file, const char* imagePath,
                                              const char* moduleName, DWORD64 base, DWORD size);
using SymSetOptionsFn = DWORD(__stdcall*)(DWORD options);
using StackWalk64Fn = BOOL(__stdcall*)(DWORD machine, HANDLE process, HANDLE thread,
                                       STACKFRAME64* frame, PVOID context, PVOID read,
                                       SymFunctionTableAccess64Fn tableAccess,
                                       SymGetModuleBase64Fn moduleBase, PVOID translateAddress);

constexpr DWORD kSymoptDeferredLoads = 0x4;
constexpr DWORD kSymoptLoadLines = 0x10;
constexpr DWORD kSymoptFailCriticalErrors = 0x200;
constexpr DWORD kMachineI386 = 0x14C;

// --- toolhelp (kernel32, or tlhelp32.dll on old systems) -------------------------------

using CreateToolhelp32SnapshotFn = HANDLE(__stdcall*)(DWORD flags, DWORD processId);
using Module32FirstFn = BOOL(__stdcall*)(HANDLE snapshot, MODULEENTRY32* entry);
using Module32NextFn = BOOL(__stdcall*)(HANDLE snapshot, MODULEENTRY32* entry);

// --- psapi -----------------------------------------------------------------------------

using EnumProcessModulesFn = BOOL(__stdcall*)(HANDLE process, HMODULE* modules, DWORD bytes,
                                              DWORD* bytesNeeded);
using GetModuleFileNameExAFn = DWORD(__stdcall*)(HANDLE process, HMODULE module, char* out,
                                                 DWORD size);
using GetModuleBaseNameAFn = DWORD(__stdcall*)(HANDLE process, HMODULE module, char* out,
                                               DWORD size);
using GetModuleInformationFn = BOOL(__stdcall*)(HANDLE process, HMODULE module, MODULEINFO* info,
                                                DWORD size);
