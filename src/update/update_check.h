// The update check that every late start-up runs: one HTTP/1.0 exchange with the
// update server, its verdict in the console, and a verified newer build put in place
// of our own file for the next start.
#pragma once

// Result when no connection could be made (or the server never answered in time).
constexpr int kUpdateCheckUnreachable = -1;

// -1 when no connection to the update server could be made or it timed out before
// answering, 0 otherwise. The server's address is the environment variable
// MURMELON_UPDATE_HOST when set, the build's default otherwise: "host" or "host:port".
// Until a verdict or "DATA:" the check runs at most kCheckLimitMs, and with a download at
// most kDownloadLimitMs in all (check_clock.h). It runs on a worker of its own (never on
// the game's thread, never under the loader lock: it starts and waits for threads), and
// what it prints is held for the game's thread (base/console.h).
int CheckForUpdates();
