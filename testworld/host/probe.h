// The loader-lock probe: what the plug-in calls while the loader holds its lock, as the
// Windows of our players would see it. Wine forgives a network exchange, a wait or a
// thread start inside an entry routine; Windows may deadlock on them.
//
// Armed before the plug-in loads, it registers for DLL load notifications (Wine sends
// them just before the attach call) and, when the plug-in's image arrives, points its
// imports of ws2_32, user32!MessageBoxW, LoadLibrary*, GetProcAddress, CreateThread,
// WaitForSingleObject and Sleep at journaling wrappers; GetProcAddress hands back
// wrappers for the dbghelp, psapi, toolhelp and tier0 functions the plug-in binds by name.
// Every call gives one journal line, written when it returns:
//
//   <phase> <call> <lock|free> <milliseconds>
//
// where <call> is the function's name, with the library or function asked for in
// parentheses for LoadLibrary* and GetProcAddress, and lock says that the calling thread
// held the loader lock. A watchdog thread starts a thread every 100 ms (a thread start
// needs the loader lock) and, at the end of each phase, journals the longest wait:
//
//   <phase> longest-stall <milliseconds>
//
// and, for the phase that loaded the plug-in, how long its load went on after the
// notification (the attach call, under the lock):
//
//   <phase> attach <milliseconds>
//
// The journal is a file, so a process that ends in a crash still leaves it behind.
#pragma once

#include <windows.h>

#include <filesystem>
#include <string>

namespace world::probe {

// Arms the probe, once per process, for the module whose file name is `plugin` (letter
// case ignored). The journal goes to `journal`. With slowResolverMs, each name lookup
// takes that much longer (a slow name server). False when the system offers no load
// notifications.
bool Arm(const std::wstring& plugin, const std::filesystem::path& journal, DWORD slowResolverMs);
bool Armed();

// Names the journal lines of its scope and journals the longest stall seen in it. Does
// nothing while the probe is not armed.
class Phase {
 public:
  explicit Phase(const char* name);
  ~Phase();
  Phase(const Phase&) = delete;
  Phase& operator=(const Phase&) = delete;
};

}  // namespace world::probe
