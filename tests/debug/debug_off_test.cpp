// Debug output while the switch is off. Nothing in this process ever turns it on: the cases
// that do run in child processes.
#include <gtest/gtest.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "system/debug/debug_output.h"
#include "system/options/options.h"
#include "system/platform/platform.h"
#include "tests/debug/debug_capture.h"

namespace {

using namespace Yr;

// Reading this as a text would fault: a read of any argument while off shows as a crash.
const char* const kUnreadable = reinterpret_cast<const char*>(uintptr_t{16});

void WriteThroughEveryOperation() {
  Debug::Print("print\n");
  Debug::Output("output");
  Debug::OutputNum(12);
  Debug::OutputNumX(12);
  Debug::OutputFmtU("%s %u %x", kUnreadable, 1u, 2u);
  Debug::OutputFmt("%s", kUnreadable);
  Debug::OutputFmtCR("%s", kUnreadable);
  Debug::Flush();
}

TEST(DebugOffTest, NothingIsWrittenOrReadWhileOff) {
  ASSERT_FALSE(Debug::IsEnabled());
  YrTest::DebugCapture capture;
  testing::internal::CaptureStdout();
  WriteThroughEveryOperation();
  // Init without the option leaves output off.
  Debug::Init();
  EXPECT_FALSE(Debug::IsEnabled());
  WriteThroughEveryOperation();
  // The help listing is still kept for the application; only its writes are dropped.
  Options::Register("G")("quiet", "listed but not written");
  Detail::BuildHelpListing();
  ASSERT_EQ(Options::GetHelpLines().Count(), 1u);
  EXPECT_STREQ(Options::GetHelpLines()[0].CStr(), "--quiet : listed but not written");
  Detail::ClearOptions();
  EXPECT_EQ(testing::internal::GetCapturedStdout(), "");
  EXPECT_TRUE(capture.Pieces().empty());
}

TEST(DebugOffTest, FalseValuesLeaveOutputOff) {
  YrTest::DebugCapture capture;
  for (const char* argument : {"!debug.output=off", "!debug.output=FALSE", "!debug.output=0", "!debug.output=no",
                               "!debug.output=Off"}) {
    Options::Set(argument);
    Debug::Init();
    EXPECT_FALSE(Debug::IsEnabled()) << argument;
  }
  // Only the first value counts: a later "on" does not override an earlier "off".
  Options::Set("--debug.output=on");
  Debug::Init();
  EXPECT_FALSE(Debug::IsEnabled());
  WriteThroughEveryOperation();
  EXPECT_TRUE(capture.Pieces().empty());
  Detail::ClearOptions();
}

// In a child: gives the argument, runs Init, and exits 0 when output came on and a write
// reached the sink. What reaches the sink is copied to standard error, which the parent
// reads: the system's own sink is the debugger on Windows.
void CopyToStandardError(void*, const char* bytes, size_t count) { std::fwrite(bytes, 1, count, stderr); }

[[noreturn]] void SwitchOnInChild(const char* argument) {
  Platform::SetDebugCapture({&CopyToStandardError, nullptr});
  Detail::ClearOptions();
  Options::Register("Debug")("debug.output", "switches debug output on", "dbg");
  if (argument) Options::Set(argument);
  Debug::Init();
  Debug::Output("output is on\n");
  std::_Exit(Debug::IsEnabled() ? 0 : 1);
}

TEST(DebugOffDeathTest, TrueValuesAndABareSwitchTurnOutputOn) {
  EXPECT_EXIT(SwitchOnInChild("--debug.output"), testing::ExitedWithCode(0), "output is on");
  EXPECT_EXIT(SwitchOnInChild("--debug.output=On"), testing::ExitedWithCode(0), "output is on");
  EXPECT_EXIT(SwitchOnInChild("/debug.output=7"), testing::ExitedWithCode(0), "output is on");
  EXPECT_EXIT(SwitchOnInChild("!debug.output=TRUE"), testing::ExitedWithCode(0), "output is on");
  EXPECT_EXIT(SwitchOnInChild("--debug.output="), testing::ExitedWithCode(0), "output is on");
  EXPECT_EXIT(SwitchOnInChild("/dbg=on"), testing::ExitedWithCode(0), "output is on");
  EXPECT_EXIT(SwitchOnInChild("--debug.output=off"), testing::ExitedWithCode(1), "");
  EXPECT_EXIT(SwitchOnInChild(nullptr), testing::ExitedWithCode(1), "");
  EXPECT_FALSE(Debug::IsEnabled());
}

}  // namespace
