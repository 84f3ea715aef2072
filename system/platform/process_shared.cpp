// The parts of the process facility that are the same on every system: whole small files
// read through the system's file calls, and the local time from a table of the zone's
// offsets prepared at load (each system supplies ZoneOffsetAt).
#include "system/platform/process_shared.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

#include "system/platform/process_platform.h"

namespace Yr::Platform {

size_t CopyCut(char* out, size_t size, const char* text, size_t length) {
  if (size == 0) return 0;
  if (length > size - 1) length = size - 1;
  std::memcpy(out, text, length);
  out[length] = '\0';
  return length;
}

long ReadWholeFile(const char* path, char* buffer, size_t capacity) {
  if (capacity == 0) return -1;
  int file = OpenFileForReading(path);
  if (file < 0) return -1;
  size_t total = 0;
  while (total + 1 < capacity) {
    long got = ReadFileBytes(file, buffer + total, capacity - 1 - total);
    if (got <= 0) break;
    total += static_cast<size_t>(got);
  }
  buffer[total] = '\0';
  CloseFile(file);
  return static_cast<long>(total);
}

namespace {

// The zone's offsets: offset[i] holds from from[i] on. Written by PrepareLocalTime at load,
// before other threads run; read by any thread afterwards.
constexpr size_t kMaxZoneChanges = 64;
constexpr int64_t kSecondsPerDay = 86400;
constexpr int64_t kDaysPerYear = 366;
struct ZoneTable {
  int64_t from[kMaxZoneChanges];
  long offset[kMaxZoneChanges];
  size_t count;
};
ZoneTable gZone;

// Days since 1970-01-01 to year, month and day (proleptic Gregorian calendar), by whole
// 400-year eras so that it holds for any date.
void CivilFromDays(int64_t days, int& year, int& month, int& day) {
  days += 719468;  // from 0000-03-01, so that leap days end each year
  const int64_t era = (days >= 0 ? days : days - 146096) / 146097;
  const int64_t dayOfEra = days - era * 146097;
  const int64_t yearOfEra = (dayOfEra - dayOfEra / 1460 + dayOfEra / 36524 - dayOfEra / 146096) / 365;
  const int64_t dayOfYear = dayOfEra - (365 * yearOfEra + yearOfEra / 4 - yearOfEra / 100);
  const int64_t shiftedMonth = (5 * dayOfYear + 2) / 153;  // 0 is March
  day = static_cast<int>(dayOfYear - (153 * shiftedMonth + 2) / 5 + 1);
  month = static_cast<int>(shiftedMonth < 10 ? shiftedMonth + 3 : shiftedMonth - 9);
  year = static_cast<int>(yearOfEra + era * 400 + (month <= 2 ? 1 : 0));
}

}  // namespace

void PrepareLocalTime(int64_t from) {
  gZone.count = 0;
  long previous = 0;
  if (!ZoneOffsetAt(from, previous)) return;
  gZone.from[0] = INT64_MIN;
  gZone.offset[0] = previous;
  gZone.count = 1;
  // A day at a time, then the exact second of each change by halving: zones change their
  // offset at most a few times a year, never twice in a day.
  const int64_t days = kDaysPerYear * kLocalTimeYears;
  for (int64_t day = 1; day <= days && gZone.count < kMaxZoneChanges; ++day) {
    int64_t high = from + day * kSecondsPerDay;
    long offset = 0;
    if (!ZoneOffsetAt(high, offset) || offset == previous) continue;
    int64_t low = high - kSecondsPerDay;  // still at the previous offset
    while (high - low > 1) {
      int64_t middle = low + (high - low) / 2;
      long at = 0;
      if (ZoneOffsetAt(middle, at) && at == previous) {
        low = middle;
      } else {
        high = middle;
      }
    }
    gZone.from[gZone.count] = high;
    gZone.offset[gZone.count] = offset;
    ++gZone.count;
    previous = offset;
  }
}

bool LocalTimeAt(int64_t seconds, LocalTime& out) {
  if (gZone.count == 0) return false;
  size_t entry = 0;
  while (entry + 1 < gZone.count && gZone.from[entry + 1] <= seconds) ++entry;
  int64_t local = seconds + gZone.offset[entry];
  int64_t days = local / kSecondsPerDay;
  int64_t rest = local % kSecondsPerDay;
  if (rest < 0) {
    rest += kSecondsPerDay;
    --days;
  }
  CivilFromDays(days, out.year, out.month, out.day);
  out.hour = static_cast<int>(rest / 3600);
  out.minute = static_cast<int>(rest / 60 % 60);
  out.second = static_cast<int>(rest % 60);
  return true;
}

bool CurrentLocalTime(LocalTime& out) { return LocalTimeAt(UnixTimeNow(), out); }

}  // namespace Yr::Platform
