#include "system/platform/socket_platform.h"

#include <fcntl.h>
#include <poll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

namespace Yr::Platform {

namespace {

constexpr int kListenBacklog = 8;

bool FillAddress(const char* path, sockaddr_un& address) {
  if (path == nullptr || *path == '\0') return false;
  const size_t length = std::strlen(path);
  if (length >= sizeof address.sun_path) return false;
  std::memset(&address, 0, sizeof address);
  address.sun_family = AF_UNIX;
  std::memcpy(address.sun_path, path, length + 1);
  return true;
}

bool IsWouldBlock(int error) { return error == EAGAIN || error == EWOULDBLOCK; }

}  // namespace

size_t MaxSocketPathLength() { return sizeof(sockaddr_un::sun_path) - 1; }

int ListenLocal(const char* path) {
  sockaddr_un address;
  if (!FillAddress(path, address)) return kInvalidSocket;
  // A socket file of an earlier run that ended without closing would make bind fail.
  struct stat status;
  if (::lstat(path, &status) == 0) {
    if (!S_ISSOCK(status.st_mode)) return kInvalidSocket;
    ::unlink(path);
  }
  int listener = ::socket(AF_UNIX, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
  if (listener < 0) return kInvalidSocket;
  if (::bind(listener, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(listener, kListenBacklog) != 0) {
    ::close(listener);
    return kInvalidSocket;
  }
  return listener;
}

void StopListening(int listener, const char* path) {
  if (listener < 0) return;
  ::close(listener);
  if (path && *path) ::unlink(path);
}

int AcceptPending(int listener) {
  if (listener < 0) return kInvalidSocket;
  int socket;
  do {
    socket = ::accept4(listener, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
  } while (socket < 0 && errno == EINTR);
  return socket < 0 ? kInvalidSocket : socket;
}

int ConnectLocal(const char* path) {
  sockaddr_un address;
  if (!FillAddress(path, address)) return kInvalidSocket;
  int socket = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
  if (socket < 0) return kInvalidSocket;
  int result;
  do {
    result = ::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address);
  } while (result != 0 && errno == EINTR);
  if (result != 0) {
    ::close(socket);
    return kInvalidSocket;
  }
  return socket;
}

long SocketReceive(int socket, void* buffer, size_t capacity) {
  if (socket < 0) return kSocketClosed;
  if (capacity == 0) return kSocketWouldBlock;
  ssize_t received;
  do {
    received = ::recv(socket, buffer, capacity, 0);
  } while (received < 0 && errno == EINTR);
  if (received > 0) return static_cast<long>(received);
  if (received < 0 && IsWouldBlock(errno)) return kSocketWouldBlock;
  return kSocketClosed;
}

long SocketSend(int socket, const void* bytes, size_t count) {
  if (socket < 0) return kSocketClosed;
  if (count == 0) return kSocketWouldBlock;
  ssize_t sent;
  do {
    sent = ::send(socket, bytes, count, MSG_NOSIGNAL);
  } while (sent < 0 && errno == EINTR);
  if (sent > 0) return static_cast<long>(sent);
  if (sent < 0 && IsWouldBlock(errno)) return kSocketWouldBlock;
  return kSocketClosed;
}

bool SocketSendAll(int socket, const void* bytes, size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    long sent = SocketSend(socket, next, count);
    if (sent == kSocketClosed) return false;
    if (sent == kSocketWouldBlock) {
      pollfd entry = {socket, POLLOUT, 0};
      if (::poll(&entry, 1, -1) < 0 && errno != EINTR) return false;
      continue;
    }
    next += sent;
    count -= static_cast<size_t>(sent);
  }
  return true;
}

bool SocketWaitReadable(int socket, unsigned int milliseconds) {
  if (socket < 0) return false;
  pollfd entry = {socket, POLLIN, 0};
  int ready;
  do {
    ready = ::poll(&entry, 1, static_cast<int>(milliseconds));
  } while (ready < 0 && errno == EINTR);
  return ready > 0;
}

void SocketClose(int socket) {
  if (socket >= 0) ::close(socket);
}

}  // namespace Yr::Platform
