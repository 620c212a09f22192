// The late start-up: console, update check, about text, voice repair, commands.
#pragma once

// Runs at the host's first start call (and at a start after a stop), on every build.
// Nothing without an engine module.
void StartModule();
