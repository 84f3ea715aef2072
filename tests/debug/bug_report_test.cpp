// Assertion reports, the report writer and its settings, checked in process: the report
// file's lines one by one, stack lines by form rather than by address.
// std::regex trips a known false -Wmaybe-uninitialized in optimised sanitizer builds of
// GCC 12 (inside std::function); the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "system/debug/bug_report.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <ucontext.h>
#include <unistd.h>
#endif

#include <atomic>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <regex>
#include <string>
#include <thread>
#include <vector>

#include "system/debug/crash_handler.h"
#include "system/debug/debug_output.h"
#include "system/options/options.h"
#include "system/platform/process_platform.h"
#include "tests/debug/debug_capture.h"
#include "tests/debug/report_text.h"

namespace {

using namespace Yr;
namespace fs = std::filesystem;

using YrTest::kHexPointer;

// The calling thread's registers in the system's own layout, as a fault hands them over.
#ifdef _WIN32
struct OwnContext {
  CONTEXT context;
  OwnContext() {
    std::memset(&context, 0, sizeof context);
    RtlCaptureContext(&context);
  }
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint64_t InstructionPointer() const { return context.Rip; }
#else
  uint64_t InstructionPointer() const { return context.Eip; }
#endif
};

// A death test runs the whole test again in a process of its own: the directory is named
// after the test, so that both processes find the same one.
std::string NewTemporaryDirectory() {
  char base[MAX_PATH];
  DWORD length = GetTempPathA(sizeof base, base);
  const testing::TestInfo* test = testing::UnitTest::GetInstance()->current_test_info();
  std::string path = std::string(base, length) + "yr_report_" + test->test_suite_name() + "_" + test->name();
  CreateDirectoryA(path.c_str(), nullptr);
  std::error_code ignored;
  fs::remove(path + "/report.pcrpt", ignored);
  return path;
}
#else
struct OwnContext {
  ucontext_t context;
  OwnContext() { getcontext(&context); }
#if UINTPTR_MAX > 0xFFFFFFFFu
  uint64_t InstructionPointer() const { return static_cast<uint64_t>(context.uc_mcontext.gregs[REG_RIP]); }
#else
  uint64_t InstructionPointer() const { return static_cast<uint64_t>(context.uc_mcontext.gregs[REG_EIP]); }
#endif
};

std::string NewTemporaryDirectory() {
  char pattern[] = "/tmp/yr_report_XXXXXX";
  return ::mkdtemp(pattern);
}
#endif

class BugReportTest : public testing::Test {
 protected:
  void SetUp() override {
    mDir = NewTemporaryDirectory();
    BugReport::SetBasePath(mDir.c_str());
    BugReport::SetCrashDumpFormat(0);
    BugReport::SetReportToOutput(false);
  }
  void TearDown() override {
    BugReport::SetBasePath(nullptr);
    BugReport::SetCrashDumpFormat(1);
    BugReport::SetReportToOutput(false);
    std::error_code ignored;
    fs::remove_all(mDir, ignored);
  }
  std::string ReportPath() const { return mDir + "/report.pcrpt"; }
  std::string ReadReport() const { return YrTest::ReadTextFile(ReportPath()); }
  std::vector<std::string> ReportLines() const { return YrTest::SplitReportLines(ReadReport()); }
  static void SwitchDebugOutputOn() {
    Options::Set("--debug.output");
    Debug::Init();
    ASSERT_TRUE(Debug::IsEnabled());
  }
  std::string mDir;
};

__attribute__((noinline)) void ReportFromHere(const char* text) {
  BugReport::AssertReport(__builtin_frame_address(0), text, false);
  asm volatile("");  // keeps the call from becoming a tail call
}

__attribute__((noinline)) void FormattedReportFromHere() {
  BugReport::AssertReportFmt("value %d of %s", 42, "gizmo");
  asm volatile("");
}

void ReportWithOwnContext(unsigned long long code, const char* text) {
  OwnContext own;
  ExceptionPointers pointers = {nullptr, &own.context};
  BugReport::ExceptionHandler(code, &pointers, text);
}

TEST_F(BugReportTest, Defaults_AsBuiltAtLoad) {
  EXPECT_FALSE(BugReport::sDialogsDisabled);
  EXPECT_FALSE(BugReport::sThrowAssertion);
  EXPECT_FALSE(BugReport::sExceptionHandlerDisabled);
  EXPECT_FALSE(BugReport::sAbnormalShutdown);
  EXPECT_TRUE(BugReport::sDisableLogging);
  EXPECT_STREQ(BugReport::sProcessFilename, "unknown");
  EXPECT_EQ(PCBugReport::mFile, decltype(PCBugReport::mFile){PCBugReport::kInvalidFile});
  EXPECT_TRUE(std::regex_match(BugReport::GetBuildInfo(), std::regex("Build YrSystem PC \\d+\\.\\d+\\.\\d+ @\\S+ [a-z]")))
      << BugReport::GetBuildInfo();
}

TEST_F(BugReportTest, SetBasePath_SeparatorAndLengthRules) {
  BugReport::SetBasePath("logs");
  EXPECT_STREQ(BugReport::sReportFilename, "logs/report.pcrpt");
  BugReport::SetBasePath("logs/");
  EXPECT_STREQ(BugReport::sReportFilename, "logs/report.pcrpt");
  BugReport::SetBasePath("logs\\");
  EXPECT_STREQ(BugReport::sReportFilename, "logs\\report.pcrpt");
  BugReport::SetBasePath("");
  EXPECT_STREQ(BugReport::sReportFilename, "report.pcrpt");
  BugReport::SetBasePath(nullptr);
  EXPECT_STREQ(BugReport::sReportFilename, "report.pcrpt");
  // The name never exceeds 259 characters: a long path keeps its first 259 and a slash or
  // the start of the file name only as far as they fit.
  std::string longPath(300, 'p');
  BugReport::SetBasePath(longPath.c_str());
  EXPECT_EQ(std::string(BugReport::sReportFilename), std::string(259, 'p'));
  std::string nearly(250, 'q');
  BugReport::SetBasePath(nearly.c_str());
  EXPECT_EQ(std::string(BugReport::sReportFilename), nearly + "/report.p");
  std::string full(258, 'r');
  BugReport::SetBasePath(full.c_str());
  EXPECT_EQ(std::string(BugReport::sReportFilename), full + "/");
}

TEST_F(BugReportTest, Settings_ThrowAssertionAlsoSetsPrintStack) {
  BugReport::SetThrowAssertion(true);
  EXPECT_TRUE(BugReport::GetThrowAssertion());
  EXPECT_TRUE(BugReport::sPrintAssertionStack);
  BugReport::SetPrintAssertionStack(false);
  EXPECT_TRUE(BugReport::GetThrowAssertion());
  EXPECT_FALSE(BugReport::sPrintAssertionStack);
  BugReport::SetThrowAssertion(false);
  EXPECT_FALSE(BugReport::sPrintAssertionStack);
  BugReport::SetDialogsDisabled(true);
  EXPECT_TRUE(BugReport::GetDialogsDisabled());
  BugReport::SetDialogsDisabled(false);
  const char* name = "game.exe";
  BugReport::SetProcessFilename(name);
  EXPECT_EQ(BugReport::sProcessFilename, name);  // the pointer, not a copy
}

TEST_F(BugReportTest, SetBuildInfo_FormatAndCut) {
  std::string saved = BugReport::GetBuildInfo();
  BugReport::SetBuildInfo("nightly 77");
  EXPECT_STREQ(BugReport::GetBuildInfo(), "Build [PC] nightly 77\n");
  BugReport::SetBuildInfo(std::string(200, 'x').c_str());
  EXPECT_EQ(std::strlen(BugReport::GetBuildInfo()), 127u);
  std::strcpy(BugReport::sBuildInfo, saved.c_str());
}

TEST_F(BugReportTest, AssertReport_FileLinesInOrder) {
  ReportFromHere("the message");
  std::vector<std::string> lines = ReportLines();
  ASSERT_GE(lines.size(), 7u) << ReadReport();
  EXPECT_EQ(lines[0], BugReport::GetBuildInfo());
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(YrTest::kDateLine))) << lines[1];
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], "the message");
  EXPECT_EQ(lines[4], "");
  EXPECT_EQ(lines[5], "Stack:");
  // The walk starts at the frame handed in: its first line is the caller of ReportFromHere.
  EXPECT_TRUE(std::regex_match(lines[6], std::regex(kHexPointer + "  .*bug_report_test\\.cpp\\(\\d+\\): .*TestBody.*")))
      << lines[6];
  for (size_t i = 6; i < lines.size(); ++i) EXPECT_TRUE(std::regex_match(lines[i], std::regex(kHexPointer + "  .+"))) << lines[i];
  EXPECT_TRUE(BugReport::sDisableLogging);  // restored after the report
  EXPECT_EQ(PCBugReport::mFile, decltype(PCBugReport::mFile){PCBugReport::kInvalidFile});
  EXPECT_FALSE(fs::exists(ReportPath() + ".dmp"));
}

TEST_F(BugReportTest, AssertReport_SecondReportReplacesTheFirst) {
  ReportFromHere("first report");
  ReportFromHere("second report");
  std::string text = ReadReport();
  EXPECT_EQ(text.find("first report"), std::string::npos);
  EXPECT_NE(text.find("second report"), std::string::npos);
  EXPECT_EQ(text.find(BugReport::GetBuildInfo()), 0u);
  EXPECT_EQ(text.find(BugReport::GetBuildInfo(), 1), std::string::npos);
}

TEST_F(BugReportTest, AssertReport_NullFramePointerWritesNoStackSection) {
  BugReport::AssertReport(nullptr, "no stack", true);
  std::vector<std::string> lines = ReportLines();
  ASSERT_EQ(lines.size(), 5u) << ReadReport();
  EXPECT_EQ(lines[3], "no stack");
  EXPECT_EQ(lines[4], "");
}

TEST_F(BugReportTest, AssertReport_UnreadableFramePointerSaysSo) {
  void* bad = reinterpret_cast<void*>(uintptr_t{16});
  BugReport::AssertReport(bad, "bad frame", true);
  std::vector<std::string> lines = ReportLines();
  ASSERT_EQ(lines.size(), 6u) << ReadReport();
  EXPECT_EQ(lines[5], "Can not get stack: frame pointer = " + std::string(2 * sizeof(void*) - 2, '0') + "10");
}

TEST_F(BugReportTest, AssertReport_WritesAMinidumpWhenAsked) {
  BugReport::SetCrashDumpFormat(1);
  ReportFromHere("with dump");
  std::ifstream dump(ReportPath() + ".dmp", std::ios::binary);
  char signature[4] = {};
  dump.read(signature, sizeof signature);
  EXPECT_EQ(std::string(signature, 4), "MDMP");
}

TEST_F(BugReportTest, AssertReportFmt_StackBeginsWithItsCaller) {
  FormattedReportFromHere();
  std::vector<std::string> lines = ReportLines();
  ASSERT_GE(lines.size(), 7u) << ReadReport();
  EXPECT_EQ(lines[3], "value 42 of gizmo");
  EXPECT_TRUE(std::regex_match(lines[6], std::regex(kHexPointer + "  .*bug_report_test\\.cpp\\(\\d+\\): .*FormattedReportFromHere.*")))
      << lines[6];
}

TEST_F(BugReportTest, AssertReportFmt_ReportToOutputIsBracketedAndCreatesNoFile) {
  SwitchDebugOutputOn();
  BugReport::SetReportToOutput(true);
  YrTest::DebugCapture capture;
  FormattedReportFromHere();
  std::string text = capture.Joined();
  EXPECT_FALSE(fs::exists(ReportPath()));
  std::string start = "\r\n---------- BugReport start ------\r\n";
  std::string end = "---------- BugReport end ------\r\n";
  ASSERT_EQ(text.rfind(start, 0), 0u) << text;
  ASSERT_GE(text.size(), end.size());
  EXPECT_EQ(text.substr(text.size() - end.size()), end);
  std::string body = text.substr(start.size());
  EXPECT_EQ(body.rfind(std::string(BugReport::GetBuildInfo()) + "\r\n", 0), 0u) << body;
  EXPECT_NE(body.find("\r\nvalue 42 of gizmo\r\n\r\nStack:\r\n"), std::string::npos) << body;
}

TEST_F(BugReportTest, Open_ReportFileThatCannotBeCreatedGoesToTheDebugOutput) {
  SwitchDebugOutputOn();
  BugReport::SetBasePath((mDir + "/missing/directory").c_str());
  EXPECT_FALSE(PCBugReport::Open(BugReport::sReportFilename));
  EXPECT_EQ(PCBugReport::mFile, decltype(PCBugReport::mFile){PCBugReport::kInvalidFile});
  YrTest::DebugCapture capture;
  ReportFromHere("nowhere to go");
  EXPECT_NE(capture.Joined().find("nowhere to go\r\n"), std::string::npos);
  EXPECT_FALSE(fs::exists(mDir + "/missing"));
}

TEST_F(BugReportTest, Writer_FormatsPointersAndCutsLongText) {
  SwitchDebugOutputOn();
  YrTest::DebugCapture capture;
#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wformat"
  PCBugReport::WriteFmt("p=%08p q=%p n=%d", reinterpret_cast<void*>(uintptr_t{0x1A}), reinterpret_cast<void*>(uintptr_t{0xABC}), 5);
#pragma GCC diagnostic pop
  std::string width(2 * sizeof(void*), '0');
  EXPECT_EQ(capture.Joined(), "p=" + width.substr(2) + "1A q=" + width.substr(3) + "ABC n=5");
  capture.Clear();
  PCBugReport::WriteFmtLN("%s", std::string(400, 'z').c_str());
  EXPECT_EQ(capture.Joined(), std::string(255, 'z') + "\r\n");
  capture.Clear();
  PCBugReport::WriteStr("");
  PCBugReport::WriteStrLN("line");
  EXPECT_EQ(capture.Joined(), "line\r\n");
}

TEST_F(BugReportTest, WriteExceptionCode_KnownUnknownAndLowHalf) {
  SwitchDebugOutputOn();
  YrTest::DebugCapture capture;
  PCBugReport::WriteExceptionCode(0xC0000005u);
  EXPECT_EQ(capture.Joined(), "Exception C0000005  EXCEPTION_ACCESS_VIOLATION\r\n");
  capture.Clear();
  PCBugReport::WriteExceptionCode(0x12345678u);
  EXPECT_EQ(capture.Joined(), "Exception 12345678  \r\n");
  capture.Clear();
  PCBugReport::WriteExceptionCode(0x1C00000FDull);
  EXPECT_EQ(capture.Joined(), "Exception C00000FD  EXCEPTION_STACK_OVERFLOW\r\n");
}

TEST_F(BugReportTest, WriteRegisters_BlockFromAThreadContext) {
  SwitchDebugOutputOn();
  OwnContext own;
  YrTest::DebugCapture capture;
  PCBugReport::WriteRegisters(&own.context);
  std::string text = capture.Joined();
  std::vector<std::string> lines = YrTest::SplitReportLines(text);
  const std::string& r = kHexPointer;
#if UINTPTR_MAX > 0xFFFFFFFFu
  ASSERT_EQ(lines.size(), 9u) << text;
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("RAX=" + r + "  RBX=" + r + "  RCX=" + r + "  RDX=" + r + "  RSI=" + r + "  RDI=" + r)));
  EXPECT_TRUE(std::regex_match(lines[2], std::regex("R8=" + r + "  R9=" + r + "  R10=" + r + "  R11=" + r)));
  EXPECT_TRUE(std::regex_match(lines[3], std::regex("R12=" + r + "  R13=" + r + "  R14=" + r + "  R15=" + r)));
  char rip[32];
  std::snprintf(rip, sizeof rip, "RIP=%016llX", static_cast<unsigned long long>(own.InstructionPointer()));
  EXPECT_EQ(lines[4], rip);
  EXPECT_TRUE(std::regex_match(lines[5], std::regex("RSP=" + r + "  RBP=" + r)));
  size_t segments = 6;
#else
  ASSERT_EQ(lines.size(), 7u) << text;
  EXPECT_TRUE(std::regex_match(lines[1], std::regex("EAX=" + r + "  EBX=" + r + "  ECX=" + r + "  EDX=" + r + "  ESI=" + r + "  EDI=" + r)));
  char eip[32];
  std::snprintf(eip, sizeof eip, "EIP=%08X", static_cast<unsigned int>(own.InstructionPointer()));
  EXPECT_EQ(lines[2], eip);
  EXPECT_TRUE(std::regex_match(lines[3], std::regex("ESP=" + r + "  EBP=" + r)));
  size_t segments = 4;
#endif
  EXPECT_EQ(lines[0], "Registers");
  EXPECT_TRUE(std::regex_match(lines[segments], std::regex("DS=[0-9A-F]{4}  ES=[0-9A-F]{4}  FS=[0-9A-F]{4}  GS=[0-9A-F]{4}")));
  EXPECT_TRUE(std::regex_match(lines[segments + 1], std::regex("Flags=[0-9A-F]{8}")));
  EXPECT_EQ(lines.back(), "");
  capture.Clear();
  PCBugReport::WriteRegisters(nullptr);
  EXPECT_EQ(capture.Joined(), "");
}

TEST_F(BugReportTest, ExceptionHandler_BreakpointReturnsTheFilterResultWithoutReport) {
  EXPECT_EQ(PCBugReport::ExceptionHandler(0x80000003u, nullptr, nullptr), 1);
  BugReport::SetExceptionHandlerDisabled(true);
  EXPECT_EQ(PCBugReport::ExceptionHandler(0x80000003u, nullptr, nullptr), 0);
  BugReport::SetDialogsDisabled(true);
  EXPECT_EQ(PCBugReport::ExceptionHandler(0x80000003u, nullptr, nullptr), 1);
  BugReport::SetDialogsDisabled(false);
  BugReport::SetExceptionHandlerDisabled(false);
  EXPECT_FALSE(fs::exists(ReportPath()));
}

TEST_F(BugReportTest, ExceptionHandler_OtherCodesReportAndEndTheProcess) {
  // The breakpoint rule looks at the whole code: with an upper half it is reported.
  EXPECT_EXIT(ReportWithOwnContext(0x180000003ull, "client text"), testing::ExitedWithCode(1), "");
  std::vector<std::string> lines = ReportLines();
  ASSERT_GE(lines.size(), 8u) << ReadReport();
  EXPECT_EQ(lines[3], "Exception 80000003  EXCEPTION_BREAKPOINT");
  EXPECT_EQ(lines[4], "client text");
  EXPECT_EQ(lines[5], "");
  EXPECT_TRUE(std::regex_match(lines[6], std::regex("Address: " + kHexPointer + "  .+"))) << lines[6];
  // A crash already being handled ends the process at once, without a report.
  fs::remove(ReportPath());
  EXPECT_EXIT(
      {
        BugReport::SetAbnormalShutdown(true);
        BugReport::ExceptionHandler(0xC0000005u, nullptr, nullptr);
      },
      testing::ExitedWithCode(1), "");
  EXPECT_FALSE(fs::exists(ReportPath()));
}

// The crash handler asks, without the report lock, whether its thread is inside a report
// while other threads write reports. Readers must only ever see no thread or a writer, and
// never themselves (ThreadSanitizer checks the overlap itself).
TEST_F(BugReportTest, ReportingThread_ReadWithoutTheLockWhileOthersReport) {
  constexpr int kWriters = 2, kReaders = 2, kReportsEach = 20;
  std::atomic<int> writersDone{0};
  std::atomic<uint32_t> writerIds[kWriters] = {};
  std::atomic<bool> readerFault{false};
  std::vector<std::thread> threads;
  for (int w = 0; w < kWriters; ++w)
    threads.emplace_back([&, w] {
      writerIds[w] = Platform::OwnThreadId();
      for (int i = 0; i < kReportsEach; ++i) BugReport::AssertReport(nullptr, "from a writer", false);
      ++writersDone;
    });
  for (int r = 0; r < kReaders; ++r)
    threads.emplace_back([&] {
      uint32_t self = Platform::OwnThreadId();
      while (writersDone.load() < kWriters) {
        uint32_t seen = Detail::ReportingThread();
        if (seen == 0) continue;
        bool writer = false;
        for (const auto& id : writerIds) writer = writer || id.load() == seen;
        if (seen == self || !writer) readerFault = true;
      }
    });
  for (std::thread& thread : threads) thread.join();
  EXPECT_FALSE(readerFault);
  EXPECT_EQ(Detail::ReportingThread(), 0u);
  std::vector<std::string> lines = ReportLines();
  ASSERT_GE(lines.size(), 4u);
  EXPECT_EQ(lines[3], "from a writer");
}

}  // namespace
