// What the crash path takes from the platform layer without a lock: the local time from
// offsets read at load, the descriptors kept for it, and the file mapped at an address.
// std::regex trips a known false -Wmaybe-uninitialized in optimised sanitizer builds of
// GCC 12 (inside std::function); the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "system/platform/process_platform.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <time.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstring>
#include <filesystem>
#include <random>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "system/platform/vm_platform.h"

namespace {

using namespace Yr;

constexpr int64_t kDay = 86400;

#ifdef _WIN32
// On Windows the zone is the system's (the C library's TZ plays no part): the prepared
// offsets are checked against the system's own conversion, and the calendar against the
// system's, which holds from 1601 on.
SYSTEMTIME SystemTimeAt(int64_t seconds) {
  constexpr int64_t kTicksPerSecond = 10000000;
  constexpr int64_t kTicksAt1970 = 116444736000000000;
  ULARGE_INTEGER ticks;
  ticks.QuadPart = static_cast<uint64_t>(seconds * kTicksPerSecond + kTicksAt1970);
  FILETIME file = {ticks.LowPart, ticks.HighPart};
  SYSTEMTIME time = {};
  FileTimeToSystemTime(&file, &time);
  return time;
}

void ExpectLocalTime(int64_t seconds, const SYSTEMTIME& expected) {
  Platform::LocalTime ours;
  ASSERT_TRUE(Platform::LocalTimeAt(seconds, ours));
  EXPECT_EQ(ours.year, expected.wYear) << seconds;
  EXPECT_EQ(ours.month, expected.wMonth) << seconds;
  EXPECT_EQ(ours.day, expected.wDay) << seconds;
  EXPECT_EQ(ours.hour, expected.wHour) << seconds;
  EXPECT_EQ(ours.minute, expected.wMinute) << seconds;
  EXPECT_EQ(ours.second, expected.wSecond) << seconds;
}

void ExpectSameAsTheSystem(int64_t seconds) {
  SYSTEMTIME universal = SystemTimeAt(seconds);
  SYSTEMTIME local = {};
  ASSERT_TRUE(SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local));
  ExpectLocalTime(seconds, local);
}

// Every moment of the prepared years, and the seconds around each change of the zone's
// offset, read as the system reads them.
TEST(ProcessPlatformTest, LocalTimeFromPreparedOffsetsMatchesTheSystem) {
  const int64_t from = 1767225600;  // 2026-01-01 00:00:00 UTC
  const int64_t span = kDay * 365 * Platform::kLocalTimeYears;
  Platform::PrepareLocalTime(from);
  std::mt19937_64 random(7);
  for (int i = 0; i < 5000; ++i) ExpectSameAsTheSystem(from + static_cast<int64_t>(random() % span));
  auto offsetAt = [](int64_t seconds) {
    SYSTEMTIME universal = SystemTimeAt(seconds);
    SYSTEMTIME local = {};
    SystemTimeToTzSpecificLocalTime(nullptr, &universal, &local);
    FILETIME a, b;
    SystemTimeToFileTime(&universal, &a);
    SystemTimeToFileTime(&local, &b);
    auto ticks = [](const FILETIME& t) { return (static_cast<int64_t>(t.dwHighDateTime) << 32) | t.dwLowDateTime; };
    return (ticks(b) - ticks(a)) / 10000000;
  };
  int64_t offset = offsetAt(from);
  for (int64_t at = from; at < from + span; at += 3600) {
    int64_t now = offsetAt(at);
    if (now == offset) continue;
    offset = now;
    for (int64_t second = at - 3601; second <= at + 1; ++second) ExpectSameAsTheSystem(second);
  }
  Platform::PrepareLocalTime(Platform::UnixTimeNow());
}

// The calendar arithmetic alone over the years the system's calendar covers (1601-9999),
// around the turns of centuries and leap days. Moments before the first prepared one take
// its offset, which is measured once.
TEST(ProcessPlatformTest, LocalTimeCalendarHoldsFrom1601ToNineThousand) {
  const int64_t last = 253402300799;     // 9999-12-31 23:59:59
  const int64_t first = -11644473600;    // 1601-01-01
  Platform::PrepareLocalTime(last);
  Platform::LocalTime atZero;
  ASSERT_TRUE(Platform::LocalTimeAt(0, atZero));
  const int64_t offset = (atZero.year == 1969 ? -kDay : 0) + atZero.hour * 3600 + atZero.minute * 60 + atZero.second;
  std::mt19937_64 random(11);
  for (int i = 0; i < 20000; ++i) {
    int64_t moment = first + kDay + static_cast<int64_t>(random() % (last - first - 2 * kDay));
    ExpectLocalTime(moment, SystemTimeAt(moment + offset));
  }
  for (int64_t moment : {first + kDay, last - kDay, int64_t{0}, int64_t{-1}, int64_t{951782400} /* 2000-02-29 */,
                         int64_t{4107542400} /* 2100-03-01 */, int64_t{-2203891200} /* 1900-03-01 */})
    ExpectLocalTime(moment, SystemTimeAt(moment + offset));
  Platform::PrepareLocalTime(Platform::UnixTimeNow());
}

#else
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

#endif

TEST(ProcessPlatformTest, LocalTimeNowReadsAsTheCLibraryDoes) {
  Platform::LocalTime now;
  ASSERT_TRUE(Platform::CurrentLocalTime(now));
  time_t moment = time(nullptr);
  struct tm expected;
#ifdef _WIN32
  localtime_s(&expected, &moment);
#else
  localtime_r(&moment, &expected);
#endif
  EXPECT_EQ(now.year, expected.tm_year + 1900);
  EXPECT_EQ(now.day, expected.tm_mday);
}

// Windows keeps handles, not descriptors: the spares are handles too. -1 when the count
// cannot be had (Wine answers 0).
int OpenDescriptorCount() {
#ifdef _WIN32
  DWORD count = 0;
  if (!GetProcessHandleCount(GetCurrentProcess(), &count) || count == 0) return -1;
  return static_cast<int>(count);
#else
  int count = 0;
  for (int descriptor = 0; descriptor < 4096; ++descriptor) count += fcntl(descriptor, F_GETFD) >= 0;
  return count;
#endif
}

TEST(ProcessPlatformTest, DescriptorsAreKeptFromLoadAndGiveWayToTheCrashPath) {
  EXPECT_EQ(Platform::ReservedDescriptorCount(), Platform::kReservedDescriptors);
  const int held = OpenDescriptorCount();
  const int spares = static_cast<int>(Platform::kReservedDescriptors);
  Platform::ReleaseReservedDescriptors();
  EXPECT_EQ(Platform::ReservedDescriptorCount(), 0u);
  const int released = OpenDescriptorCount();
  Platform::ReleaseReservedDescriptors();  // twice closes nothing more
  const int again = OpenDescriptorCount();
  Platform::ReserveDescriptors();
  Platform::ReserveDescriptors();  // tops up, never beyond the count
  EXPECT_EQ(Platform::ReservedDescriptorCount(), Platform::kReservedDescriptors);
  const int restored = OpenDescriptorCount();
  if (held < 0) GTEST_SKIP() << "GetProcessHandleCount answers nothing here: the handles themselves are not counted";
  EXPECT_EQ(released, held - spares);
  EXPECT_EQ(again, held - spares);
  EXPECT_EQ(restored, held);
}

TEST(ProcessPlatformTest, MappedFileAtNamesTheFileOrNothing) {
  char executable[4096] = {};
#ifdef _WIN32
  ASSERT_GT(GetModuleFileNameA(nullptr, executable, sizeof executable - 1), 0u);
#else
  ASSERT_GT(readlink("/proc/self/exe", executable, sizeof executable - 1), 0);
#endif
  char text[4096];
  uintptr_t code = reinterpret_cast<uintptr_t>(&OpenDescriptorCount);
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

// Readability and copies across a page that cannot be read (reserved, never committed):
// the answer stops at it and the copy leaves zeros for it, whichever way a range meets it.
TEST(ProcessPlatformTest, ReadsStopAtAnUnreadablePageAndCopiesZeroIt) {
  const size_t page = Platform::VirtualPageSize();
  char* base = static_cast<char*>(Platform::ReserveAddressSpace(nullptr, 3 * page));
  ASSERT_NE(base, nullptr);
  ASSERT_NE(Platform::CommitAddressSpace(base, page), nullptr);
  ASSERT_NE(Platform::CommitAddressSpace(base + 2 * page, page), nullptr);
  std::memset(base, 'a', page);
  std::memset(base + 2 * page, 'c', page);
  struct Case {
    size_t offset;
    size_t count;
    bool readable;
    size_t copied;
  };
  const Case cases[] = {
      {0, page, true, page},                  // the first page whole
      {page - 1, 1, true, 1},                 // its last byte
      {page - 1, 2, false, 1},                // into the hole
      {page, 1, false, 0},                    // the hole alone
      {2 * page - 1, 2, false, 1},            // out of the hole
      {0, 3 * page, false, 2 * page},         // across it
      {2 * page, page, true, page},           // the last page
      {page / 2, 2 * page, false, page},      // half, hole, half
  };
  std::vector<char> copy(3 * page + 1);
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.offset << "+" << c.count);
    EXPECT_EQ(Platform::ReadableBytes(base + c.offset, c.count), c.readable);
    std::fill(copy.begin(), copy.end(), 'x');
    EXPECT_EQ(Platform::CopyOwnMemory(copy.data(), base + c.offset, c.count), c.copied);
    for (size_t i = 0; i < c.count; ++i) {
      size_t at = c.offset + i;
      char expected = at < page ? 'a' : at < 2 * page ? '\0' : 'c';
      ASSERT_EQ(copy[i], expected) << i;
    }
    EXPECT_EQ(copy[c.count], 'x');  // nothing written beyond the count
  }
  EXPECT_FALSE(Platform::ReadableBytes(nullptr, 1));
  EXPECT_TRUE(Platform::ReadableBytes(base, 0));
  EXPECT_TRUE(Platform::ReleaseAddressSpace(base, 3 * page));
}

// A write at an offset leaves the position where it was: the dump writer fills in its
// header last while writing on at the end.
TEST(ProcessPlatformTest, WritesAtAnOffsetKeepThePosition) {
  std::string path = (std::filesystem::temp_directory_path() /
                      ("yr_process_platform_" + std::to_string(Platform::OwnProcessId()) + ".txt"))
                         .string();
  int file = Platform::CreateFileForWriting(path.c_str());
  ASSERT_NE(file, Platform::kInvalidFile);
  EXPECT_TRUE(Platform::WriteFileBytes(file, "abc", 3));
  EXPECT_TRUE(Platform::WriteFileBytesAt(file, 0, "X", 1));
  EXPECT_TRUE(Platform::WriteFileBytes(file, "def", 3));
  EXPECT_TRUE(Platform::WriteFileBytesAt(file, 8, "Z", 1));  // past the end: a gap of zeros
  EXPECT_TRUE(Platform::WriteFileBytes(file, "g", 1));
  Platform::CloseFile(file);
  char text[32];
  ASSERT_EQ(Platform::ReadWholeFile(path.c_str(), text, sizeof text), 9);
  EXPECT_EQ(std::string(text, 9), std::string("Xbcdefg\0Z", 9));
  // Cut to the buffer and terminated.
  EXPECT_EQ(Platform::ReadWholeFile(path.c_str(), text, 4), 3);
  EXPECT_STREQ(text, "Xbc");
  std::filesystem::remove(path);
  EXPECT_EQ(Platform::ReadWholeFile(path.c_str(), text, sizeof text), -1);
  EXPECT_EQ(Platform::CreateFileForWriting(""), Platform::kInvalidFile);
}

// The code mapping of a function holds it; a thread's id is listed while it runs.
TEST(ProcessPlatformTest, CodeMappingAndThreadList) {
  uintptr_t begin = 0, end = 0;
  const uintptr_t code = reinterpret_cast<uintptr_t>(&OpenDescriptorCount);
  ASSERT_TRUE(Platform::CodeMappingOf(reinterpret_cast<const void*>(code), begin, end));
  EXPECT_LE(begin, code);
  EXPECT_LT(code, end);
  int local = 0;
  EXPECT_FALSE(Platform::CodeMappingOf(&local, begin, end));  // the stack is no module's
  char module[4096];
  EXPECT_GT(Platform::ModulePathOf(reinterpret_cast<const void*>(code), module, sizeof module), 0u);

  std::atomic<uint32_t> worker{0};
  std::atomic<bool> release{false};
  std::thread thread([&] {
    worker = Platform::OwnThreadId();
    while (!release) std::this_thread::yield();
  });
  while (worker == 0) std::this_thread::yield();
  uint32_t ids[256];
  size_t count = Platform::ListThreadIds(ids, 256);
  release = true;
  thread.join();
  std::vector<uint32_t> listed(ids, ids + count);
  EXPECT_NE(std::find(listed.begin(), listed.end(), Platform::OwnThreadId()), listed.end());
  EXPECT_NE(std::find(listed.begin(), listed.end(), worker.load()), listed.end());
  EXPECT_EQ(Platform::ListThreadIds(ids, 1), 1u);  // never beyond the capacity
}

// The process's facts as the report's header prints them: the system's version in its
// usual form, paths cut to the buffer and terminated, the clock in step with the C
// library's.
TEST(ProcessPlatformTest, ProcessFactsAndTheirCuts) {
  char text[4096];
  size_t release = Platform::OsRelease(text, sizeof text);
  ASSERT_GT(release, 0u);
#ifdef _WIN32
  EXPECT_TRUE(std::regex_match(text, std::regex("\\d+\\.\\d+\\.\\d+"))) << text;  // "10.0.19045"
#else
  EXPECT_TRUE(std::regex_match(text, std::regex("\\d+\\.\\d+.*"))) << text;  // "6.1.0-..."
#endif
  size_t full = Platform::ExecutablePath(text, sizeof text);
  ASSERT_GT(full, 4u);
  std::string executable(text, full);
  EXPECT_EQ(Platform::ExecutablePath(text, 5), 4u);
  EXPECT_EQ(std::string(text), executable.substr(0, 4));
  EXPECT_EQ(Platform::ExecutablePath(text, 0), 0u);
  size_t directory = Platform::CurrentDirectory(text, sizeof text);
  ASSERT_GT(directory, 0u);
  EXPECT_EQ(Platform::CurrentDirectory(text, 2), 0u);  // too small: nothing, as the system answers
  EXPECT_STREQ(text, "");
  EXPECT_GE(Platform::ProcessorCount(), 1u);
  const int64_t now = static_cast<int64_t>(time(nullptr));
  EXPECT_LE(std::abs(Platform::UnixTimeNow() - now), 2);
  EXPECT_LE(std::abs(static_cast<int64_t>(Platform::UnixTime()) - now), 2);
}

}  // namespace
