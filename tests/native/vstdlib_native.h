// The native stand-ins for the engine string functions that Windows-free units call.
#pragma once

// true (the default): Q_stristr ignores letter case, as the engine's search that runs in
// the game does; false: the runtime's case-sensitive strstr, the plug-in's fallback in a
// game without the engine's function.
extern bool g_searchIgnoresCase;

// How many assertion reports the plug-in's code raised (Q_snprintf's negative bound).
extern int g_assertionReports;
