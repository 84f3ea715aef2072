// The crash path's helper process: what it is started with, the channel both ways, the
// deadline of a receive, a helper that ends, and stopping it.
#include "system/platform/child_platform.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <cstdlib>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

namespace {

using namespace Yr;

constexpr uint64_t kLongDeadlineMilliseconds = 20000;

// Starts the echo helper in mode with more arguments. A Linux build under an emulator runs
// the helper under the emulator too; a Windows build starts it itself, even under Wine.
class Helper {
 public:
  Helper(const char* mode, const std::vector<std::string>& more = {}) {
#if !defined(_WIN32)
    if (const char* emulator = std::getenv("YR_TEST_EMULATOR"); emulator && *emulator) {
      std::istringstream words(emulator);
      for (std::string word; words >> word;) mWords.push_back(word);
    }
#endif
    mWords.push_back(YR_CHILD_ECHO);
    mWords.push_back(mode);
    mWords.insert(mWords.end(), more.begin(), more.end());
    for (std::string& word : mWords) mArguments.push_back(word.data());
    mArguments.push_back(nullptr);
    mStarted = Platform::StartHelper(mArguments[0], mArguments.data(), mProcess);
  }
  ~Helper() { Platform::StopHelper(mProcess); }
  bool Started() const { return mStarted; }
  Platform::HelperProcess& Process() { return mProcess; }
  bool Receive(void* bytes, size_t count, uint64_t milliseconds = kLongDeadlineMilliseconds) {
    return Platform::ReceiveFromHelper(mProcess, bytes, count, Platform::MonotonicMilliseconds() + milliseconds);
  }

 private:
  std::vector<std::string> mWords;
  std::vector<char*> mArguments;
  Platform::HelperProcess mProcess = {0, -1};
  bool mStarted = false;
};

TEST(ChildPlatformTest, ArgumentsArriveUnchanged) {
  // Spaces, quotes and backslashes in every position a command line could mangle.
  const std::vector<std::string> arguments = {
      "plain", "two words", "quote\"inside", "back\\slash", "trailing\\", "\\\\server\\share\\", "",
      "tab\there", "slashes before a quote \\\" and at the end \\\\", "\"quoted\"",
  };
  Helper helper("arguments", arguments);
  ASSERT_TRUE(helper.Started());
  uint32_t count = 0;
  ASSERT_TRUE(helper.Receive(&count, sizeof count));
  ASSERT_EQ(count, arguments.size());
  for (const std::string& expected : arguments) {
    uint32_t length = 0;
    ASSERT_TRUE(helper.Receive(&length, sizeof length));
    std::string got(length, '\0');
    ASSERT_TRUE(length == 0 || helper.Receive(got.data(), length));
    EXPECT_EQ(got, expected);
  }
}

TEST(ChildPlatformTest, TheChannelCarriesBytesBothWays) {
  Helper helper("echo");
  ASSERT_TRUE(helper.Started());
  for (size_t size : {size_t{1}, size_t{16}, size_t{4096}, size_t{30000}}) {
    SCOPED_TRACE(size);
    std::string sent(size, '\0');
    for (size_t i = 0; i < size; ++i) sent[i] = static_cast<char>(i * 7 + size);
    ASSERT_TRUE(Platform::SendToHelper(helper.Process(), sent.data(), sent.size()));
    std::string back(size, '\0');
    ASSERT_TRUE(helper.Receive(back.data(), back.size()));
    EXPECT_EQ(back, sent);
  }
}

TEST(ChildPlatformTest, ReceiveEndsAtItsDeadlineOrWhenTheHelperEnds) {
  struct Case {
    const char* mode;
    uint64_t deadline;       // milliseconds from now
    uint64_t least, most;    // the time the receive may take
  };
  const Case cases[] = {
      {"silent", 300, 250, 5000},                      // nothing comes: the deadline ends it
      {"gone", kLongDeadlineMilliseconds, 0, 10000},   // the helper ends: no waiting for the deadline
  };
  for (const Case& test : cases) {
    SCOPED_TRACE(test.mode);
    Helper helper(test.mode);
    ASSERT_TRUE(helper.Started());
    uint64_t request = 1;
    Platform::SendToHelper(helper.Process(), &request, sizeof request);  // a helper that is gone may refuse it
    char answer[8];
    const uint64_t start = Platform::MonotonicMilliseconds();
    EXPECT_FALSE(helper.Receive(answer, sizeof answer, test.deadline));
    const uint64_t took = Platform::MonotonicMilliseconds() - start;
    EXPECT_GE(took, test.least);
    EXPECT_LT(took, test.most);
  }
}

TEST(ChildPlatformTest, AStoppedOrMissingHelperTakesNothing) {
  Helper helper("silent");
  ASSERT_TRUE(helper.Started());
  EXPECT_GT(helper.Process().process, 0);
  Platform::StopHelper(helper.Process());
  EXPECT_EQ(helper.Process().process, 0);
  EXPECT_EQ(helper.Process().channel, -1);
  char byte = 0;
  EXPECT_FALSE(Platform::SendToHelper(helper.Process(), &byte, 1));
  EXPECT_FALSE(helper.Receive(&byte, 1, 100));

#if !defined(_WIN32)
  // Under a user-mode emulator the child does not share the parent's memory until it runs
  // the program, so the parent never sees the child's failure to run it.
  if (const char* emulator = std::getenv("YR_TEST_EMULATOR"); emulator && *emulator)
    GTEST_SKIP() << "an emulated child runs in memory of its own: a program that cannot be run is not reported";
#endif
  std::string missing = std::string(YR_CHILD_ECHO) + ".missing";
  char* arguments[] = {missing.data(), nullptr};
  Platform::HelperProcess none = {7, 7};
  EXPECT_FALSE(Platform::StartHelper(missing.c_str(), arguments, none));
  EXPECT_EQ(none.process, 0);
  EXPECT_EQ(none.channel, -1);
  EXPECT_FALSE(Platform::StartHelper("", arguments, none));
}

TEST(ChildPlatformTest, MonotonicMillisecondsAdvanceWithTime) {
  const uint64_t start = Platform::MonotonicMilliseconds();
  std::this_thread::sleep_for(std::chrono::milliseconds(50));
  const uint64_t later = Platform::MonotonicMilliseconds();
  EXPECT_GE(later - start, 40u);  // the coarsest system tick is about 16 ms
  EXPECT_LT(later - start, 5000u);
}

}  // namespace
