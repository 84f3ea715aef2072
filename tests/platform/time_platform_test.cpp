// The clock and sleeping: real sleeps are checked by lower bounds only (load can only make
// them longer); the hook's arithmetic is checked exactly.
#include "system/platform/time_platform.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <vector>

namespace {

using namespace Yr;
using Clock = std::chrono::steady_clock;

uint64_t TicksPerMs() { return Platform::ClockFrequency() / 1000; }

TEST(ClockTest, RunsForwardAtItsFrequency) {
  const uint64_t frequency = Platform::ClockFrequency();
  ASSERT_GE(frequency, 1000u) << "at least millisecond resolution";
  EXPECT_EQ(Platform::ClockFrequency(), frequency);
  uint64_t previous = Platform::ClockNow();
  for (int i = 0; i < 1000; ++i) {
    const uint64_t now = Platform::ClockNow();
    ASSERT_GE(now, previous);
    previous = now;
  }
  // Over a real 50 ms the clock moves by 50 ms of its ticks (more under load, never less).
  const uint64_t before = Platform::ClockNow();
  const auto start = Clock::now();
  while (Clock::now() - start < std::chrono::milliseconds(50)) {
  }
  EXPECT_GE(Platform::ClockNow() - before, 50 * TicksPerMs() - TicksPerMs());
}

TEST(ClockTest, SleepsLastTheirFullTime) {
  for (unsigned int ms : {1u, 2u, 5u, 16u, 30u}) {
    const auto start = Clock::now();
    const uint64_t before = Platform::ClockNow();
    Platform::SleepMilliseconds(ms);
    EXPECT_GE(Platform::ClockNow() - before, ms * TicksPerMs()) << ms;
    EXPECT_GE(Clock::now() - start, std::chrono::milliseconds(ms)) << ms;
  }
  Platform::SleepMilliseconds(0);  // gives up the slice and returns
}

TEST(ClockTest, SleepUntilReachesItsDeadline) {
  for (uint64_t aheadMs10 : {0u, 1u, 5u, 10u, 25u, 40u}) {  // tenths of a millisecond
    const uint64_t ahead = aheadMs10 * TicksPerMs() / 10;
    const uint64_t deadline = Platform::ClockNow() + ahead;
    Platform::SleepUntil(deadline);
    EXPECT_GE(Platform::ClockNow(), deadline) << aheadMs10;
  }
  const uint64_t now = Platform::ClockNow();
  const auto start = Clock::now();
  Platform::SleepUntil(now - TicksPerMs());
  Platform::SleepUntil(0);
  EXPECT_LT(Clock::now() - start, std::chrono::seconds(1)) << "a past deadline returns at once";
}

struct FakeClock {
  uint64_t now = 0;
  std::vector<unsigned int> sleeps;
  static uint64_t Now(void* context) { return static_cast<FakeClock*>(context)->now; }
  static void Sleep(void* context, unsigned int ms) { static_cast<FakeClock*>(context)->sleeps.push_back(ms); }
};

TEST(ClockTest, HookTakesTheClockAndEverySleep) {
  FakeClock fake;
  fake.now = 1'000'000'000'000ull;
  const Platform::ClockHook previous = Platform::SetClockHook({&FakeClock::Now, &FakeClock::Sleep, &fake});
  EXPECT_EQ(Platform::ClockNow(), fake.now);
  Platform::SleepMilliseconds(25);
  Platform::SleepMilliseconds(0);
  Platform::SpinPause();
  EXPECT_EQ(fake.sleeps, (std::vector<unsigned int>{25, 0, 0}));

  // SleepUntil hands over the whole milliseconds left, in the clock's own ticks.
  const uint64_t ms = TicksPerMs();
  struct Case {
    uint64_t ahead;
    std::vector<unsigned int> expected;
  };
  const Case cases[] = {{0, {}},       {ms - 1, {}},         {ms, {1}},
                        {ms + 1, {1}}, {7 * ms + ms / 2, {7}}, {120'000 * ms, {120'000}}};
  for (const Case& c : cases) {
    fake.sleeps.clear();
    Platform::SleepUntil(fake.now + c.ahead);
    EXPECT_EQ(fake.sleeps, c.expected) << c.ahead;
  }
  fake.sleeps.clear();
  Platform::SleepUntil(fake.now - 5 * ms);
  EXPECT_TRUE(fake.sleeps.empty());

  const Platform::ClockHook mine = Platform::SetClockHook(previous);
  EXPECT_EQ(mine.context, &fake);
  EXPECT_NE(Platform::ClockNow(), fake.now);
}

}  // namespace
