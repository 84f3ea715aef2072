// Tests that cannot run under ThreadSanitizer (the tsan preset) skip themselves there:
//
//   if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("why");
//
// The sanitizer takes the fault signals for its own reports and delivers other signals to
// a thread only at its own safe points, so crash reports and suspension by signal cannot be
// observed under it; its allocator and interceptors also change what some tests measure.
// CMake sets YR_TSAN for every test of a ThreadSanitizer build.
#pragma once

#include <string>

namespace YrTest {

#if defined(YR_TSAN)
inline constexpr bool kThreadSanitizer = true;
#else
inline constexpr bool kThreadSanitizer = false;
#endif

inline std::string NotUnderThreadSanitizer(const char* why) {
  return std::string("not run under ThreadSanitizer: ") + why;
}

}  // namespace YrTest
