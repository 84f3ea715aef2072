// Hardware breakpoints of the calling thread: the operating-system side of Breakpoint.
//
// Linux: each of the four slots of a thread is one perf event of type PERF_TYPE_BREAKPOINT
// on that thread alone, opened with sigtrap: a hit sends SIGTRAP (si_code TRAP_PERF) to the
// thread that hit it, which the fault handlers report as a single-step exception. The
// events of a thread are closed when it ends.
// Windows: the slots are the thread's debug registers DR0-DR3 and DR7, written through
// SetThreadContext on the calling thread; a hit raises EXCEPTION_SINGLE_STEP, reported as a
// single step. A new thread starts with all slots clear.
//
// Some virtual machines accept the request and never deliver the trap: ProbeBreakpoints
// tells, by setting a write breakpoint in a forked child and watching it end by SIGTRAP
// (Windows: on a thread of its own, under a vectored handler that catches the hit).
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

constexpr int kBreakpointSlots = 4;

// Access kinds as the processor's 2-bit field has them.
enum class BreakpointAccess : uint32_t { kExecute = 0, kWrite = 1, kIoAccess = 2, kReadWrite = 3 };

// Arms slot (0-3) of the calling thread on one byte at address (an instruction for
// kExecute), replacing what the slot held. False, and the slot unchanged, when the system
// refuses (I/O-port breakpoints always are).
YR_API bool ArmThreadBreakpoint(int slot, uintptr_t address, BreakpointAccess access);
// Disarms slot of the calling thread; nothing when it is not armed.
YR_API void DisarmThreadBreakpoint(int slot);

enum class BreakpointProbe : uint32_t {
  kDelivered,  // a hit raised SIGTRAP (Windows: a single-step exception)
  kRefused,    // the system refuses hardware breakpoints
  kSilent,     // accepted, but the hit never arrived
};
// Runs the probe on the first call and returns its answer from then on.
YR_API BreakpointProbe ProbeBreakpoints();

}  // namespace Yr::Platform
