// The update check that every late start-up runs.
#pragma once

// -1 when no connection to the update server could be made, 0 otherwise.
int CheckForUpdates();
