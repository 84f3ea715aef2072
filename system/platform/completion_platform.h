// Completion ports and manual-reset events: the operating-system side of asynchronous reads.
//
// A completion port belongs to one file. Reads are started on it and run while the caller
// works; each finished read leaves one completion on the port, which a waiter takes off in
// the order the system finished them.
//
// Windows: the system's completion port, over a second, overlapped handle of the file (the
// caller's handle does synchronous transfers); every port reports kThreads, and kRing is
// never available. Linux has two back ends:
// - an io_uring instance per port (the default where the kernel offers io_uring with
//   time-limited waits);
// - a queue served by up to kPortWorkers threads of the port's own, each doing pread(2),
//   where io_uring is unavailable (a seccomp filter, kernel.io_uring_disabled, an emulator
//   that answers ENOSYS) or where YR_IO_QUEUE=threads or SetPortBackend asks for it.
//
// Unbuffered files: a read whose buffer, offset or size breaks the alignment the uncached
// path needs goes through a second, cached handle of the same file instead of failing.
// Linux learns the alignment from statx (STATX_DIOALIGN; where the file system does not
// report it, reads go to the system as given); Windows takes 4096 bytes, a multiple of
// every sector size in use.
//
// Lifetime: a port is reference counted (PortRetain/PortRelease); its memory and its system
// resources go with the last reference. PortShutdown ends its use: it waits for every read
// in flight, hands each to the sink, lets go of the file, and from then on reads are refused
// and waits return kClosed at once. The file must stay open until PortShutdown returns.
//
// Events are process-local manual-reset events (system event objects on Windows).
//
// Threads: reads may be started and completions awaited from any thread, concurrently.
#pragma once

#include <cstdint>

#include "system/platform/export.h"
#include "system/platform/file_platform.h"

namespace Yr::Platform {

// ---- Manual-reset events -------------------------------------------------------------------
// A handle to a process-local event: not signalled until EventSet, signalled until
// EventReset. Reference counted so that copied handles stay valid: EventCreate gives one
// reference, EventRetain adds one, EventClose drops one. Handle 0 is never a valid event.
using EventHandle = intptr_t;

YR_API EventHandle EventCreate();
YR_API void EventRetain(EventHandle event);
YR_API void EventClose(EventHandle event);
YR_API void EventSet(EventHandle event);
YR_API void EventReset(EventHandle event);
YR_API bool EventIsSet(EventHandle event);
// Waits until the event is signalled; false when timeoutMs passed first. kWaitForever waits
// without limit.
YR_API bool EventWait(EventHandle event, uint32_t timeoutMs);

constexpr uint32_t kWaitForever = 0xFFFFFFFFu;

// ---- Completion ports ------------------------------------------------------------------------
using PortHandle = intptr_t;  // 0: no port

enum class PortBackend : uint32_t {
  kAuto,     // io_uring where it works, else threads
  kRing,     // io_uring only: PortCreate fails where it does not work
  kThreads,  // the thread-backed queue
};

// Threads a thread-backed port starts at most; reads beyond that wait in its queue.
constexpr uint32_t kPortWorkers = 4;

// Chooses the back end of the ports made from now on (ports already made keep theirs).
// Returns the previous choice. The first choice is kThreads when YR_IO_QUEUE=threads and
// kRing when YR_IO_QUEUE=ring, else kAuto.
YR_API PortBackend SetPortBackend(PortBackend backend);
// Whether this process can make io_uring ports (probed once).
YR_API bool RingAvailable();

// One finished read: the userData given to PortStartRead, the bytes transferred (0 at the
// end of the file) or a negative system error (errno on Linux, the Win32 error code on
// Windows), and the sink's verdict on it.
struct PortCompletion {
  void* userData;
  int64_t result;
  bool succeeded;
};
// Called for every completion taken from a port, on the thread that takes it, before the
// waiter that took it returns; its result becomes the completion's `succeeded`.
using PortSink = bool (*)(const PortCompletion& completion);

// A port for file with one reference; 0 when the system cannot make one.
YR_API PortHandle PortCreate(FileHandle file, PortSink sink);
YR_API void PortRetain(PortHandle port);
YR_API void PortRelease(PortHandle port);
// The back end the port runs on (kRing or kThreads).
YR_API PortBackend PortBackendOf(PortHandle port);

// Starts a read of size bytes at offset into buffer. False when the port is shut down or
// the system refuses to start it; otherwise exactly one completion for userData follows.
YR_API bool PortStartRead(PortHandle port, void* buffer, uint32_t size, uint64_t offset, void* userData);

enum class PortWaitResult : uint32_t { kCompleted, kTimedOut, kClosed };
// Takes the next completion off the port into *out (after handing it to the sink). Gives up
// after timeoutMs (0 polls; kWaitForever waits without limit), and returns kClosed at once
// once the port is shut down.
YR_API PortWaitResult PortWait(PortHandle port, uint32_t timeoutMs, PortCompletion* out);

// Waits for the reads in flight, hands their completions to the sink, then closes the port
// for good: later reads fail and every wait, a waiting one included, returns kClosed.
YR_API void PortShutdown(PortHandle port);

}  // namespace Yr::Platform
