// The update check's own thread: the game's thread, which runs the host's start call and
// the game's window, never waits on the network.
#pragma once

// Starts the check on a worker that holds a reference to our module for as long as it
// runs; its console messages are held for the game's thread (base/console.h). Does
// nothing while an earlier start's check is still under way: that one reports. Without a
// worker (no thread) there is no check: the game's thread must not wait for it instead.
void StartUpdateWorker();
