#include "update/update_connection.h"

#include <cstring>

#include "update/update_exchange.h"

namespace {

timeval Timeout(long milliseconds) {
  timeval value;
  value.tv_sec = milliseconds / 1000;
  value.tv_usec = (milliseconds % 1000) * 1000;
  return value;
}

void SetBlocking(SOCKET socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
}

ConnectResult AwaitConnection(SOCKET socket) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  timeval timeout = Timeout(kConnectTimeoutMs);
  int ready = select(0, nullptr, &writable, &failed, &timeout);
  if (ready == 0) return ConnectResult::kTimedOut;
  if (ready < 0 || FD_ISSET(socket, &failed)) return ConnectResult::kFailed;
  int error = 0;
  int length = sizeof error;
  getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
  return error == 0 ? ConnectResult::kConnected : ConnectResult::kFailed;
}

}  // namespace

bool ResolveUpdateServer(const UpdateServer& server, sockaddr_in* address) {
  hostent* host = gethostbyname(server.host);
  if (!host || host->h_addrtype != AF_INET || !host->h_addr_list || !host->h_addr_list[0])
    return false;
  std::memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(server.port);
  // As many bytes as the entry says, but never more than the address holds.
  size_t length = static_cast<size_t>(host->h_length);
  if (length > sizeof address->sin_addr) length = sizeof address->sin_addr;
  std::memcpy(&address->sin_addr, host->h_addr_list[0], length);
  return true;
}

ConnectResult ConnectBounded(SOCKET socket, const sockaddr_in& address) {
  SetBlocking(socket, false);
  ConnectResult result = ConnectResult::kConnected;
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    result = WSAGetLastError() == WSAEWOULDBLOCK ? AwaitConnection(socket) : ConnectResult::kFailed;
  SetBlocking(socket, true);
  return result;
}

int ReceiveBounded(void* connection, char* buffer, int size) {
  SOCKET socket = *static_cast<SOCKET*>(connection);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval timeout = Timeout(kReceiveTimeoutMs);
  int ready = select(0, &readable, nullptr, nullptr, &timeout);
  if (ready == 0) return kReceiveTimedOut;
  if (ready < 0) return kReceiveFailed;
  int count = recv(socket, buffer, size, 0);
  return count < 0 ? kReceiveFailed : count;
}
