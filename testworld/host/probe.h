// The loader-lock probe: what the plug-in calls while the loader holds its lock, as the
// Windows of our players would see it. Wine forgives a network exchange, a wait or a
// thread start inside an entry routine; Windows may deadlock on them.
//
// Armed before the plug-in loads, it registers for DLL load notifications (Wine sends
// them just before the attach call) and, when the plug-in's image arrives, points every
// import of it at a journaling thunk of its own (probe_calls.cpp); GetProcAddress hands
// back such a thunk for every function the plug-in binds by name (the engine's modules,
// dbghelp, ...). Every call gives one journal line, written when it returns (as it is
// made for those that never return: ExitProcess, ExitThread, ...):
//
//   <phase> <call> <lock|free> <milliseconds>
//
// where <call> is the function's name, with the library or function asked for in
// parentheses for LoadLibrary*, GetModuleHandle* and GetProcAddress, and lock says that
// the calling thread held the loader lock. The plug-in's entry routine and TLS callbacks
// are watched too (probe_window.cpp): each process attach or detach, and each thread
// notification that touched the heap, gives
//
//   <phase> window <attach|detach|exit|thread-attach|thread-detach> <lock|free> <heap calls> <milliseconds>
//
// with every heap allocation, release and resize the thread made inside it, whoever made
// it ("exit": the detach of a process that ends). A watchdog thread starts a thread every 100 ms (a thread start
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

// The process ends in a phase of this name: no end of it is journaled.
void FinalPhase(const char* name);

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
