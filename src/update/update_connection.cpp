#include "update/update_connection.h"

#include <windows.h>

#include <cstring>
#include <new>

namespace {

timeval Timeout(uint32_t milliseconds) {
  timeval value;
  value.tv_sec = static_cast<long>(milliseconds / 1000);
  value.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
  return value;
}

void SetBlocking(SOCKET socket, bool blocking) {
  u_long nonBlocking = blocking ? 0 : 1;
  ioctlsocket(socket, FIONBIO, &nonBlocking);
}

Reach AwaitConnection(SOCKET socket, uint32_t waitMs) {
  fd_set writable, failed;
  FD_ZERO(&writable);
  FD_ZERO(&failed);
  FD_SET(socket, &writable);
  FD_SET(socket, &failed);
  timeval timeout = Timeout(waitMs);
  int ready = select(0, nullptr, &writable, &failed, &timeout);
  if (ready == 0) return Reach::kTimedOut;
  if (ready < 0 || FD_ISSET(socket, &failed)) return Reach::kFailed;
  int error = 0;
  int length = sizeof error;
  getsockopt(socket, SOL_SOCKET, SO_ERROR, reinterpret_cast<char*>(&error), &length);
  return error == 0 ? Reach::kDone : Reach::kFailed;
}

int ReceiveBounded(void* connection, char* buffer, int size, uint32_t waitMs) {
  SOCKET socket = *static_cast<SOCKET*>(connection);
  fd_set readable;
  FD_ZERO(&readable);
  FD_SET(socket, &readable);
  timeval timeout = Timeout(waitMs);
  int ready = select(0, &readable, nullptr, nullptr, &timeout);
  if (ready == 0) return kReceiveTimedOut;
  if (ready < 0) return kReceiveFailed;
  int count = recv(socket, buffer, size, 0);
  return count < 0 ? kReceiveFailed : count;
}

uint32_t TickCount(void*) { return GetTickCount(); }

bool LookUp(const char* host, in_addr* address) {
  hostent* entry = gethostbyname(host);
  if (!entry || entry->h_addrtype != AF_INET || !entry->h_addr_list || !entry->h_addr_list[0])
    return false;
  // As many bytes as the entry says, but never more than the address holds.
  size_t length = static_cast<size_t>(entry->h_length);
  if (length > sizeof *address) length = sizeof *address;
  std::memset(address, 0, sizeof *address);
  std::memcpy(address, entry->h_addr_list[0], length);
  return true;
}

// One lookup on a worker. The block is shared by the waiting thread and the worker and
// freed by whichever lets go last, so a worker that outlives the wait writes only into
// memory that is still its own.
struct Lookup {
  volatile LONG references;
  HMODULE pin;  // our module, held for the worker: its code must stay until it ends
  char host[kHostNameSize];
  bool found;
  in_addr address;
};

void Release(Lookup* lookup) {
  if (InterlockedDecrement(&lookup->references) == 0) delete lookup;
}

DWORD WINAPI LookUpOnWorker(void* parameter) {
  auto* lookup = static_cast<Lookup*>(parameter);
  HMODULE pin = lookup->pin;
  // Winsock counts its users: with a start of its own, the worker keeps it alive even
  // when the check has already ended and cleaned up its own start.
  WSADATA data;
  if (WSAStartup(MAKEWORD(2, 2), &data) == 0) {
    lookup->found = LookUp(lookup->host, &lookup->address);
    WSACleanup();
  }
  Release(lookup);
  // Lets go of our module and ends the thread in one call, which returns into no code
  // of ours: the module may be unloaded the moment the reference is gone.
  FreeLibraryAndExitThread(pin, 0);
}

// Without a worker (no memory, no thread) the check gives up rather than wait unbounded.
Reach ResolveOnWorker(const char* host, in_addr* address, uint32_t waitMs) {
  auto* lookup = new (std::nothrow) Lookup();
  if (!lookup) return Reach::kFailed;
  lookup->references = 2;
  std::memcpy(lookup->host, host, sizeof lookup->host);
  if (!GetModuleHandleExW(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS,
                          reinterpret_cast<LPCWSTR>(&LookUpOnWorker), &lookup->pin)) {
    delete lookup;
    return Reach::kFailed;
  }
  HANDLE thread = CreateThread(nullptr, 0, LookUpOnWorker, lookup, 0, nullptr);
  if (!thread) {
    FreeLibrary(lookup->pin);
    delete lookup;
    return Reach::kFailed;
  }
  DWORD waited = WaitForSingleObject(thread, waitMs);
  CloseHandle(thread);
  Reach result = Reach::kTimedOut;
  if (waited == WAIT_OBJECT_0) {
    result = lookup->found ? Reach::kDone : Reach::kFailed;
    *address = lookup->address;
  }
  Release(lookup);
  return result;
}

}  // namespace

Reach ResolveUpdateServer(const UpdateServer& server, sockaddr_in* address, uint32_t waitMs) {
  in_addr found = {};
  Reach result = ResolveOnWorker(server.host, &found, waitMs);
  if (result != Reach::kDone) return result;
  std::memset(address, 0, sizeof *address);
  address->sin_family = AF_INET;
  address->sin_port = htons(server.port);
  address->sin_addr = found;
  return result;
}

Reach ConnectBounded(SOCKET socket, const sockaddr_in& address, uint32_t waitMs) {
  SetBlocking(socket, false);
  Reach result = Reach::kDone;
  if (connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0)
    result = WSAGetLastError() == WSAEWOULDBLOCK ? AwaitConnection(socket, waitMs) : Reach::kFailed;
  SetBlocking(socket, true);
  return result;
}

Connection SocketConnection(SOCKET* socket) { return Connection{socket, ReceiveBounded, TickCount}; }
