// The Winsock side of the update check: name resolution and a connection whose every
// wait is bounded, so that no server (or name server) can hold start-up past the
// check's deadline.
#pragma once

#include <winsock2.h>

#include <cstdint>

#include "update/connection_io.h"
#include "update/update_request.h"

// How a step towards the server ended.
enum class Reach { kDone, kFailed, kTimedOut };

// The server's IPv4 address from the first entry gethostbyname gives. The lookup runs
// on a thread of its own and the wait for it ends after waitMs; a late lookup finishes
// on its own and touches nothing of ours.
Reach ResolveUpdateServer(const UpdateServer& server, sockaddr_in* address, uint32_t waitMs);
// Connects the socket, waiting at most waitMs. The socket is blocking again afterwards.
Reach ConnectBounded(SOCKET socket, const sockaddr_in& address, uint32_t waitMs);
// The connection the exchange reads from: receives over *socket, GetTickCount's clock.
Connection SocketConnection(SOCKET* socket);
