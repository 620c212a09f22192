// The native stand-ins for the engine string functions that Windows-free units call.
#pragma once

// false (the default): Q_stristr is the runtime's case-sensitive search, as in a game
// without the engine's library; true: it ignores letter case, as the engine's does.
extern bool g_searchIgnoresCase;
