#include "system/thread/timer.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

#include "system/platform/time_platform.h"

namespace {

using Yr::Timer;

// The fake clock runs at the real clock's frequency, which differs between systems (1e9 on
// Linux, the performance counter's on Windows): every tick count derives from it.
const uint64_t kTicksPerSecond = Yr::Platform::ClockFrequency();
const uint64_t kTicksPerMs = kTicksPerSecond / 1000;
// A tenth of a millisecond: the unit of the exact frame lengths below.
const uint64_t kTenthMs = kTicksPerMs / 10;
// Ticks one yield of the spin loop takes on the fake clock.
const uint64_t kYieldTicks = kTenthMs;
// Averages are float sums: equal to within rounding, far below any frame-time difference.
constexpr float kAverageTolerance = 1e-6f;

// Seconds of a tick count, the way the timer converts them.
float Seconds(uint64_t ticks) { return static_cast<float>(ticks) * Timer::gFreq; }

// Drives the timer's clock with exact tick values: sleeps advance it by exactly what was
// asked, a yield by kYieldTicks.
class TimerTest : public testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(kTicksPerSecond % 10'000, 0u) << "the exact frame lengths need whole tenths of a millisecond";
    mPrevious = Yr::Platform::SetClockHook({&Now, &Sleep, this});
    mNow = kTicksPerSecond * 1000;
    // Where the time base lies on this clock (it was fixed by the first GetTime call).
    mBase = mNow - Timer::GetTime();
  }
  void TearDown() override { Yr::Platform::SetClockHook(mPrevious); }

  static uint64_t Now(void* context) { return static_cast<TimerTest*>(context)->mNow; }
  static void Sleep(void* context, unsigned int ms) {
    auto* test = static_cast<TimerTest*>(context);
    test->mSleeps.push_back(ms);
    test->mNow += ms ? ms * kTicksPerMs : kYieldTicks;
  }
  // One frame that took `ticks` before Update was called.
  void Frame(Timer& timer, uint64_t ticks) {
    mNow += ticks;
    timer.Update();
  }

  Yr::Platform::ClockHook mPrevious{};
  uint64_t mNow = 0;
  uint64_t mBase = 0;
  std::vector<unsigned int> mSleeps;
};

TEST_F(TimerTest, TimeQueriesCountFromTheBase) {
  EXPECT_EQ(Timer::gFreq, static_cast<float>(1.0 / static_cast<double>(kTicksPerSecond)));  // set at load
  EXPECT_EQ(Timer::GetNowTime(), mNow);
  mNow = mBase + 1'500 * kTicksPerMs;
  EXPECT_EQ(Timer::GetTime(), 1'500 * kTicksPerMs);
  EXPECT_EQ(Timer::GetThisTime(), 1.5f);
  EXPECT_EQ(Timer::GetMs(), 1500u);
  mNow = mBase + kTicksPerMs - 1;
  EXPECT_EQ(Timer::GetMs(), 0u);  // truncated
  Timer::Sleep(7);
  EXPECT_EQ(mSleeps, std::vector<unsigned int>{7});
}

TEST_F(TimerTest, LockFPSTakesTheMagnitudeAndZeroKeepsTheRate) {
  Timer timer;
  EXPECT_FALSE(timer.IsLockedFPS());
  EXPECT_EQ(timer.GetFPSLock(), 0.0f);
  EXPECT_EQ(timer.GetFPSLockRate(), 1.0f);
  EXPECT_EQ(timer.GetFPS(), 0.0f);
  EXPECT_EQ(timer.GetElapsedTime(), 0.0f);
  timer.LockFPS(-30.0f);
  EXPECT_TRUE(timer.IsLockedFPS());
  EXPECT_EQ(timer.GetFPSLock(), 30.0f);
  EXPECT_FLOAT_EQ(timer.GetFPSLockRate(), 1.0f / 30.0f);
  timer.LockFPS(0.0f);
  EXPECT_FALSE(timer.IsLockedFPS());
  EXPECT_FLOAT_EQ(timer.GetFPSLockRate(), 1.0f / 30.0f);
  // Unlocked, Update neither sleeps nor spins.
  Frame(timer, 3 * kTicksPerMs);
  EXPECT_TRUE(mSleeps.empty());
  EXPECT_EQ(timer.GetDeltaTime(), Seconds(3 * kTicksPerMs));
}

TEST_F(TimerTest, SteadyFramesGiveTheFrameRateAfterOneSecond) {
  const uint64_t kFrame = kTicksPerSecond / 60;
  Timer timer;
  int frames = 0;
  while (timer.GetFPS() == 0.0f && frames < 100) {
    Frame(timer, kFrame);
    ++frames;
  }
  // The window closes on the first frame whose total passes one second.
  EXPECT_GE(frames, 60);
  EXPECT_LE(frames, 61);
  EXPECT_NEAR(timer.GetFPS(), 60.0f, 1e-3f);
  EXPECT_NEAR(timer.GetElapsedTime(), Seconds(kFrame), kAverageTolerance);
  EXPECT_EQ(timer.GetDeltaTime(), Seconds(kFrame));

  // The average covers the 50 newest frames only.
  Timer history;
  for (int i = 0; i < 50; ++i) Frame(history, 10 * kTicksPerMs);
  for (int i = 0; i < 49; ++i) Frame(history, 20 * kTicksPerMs);
  EXPECT_NEAR(history.GetElapsedTime(), 0.0198f, kAverageTolerance);
  Frame(history, 20 * kTicksPerMs);
  EXPECT_NEAR(history.GetElapsedTime(), 0.020f, kAverageTolerance);
}

TEST_F(TimerTest, LongFramesAreClampedAndKeptOutOfTheHistory) {
  Timer timer;
  for (uint64_t ms : {10, 20, 30, 40}) Frame(timer, ms * kTicksPerMs);
  EXPECT_NEAR(timer.GetElapsedTime(), 0.025f, kAverageTolerance);
  Frame(timer, 5 * kTicksPerSecond);
  EXPECT_EQ(timer.GetDeltaTime(), 1.0f);
  // One sample fewer: the oldest (10 ms) drops out of the average.
  EXPECT_NEAR(timer.GetElapsedTime(), 0.030f, kAverageTolerance);
  // The FPS window counts the frame unclamped: 5.1 s over 5 frames.
  EXPECT_NEAR(timer.GetFPS(), 5.0f / 5.1f, kAverageTolerance);

  // With a single sample left, a jump makes the average one second.
  Timer single;
  Frame(single, 10 * kTicksPerMs);
  Frame(single, 5 * kTicksPerSecond);
  EXPECT_EQ(single.GetElapsedTime(), 1.0f);
  Frame(single, 1'500 * kTicksPerMs);  // within a second of that average: it counts again
  EXPECT_NEAR(single.GetElapsedTime(), 1.25f, kAverageTolerance);
  EXPECT_EQ(single.GetDeltaTime(), 1.0f);

  // A jump on the very first frame leaves no history at all.
  Timer first;
  Frame(first, 3 * kTicksPerSecond);
  EXPECT_EQ(first.GetElapsedTime(), 0.0f);
  EXPECT_EQ(first.GetDeltaTime(), 1.0f);
}

TEST_F(TimerTest, LockedFrameSleepsWholeMillisecondsThenSpins) {
  Timer timer;
  timer.LockFPS(60.0f);
  // 5 ms of work: 11 whole milliseconds of sleep (16.67 - 5 = 11.67), then yields until
  // 1/60 s has passed since the previous Update: 16 ms + 7 yields of 0.1 ms = 16.7 ms.
  const std::vector<unsigned int> expected{11, 0, 0, 0, 0, 0, 0, 0};
  Frame(timer, 5 * kTicksPerMs);
  EXPECT_EQ(mSleeps, expected);
  EXPECT_EQ(timer.GetDeltaTime(), Seconds(167 * kTenthMs));
  EXPECT_GE(timer.GetDeltaTime(), timer.GetFPSLockRate());
  // The next frame is measured from the end of the spin, so it looks the same.
  mSleeps.clear();
  Frame(timer, 5 * kTicksPerMs);
  EXPECT_EQ(mSleeps, expected);
  EXPECT_EQ(timer.GetDeltaTime(), Seconds(167 * kTenthMs));

  // A frame already longer than the locked time neither sleeps nor spins.
  mSleeps.clear();
  Frame(timer, 20 * kTicksPerMs);
  EXPECT_TRUE(mSleeps.empty());
  EXPECT_EQ(timer.GetDeltaTime(), Seconds(20 * kTicksPerMs));

  // Less than a millisecond left: no sleep, only yields.
  Frame(timer, 165 * kTenthMs);
  EXPECT_EQ(mSleeps, (std::vector<unsigned int>{0, 0}));
  EXPECT_EQ(timer.GetDeltaTime(), Seconds(167 * kTenthMs));
}

// Any rate and any amount of work: the sleep never reaches past the frame's end, the
// frame lasts at least the locked time, and the spin stops at the first clock step past
// it. The hooked clock wakes punctually, so the spun stretch stays below a millisecond
// plus the margin's upper bound.
TEST_F(TimerTest, LockedFramesNeverOversleepAndEndAtTheFirstStepPastTheirTime) {
  struct Case {
    float fps;
    uint64_t work;
  };
  const Case cases[] = {{30.0f, 0},
                        {60.0f, 5 * kTicksPerMs},
                        {60.0f, 16 * kTicksPerMs},
                        {144.0f, 1 * kTicksPerMs},
                        {144.0f, 69 * kTenthMs},
                        {240.0f, 3 * kTicksPerMs},
                        {1000.0f, 0},
                        {20.0f, 49 * kTicksPerMs}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.fps << " fps, work " << c.work);
    Timer timer;
    timer.LockFPS(c.fps);
    for (int frame = 0; frame < 20; ++frame) {
      mSleeps.clear();
      Frame(timer, c.work);
      uint64_t slept = 0;
      unsigned int spins = 0;
      for (unsigned int ms : mSleeps) {
        slept += ms * kTicksPerMs;
        spins += ms == 0 ? 1 : 0;
      }
      const float rate = timer.GetFPSLockRate();
      EXPECT_LE(Seconds(c.work + slept), rate) << "slept past the frame's end";
      EXPECT_GE(timer.GetDeltaTime(), rate);
      EXPECT_LT(timer.GetDeltaTime(), rate + Seconds(kYieldTicks) + 1e-6f);
      EXPECT_LE(spins * kYieldTicks, kTicksPerMs + 2 * kTicksPerMs) << "spun too long";
    }
  }
}

TEST_F(TimerTest, TimeStaticticsAddsScopeTimeAndCounts) {
  float seconds = 0.5f;
  unsigned int count = 3;
  {
    Yr::TimeStatictics scope(&seconds, &count);
    mNow += 250 * kTicksPerMs;
  }
  EXPECT_FLOAT_EQ(seconds, 0.75f);
  EXPECT_EQ(count, 4u);
  {
    Yr::TimeStatictics scope(nullptr, &count);
    mNow += 250 * kTicksPerMs;
  }
  EXPECT_FLOAT_EQ(seconds, 0.75f);
  EXPECT_EQ(count, 5u);
  {
    Yr::TimeStatictics scope(&seconds, nullptr);
    mNow += 500 * kTicksPerMs;
  }
  EXPECT_FLOAT_EQ(seconds, 1.25f);
  EXPECT_EQ(count, 5u);
}

// The real clock and sleep: only lower bounds, which load cannot break.
TEST(TimerRealClockTest, SleepsAndLockedFramesLastAtLeastTheirTime) {
  const auto start = std::chrono::steady_clock::now();
  const unsigned long long before = Timer::GetNowTime();
  Timer::Sleep(20);
  EXPECT_GE(Timer::GetNowTime() - before, 20 * kTicksPerMs);
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(20));

  Timer timer;
  timer.LockFPS(100.0f);
  for (int frame = 0; frame < 5; ++frame) {
    timer.Update();
    EXPECT_GE(timer.GetDeltaTime(), 0.01f);
  }

  // An absolute sleep returns at or after its deadline, and at once for a past one.
  for (uint64_t ahead : {uint64_t{0}, 3 * kTenthMs, 2 * kTicksPerMs}) {
    const uint64_t deadline = Yr::Platform::ClockNow() + ahead;
    Yr::Platform::SleepUntil(deadline);
    EXPECT_GE(Yr::Platform::ClockNow(), deadline) << ahead;
  }
  const uint64_t past = Yr::Platform::ClockNow();
  Yr::Platform::SleepUntil(past - kTicksPerMs);
  EXPECT_LT(Yr::Platform::ClockNow() - past, 1000 * kTicksPerMs);
}

}  // namespace
