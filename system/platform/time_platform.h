// The high-resolution clock and sleeping.
//
// The clock counts ticks of ClockFrequency per second; callers convert with it and assume
// no unit. On Linux it is the monotonic clock in nanoseconds (1e9 ticks per second), and
// short sleeps need no set-up: high-resolution timers are the default. On Windows it is the
// performance counter at its own frequency, and the library raises the system timer's
// resolution to 1 ms while it is loaded (timeBeginPeriod at load, timeEndPeriod at unload).
//
// Tests replace the clock and the sleep through SetClockHook, so that code which measures
// time can be driven with exact tick values. Install or remove the hook while no other
// thread reads the clock.
#pragma once

#include <atomic>
#include <cstdint>

#include "system/platform/export.h"

namespace Yr::Platform {

// The monotonic counter in ticks, or the hook's value while one is installed.
YR_API uint64_t ClockNow();
// Ticks per second of ClockNow.
YR_API uint64_t ClockFrequency();

// Sleeps the calling thread for ms milliseconds, the full time even when signals interrupt
// the sleep or the system's timer wakes it early; 0 gives up the rest of the time slice
// instead. Goes to the hook while one is installed.
YR_API void SleepMilliseconds(unsigned int ms);

// Sleeps the calling thread until ClockNow reaches `deadline` (an absolute tick value);
// returns at once when it already has. On Linux the first call on a thread lowers that
// thread's timer slack to the minimum, so the wake-up comes as soon after the deadline as
// the scheduler allows; on Windows it sleeps to 2 ms before the deadline and spins the
// rest on the counter. While the hook's sleep is installed, the whole milliseconds left go
// to it instead (nothing when less than one is left).
YR_API void SleepUntil(uint64_t deadline);
// One step of a busy wait: a processor pause; while the hook's sleep is installed, a call
// of sleep(context, 0), so that a hooked clock moves on.
YR_API void SpinPause();

// Test hook: while `now` is set, ClockNow returns now(context); while `sleep` is set,
// SleepMilliseconds calls sleep(context, ms) instead of sleeping. Returns the previous hook.
struct ClockHook {
  uint64_t (*now)(void* context);
  void (*sleep)(void* context, unsigned int ms);
  void* context;
};
YR_API ClockHook SetClockHook(ClockHook hook);

namespace Detail {
// The installed hook, read by each system's clock and sleeps without a lock on every call.
struct ClockHookState {
  std::atomic<uint64_t (*)(void*)> now{nullptr};
  std::atomic<void (*)(void*, unsigned int)> sleep{nullptr};
  std::atomic<void*> context{nullptr};
};
extern ClockHookState gClockHook;
// While the hook's sleep is installed, these do the call's work through it and return
// true; otherwise they return false and the system sleeps.
bool HookedSleep(unsigned int ms);
bool HookedSleepUntil(uint64_t deadline);
}  // namespace Detail

}  // namespace Yr::Platform
