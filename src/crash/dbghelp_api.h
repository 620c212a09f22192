// What the walker and the crash filter use of dbghelp, toolhelp, psapi and version.dll,
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

// IMAGEHLP_MODULE64 up to LoadedImageName: the layout every dbghelp accepts.
struct ModuleRecordV2 {
  DWORD SizeOfStruct;
  DWORD64 BaseOfImage;
  DWORD ImageSize;
  DWORD TimeDateStamp;
  DWORD CheckSum;
  DWORD NumSyms;
  DWORD SymType;
  CHAR ModuleName[32];
  CHAR ImageName[256];
  CHAR LoadedImageName[256];
};
static_assert(sizeof(ModuleRecordV2) == 584, "IMAGEHLP_MODULE64 version 2 is 584 bytes");

// IMAGEHLP_MODULE64 with the PDB fields (version 3): the version-2 fields, then more.
// Written out flat: deriving from ModuleRecordV2 would put its tail padding in between.
// Newer headers add two more fields; older dbghelp builds reject anything larger.
struct ModuleRecordV3 {
  DWORD SizeOfStruct;
  DWORD64 BaseOfImage;
  DWORD ImageSize;
  DWORD TimeDateStamp;
  DWORD CheckSum;
  DWORD NumSyms;
  DWORD SymType;
  CHAR ModuleName[32];
  CHAR ImageName[256];
  CHAR LoadedImageName[256];
  CHAR LoadedPdbName[256];
  DWORD CVSig;
  CHAR CVData[MAX_PATH * 3];
  DWORD PdbSig;
  GUID PdbSig70;
  DWORD PdbAge;
  BOOL PdbUnmatched;
  BOOL DbgUnmatched;
  BOOL LineNumbers;
  BOOL GlobalSymbols;
  BOOL TypeInfo;
  BOOL SourceIndexed;
  BOOL Publics;
};
static_assert(sizeof(ModuleRecordV3) == 1672, "IMAGEHLP_MODULE64 version 3 is 1672 bytes");
static_assert(offsetof(ModuleRecordV3, LoadedPdbName) == 580,
              "the version-3 fields follow LoadedImageName directly");
static_assert(offsetof(ModuleRecordV2, BaseOfImage) == 8 && offsetof(ModuleRecordV2, SymType) == 32 &&
                  offsetof(ModuleRecordV2, LoadedImageName) == 324 &&
                  offsetof(ModuleRecordV3, LoadedImageName) == 324,
              "both layouts share the version-2 fields");

static_assert(sizeof(IMAGEHLP_SYMBOL64) == 32, "IMAGEHLP_SYMBOL64 header is 32 bytes");
static_assert(offsetof(IMAGEHLP_SYMBOL64, Name) == 28, "symbol name follows the header fields");
static_assert(sizeof(IMAGEHLP_LINE64) == 24, "IMAGEHLP_LINE64 is 24 bytes");
static_assert(sizeof(STACKFRAME64) == 264, "STACKFRAME64 is 264 bytes");
static_assert(sizeof(MODULEENTRY32) == 548, "MODULEENTRY32 (narrow) is 548 bytes");
static_assert(sizeof(MODULEINFO) == 12, "MODULEINFO is 12 bytes");
static_assert(sizeof(OSVERSIONINFOEXA) == 156, "OSVERSIONINFOEXA is 156 bytes");

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
using SymGetModuleInfo64Fn = BOOL(__stdcall*)(HANDLE process, DWORD64 address, void* record);
using SymGetOptionsFn = DWORD(__stdcall*)();
using SymGetSymFromAddr64Fn = BOOL(__stdcall*)(HANDLE process, DWORD64 address,
                                               DWORD64* displacement, IMAGEHLP_SYMBOL64* symbol);
using SymInitializeFn = BOOL(__stdcall*)(HANDLE process, const char* searchPath, BOOL invade);
using SymLoadModule64Fn = DWORD64(__stdcall*)(HANDLE process, HANDLE file, const char* imagePath,
                                              const char* moduleName, DWORD64 base, DWORD size);
using SymSetOptionsFn = DWORD(__stdcall*)(DWORD options);
using ReadMemoryFn = BOOL(__stdcall*)(HANDLE process, DWORD64 address, PVOID buffer, DWORD size,
                                      DWORD* bytesRead);
using StackWalk64Fn = BOOL(__stdcall*)(DWORD machine, HANDLE process, HANDLE thread,
                                       STACKFRAME64* frame, PVOID context, ReadMemoryFn read,
                                       SymFunctionTableAccess64Fn tableAccess,
                                       SymGetModuleBase64Fn moduleBase, PVOID translateAddress);
using UnDecorateSymbolNameFn = DWORD(__stdcall*)(const char* name, char* out, DWORD outSize,
                                                 DWORD flags);
using SymGetSearchPathFn = BOOL(__stdcall*)(HANDLE process, char* out, DWORD outSize);

constexpr DWORD kSymoptLoadLines = 0x10;
constexpr DWORD kSymoptFailCriticalErrors = 0x200;
constexpr DWORD kUndnameNameOnly = 0x1000;
constexpr DWORD kUndnameComplete = 0;
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

// --- version.dll -----------------------------------------------------------------------

using GetFileVersionInfoSizeAFn = DWORD(__stdcall*)(const char* path, DWORD* handle);
using GetFileVersionInfoAFn = BOOL(__stdcall*)(const char* path, DWORD handle, DWORD size,
                                               void* data);
using VerQueryValueWFn = BOOL(__stdcall*)(const void* block, const wchar_t* subBlock,
                                          void** value, UINT* length);
