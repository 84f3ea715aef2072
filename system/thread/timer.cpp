#include "system/thread/timer.h"

#include <atomic>
#include <cmath>
#include <cstring>

#include "system/platform/time_platform.h"

namespace Yr {

float Timer::gFreq = 0.0f;

namespace {

constexpr float kMillisecondsPerSecond = 1000.0f;
// A frame this far from the average (in seconds) is a jump and stays out of the history;
// no delta beyond it is reported either.
constexpr float kJumpSeconds = 1.0f;
constexpr float kMaxDeltaTime = 1.0f;
// What the history holds after a jump that leaves a single sample.
constexpr float kJumpHistoryValue = 1.0f;
// Length of an FPS window in seconds.
constexpr float kFpsWindowSeconds = 1.0f;

// The time base. Several threads may race for the first call; all of them agree on one base.
constexpr uint64_t kNoBase = ~uint64_t{0};
std::atomic<uint64_t> gTimeBase{kNoBase};

// Rounds a product to float. The x87 unit of a 32-bit build keeps products in extended
// precision, casts included; a store to memory is what rounds them, so that every build
// computes the same seconds (1.5 s of ticks are exactly 1.5 s, and 1500 ms, everywhere).
inline float AsFloat(float value) {
#if defined(__i386__) && !defined(__SSE2_MATH__)
  volatile float stored = value;
  return stored;
#else
  return value;
#endif
}

float TicksToSeconds(uint64_t ticks) { return AsFloat(static_cast<float>(ticks) * Timer::gFreq); }

// The frame lock sleeps to a point this far before the frame's end and spins the rest.
// The margin tracks the 95th percentile of the wake-up lateness this thread actually sees
// (a running quantile estimate: up by 19 steps after a later wake-up, down by one after an
// earlier one), so rare long delays do not make every frame spin. Seconds.
constexpr double kMinSpinMargin = 10e-6;
constexpr double kMaxSpinMargin = 300e-6;  // past this, spinning costs more than it saves
constexpr double kStartSpinMargin = 100e-6;
constexpr double kMarginStep = 1e-6;
constexpr double kMarginQuantile = 0.95;
thread_local double tSpinMargin = kStartSpinMargin;

void LearnLateness(double lateness) {
  double margin = tSpinMargin;
  if (lateness > margin) margin += kMarginStep * kMarginQuantile / (1.0 - kMarginQuantile);
  else margin -= kMarginStep;
  tSpinMargin = margin < kMinSpinMargin ? kMinSpinMargin : margin > kMaxSpinMargin ? kMaxSpinMargin : margin;
}

}  // namespace

unsigned long long Timer::GetNowTime() { return Platform::ClockNow(); }

unsigned long long Timer::GetTime() {
  const uint64_t now = Platform::ClockNow();
  uint64_t base = gTimeBase.load(std::memory_order_acquire);
  if (base == kNoBase) {
    uint64_t expected = kNoBase;
    base = gTimeBase.compare_exchange_strong(expected, now, std::memory_order_acq_rel) ? now : expected;
  }
  return now - base;
}

float Timer::GetThisTime() { return TicksToSeconds(GetTime()); }

unsigned int Timer::GetMs() { return static_cast<unsigned int>(AsFloat(kMillisecondsPerSecond * GetThisTime())); }

void Timer::Sleep(unsigned int ms) { Platform::SleepMilliseconds(ms); }

// mDeltaTime and mHistory are given values only so that nothing reads indeterminate
// memory; the first Update overwrites the delta, and only mSamples history entries are read.
Timer::Timer()
    : mElapsedTime(0.0f),
      mLastTime(GetTime()),
      mSamples(0),
      mFPSLock(0.0f),
      mFPSLockRate(1.0f),
      mFrameCount(0),
      mFrameTime(0.0f),
      mFPS(0.0f),
      mFrameTotal(0.0f),
      mDeltaTime(0.0f),
      mHistory{} {}

void Timer::LockFPS(float fps) {
  mFPSLock = std::fabs(fps);
  if (mFPSLock > 0.0f) mFPSLockRate = 1.0f / mFPSLock;
}

void Timer::Update() {
  uint64_t now = GetTime();
  mDeltaTime = TicksToSeconds(now - mLastTime);

  if (mFPSLock > 0.0f) {
    // Sleep to an absolute point a margin before the frame's end, then spin the margin off
    // on the clock itself: the frame lasts at least the locked time, measured from the
    // previous Update, and the wait costs the processor only the spun stretch.
    const float remaining = AsFloat(mFPSLockRate - mDeltaTime);
    const double sleepSeconds = static_cast<double>(remaining) - tSpinMargin;
    if (sleepSeconds > 0.0) {
      const uint64_t ticks = static_cast<uint64_t>(sleepSeconds / static_cast<double>(gFreq));
      const uint64_t wake = Platform::ClockNow() + ticks;
      Platform::SleepUntil(wake);
      const uint64_t woke = Platform::ClockNow();
      LearnLateness(woke >= wake ? static_cast<double>(woke - wake) * static_cast<double>(gFreq)
                                 : -static_cast<double>(wake - woke) * static_cast<double>(gFreq));
      now = GetTime();
      mDeltaTime = TicksToSeconds(now - mLastTime);
    }
    while (mDeltaTime < mFPSLockRate) {
      Platform::SpinPause();
      now = GetTime();
      mDeltaTime = TicksToSeconds(now - mLastTime);
    }
  }
  mLastTime = now;

  // Smoothing history, against the previous average.
  if (std::fabs(mDeltaTime - mElapsedTime) < kJumpSeconds) {
    std::memmove(&mHistory[1], &mHistory[0], (kHistorySize - 1) * sizeof mHistory[0]);
    mHistory[0] = mDeltaTime;
    if (mSamples < kHistorySize) ++mSamples;
  } else if (mSamples > 1) {
    --mSamples;
  } else if (mSamples == 1) {
    mHistory[0] = kJumpHistoryValue;
  }

  ++mFrameCount;
  mFrameTotal += mDeltaTime;
  if (mFrameTotal > kFpsWindowSeconds) {
    mFrameTime = mFrameTotal / static_cast<float>(mFrameCount);
    mFPS = 1.0f / mFrameTime;
    mFrameCount = 0;
    mFrameTotal = 0.0f;
  }

  float sum = 0.0f;
  for (unsigned int i = 0; i < mSamples; ++i) sum += mHistory[i];
  mElapsedTime = mSamples ? sum / static_cast<float>(mSamples) : 0.0f;

  if (mDeltaTime > kMaxDeltaTime) mDeltaTime = kMaxDeltaTime;
}

TimeStatictics::TimeStatictics(float* sink, unsigned int* counter) : mSink(sink), mCounter(counter), mStart(0.0f) {
  if (mSink) mStart = Timer::GetThisTime();
}

TimeStatictics::~TimeStatictics() {
  if (mSink) *mSink += Timer::GetThisTime() - mStart;
  if (mCounter) ++*mCounter;
}

namespace Detail {

// The counter runs at a fixed frequency, read from the platform layer (which also sees to
// the timer resolution short sleeps need).
void BuildTimerFrequency() { Timer::gFreq = static_cast<float>(1.0 / static_cast<double>(Platform::ClockFrequency())); }

}  // namespace Detail
}  // namespace Yr
