// A debug-help library without "MiniDumpWriteDump", for the crash filter's row where
// the dump writer is missing. A scenario copies it into a game folder as dbghelp.dll
// and has Wine prefer it to its own for that one program.
#include <windows.h>

// Something it exports, so that it is a real library: the version query every debug-help
// library has.
struct ApiVersion {
  USHORT major, minor, revision, reserved;
};

extern "C" __declspec(dllexport) ApiVersion* __stdcall ImagehlpApiVersion() {
  static ApiVersion version = {4, 0, 5, 0};
  return &version;
}
