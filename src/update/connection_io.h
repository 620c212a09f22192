// The connection to the update server as the exchange sees it: a receive that waits at
// most the time it is given, and the clock the waits are measured on. The Winsock side
// (update_connection.h) and the scripted connections of the tests provide it.
#pragma once

#include <cstdint>

// What one receive gives: a positive count of bytes, or one of these.
constexpr int kReceiveClosed = 0;
constexpr int kReceiveFailed = -1;
constexpr int kReceiveTimedOut = -2;

struct Connection {
  void* context;
  // Waits at most waitMs for bytes, then receives at most size of them.
  int (*receive)(void* context, char* buffer, int size, uint32_t waitMs);
  // Milliseconds on a tick that wraps, as GetTickCount's does.
  uint32_t (*now)(void* context);
};
