// The crash handler: the process's unhandled-exception filter and what it writes.
//
// The filter is a set of signal handlers (SIGSEGV, SIGBUS, SIGFPE, SIGILL, SIGTRAP,
// SIGABRT) on an alternate stack (Windows: the unhandled-exception filter; see
// signal_platform.h), installed when the library loads and again by
// SetUnhandledExceptionHandler. A fault writes the crash report (exception code, symbolised
// address and stack, registers) and a minidump beside it, then ends the process with exit
// code 1 without running exit handlers. The mapping from signals to exception codes is
// documented at Platform::ExceptionCodeFor.
//
// The crash path takes no lock the crashed thread (or a thread stopped for the dump) may
// hold, so a fault inside the C library's allocator or with any lock held still leaves its
// report and dump: it writes from buffers prepared at load on a stack of the library's own;
// symbols and call-frame rules come from the symbol helper, a process of its own
// (crash_symbols.h); the date comes from time-zone offsets read at load; it waits for the
// report lock only a bounded time and flushes standard output only when that is free; and
// its files open at the descriptor limit too, in the room of descriptors kept since load.
// A watchdog still ends a report that hangs all the same. A second
// fault while the first is reported ends the process at once with exit code 1 (the latch
// BugReport::sAbnormalShutdown, taken atomically); a fault on another thread meanwhile
// waits for the first report to finish.
//
// The stack section walks frame pointers from the faulting frame. Where the faulting
// function keeps no frame record (a leaf of optimised code), its return address comes from
// the module's call-frame information; where the faulting code keeps no frame pointer at
// all (the C library, where abort faults), the walk starts at the first intact frame record
// above the stack pointer.
//
// Threads other than the faulting one get an alternate stack by calling
// Platform::EnsureAlternateSignalStack; without one, their stack overflow ends the process
// without a report.
#pragma once

#include <cstdint>

#include "system/debug/bug_report.h"
#include "system/platform/export.h"

namespace Yr {

// What an exception filter receives: the signal's information (a siginfo_t; Windows: the
// EXCEPTION_RECORD; may be null) and the faulting thread's context (a ucontext_t; Windows:
// the CONTEXT).
struct ExceptionPointers {
  const void* signalInfo;
  void* context;
};

namespace Detail {
// Seconds a crash report may take before the watchdog ends the process.
constexpr unsigned int kCrashReportSeconds = 60;
// Name of a known exception code, or null.
YR_API const char* ExceptionCodeName(uint32_t code);
}  // namespace Detail

}  // namespace Yr
