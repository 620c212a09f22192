// The late start-up: console, update check, about text, voice repair, commands.
#pragma once

// Runs at the host's start call on supported builds, inside the attach on any other
// build. Nothing without an engine module.
void StartModule();
