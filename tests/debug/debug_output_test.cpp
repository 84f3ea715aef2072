#include "system/debug/debug_output.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "system/options/options.h"
#include "tests/debug/debug_capture.h"

namespace {

using namespace Yr;
using Pieces = std::vector<std::string>;

constexpr size_t kFormatLimit = 16383;

// Output stays on for the whole process once switched on, so every test here runs with it on.
class DebugOutputTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    Options::Set("--debug.output");
    Debug::Init();
  }
  void SetUp() override { ASSERT_TRUE(Debug::IsEnabled()); }
  YrTest::DebugCapture capture;
};

TEST_F(DebugOutputTest, Init_SwitchIsNeverTurnedOffAgain) {
  Options::Set("!debug.output=off");
  Debug::Init();
  EXPECT_TRUE(Debug::IsEnabled());
  Options::Set("!debug.output");
}

TEST_F(DebugOutputTest, OutputNumAndNumX_WriteTheDigits) {
  for (unsigned int n : {0u, 7u, 1000000u, 4294967295u}) Debug::OutputNum(n);
  for (unsigned int n : {0x1Au, 0u, 0xFFFFFFFFu, 0xABCDEF01u}) Debug::OutputNumX(n);
  EXPECT_EQ(capture.Pieces(),
            (Pieces{"0", "7", "1000000", "4294967295", "0000001A", "00000000", "FFFFFFFF", "ABCDEF01"}));
}

TEST_F(DebugOutputTest, OutputFmtU_WritesEachPieceOnItsOwn) {
  Debug::OutputFmtU("a%db%s", "text");
  EXPECT_EQ(capture.Pieces(), (Pieces{"a", "b", "text"}));
  capture.Clear();
  Debug::OutputFmtU("100%% done");
  EXPECT_EQ(capture.Pieces(), (Pieces{"100", " done"}));
  capture.Clear();
  Debug::OutputFmtU("no conversion at all");
  EXPECT_EQ(capture.Pieces(), (Pieces{"no conversion at all"}));
  capture.Clear();
  Debug::OutputFmtU("%u items at %x, named %s.", 42u, 0xBEEFu, "pool");
  EXPECT_EQ(capture.Pieces(), (Pieces{"42", " items at ", "0000BEEF", ", named ", "pool", "."}));
  capture.Clear();
  // Unknown conversions take no argument: the %s after them still gets the first one.
  Debug::OutputFmtU("%d%i%c%s", "first");
  EXPECT_EQ(capture.Pieces(), (Pieces{"first"}));
  capture.Clear();
  // A null text writes nothing.
  Debug::OutputFmtU("[%s]", static_cast<const char*>(nullptr));
  EXPECT_EQ(capture.Pieces(), (Pieces{"[", "]"}));
}

TEST_F(DebugOutputTest, OutputFmtU_LoneTrailingPercentStopsTheFormat) {
  // The character after a final '%' is the terminator: nothing is converted and nothing
  // behind the format is read.
  const char format[] = {'a', 'b', '%', '\0', 'X', '%', 's', '\0'};
  Debug::OutputFmtU(format, "must not be written");
  EXPECT_EQ(capture.Pieces(), (Pieces{"ab"}));
  capture.Clear();
  Debug::OutputFmtU("%");
  EXPECT_TRUE(capture.Pieces().empty());
  Debug::OutputFmtU("%s%", "x");
  EXPECT_EQ(capture.Pieces(), (Pieces{"x"}));
}

TEST_F(DebugOutputTest, OutputFmtU_LongLiteralRunsAreWrittenWhole) {
  const std::string run(40000, 'r');
  Debug::OutputFmtU((run + "%u" + run).c_str(), 5u);
  EXPECT_EQ(capture.Pieces(), (Pieces{run, "5", run}));
}

TEST_F(DebugOutputTest, OutputFmt_FormatsByPrintfRulesAndCuts) {
  Debug::OutputFmt("%d-%s-%04x-%.2f", -5, "x", 0x2a, 1.5);
  EXPECT_EQ(capture.Pieces(), (Pieces{"-5-x-002a-1.50"}));
  capture.Clear();
  const std::string longText(20000, 'L');
  Debug::OutputFmt("%s", longText.c_str());
  ASSERT_EQ(capture.Pieces().size(), 1u);
  EXPECT_EQ(capture.Pieces()[0], longText.substr(0, kFormatLimit));
}

TEST_F(DebugOutputTest, OutputFmtCR_AlwaysEndsWithALineFeed) {
  Debug::OutputFmtCR("line %u", 1u);
  EXPECT_EQ(capture.Pieces(), (Pieces{"line 1\n"}));
  capture.Clear();
  // A result that just fits keeps every character.
  const std::string fits(kFormatLimit - 1, 'f');
  Debug::OutputFmtCR("%s", fits.c_str());
  ASSERT_EQ(capture.Pieces().size(), 1u);
  EXPECT_EQ(capture.Pieces()[0], fits + "\n");
  capture.Clear();
  // Longer results are cut one character early so the line feed still fits.
  for (size_t length : {kFormatLimit, kFormatLimit + 1, size_t{50000}}) {
    const std::string text(length, 'c');
    Debug::OutputFmtCR("%s", text.c_str());
    ASSERT_EQ(capture.Pieces().size(), 1u);
    EXPECT_EQ(capture.Pieces()[0], std::string(kFormatLimit - 1, 'c') + "\n") << length;
    capture.Clear();
  }
  Debug::OutputFmtCR("%s", "");
  EXPECT_EQ(capture.Pieces(), (Pieces{"\n"}));
}

TEST_F(DebugOutputTest, PrintAndOutput_ReachTheirSinks) {
  testing::internal::CaptureStdout();
  Debug::Output("debugger only");
  Debug::Print("both sinks\n");
  Debug::Flush();
  const std::string standardOutput = testing::internal::GetCapturedStdout();
  EXPECT_EQ(capture.Pieces(), (Pieces{"debugger only", "both sinks\n"}));
  EXPECT_EQ(standardOutput, "both sinks\n");
  capture.Clear();
  Debug::Output(nullptr);
  Debug::Print(nullptr);
  EXPECT_TRUE(capture.Pieces().empty());
}

}  // namespace
