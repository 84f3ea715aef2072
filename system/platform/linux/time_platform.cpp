#include "system/platform/time_platform.h"

#include <errno.h>
#include <sched.h>
#include <sys/prctl.h>
#include <time.h>

#include <atomic>

namespace Yr::Platform {
namespace {

constexpr uint64_t kNanosecondsPerSecond = 1000000000ull;
constexpr long kNanosecondsPerMillisecond = 1000000l;
constexpr unsigned int kMillisecondsPerSecond = 1000u;

}  // namespace

uint64_t ClockNow() {
  if (auto now = Detail::gClockHook.now.load(std::memory_order_acquire)) {
    return now(Detail::gClockHook.context.load(std::memory_order_relaxed));
  }
  struct timespec time;
  ::clock_gettime(CLOCK_MONOTONIC, &time);
  return static_cast<uint64_t>(time.tv_sec) * kNanosecondsPerSecond + static_cast<uint64_t>(time.tv_nsec);
}

uint64_t ClockFrequency() { return kNanosecondsPerSecond; }

void SleepMilliseconds(unsigned int ms) {
  if (Detail::HookedSleep(ms)) return;
  if (ms == 0) {
    ::sched_yield();
    return;
  }
  // An absolute deadline, so a signal that interrupts the sleep (a suspension, say) does
  // not shorten it: the sleep simply resumes towards the same deadline.
  struct timespec deadline;
  ::clock_gettime(CLOCK_MONOTONIC, &deadline);
  deadline.tv_sec += static_cast<time_t>(ms / kMillisecondsPerSecond);
  deadline.tv_nsec += static_cast<long>(ms % kMillisecondsPerSecond) * kNanosecondsPerMillisecond;
  if (deadline.tv_nsec >= static_cast<long>(kNanosecondsPerSecond)) {
    deadline.tv_nsec -= static_cast<long>(kNanosecondsPerSecond);
    ++deadline.tv_sec;
  }
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &deadline, nullptr) == EINTR) {
  }
}

void SleepUntil(uint64_t deadline) {
  if (Detail::HookedSleepUntil(deadline)) return;
  // The default slack of 50 us is added to every timed sleep; 1 ns is the least the
  // kernel takes. It is per thread, so each thread sets it on its first timed wait.
  thread_local bool slackLowered = false;
  if (!slackLowered) {
    ::prctl(PR_SET_TIMERSLACK, 1ul, 0ul, 0ul, 0ul);
    slackLowered = true;
  }
  struct timespec until;
  until.tv_sec = static_cast<time_t>(deadline / kNanosecondsPerSecond);
  until.tv_nsec = static_cast<long>(deadline % kNanosecondsPerSecond);
  while (::clock_nanosleep(CLOCK_MONOTONIC, TIMER_ABSTIME, &until, nullptr) == EINTR) {
  }
}

void SpinPause() {
  if (Detail::HookedSleep(0)) return;
#if defined(__i386__) || defined(__x86_64__)
  __builtin_ia32_pause();
#endif
}

}  // namespace Yr::Platform
