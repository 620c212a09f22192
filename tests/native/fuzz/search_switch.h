// Which search the update units get from Q_stristr in the fuzz target (see the .cpp).
#pragma once

extern bool g_searchIgnoresCase;
