// The late start-up: console, update check, about text, voice repair, commands.
#pragma once

// Runs at the host's first start call (and at a start after a stop), on every build.
// Nothing without an engine module. Returns without waiting for the update check, which
// runs on its own thread (core/update_worker.h).
void StartModule();
