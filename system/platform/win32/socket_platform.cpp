// Local stream sockets over loopback TCP. The system's local-address sockets are missing
// where this runs (the emulated system refuses the address family), so a listener binds
// 127.0.0.1 on a port the system picks and writes a small file at the path: a marker line,
// the port, and a random key. A connector reads the file, connects to the port and sends the
// key first; the listener hands out only connections whose first bytes are the key. So, as
// with a socket file, only processes that can read the path can connect.
#define _CRT_RAND_S  // rand_s: the system's random source, for the key
#include <stdlib.h>

#include <winsock2.h>
#include <ws2tcpip.h>
#include <windows.h>

#include <climits>
#include <cstdio>
#include <cstring>
#include <mutex>

#include "system/platform/socket_platform.h"

namespace Yr::Platform {
namespace {

constexpr int kListenBacklog = 8;
constexpr char kMarker[] = "yr-local-socket";
constexpr size_t kKeyBytes = 16;
// The file: marker, port and key as hex, one per line; anything longer is not ours.
constexpr size_t kMaxFileBytes = 128;
// Connections still owing their key; more wait in the system's backlog.
constexpr size_t kMaxPending = 8;
// A connection that has not sent its key by then is dropped.
constexpr ULONGLONG kKeyDeadlineMs = 2000;
constexpr size_t kMaxListeners = 16;

struct Pending {
  SOCKET socket = INVALID_SOCKET;
  ULONGLONG acceptedAt = 0;
  size_t received = 0;
  unsigned char key[kKeyBytes] = {};
};

struct Listener {
  SOCKET socket = INVALID_SOCKET;
  unsigned char key[kKeyBytes] = {};
  Pending pending[kMaxPending];
};

std::mutex gListenersLock;
Listener gListeners[kMaxListeners];

// Socket handles are kernel handles, whose values the system keeps within 32 bits even on
// 64-bit builds; INVALID_SOCKET narrows to -1, kInvalidSocket.
int ToInt(SOCKET socket) { return socket == INVALID_SOCKET ? kInvalidSocket : static_cast<int>(socket); }
SOCKET ToSocket(int socket) {
  return socket < 0 ? INVALID_SOCKET : static_cast<SOCKET>(static_cast<uintptr_t>(static_cast<unsigned int>(socket)));
}

bool StartSockets() {
  static const bool started = [] {
    WSADATA data;
    return ::WSAStartup(MAKEWORD(2, 2), &data) == 0;
  }();
  return started;
}

bool ValidPath(const char* path) { return path != nullptr && *path != '\0' && std::strlen(path) <= MaxSocketPathLength(); }

// A stream socket that child processes do not inherit.
SOCKET NewSocket() {
  if (!StartSockets()) return INVALID_SOCKET;
  return ::WSASocketW(AF_INET, SOCK_STREAM, IPPROTO_TCP, nullptr, 0, WSA_FLAG_OVERLAPPED | WSA_FLAG_NO_HANDLE_INHERIT);
}

bool SetNonBlocking(SOCKET socket) {
  u_long on = 1;
  return ::ioctlsocket(socket, FIONBIO, &on) == 0;
}

// Tool frames are small: send each at once instead of waiting to coalesce.
void SendAtOnce(SOCKET socket) {
  BOOL on = TRUE;
  ::setsockopt(socket, IPPROTO_TCP, TCP_NODELAY, reinterpret_cast<const char*>(&on), sizeof on);
}

sockaddr_in Loopback(unsigned short port) {
  sockaddr_in address;
  std::memset(&address, 0, sizeof address);
  address.sin_family = AF_INET;
  address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
  address.sin_port = htons(port);
  return address;
}

struct AddressFile {
  unsigned short port = 0;
  unsigned char key[kKeyBytes] = {};
};

void FormatFile(const AddressFile& file, char* text, size_t capacity) {
  int length = std::snprintf(text, capacity, "%s\n%u\n", kMarker, static_cast<unsigned>(file.port));
  for (size_t i = 0; i < kKeyBytes && length > 0; ++i) {
    length += std::snprintf(text + length, capacity - static_cast<size_t>(length), "%02x", file.key[i]);
  }
  std::snprintf(text + length, capacity - static_cast<size_t>(length), "\n");
}

int HexDigit(char c) {
  if (c >= '0' && c <= '9') return c - '0';
  if (c >= 'a' && c <= 'f') return c - 'a' + 10;
  return -1;
}

// Reads path; false when it is missing, unreadable or not an address file.
bool ReadAddressFile(const char* path, AddressFile* out) {
  HANDLE file = ::CreateFileA(path, GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                              OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  char text[kMaxFileBytes + 1];
  DWORD length = 0;
  BOOL read = ::ReadFile(file, text, kMaxFileBytes, &length, nullptr);
  ::CloseHandle(file);
  if (!read) return false;
  text[length] = '\0';
  const size_t markerLength = sizeof kMarker - 1;
  if (std::strncmp(text, kMarker, markerLength) != 0 || text[markerLength] != '\n') return false;
  const char* cursor = text + markerLength + 1;
  unsigned long port = 0;
  int digits = 0;
  for (; *cursor >= '0' && *cursor <= '9' && digits < 6; ++cursor, ++digits) port = port * 10 + static_cast<unsigned long>(*cursor - '0');
  if (digits == 0 || port == 0 || port > USHRT_MAX || *cursor++ != '\n') return false;
  for (size_t i = 0; i < kKeyBytes; ++i) {
    int high = HexDigit(cursor[2 * i]);
    int low = high < 0 ? -1 : HexDigit(cursor[2 * i + 1]);
    if (low < 0) return false;
    out->key[i] = static_cast<unsigned char>(high * 16 + low);
  }
  if (cursor[2 * kKeyBytes] != '\n' || cursor[2 * kKeyBytes + 1] != '\0') return false;
  out->port = static_cast<unsigned short>(port);
  return true;
}

bool NewKey(unsigned char* key) {
  for (size_t i = 0; i < kKeyBytes; i += sizeof(unsigned int)) {
    unsigned int value;
    if (rand_s(&value) != 0) return false;
    std::memcpy(key + i, &value, sizeof value);
  }
  return true;
}

// Writes the address file; never replaces a file that appeared meanwhile.
bool WriteAddressFile(const char* path, const AddressFile& contents) {
  char text[kMaxFileBytes];
  FormatFile(contents, text, sizeof text);
  HANDLE file = ::CreateFileA(path, GENERIC_WRITE, 0, nullptr, CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) return false;
  DWORD length = static_cast<DWORD>(std::strlen(text));
  DWORD written = 0;
  bool whole = ::WriteFile(file, text, length, &written, nullptr) && written == length;
  ::CloseHandle(file);
  if (!whole) ::DeleteFileA(path);
  return whole;
}

Listener* FindListener(SOCKET socket) {
  for (Listener& listener : gListeners) {
    if (listener.socket == socket) return &listener;
  }
  return nullptr;
}

void Drop(Pending& pending) {
  ::closesocket(pending.socket);
  pending = Pending{};
}

// Reads what has come of a pending connection's key; true once all of it is there and right.
// A wrong key, a closed peer or an expired wait drops the connection.
bool KeyArrived(const Listener& listener, Pending& pending, ULONGLONG now) {
  while (pending.received < kKeyBytes) {
    int count = ::recv(pending.socket, reinterpret_cast<char*>(pending.key + pending.received),
                       static_cast<int>(kKeyBytes - pending.received), 0);
    if (count > 0) {
      pending.received += static_cast<size_t>(count);
      continue;
    }
    if (count < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK && now - pending.acceptedAt < kKeyDeadlineMs) return false;
    Drop(pending);
    return false;
  }
  if (std::memcmp(pending.key, listener.key, kKeyBytes) != 0) {
    Drop(pending);
    return false;
  }
  return true;
}

bool WaitFor(SOCKET socket, bool writable, timeval* limit) {
  fd_set set;
  FD_ZERO(&set);
  FD_SET(socket, &set);
  return ::select(0, writable ? nullptr : &set, writable ? &set : nullptr, nullptr, limit) > 0;
}

}  // namespace

size_t MaxSocketPathLength() { return MAX_PATH - 1; }

int ListenLocal(const char* path) {
  if (!ValidPath(path)) return kInvalidSocket;
  // An address file of an earlier run is replaced; any other file is kept.
  DWORD attributes = ::GetFileAttributesA(path);
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    AddressFile stale;
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) || !ReadAddressFile(path, &stale) || !::DeleteFileA(path)) {
      return kInvalidSocket;
    }
  }
  AddressFile contents;
  if (!NewKey(contents.key)) return kInvalidSocket;
  SOCKET socket = NewSocket();
  if (socket == INVALID_SOCKET) return kInvalidSocket;
  // No other socket may take over the port while this one listens.
  BOOL exclusive = TRUE;
  ::setsockopt(socket, SOL_SOCKET, SO_EXCLUSIVEADDRUSE, reinterpret_cast<const char*>(&exclusive), sizeof exclusive);
  sockaddr_in address = Loopback(0);
  int addressLength = sizeof address;
  if (::bind(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      ::listen(socket, kListenBacklog) != 0 || !SetNonBlocking(socket) ||
      ::getsockname(socket, reinterpret_cast<sockaddr*>(&address), &addressLength) != 0) {
    ::closesocket(socket);
    return kInvalidSocket;
  }
  contents.port = ntohs(address.sin_port);

  std::lock_guard<std::mutex> guard(gListenersLock);
  Listener* slot = FindListener(INVALID_SOCKET);
  if (slot == nullptr || !WriteAddressFile(path, contents)) {
    ::closesocket(socket);
    return kInvalidSocket;
  }
  slot->socket = socket;
  std::memcpy(slot->key, contents.key, kKeyBytes);
  return ToInt(socket);
}

void StopListening(int listener, const char* path) {
  if (listener < 0) return;
  SOCKET socket = ToSocket(listener);
  {
    std::lock_guard<std::mutex> guard(gListenersLock);
    if (Listener* slot = FindListener(socket)) {
      for (Pending& pending : slot->pending) {
        if (pending.socket != INVALID_SOCKET) Drop(pending);
      }
      *slot = Listener{};
    }
  }
  ::closesocket(socket);
  if (path && *path) ::DeleteFileA(path);
}

int AcceptPending(int listener) {
  if (listener < 0) return kInvalidSocket;
  std::lock_guard<std::mutex> guard(gListenersLock);
  Listener* slot = FindListener(ToSocket(listener));
  if (slot == nullptr) return kInvalidSocket;
  const ULONGLONG now = ::GetTickCount64();
  // Takes in what waits, as far as there is room, then hands out the first connection whose
  // key has arrived.
  for (Pending& pending : slot->pending) {
    if (pending.socket != INVALID_SOCKET) continue;
    SOCKET socket = ::accept(slot->socket, nullptr, nullptr);
    if (socket == INVALID_SOCKET) break;
    // Accepted sockets inherit the listener's non-blocking mode; said again to be sure.
    SetNonBlocking(socket);
    SendAtOnce(socket);
    pending.socket = socket;
    pending.acceptedAt = now;
  }
  for (Pending& pending : slot->pending) {
    if (pending.socket == INVALID_SOCKET || !KeyArrived(*slot, pending, now)) continue;
    SOCKET socket = pending.socket;
    pending = Pending{};
    return ToInt(socket);
  }
  return kInvalidSocket;
}

int ConnectLocal(const char* path) {
  AddressFile contents;
  if (!ValidPath(path) || !ReadAddressFile(path, &contents)) return kInvalidSocket;
  SOCKET socket = NewSocket();
  if (socket == INVALID_SOCKET) return kInvalidSocket;
  SendAtOnce(socket);
  sockaddr_in address = Loopback(contents.port);
  int socketValue = ToInt(socket);
  if (::connect(socket, reinterpret_cast<const sockaddr*>(&address), sizeof address) != 0 ||
      !SocketSendAll(socketValue, contents.key, kKeyBytes)) {
    ::closesocket(socket);
    return kInvalidSocket;
  }
  return socketValue;
}

long SocketReceive(int socket, void* buffer, size_t capacity) {
  if (socket < 0) return kSocketClosed;
  if (capacity == 0) return kSocketWouldBlock;
  int ask = capacity > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(capacity);
  int received = ::recv(ToSocket(socket), static_cast<char*>(buffer), ask, 0);
  if (received > 0) return received;
  if (received < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return kSocketWouldBlock;
  return kSocketClosed;
}

long SocketSend(int socket, const void* bytes, size_t count) {
  if (socket < 0) return kSocketClosed;
  if (count == 0) return kSocketWouldBlock;
  // The system raises no signal for a peer that has gone: the send just fails.
  int offer = count > static_cast<size_t>(INT_MAX) ? INT_MAX : static_cast<int>(count);
  int sent = ::send(ToSocket(socket), static_cast<const char*>(bytes), offer, 0);
  if (sent > 0) return sent;
  if (sent < 0 && ::WSAGetLastError() == WSAEWOULDBLOCK) return kSocketWouldBlock;
  return kSocketClosed;
}

bool SocketSendAll(int socket, const void* bytes, size_t count) {
  const char* next = static_cast<const char*>(bytes);
  while (count > 0) {
    long sent = SocketSend(socket, next, count);
    if (sent == kSocketClosed) return false;
    if (sent == kSocketWouldBlock) {
      if (!WaitFor(ToSocket(socket), true, nullptr) && ::WSAGetLastError() != WSAEINTR) return false;
      continue;
    }
    next += sent;
    count -= static_cast<size_t>(sent);
  }
  return true;
}

bool SocketWaitReadable(int socket, unsigned int milliseconds) {
  if (socket < 0) return false;
  timeval limit;
  limit.tv_sec = static_cast<long>(milliseconds / 1000);
  limit.tv_usec = static_cast<long>(milliseconds % 1000) * 1000;
  return WaitFor(ToSocket(socket), false, &limit);
}

void SocketClose(int socket) {
  if (socket >= 0) ::closesocket(ToSocket(socket));
}

}  // namespace Yr::Platform
