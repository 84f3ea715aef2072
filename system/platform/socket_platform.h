// Local stream sockets for tool connections: a program listens on a path, a tool on the
// same machine connects to it. Only processes that can reach the path (file permissions)
// can connect, and nothing is reachable from another machine.
//
// The listening and accepted ends never block: a program polls them from its frame loop.
// The connecting end (a tool) blocks, with a time-out on waits. The caller owns what it
// opens and closes it; kInvalidSocket is the invalid socket.
//
// Linux: a Unix-domain socket whose file is the path. Windows: loopback TCP on 127.0.0.1
// (local-address sockets are not available everywhere the library runs); the path is a
// small file naming the port and a random key, which a connector sends first, and the
// listener hands out only connections that presented it. A socket is a descriptor on Linux;
// on Windows it is a SOCKET, a kernel handle whose value fits in an int.
#pragma once

#include <cstddef>

#include "system/platform/export.h"

namespace Yr::Platform {

constexpr int kInvalidSocket = -1;

// The longest socket path the system takes, without the NUL.
YR_API size_t MaxSocketPathLength();

// Listens on path, replacing a socket file left there by an earlier run (any other kind of
// file is kept, and listening fails). Returns kInvalidSocket on failure.
YR_API int ListenLocal(const char* path);
// Closes a listening socket and removes its path.
YR_API void StopListening(int listener, const char* path);
// A pending connection, non-blocking, or kInvalidSocket when none waits.
YR_API int AcceptPending(int listener);
// Connects to a program listening on path; the socket blocks. kInvalidSocket on failure.
YR_API int ConnectLocal(const char* path);

// Result of SocketReceive and SocketSend beside a byte count.
constexpr long kSocketWouldBlock = 0;
constexpr long kSocketClosed = -1;

// Up to capacity bytes now received: the count, kSocketWouldBlock when nothing is there
// (non-blocking ends), or kSocketClosed when the peer closed or the socket failed.
YR_API long SocketReceive(int socket, void* buffer, size_t capacity);
// Sends what the system takes now: the count, kSocketWouldBlock, or kSocketClosed. Never
// raises a signal when the peer has gone.
YR_API long SocketSend(int socket, const void* bytes, size_t count);
// Sends every byte on a blocking socket; false when the socket failed.
YR_API bool SocketSendAll(int socket, const void* bytes, size_t count);
// Waits up to milliseconds for bytes (or the peer's close) to read; false on time-out.
YR_API bool SocketWaitReadable(int socket, unsigned int milliseconds);
YR_API void SocketClose(int socket);

}  // namespace Yr::Platform
