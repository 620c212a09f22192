// The Winsock side of the update check: name resolution and a connection whose
// connect and receives are bounded in time, so a silent server cannot hold start-up.
#pragma once

#include <winsock2.h>

#include "update/update_request.h"

constexpr long kConnectTimeoutMs = 5000;
constexpr long kReceiveTimeoutMs = 5000;

enum class ConnectResult { kConnected, kFailed, kTimedOut };

// The server's IPv4 address from the first entry gethostbyname gives. False when the
// name does not resolve to one.
bool ResolveUpdateServer(const UpdateServer& server, sockaddr_in* address);
// Connects the socket, waiting at most kConnectTimeoutMs. The socket is blocking again
// afterwards.
ConnectResult ConnectBounded(SOCKET socket, const sockaddr_in& address);
// A ReceiveFn (update_exchange.h) over a SOCKET*: waits at most kReceiveTimeoutMs for
// bytes, then receives at most size of them.
int ReceiveBounded(void* socket, char* buffer, int size);
