// A helper process for the crash path: a small program started from a crashing process
// that does work the crashed process cannot do safely itself (reading debug information
// allocates and takes locks the crashed thread may hold).
//
// StartHelper, SendToHelper, ReceiveFromHelper and StopHelper are safe on the crash path:
// no allocation through the library, no lock of the process's that a crashed thread may
// hold. The helper's standard input and output are both one end of a two-way channel; the
// caller holds the other end. The helper may read the caller's memory and module list.
// The helper starts with nothing of the caller's but its end of the channel, and calls
// BecomeHelper first thing.
//
// Linux: the channel is a connected socket pair; the helper is named the caller's tracer
// where the system restricts reading another process's memory. The calls are system calls
// only and safe in a signal handler. BecomeHelper closes what the helper's own start-up
// opened beyond the standard three descriptors (a caller at its descriptor limit would
// leave the helper's loader none to open libraries with) and lets signals through again.
// Windows: the channel is one duplex named pipe, the caller's end opened for overlapped
// transfers so that every wait has a deadline; only the helper's end is inherited. The
// ints of HelperProcess hold kernel handles, whose values fit in 32 bits on every build.
// BecomeHelper only turns off the system's error dialogs, so that a fault ends the helper
// quietly. Starting the process takes the process heap's lock inside the system: a thread
// that crashed holding it stalls StartHelper, which the crash path's watchdog then ends.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

struct HelperProcess {
  int process;  // 0 when none runs
  int channel;  // the caller's end of the channel
};

// What a helper program's file name ends with on this system.
#if defined(_WIN32)
constexpr const char kProgramSuffix[] = ".exe";
#else
constexpr const char kProgramSuffix[] = "";
#endif

// Starts program with arguments (null-terminated, arguments[0] the program's name) and the
// process's environment. False when the channel, the process or the program could not
// be had; nothing is left open then.
YR_API bool StartHelper(const char* program, char* const* arguments, HelperProcess& out);
// Sends all bytes without waiting; false when the helper is gone or its end is full. Never
// raises SIGPIPE.
YR_API bool SendToHelper(const HelperProcess& helper, const void* bytes, size_t count);
// Receives exactly count bytes unless the deadline (MonotonicMilliseconds) passes first or
// the helper ends; false then.
YR_API bool ReceiveFromHelper(const HelperProcess& helper, void* bytes, size_t count, uint64_t deadline);
// Closes the channel, ends the helper and collects it.
YR_API void StopHelper(HelperProcess& helper);
// A monotonic clock in milliseconds (no test hook: the crash path's deadlines are real).
YR_API uint64_t MonotonicMilliseconds();

// Helper side: the requests come in on standard input and the answers go out on standard
// output. ReadFromCaller reads up to capacity bytes and returns the count, 0 once the
// caller has closed its end, -1 on an error; WriteToCaller writes all bytes.
YR_API ptrdiff_t ReadFromCaller(void* buffer, size_t capacity);
YR_API bool WriteToCaller(const void* bytes, size_t count);
// Helper side, first thing: see above.
YR_API void BecomeHelper();

}  // namespace Yr::Platform
