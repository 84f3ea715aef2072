// Shared by the Win32 facilities of the crash path: the thread that runs the crash report.
//
// RunOnCrashStack hands the report to a fresh thread (the faulting thread's stack may be
// used up). That thread stands in for the faulting one: OwnThreadId answers the faulting
// thread's id there, so the report's latch, its lock and the dump see the thread that
// crashed; RealThreadId is the system's id of the calling thread.
#pragma once

#include <atomic>
#include <cstdint>

namespace Yr::Platform::Win32 {

struct CrashWorker {
  std::atomic<uint32_t> worker{0};     // system id of the thread running the report, 0 when none
  std::atomic<uint32_t> standsFor{0};  // the thread that handed it the work
};
extern CrashWorker gCrashWorker;

// The system's id of the calling thread, whatever thread it stands in for.
uint32_t RealThreadId();

// The watchdog thread (0 until a crash starts it); snapshots of other threads leave it
// running.
extern std::atomic<uint32_t> gWatchdogThread;

}  // namespace Yr::Platform::Win32
