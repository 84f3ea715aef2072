// Timer: frame times for a real-time loop, with an optional frame-rate lock, and the
// process's high-resolution time queries. TimeStatictics: a scope timer that adds the
// seconds spent in its scope to a float and counts the scope.
//
// Time: GetNowTime is the raw high-resolution counter; GetTime counts ticks from the time
// base, the counter value read by the first GetTime call in the process (a Timer
// constructor or any static time query), which never changes afterwards. gFreq, seconds
// per tick, is set when the library is loaded. Tick counts become seconds as a float:
// ticks × gFreq.
//
// A Timer is a plain value owned by the loop that calls Update once per frame; it is not
// shared between threads. The static queries and TimeStatictics may be used from any thread.
#pragma once

#include <cstdint>

#include "system/platform/export.h"

namespace Yr {

class YR_API Timer {
 public:
  static constexpr unsigned int kHistorySize = 50;

  // Seconds per counter tick.
  static float gFreq;

  static unsigned long long GetNowTime();
  // Ticks since the time base; the first call fixes the base and returns about 0.
  static unsigned long long GetTime();
  // Seconds since the time base.
  static float GetThisTime();
  // Milliseconds since the time base, truncated.
  static unsigned int GetMs();
  // Sleeps the calling thread; 0 gives up the rest of its time slice.
  static void Sleep(unsigned int ms);

  Timer();

  // Locks the loop to |fps| frames per second; 0 unlocks and keeps the rate as it was.
  void LockFPS(float fps);
  bool IsLockedFPS() const { return mFPSLock > 0.0f; }
  float GetFPSLock() const { return mFPSLock; }
  float GetFPSLockRate() const { return mFPSLockRate; }
  float GetFPS() const { return mFPS; }
  // The last frame's time in seconds, at most 1.0.
  float GetDeltaTime() const { return mDeltaTime; }
  // The smoothed frame time: the average of the recent frame times.
  float GetElapsedTime() const { return mElapsedTime; }

  // Once per frame: measures the frame; with a lock, sleeps to an absolute point shortly
  // before the frame's end and spins on the clock for the rest, so the frame lasts at
  // least the locked frame time. The spun stretch follows the wake-up lateness this thread
  // has seen.
  void Update();

 private:
  float mElapsedTime;   // average of the first mSamples entries of mHistory
  uint64_t mLastTime;   // GetTime at the previous Update (or at construction)
  unsigned int mSamples;  // valid entries of mHistory, 0 to kHistorySize
  float mFPSLock;       // locked frames per second, 0 when not locked
  float mFPSLockRate;   // locked frame time in seconds
  unsigned int mFrameCount;  // frames in the current FPS window
  float mFrameTime;     // average frame time of the last completed window
  float mFPS;           // frames per second of the last completed window
  float mFrameTotal;    // seconds in the current window
  float mDeltaTime;     // the last frame's time, at most 1.0
  float mHistory[kHistorySize];  // recent frame times, newest first
};

class YR_API TimeStatictics {
 public:
  // Both pointers may be null; the start time is taken only when there is a sink.
  TimeStatictics(float* sink, unsigned int* counter);
  // Adds the seconds since construction to *sink and increments *counter, each when given.
  ~TimeStatictics();
  TimeStatictics(const TimeStatictics&) = default;
  TimeStatictics& operator=(const TimeStatictics&) = default;

 private:
  float* mSink;
  unsigned int* mCounter;
  float mStart;
};

namespace Detail {
// Load step: sets Timer::gFreq from the counter frequency.
void BuildTimerFrequency();
}  // namespace Detail

}  // namespace Yr
