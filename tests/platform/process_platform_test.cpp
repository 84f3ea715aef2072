// What the crash path takes from the platform layer without a lock: the local time from
// offsets read at load, the descriptors kept for it, and the file mapped at an address.
#include "system/platform/process_platform.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <fcntl.h>
#include <time.h>
#include <unistd.h>

#include <cstdint>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Yr;

constexpr int64_t kDay = 86400;

// The offsets are read once; the zone of a test is set before they are prepared again, and
// the process's own zone and offsets are put back afterwards.
class ZoneScope {
 public:
  explicit ZoneScope(const char* zone) {
    const char* previous = getenv("TZ");
    mHad = previous != nullptr;
    if (mHad) mPrevious = previous;
    setenv("TZ", zone, 1);
    tzset();
  }
  ~ZoneScope() {
    if (mHad) {
      setenv("TZ", mPrevious.c_str(), 1);
    } else {
      unsetenv("TZ");
    }
    tzset();
    Platform::PrepareLocalTime(Platform::UnixTimeNow());
  }

 private:
  bool mHad = false;
  std::string mPrevious;
};

void ExpectSameAsTheCLibrary(int64_t seconds) {
  time_t moment = static_cast<time_t>(seconds);
  struct tm expected;
  ASSERT_NE(localtime_r(&moment, &expected), nullptr);
  Platform::LocalTime ours;
  ASSERT_TRUE(Platform::LocalTimeAt(seconds, ours));
  EXPECT_EQ(ours.year, expected.tm_year + 1900) << seconds;
  EXPECT_EQ(ours.month, expected.tm_mon + 1) << seconds;
  EXPECT_EQ(ours.day, expected.tm_mday) << seconds;
  EXPECT_EQ(ours.hour, expected.tm_hour) << seconds;
  EXPECT_EQ(ours.minute, expected.tm_min) << seconds;
  EXPECT_EQ(ours.second, expected.tm_sec) << seconds;
}

// Zones with summer time in either hemisphere, a half-hour change, and none at all: every
// moment of the prepared years, and the seconds around each change, read as the C library
// reads them.
TEST(ProcessPlatformTest, LocalTimeFromPreparedOffsetsMatchesTheCLibrary) {
  const char* zones[] = {"UTC0", "Europe/Berlin", "America/New_York", "Australia/Lord_Howe", "Asia/Kolkata"};
  const int64_t from = 1767225600;  // 2026-01-01 00:00:00 UTC
  const int64_t span = kDay * 365 * Platform::kLocalTimeYears;
  std::mt19937_64 random(7);
  for (const char* zone : zones) {
    SCOPED_TRACE(zone);
    if (zone[0] != 'U' && access((std::string("/usr/share/zoneinfo/") + zone).c_str(), R_OK) != 0) {
      std::printf("time zone %s is not installed: skipped\n", zone);
      continue;
    }
    ZoneScope scope(zone);
    Platform::PrepareLocalTime(from);
    for (int i = 0; i < 5000; ++i) ExpectSameAsTheCLibrary(from + static_cast<int64_t>(random() % span));
    // Each change of offset, found by stepping an hour at a time, to the second.
    time_t before = static_cast<time_t>(from);
    struct tm local;
    localtime_r(&before, &local);
    long offset = local.tm_gmtoff;
    for (int64_t at = from; at < from + span; at += 3600) {
      time_t moment = static_cast<time_t>(at);
      localtime_r(&moment, &local);
      if (local.tm_gmtoff == offset) continue;
      offset = local.tm_gmtoff;
      for (int64_t second = at - 3601; second <= at + 1; ++second) ExpectSameAsTheCLibrary(second);
    }
  }
}

// The calendar arithmetic alone, in UTC, over the whole range of four-digit years and
// around the turns of centuries and leap days.
TEST(ProcessPlatformTest, LocalTimeCalendarHoldsFromYearOneToNineThousand) {
  ZoneScope scope("UTC0");
  Platform::PrepareLocalTime(0);
  const int64_t first = -62135596800;  // 0001-01-01
  const int64_t last = 253402300799;   // 9999-12-31 23:59:59
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) ExpectSameAsTheCLibrary(first + static_cast<int64_t>(random() % (last - first)));
  for (int64_t moment : {first, last, int64_t{0}, int64_t{-1}, int64_t{951782400} /* 2000-02-29 */,
                         int64_t{4107542400} /* 2100-03-01 */, int64_t{-2203891200} /* 1900-03-01 */})
    ExpectSameAsTheCLibrary(moment);
}

TEST(ProcessPlatformTest, LocalTimeNowReadsAsTheCLibraryDoes) {
  Platform::LocalTime now;
  ASSERT_TRUE(Platform::CurrentLocalTime(now));
  time_t moment = time(nullptr);
  struct tm expected;
  localtime_r(&moment, &expected);
  EXPECT_EQ(now.year, expected.tm_year + 1900);
  EXPECT_EQ(now.day, expected.tm_mday);
}

int OpenDescriptorCount() {
  int count = 0;
  for (int descriptor = 0; descriptor < 4096; ++descriptor) count += fcntl(descriptor, F_GETFD) >= 0;
  return count;
}

TEST(ProcessPlatformTest, DescriptorsAreKeptFromLoadAndGiveWayToTheCrashPath) {
  EXPECT_EQ(Platform::ReservedDescriptorCount(), Platform::kReservedDescriptors);
  int held = OpenDescriptorCount();
  Platform::ReleaseReservedDescriptors();
  EXPECT_EQ(Platform::ReservedDescriptorCount(), 0u);
  EXPECT_EQ(OpenDescriptorCount(), held - static_cast<int>(Platform::kReservedDescriptors));
  Platform::ReleaseReservedDescriptors();  // twice closes nothing more
  EXPECT_EQ(OpenDescriptorCount(), held - static_cast<int>(Platform::kReservedDescriptors));
  Platform::ReserveDescriptors();
  Platform::ReserveDescriptors();  // tops up, never beyond the count
  EXPECT_EQ(Platform::ReservedDescriptorCount(), Platform::kReservedDescriptors);
  EXPECT_EQ(OpenDescriptorCount(), held);
}

TEST(ProcessPlatformTest, MappedFileAtNamesTheFileOrNothing) {
  char executable[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", executable, sizeof executable - 1), 0);
  char text[4096];
  uintptr_t code = reinterpret_cast<uintptr_t>(&ExpectSameAsTheCLibrary);
  EXPECT_EQ(Platform::MappedFileAt(code, text, sizeof text), std::string(executable).size());
  EXPECT_STREQ(text, executable);
  // Cut to the size given, terminated.
  EXPECT_EQ(Platform::MappedFileAt(code, text, 5), 4u);
  EXPECT_EQ(std::string(text), std::string(executable).substr(0, 4));
  // Memory of no file: the stack, the heap, and an address nothing maps.
  int local = 0;
  std::vector<int> heap(4);
  for (uintptr_t address : {reinterpret_cast<uintptr_t>(&local), reinterpret_cast<uintptr_t>(heap.data()), uintptr_t{16}}) {
    EXPECT_EQ(Platform::MappedFileAt(address, text, sizeof text), 0u);
    EXPECT_STREQ(text, "");
  }
}

}  // namespace
