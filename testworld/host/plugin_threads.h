// The plug-in's own threads, as the host sees them: every thread it starts, and whether
// each has ended or is parked (inside SignalObjectAndWait, the one wait the plug-in's
// parked threads use). The host waits for them to settle after a start call, so that a
// scenario reads what the update check said without waiting out a guessed time.
#pragma once

#include <windows.h>

namespace world::plugin_threads {

// Points the plug-in's imports of CreateThread and SignalObjectAndWait at recorders
// (after any probe's, which they call through).
void Watch(HMODULE plugin);
// True when every thread the plug-in started has ended or is parked.
bool Settled();

}  // namespace world::plugin_threads
