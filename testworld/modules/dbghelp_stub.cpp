// Debug-help libraries for the crash filter's failure rows. Built three times: without
// "MiniDumpWriteDump" (dbghelp_nodump.dll), with one that fails as a full disk would
// (dbghelp_failing.dll, DBGHELP_FAILING_WRITER), and with one that never returns, as a
// writer stuck on a lock would (dbghelp_hanging.dll, DBGHELP_HANGING_WRITER). A scenario copies one into a game
// folder as dbghelp.dll and has Wine prefer it to its own for that one program.
#include <windows.h>

#if defined(DBGHELP_FAILING_WRITER) || defined(DBGHELP_HANGING_WRITER)
// Writes a few bytes, so that a partly written file is left, then gives up or hangs.
// The bytes say whether another reader could open the unfinished file meanwhile (a
// player's tool, a scanner): "MDMP" when it is held for the writer alone.
extern "C" __declspec(dllexport) BOOL __stdcall MiniDumpWriteDump(HANDLE, DWORD, HANDLE file,
                                                                  DWORD, void*, void*, void*) {
  HANDLE reader = CreateFileA("Murmelon.dmp.part", GENERIC_READ,
                              FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  const bool shared = reader != INVALID_HANDLE_VALUE;
  if (shared) CloseHandle(reader);
  DWORD written = 0;
  WriteFile(file, shared ? "SHARED" : "MDMP", shared ? 6 : 4, &written, nullptr);
#ifdef DBGHELP_HANGING_WRITER
  Sleep(INFINITE);
#endif
  SetLastError(ERROR_DISK_FULL);
  return FALSE;
}
#endif

// Something every variant exports, so that it is a real library: the version query every
// debug-help library has.
struct ApiVersion {
  USHORT major, minor, revision, reserved;
};

extern "C" __declspec(dllexport) ApiVersion* __stdcall ImagehlpApiVersion() {
  static ApiVersion version = {4, 0, 5, 0};
  return &version;
}
