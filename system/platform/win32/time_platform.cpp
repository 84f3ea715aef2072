#include "system/platform/time_platform.h"

#include <windows.h>
#include <mmsystem.h>

#include <atomic>

namespace Yr::Platform {
namespace {

constexpr uint64_t kMillisecondsPerSecond = 1000;
// The timer period asked for while the library is loaded, in milliseconds.
constexpr UINT kTimerPeriod = 1;
// SleepUntil sleeps to this many milliseconds before the deadline and spins the rest: at a
// 1 ms timer period a sleep ends up to about two periods after it was due.
constexpr uint64_t kSpinMilliseconds = 2;
// The longest single Sleep: one more would be INFINITE.
constexpr uint64_t kLongestSleep = INFINITE - 1;

// The counter's frequency is fixed at boot; it is read once.
uint64_t CounterFrequency() {
  static const uint64_t frequency = [] {
    LARGE_INTEGER value;
    return ::QueryPerformanceFrequency(&value) && value.QuadPart > 0 ? static_cast<uint64_t>(value.QuadPart)
                                                                      : uint64_t{1000};
  }();
  return frequency;
}

uint64_t CounterNow() {
  LARGE_INTEGER value;
  ::QueryPerformanceCounter(&value);
  return static_cast<uint64_t>(value.QuadPart);
}

// Whole milliseconds in a tick count, without overflow for any count.
uint64_t TicksToMilliseconds(uint64_t ticks, uint64_t frequency) {
  return ticks / frequency * kMillisecondsPerSecond + ticks % frequency * kMillisecondsPerSecond / frequency;
}

uint64_t MillisecondsToTicks(uint64_t ms, uint64_t frequency) {
  return ms / kMillisecondsPerSecond * frequency + ms % kMillisecondsPerSecond * frequency / kMillisecondsPerSecond;
}

// The system timer runs at a 1 ms period while the library is loaded, so that Sleep and
// every timed wait of the process wake within about a millisecond; the period is given
// back at unload.
class TimerPeriod {
 public:
  TimerPeriod() : mRaised(::timeBeginPeriod(kTimerPeriod) == TIMERR_NOERROR) {}
  ~TimerPeriod() {
    if (mRaised) ::timeEndPeriod(kTimerPeriod);
  }

 private:
  bool mRaised;
};

TimerPeriod gTimerPeriod;

}  // namespace

uint64_t ClockNow() {
  if (auto now = Detail::gClockHook.now.load(std::memory_order_acquire)) {
    return now(Detail::gClockHook.context.load(std::memory_order_relaxed));
  }
  return CounterNow();
}

uint64_t ClockFrequency() { return CounterFrequency(); }

void SleepMilliseconds(unsigned int ms) {
  if (Detail::HookedSleep(ms)) return;
  if (ms == 0) {
    ::Sleep(0);
    return;
  }
  // Sleep may end a little early on a coarse timer; the rest is slept off against the
  // counter, so the sleep lasts the full time.
  const uint64_t deadline = CounterNow() + MillisecondsToTicks(ms, CounterFrequency());
  uint64_t wait = ms;
  for (;;) {
    ::Sleep(static_cast<DWORD>(wait < kLongestSleep ? wait : kLongestSleep));
    const uint64_t now = CounterNow();
    if (now >= deadline) return;
    wait = TicksToMilliseconds(deadline - now, CounterFrequency()) + 1;
  }
}

void SleepUntil(uint64_t deadline) {
  if (Detail::HookedSleepUntil(deadline)) return;
  const uint64_t frequency = CounterFrequency();
  for (uint64_t now = CounterNow(); now < deadline; now = CounterNow()) {
    const uint64_t ms = TicksToMilliseconds(deadline - now, frequency);
    if (ms <= kSpinMilliseconds) break;
    const uint64_t wait = ms - kSpinMilliseconds;
    ::Sleep(static_cast<DWORD>(wait < kLongestSleep ? wait : kLongestSleep));
  }
  // The last stretch on the counter itself: a timed sleep could overshoot it by a period.
  while (CounterNow() < deadline) YieldProcessor();
}

void SpinPause() {
  if (Detail::HookedSleep(0)) return;
  YieldProcessor();
}

}  // namespace Yr::Platform
