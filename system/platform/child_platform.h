// A helper process for the crash path: a small program started from a crashing process
// that does work the crashed process cannot do safely itself (reading debug information
// allocates and takes locks the crashed thread may hold).
//
// StartHelper, SendToHelper, ReceiveFromHelper and StopHelper are safe in a signal handler:
// system calls only, no allocation, no lock. The helper's standard input and output are
// both one end of a connected socket pair; the caller holds the other end. The helper may
// read the caller's /proc files and memory (it is named the caller's tracer where the
// system restricts that).
//
// The helper starts with no descriptor of the caller's but the socket (a caller at its
// descriptor limit would leave its loader none to open libraries with). The helper side
// calls BecomeHelper first thing: it closes what the helper's own start-up opened beyond
// the standard three and lets signals through again.
#pragma once

#include <cstddef>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

struct HelperProcess {
  int process;  // 0 when none runs
  int channel;  // the caller's end of the socket pair
};

// Starts program with arguments (null-terminated, arguments[0] the program's name) and the
// process's environment. False when the socket pair, the process or the program could not
// be had; nothing is left open then.
YR_API bool StartHelper(const char* program, char* const* arguments, HelperProcess& out);
// Sends all bytes; false when the helper is gone or its end is full. Never raises SIGPIPE.
YR_API bool SendToHelper(const HelperProcess& helper, const void* bytes, size_t count);
// Receives exactly count bytes unless the deadline (MonotonicMilliseconds) passes first or
// the helper ends; false then.
YR_API bool ReceiveFromHelper(const HelperProcess& helper, void* bytes, size_t count, uint64_t deadline);
// Closes the channel, ends the helper and collects it.
YR_API void StopHelper(HelperProcess& helper);
// A monotonic clock in milliseconds (no test hook: the crash path's deadlines are real).
YR_API uint64_t MonotonicMilliseconds();

// Helper side: where the requests come in and the answers go out (standard input and
// output), for ReadFileBytes and WriteFileBytes.
constexpr int kHelperInput = 0;
constexpr int kHelperOutput = 1;
// Helper side: descriptors beyond the standard three closed, every signal unblocked.
YR_API void BecomeHelper();

}  // namespace Yr::Platform
