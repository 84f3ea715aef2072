// Crash handler tests. The crashes happen in a child process (yr_crash_helper); the report
// file, the exit code and the minidump are checked from outside, and the dump is opened with
// lldb as a user would (skipped with a message where lldb is missing).
// std::regex trips a known false -Wmaybe-uninitialized in optimised sanitizer builds of
// GCC 12 (inside std::function); the warning says nothing about this file.
#pragma GCC diagnostic ignored "-Wmaybe-uninitialized"
#include "system/debug/crash_handler.h"

#include <gtest/gtest.h>
#include <signal.h>
#include <stdlib.h>
#ifdef _WIN32
#include <windows.h>
#else
#include <sys/wait.h>
#include <unistd.h>
#endif

#include <algorithm>
#include <cerrno>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <ostream>
#include <regex>
#include <string>
#include <vector>

#include "system/debug/crash_symbols.h"
#include "system/debug/minidump.h"
#include "system/platform/signal_platform.h"
#include "tests/debug/report_text.h"
#include "tests/thread_sanitizer.h"

namespace {

using namespace Yr;
namespace fs = std::filesystem;
namespace Code = Platform::ExceptionCode;

constexpr int kCrashExit = 1;
constexpr const char* kReportName = "report.pcrpt";
constexpr const char* kAccessViolationLine = "Exception C0000005  EXCEPTION_ACCESS_VIOLATION";
using YrTest::kHexPointer;
using YrTest::ReadTextFile;

#ifdef _WIN32
std::string BinaryDir() {
  const char* root = std::getenv("YR_TEST_BINARY_DIR");
  return root ? root : ".";
}
// Programs and the library sit together in bin/, where Windows finds a program's DLLs.
std::string HelperPath() { return BinaryDir() + "/bin/yr_crash_helper.exe"; }
constexpr char kSeparator = '\\';

class TempDir {
 public:
  TempDir() {
    static int sCount = 0;
    char base[MAX_PATH];
    DWORD length = GetTempPathA(sizeof base, base);
    for (int attempt = 0; attempt < 1000; ++attempt) {
      mPath = std::string(base, length) + "yr_crash_" + std::to_string(GetCurrentProcessId()) + "_" +
              std::to_string(++sCount);
      if (CreateDirectoryA(mPath.c_str(), nullptr)) break;
    }
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(mPath, ignored);
  }
  const std::string& Path() const { return mPath; }
  std::string Report() const { return mPath + kSeparator + kReportName; }
  std::string Dump() const { return Report() + ".dmp"; }
  std::string Output() const { return mPath + kSeparator + "output.txt"; }

 private:
  std::string mPath;
};

std::string Quoted(const std::string& argument) { return "\"" + argument + "\""; }

// Runs a program with its standard output and error in outputFile and the environment
// settings ("NAME=value") added; returns its exit code, or -1 when it could not start.
int RunProgram(const std::string& commandLine, const std::string& outputFile,
               const std::vector<std::string>& environment = {}) {
  SECURITY_ATTRIBUTES inherited = {sizeof inherited, nullptr, TRUE};
  HANDLE output = CreateFileA(outputFile.c_str(), GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, &inherited,
                              CREATE_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr);
  std::vector<std::pair<std::string, std::string>> previous;
  for (const std::string& setting : environment) {
    std::string name = setting.substr(0, setting.find('='));
    char value[4096];
    DWORD length = GetEnvironmentVariableA(name.c_str(), value, sizeof value);
    previous.emplace_back(name, length > 0 && length < sizeof value ? std::string(value, length) : std::string());
    SetEnvironmentVariableA(name.c_str(), setting.substr(name.size() + 1).c_str());
  }
  STARTUPINFOA startup = {};
  startup.cb = sizeof startup;
  startup.dwFlags = STARTF_USESTDHANDLES;
  startup.hStdInput = GetStdHandle(STD_INPUT_HANDLE);
  startup.hStdOutput = output;
  startup.hStdError = output;
  PROCESS_INFORMATION process = {};
  std::string line = commandLine;
  BOOL started = CreateProcessA(nullptr, line.data(), nullptr, nullptr, TRUE, 0, nullptr, nullptr, &startup, &process);
  for (const auto& [name, value] : previous) SetEnvironmentVariableA(name.c_str(), value.empty() ? nullptr : value.c_str());
  if (output != INVALID_HANDLE_VALUE) CloseHandle(output);
  if (!started) return -1;
  WaitForSingleObject(process.hProcess, INFINITE);
  DWORD code = 0;
  GetExitCodeProcess(process.hProcess, &code);
  CloseHandle(process.hProcess);
  CloseHandle(process.hThread);
  return static_cast<int>(code);
}

// What RunHelper returns: on Windows the exit code itself.
bool Exited(int status) { return status >= 0; }
int ExitCode(int status) { return status; }

int RunHelper(const std::vector<std::string>& arguments, const std::string& outputFile,
              const std::string& helper = HelperPath(), const std::vector<std::string>& environment = {}) {
  std::string command = Quoted(helper);
  for (const std::string& argument : arguments) command += " " + Quoted(argument);
  return RunProgram(command, outputFile, environment);
}

// lldb is a program of the host: under Wine it is started by its Unix name, with the files
// named by theirs (Wine's own call gives them); elsewhere it is looked for on the PATH.
std::string HostPath(const std::string& path) {
  using UnixNameCall = char*(CDECL*)(const wchar_t*);
  FARPROC address = GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name");
  if (!address) return path;
  UnixNameCall call = reinterpret_cast<UnixNameCall>(reinterpret_cast<void*>(address));
  std::wstring wide(path.begin(), path.end());
  char* unixName = call(wide.c_str());
  if (!unixName) return path;
  std::string result = unixName;
  HeapFree(GetProcessHeap(), 0, unixName);
  return result;
}
bool UnderWine() { return GetProcAddress(GetModuleHandleA("kernel32.dll"), "wine_get_unix_file_name") != nullptr; }

constexpr const char* kNoDebugger = "lldb is not installed";

std::string RunLldb(const std::string& dump, const std::string& commands) {
  TempDir scratch;
  std::string output = scratch.Path() + kSeparator + "lldb.txt";
  std::string lldb = "lldb -b -c '" + HostPath(dump) + "' '" + HostPath(HelperPath()) + "' " + commands;
  if (UnderWine()) {
    // Wine does not wait for a host program to end: the output appears under its name
    // only once lldb is done.
    std::string partial = HostPath(output) + ".partial";
    std::string script = "{ command -v lldb > /dev/null 2>&1 || { echo '" + std::string(kNoDebugger) + "'; exit 0; }; " +
                         lldb + "; } > '" + partial + "' 2>&1; mv '" + partial + "' '" + HostPath(output) + "'";
    RunProgram("/bin/sh -c " + Quoted(script), scratch.Path() + kSeparator + "shell.txt");
    constexpr int kWaitMilliseconds = 60000;
    for (int waited = 0; waited < kWaitMilliseconds && GetFileAttributesA(output.c_str()) == INVALID_FILE_ATTRIBUTES;
         waited += 50)
      Sleep(50);
  } else if (RunProgram(lldb, output) < 0) {
    return kNoDebugger;
  }
  return ReadTextFile(output);
}

bool LldbAvailable() { return RunLldb("", "--version").find(kNoDebugger) == std::string::npos; }

#else
std::string BinaryDir() {
  const char* root = std::getenv("YR_TEST_BINARY_DIR");
  return root ? root : ".";
}
std::string HelperPath() { return BinaryDir() + "/tests/debug/yr_crash_helper"; }

class TempDir {
 public:
  TempDir() {
    char pattern[] = "/tmp/yr_crash_XXXXXX";
    mPath = ::mkdtemp(pattern);
  }
  ~TempDir() {
    std::error_code ignored;
    fs::remove_all(mPath, ignored);
  }
  const std::string& Path() const { return mPath; }
  std::string Report() const { return mPath + "/" + kReportName; }
  std::string Dump() const { return Report() + ".dmp"; }
  // Where the helper's standard output and error go.
  std::string Output() const { return mPath + "/output.txt"; }

 private:
  std::string mPath;
};

// Runs the helper; a 32-bit helper on a kernel that cannot run it directly goes through
// the emulator. Returns the wait status.
// What RunHelper returns: the wait status.
bool Exited(int status) { return WIFEXITED(status); }
int ExitCode(int status) { return WEXITSTATUS(status); }

int RunHelper(const std::vector<std::string>& arguments, const std::string& outputFile,
              const std::string& helper = HelperPath(), const std::vector<std::string>& environment = {}) {
  pid_t child = ::fork();
  if (child == 0) {
    for (const std::string& setting : environment) ::putenv(const_cast<char*>(setting.c_str()));
    // The helper reports its own faults: the sanitizer must leave those signals alone.
    ::setenv("ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigfpe=0:handle_sigill=0:handle_abort=0:detect_leaks=0", 1);
    FILE* out = std::fopen(outputFile.c_str(), "w");
    if (out) {
      ::dup2(::fileno(out), STDOUT_FILENO);
      ::dup2(::fileno(out), STDERR_FILENO);
    }
    std::vector<char*> argv;
    argv.push_back(const_cast<char*>(helper.c_str()));
    for (const std::string& argument : arguments) argv.push_back(const_cast<char*>(argument.c_str()));
    argv.push_back(nullptr);
    ::execv(helper.c_str(), argv.data());
    std::vector<char*> emulated = {const_cast<char*>("qemu-i386"), const_cast<char*>("-L"), const_cast<char*>("/")};
    emulated.insert(emulated.end(), argv.begin(), argv.end());
    ::execvp("qemu-i386", emulated.data());
    ::_exit(127);
  }
  int status = 0;
  while (::waitpid(child, &status, 0) < 0 && errno == EINTR) {
  }
  return status;
}

bool LldbAvailable() { return std::system("command -v lldb > /dev/null 2>&1") == 0; }

std::string RunLldb(const std::string& dump, const std::string& commands) {
  std::string command = "lldb -b -c '" + dump + "' '" + HelperPath() + "' " + commands + " 2>&1";
  std::string output;
  if (FILE* pipe = ::popen(command.c_str(), "r")) {
    char buffer[4096];
    size_t got;
    while ((got = std::fread(buffer, 1, sizeof buffer, pipe)) > 0) output.append(buffer, got);
    ::pclose(pipe);
  }
  return output;
}
#endif

std::vector<std::string> ReportLines(const std::string& path) { return YrTest::SplitReportLines(ReadTextFile(path)); }

// The backtrace lldb prints for the crashing thread must name the function.
void ExpectDebuggerBacktraceNames(const std::string& dump, const std::string& function) {
  if (!LldbAvailable()) {
    std::printf("lldb is not installed: the debugger check of %s is skipped\n", dump.c_str());
    return;
  }
  std::string output = RunLldb(dump, "-o 'bt'");
  if (sizeof(void*) == 4 && output.find("frame #") == std::string::npos) {
    std::printf("lldb could not read the 32-bit dump under emulation: skipped\n%s\n", output.c_str());
    return;
  }
#ifdef _WIN32
  // The system's writer lists the threads in its own order: the crashing one is the one
  // stopped by the exception.
  EXPECT_NE(output.find("stop reason = Exception"), std::string::npos) << output;
#else
  EXPECT_NE(output.find("thread #1"), std::string::npos) << output;
#endif
  EXPECT_NE(output.find(function), std::string::npos) << output;
}

struct CrashCase {
  const char* title;           // the test's name
  const char* name;            // the helper's case
  const char* exceptionLine;   // line 4 of the report
  const char* faultFunction;   // named on the address line (empty: not checked)
  const char* stackFunction;   // named in the stack section
  const char* debuggerFunction;  // named in a debugger's backtrace (null: not checked)
  bool systemAllocator = false;  // crashes inside the C library's allocator
};

// Test listings show a case by its helper name.
void PrintTo(const CrashCase& crash, std::ostream* out) { *out << crash.name; }

constexpr bool kWide = sizeof(void*) == 8;

const CrashCase kCrashCases[] = {
    {"NullPointerWrite", "null", kAccessViolationLine, "CrashNullWrite", "main", "CrashNullWrite"},
    {"IntegerDivideByZero", "divide", "Exception C0000094  EXCEPTION_INT_DIVIDE_BY_ZERO", "CrashDivide", "main",
     "CrashDivide"},
    {"IllegalInstruction", "illegal", "Exception C000001D  EXCEPTION_ILLEGAL_INSTRUCTION", "CrashIllegal", "main",
     "CrashIllegal"},
    {"StackOverflowOnTheAlternateStack", "overflow", "Exception C00000FD  EXCEPTION_STACK_OVERFLOW", "CrashOverflow",
     "CrashOverflow", "CrashOverflow"},
    {"StackOverflowOnALibraryThread", "threadoverflow", "Exception C00000FD  EXCEPTION_STACK_OVERFLOW",
     "CrashOverflow", "CrashOverflow", "CrashOverflow"},
#ifdef _WIN32
    // abort() reaches the handler through the C library's signal: the registers are those
    // at the call of abort, on either width, so the address names the caller of abort.
    {"AbortWritesTheFatalExitCodeWithoutName", "abort", "Exception 40000015  ", "CrashAbort", "main", "CrashAbort"},
    // The C library's allocator and the descriptor limit have no counterpart here: the
    // system's heap does not abort on a broken free list, and handles have no small limit.
#else
    // abort() faults inside the C library, which keeps no frame pointers: the stack section
    // still starts at the function that called it. On 32-bit x86 the signal arrives inside
    // the kernel's system-call gate, which has neither a frame record nor a module file: the
    // walk finds main, and a debugger cannot unwind out of the gate from a minidump.
    {"AbortWritesTheFatalExitCodeWithoutName", "abort", "Exception 40000015  ", "", kWide ? "CrashAbort" : "main",
     kWide ? "CrashAbort" : nullptr},
    // The allocator aborts while it holds its arena's lock, other threads allocating: the
    // report must need neither the allocator nor any lock it may hold.
    {"CrashInsideTheAllocator", "malloc", "Exception 40000015  ", "", "CrashInsideMalloc",
     kWide ? "CrashInsideMalloc" : nullptr, true},
    // Every descriptor taken: the report and the dump still find theirs.
    {"AtTheDescriptorLimit", "descriptors", kAccessViolationLine, "CrashNullWrite", "CrashWithoutDescriptors",
     "CrashNullWrite"},
#endif
};

#if defined(__SANITIZE_ADDRESS__)
constexpr bool kSanitizerAllocator = true;
#else
constexpr bool kSanitizerAllocator = false;
#endif
// A report is written in a few seconds; the watchdog that ends a stuck one waits far longer.
constexpr auto kReportTime = std::chrono::seconds(15);

void CheckCrashReport(const CrashCase& crash) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer takes the fault signals for its own report");
  SCOPED_TRACE(crash.name);
  if (crash.systemAllocator && kSanitizerAllocator) GTEST_SKIP() << "the sanitizer's allocator keeps no free lists";
  TempDir dir;
  auto started = std::chrono::steady_clock::now();
  int status = RunHelper({crash.name, dir.Path()}, dir.Output());
  EXPECT_LT(std::chrono::steady_clock::now() - started, kReportTime);
  ASSERT_TRUE(Exited(status)) << "status " << status << "\n" << ReadTextFile(dir.Output());
  EXPECT_EQ(ExitCode(status), kCrashExit) << ReadTextFile(dir.Output());

  std::vector<std::string> lines = ReportLines(dir.Report());
  ASSERT_GE(lines.size(), 8u) << ReadTextFile(dir.Report());
  EXPECT_TRUE(std::regex_match(lines[0], std::regex("Build \\S+ PC \\S+ @\\S+ [a-z]"))) << lines[0];
  EXPECT_TRUE(std::regex_match(lines[1], std::regex(YrTest::kDateLine))) << lines[1];
  EXPECT_EQ(lines[2], "");
  EXPECT_EQ(lines[3], crash.exceptionLine);
  std::string fault = crash.faultFunction;
  std::regex address("Address: " + kHexPointer + "  .*crash_helper\\.cpp\\(\\d+\\): .*" + fault + ".*");
  if (fault.empty()) address = std::regex("Address: " + kHexPointer + "  .+");
  EXPECT_TRUE(std::regex_match(lines[4], address)) << lines[4];
  EXPECT_EQ(lines[5], "");
  EXPECT_EQ(lines[6], "Stack:");
  // Stack lines by form, not by address; the expected caller among them.
  size_t at = 7;
  bool named = false;
  std::regex stackLine(kHexPointer + "  .+");
  for (; at < lines.size() && !lines[at].empty(); ++at) {
    EXPECT_TRUE(std::regex_match(lines[at], stackLine)) << lines[at];
    named = named || std::regex_match(lines[at], std::regex(".*crash_helper\\.cpp\\(\\d+\\): .*" +
                                                            std::string(crash.stackFunction) + ".*"));
  }
  EXPECT_TRUE(named) << "no stack line names " << crash.stackFunction;
  ASSERT_LT(at + 2, lines.size());
  EXPECT_EQ(lines[at + 1], "Registers");
  const char* first = sizeof(void*) == 8 ? "RAX=" : "EAX=";
  EXPECT_EQ(lines[at + 2].rfind(first, 0), 0u) << lines[at + 2];
  bool flags = false;
  for (size_t i = at; i < lines.size(); ++i) flags = flags || std::regex_match(lines[i], std::regex("Flags=[0-9A-F]{8}"));
  EXPECT_TRUE(flags);
  EXPECT_EQ(lines.back(), "");

  ASSERT_TRUE(fs::exists(dir.Dump()));
  EXPECT_EQ(ReadTextFile(dir.Dump()).substr(0, 4), "MDMP");
  if (crash.debuggerFunction) {
    ExpectDebuggerBacktraceNames(dir.Dump(), crash.debuggerFunction);
  } else {
    std::printf("%s: the debugger backtrace cannot leave the system-call gate on this build: skipped\n", crash.name);
  }
}

class CrashReportTest : public testing::TestWithParam<CrashCase> {};

TEST_P(CrashReportTest, ReportDumpAndExitCode) { CheckCrashReport(GetParam()); }

INSTANTIATE_TEST_SUITE_P(CrashHandlerTest, CrashReportTest, testing::ValuesIn(kCrashCases),
                         [](const testing::TestParamInfo<CrashCase>& info) { return std::string(info.param.title); });

// The symbol helper switched off, missing, or stuck without answering: the report is still
// written whole, in time, with the name of the file mapped at each address for its symbol.
TEST(CrashHandlerTest, WithoutAnAnsweringSymbolHelperTheReportNamesModules) {
  TempDir dir;
#ifdef _WIN32
  // The crash helper itself stands in for a helper that never answers: started with
  // arguments that name no case and this variable set, it waits two minutes.
  std::string stuck = HelperPath();
  const std::vector<std::string> extra = {"YR_CRASH_HELPER_STAYS=1"};
  const std::string moduleName = ".*\\\\yr_crash_helper\\.exe";
#else
  std::string stuck = dir.Path() + "/stuck_symboliser";
  {
    std::ofstream script(stuck);
    script << "#!/bin/sh\nexec sleep 120\n";
  }
  fs::permissions(stuck, fs::perms::owner_all);
  const std::vector<std::string> extra;
  const std::string moduleName = "/.*/yr_crash_helper";
#endif
  struct Choice {
    const char* title;
    std::string program;
    std::chrono::milliseconds within;
  };
  const Choice choices[] = {
      {"off", "", kReportTime},
      {"missing", dir.Path() + "/no_such_symboliser", kReportTime},
      {"stuck", stuck, kReportTime + std::chrono::milliseconds(Detail::kSymboliserMilliseconds)},
  };
  for (const Choice& choice : choices) {
    SCOPED_TRACE(choice.title);
    std::vector<std::string> settings = extra;
    settings.push_back(std::string(Detail::kSymboliserVariable) + "=" + choice.program);
    auto started = std::chrono::steady_clock::now();
    int status = RunHelper({"null", dir.Path()}, dir.Output(), HelperPath(), settings);
    EXPECT_LT(std::chrono::steady_clock::now() - started, choice.within);
    ASSERT_TRUE(Exited(status)) << status;
    EXPECT_EQ(ExitCode(status), kCrashExit);
    std::vector<std::string> lines = ReportLines(dir.Report());
    ASSERT_GE(lines.size(), 8u) << ReadTextFile(dir.Report());
    EXPECT_EQ(lines[3], kAccessViolationLine);
    EXPECT_TRUE(std::regex_match(lines[4], std::regex("Address: " + kHexPointer + "  " + moduleName))) << lines[4];
    // Optimised code that faults in a leaf needs the call-frame information the helper
    // reads to find its caller; without it the walk may find no frame at all.
    if (lines[6] == "Stack:") {
      EXPECT_TRUE(std::regex_match(lines[7], std::regex(kHexPointer + "  " + moduleName))) << lines[7];
    } else {
      EXPECT_TRUE(std::regex_match(lines[6], std::regex("Can not get stack: frame pointer = " + kHexPointer)))
          << lines[6];
    }
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("Registers")), 1);
    EXPECT_EQ(ReadTextFile(dir.Dump()).substr(0, 4), "MDMP");
  }
}

TEST(CrashHandlerTest, CrashDuringTheReportEndsAtOnceAndKeepsWhatWasWritten) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer takes the fault signals for its own report");
  TempDir dir;
  int status = RunHelper({"double", dir.Path()}, dir.Output());
  ASSERT_TRUE(Exited(status)) << status;
  EXPECT_EQ(ExitCode(status), kCrashExit);
  std::vector<std::string> lines = ReportLines(dir.Report());
  // The report stops where the second fault hit: the unreadable client text.
  ASSERT_EQ(lines.size(), 4u);
  EXPECT_EQ(lines[3], kAccessViolationLine);
  EXPECT_FALSE(fs::exists(dir.Dump()));
}

TEST(CrashHandlerTest, DumpKindsGrowAndCarryTheirFlags) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer takes the fault signals for its own report");
  uint64_t previousSize = 0;
  for (int kind : {1, 2, 3}) {
    SCOPED_TRACE(kind);
    TempDir dir;
    int status = RunHelper({"null", dir.Path(), std::to_string(kind)}, dir.Output());
    ASSERT_TRUE(Exited(status));
    std::string dump = ReadTextFile(dir.Dump());
    ASSERT_GE(dump.size(), 32u);
    uint64_t flags = 0;
    std::memcpy(&flags, dump.data() + 24, sizeof flags);
#ifdef _WIN32
    // The system writer's types: indirectly referenced memory 0x40, then data segments 0x1,
    // then full memory 0x2 on top.
    const uint64_t expected[] = {0, 0x40, 0x41, 0x43};
    EXPECT_EQ(flags, expected[kind]);
#else
    EXPECT_EQ(flags, static_cast<uint64_t>(kind - 1));  // normal 0, data segments 1, full memory 2
#endif
#ifdef _WIN32
    // Wine's dump writer takes the data segments' flag and writes nothing more for it.
    if (kind == 2 && UnderWine()) {
      EXPECT_GE(dump.size(), previousSize);
      std::printf("Wine leaves the data segments out of a dump: its size is not compared\n");
    } else {
      EXPECT_GT(dump.size(), previousSize);
    }
#else
    EXPECT_GT(dump.size(), previousSize);
#endif
    previousSize = dump.size();
    if (kind == 3) ExpectDebuggerBacktraceNames(dir.Dump(), "CrashNullWrite");
  }
}

TEST(CrashHandlerTest, NoDumpForKindZeroOrAnOverlongName) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer takes the fault signals for its own report");
  TempDir dir;
  RunHelper({"null", dir.Path(), "0"}, dir.Output());
  EXPECT_TRUE(fs::exists(dir.Report()));
  EXPECT_FALSE(fs::exists(dir.Dump()));

  // Report names of 256 and 257 characters: the first still gets its dump.
  for (size_t length : {Detail::kMaxDumpBaseName, Detail::kMaxDumpBaseName + 1}) {
    std::string base = dir.Path() + "/";
    size_t directoryLength = length - std::strlen(kReportName) - 1;
    base += std::string(directoryLength - base.size(), length == Detail::kMaxDumpBaseName ? 'a' : 'b');
    fs::create_directories(base);
    std::string report = base + "/" + kReportName;
    ASSERT_EQ(report.size(), length);
    RunHelper({"null", base}, dir.Output());
    EXPECT_TRUE(fs::exists(report));
    EXPECT_EQ(fs::exists(report + ".dmp"), length == Detail::kMaxDumpBaseName) << length;
  }
}

TEST(CrashHandlerTest, OtherThreadsAppearInTheDump) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer takes the fault signals for its own report");
  TempDir dir;
  int status = RunHelper({"thread", dir.Path()}, dir.Output());
  ASSERT_TRUE(Exited(status));
  EXPECT_EQ(ExitCode(status), kCrashExit);
  ASSERT_TRUE(fs::exists(dir.Dump()));
  if (!LldbAvailable()) {
    std::printf("lldb is not installed: the thread list check is skipped\n");
    return;
  }
  std::string output = RunLldb(dir.Dump(), "-o 'thread list'");
  if (sizeof(void*) == 4 && output.find("thread #1") == std::string::npos) {
    std::printf("lldb could not read the 32-bit dump under emulation: skipped\n");
    return;
  }
  EXPECT_NE(output.find("thread #2"), std::string::npos) << output;
  EXPECT_NE(output.find("CrashNullWrite"), std::string::npos) << output;
}

// Two threads fault at the same moment: one report is written whole, the other thread waits
// for it instead of ending the process in the middle of it.
TEST(CrashHandlerTest, TwoThreadsCrashingTogetherLeaveOneWholeReport) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer takes the fault signals for its own report");
  for (int round = 0; round < 5; ++round) {
    SCOPED_TRACE(round);
    TempDir dir;
    int status = RunHelper({"both", dir.Path()}, dir.Output());
    ASSERT_TRUE(Exited(status)) << status;
    EXPECT_EQ(ExitCode(status), kCrashExit);
    std::vector<std::string> lines = ReportLines(dir.Report());
    ASSERT_GE(lines.size(), 8u);
    EXPECT_EQ(lines[3], kAccessViolationLine);
    size_t registers = 0;
    while (registers < lines.size() && lines[registers] != "Registers") ++registers;
    ASSERT_LT(registers, lines.size());
    EXPECT_EQ(std::count(lines.begin(), lines.end(), std::string("Registers")), 1);
    EXPECT_EQ(lines.back(), "");
    EXPECT_EQ(ReadTextFile(dir.Dump()).substr(0, 4), "MDMP");
  }
}

TEST(CrashHandlerTest, MiniDumpWithoutACrashReturnsAndOpensInTheDebugger) {
  TempDir dir;
  int status = RunHelper({"minidump", dir.Path()}, dir.Output());
  ASSERT_TRUE(Exited(status));
  EXPECT_EQ(ExitCode(status), 0);
  EXPECT_FALSE(fs::exists(dir.Report()));
  ASSERT_TRUE(fs::exists(dir.Dump()));
  ExpectDebuggerBacktraceNames(dir.Dump(), "DumpHere");
}

TEST(CrashHandlerTest, AssertionInAChildWritesReportAndDump) {
  TempDir dir;
  int status = RunHelper({"assert", dir.Path()}, dir.Output());
  ASSERT_TRUE(Exited(status));
  EXPECT_EQ(ExitCode(status), 0);
  std::vector<std::string> lines = ReportLines(dir.Report());
  ASSERT_GE(lines.size(), 7u);
  EXPECT_EQ(lines[3], "assertion x > 0 failed at 7");
  EXPECT_EQ(lines[5], "Stack:");
  EXPECT_TRUE(std::regex_match(lines[6], std::regex(kHexPointer + "  .*crash_helper\\.cpp\\(\\d+\\): .*AssertHere.*")))
      << lines[6];
  EXPECT_TRUE(fs::exists(dir.Dump()));
}

TEST(CrashHandlerTest, UnloadTakesTheHandlersAndTheAlternateStackAway) {
  TempDir dir;
#ifdef _WIN32
  std::string library = BinaryDir() + "/bin/yrsystem.dll";
  int status = RunHelper({library}, dir.Output(), BinaryDir() + "/bin/yr_unload_probe.exe");
#else
  std::string library = BinaryDir() + "/system/libyrsystem.so";
  int status = RunHelper({library}, dir.Output(), BinaryDir() + "/tests/debug/yr_unload_probe");
#endif
  ASSERT_TRUE(Exited(status)) << status;
  EXPECT_EQ(ExitCode(status), 0) << ReadTextFile(dir.Output());
}

#ifdef _WIN32
// ---- Exception records to signals and codes ------------------------------------------------
// On Windows the record's own code is the report's; the signal is the C signal that matches
// it, and the fault address is the data address of an access, else the instruction's.
TEST(CrashHandlerTest, ExceptionRecordsGiveTheirSignalCodeAndAddress) {
  constexpr int kTrap = 5;  // SIGTRAP, which the C library's header names only for POSIX builds
  const uintptr_t instruction = 0x401000u;
  struct Case {
    DWORD code;
    DWORD parameters;     // 2 for an access: read/write and the data address
    int signal;
    uintptr_t address;    // the fault address read from it
  };
  const Case cases[] = {
      {EXCEPTION_ACCESS_VIOLATION, 2, SIGSEGV, 0x10},
      {EXCEPTION_ACCESS_VIOLATION, 0, SIGSEGV, instruction},  // no parameters: the instruction
      {EXCEPTION_IN_PAGE_ERROR, 2, SIGSEGV, 0x10},
      {EXCEPTION_STACK_OVERFLOW, 0, SIGSEGV, instruction},
      {EXCEPTION_DATATYPE_MISALIGNMENT, 0, SIGSEGV, instruction},
      {EXCEPTION_ARRAY_BOUNDS_EXCEEDED, 0, SIGSEGV, instruction},
      {EXCEPTION_GUARD_PAGE, 0, SIGSEGV, instruction},
      {EXCEPTION_INT_DIVIDE_BY_ZERO, 0, SIGFPE, instruction},
      {EXCEPTION_INT_OVERFLOW, 0, SIGFPE, instruction},
      {EXCEPTION_FLT_DIVIDE_BY_ZERO, 0, SIGFPE, instruction},
      {EXCEPTION_FLT_INVALID_OPERATION, 0, SIGFPE, instruction},
      {EXCEPTION_FLT_UNDERFLOW, 0, SIGFPE, instruction},
      {EXCEPTION_ILLEGAL_INSTRUCTION, 0, SIGILL, instruction},
      {EXCEPTION_PRIV_INSTRUCTION, 0, SIGILL, instruction},
      {EXCEPTION_BREAKPOINT, 0, kTrap, instruction},
      {EXCEPTION_SINGLE_STEP, 0, kTrap, instruction},
      {Code::kFatalAppExit, 0, SIGABRT, 0},  // abort: sent by the process, no address
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << std::hex << c.code << " " << c.parameters);
    EXCEPTION_RECORD record = {};
    record.ExceptionCode = c.code;
    record.ExceptionAddress = reinterpret_cast<void*>(instruction);
    record.NumberParameters = c.parameters;
    record.ExceptionInformation[0] = 1;  // a write
    record.ExceptionInformation[1] = 0x10;
    Platform::SignalFacts facts;
    ASSERT_TRUE(Platform::ReadSignalFacts(&record, facts));
    EXPECT_EQ(facts.signal, c.signal);
    EXPECT_EQ(facts.faultAddress, c.address);
    EXPECT_EQ(facts.sentByProcess, c.code == Code::kFatalAppExit);
    // The stack pointer plays no part: the system tells a stack overflow itself.
    EXPECT_EQ(Platform::ExceptionCodeFor(facts, instruction), c.code);
  }
  Platform::SignalFacts none;
  EXPECT_FALSE(Platform::ReadSignalFacts(nullptr, none));
}

// The registers of a thread's context come through in the report's layout.
TEST(CrashHandlerTest, ContextFromTheSystemKeepsEveryRegister) {
  CONTEXT context = {};
  context.ContextFlags = CONTEXT_CONTROL | CONTEXT_INTEGER | CONTEXT_SEGMENTS;  // no float state
  uintptr_t value = 0x1000;
#if UINTPTR_MAX > 0xFFFFFFFFu
  for (DWORD64* r : {&context.Rax, &context.Rbx, &context.Rcx, &context.Rdx, &context.Rsi, &context.Rdi,
                     &context.Rbp, &context.Rsp, &context.Rip, &context.R8, &context.R15})
    *r = value++;
#else
  for (DWORD* r : {&context.Eax, &context.Ebx, &context.Ecx, &context.Edx, &context.Esi, &context.Edi, &context.Ebp,
                   &context.Esp, &context.Eip})
    *r = value++;
#endif
  context.EFlags = 0x246;
  context.SegCs = 0x33;
  Platform::CpuContext cpu;
  ASSERT_TRUE(Platform::ContextFromOs(&context, cpu));
  const uintptr_t expected[] = {0x1000, 0x1001, 0x1002, 0x1003, 0x1004, 0x1005, 0x1006, 0x1007, 0x1008};
  const uintptr_t got[] = {cpu.ax, cpu.bx, cpu.cx, cpu.dx, cpu.si, cpu.di, cpu.bp, cpu.sp, cpu.ip};
  for (size_t i = 0; i < sizeof got / sizeof got[0]; ++i) EXPECT_EQ(got[i], expected[i]) << i;
#if UINTPTR_MAX > 0xFFFFFFFFu
  EXPECT_EQ(cpu.r8, 0x1009u);
  EXPECT_EQ(cpu.r15, 0x100Au);
#endif
  EXPECT_EQ(cpu.flags, 0x246u);
  EXPECT_EQ(cpu.cs, 0x33u);
  EXPECT_FALSE(cpu.hasFloatState);  // not asked for
  EXPECT_FALSE(Platform::ContextFromOs(nullptr, cpu));
}


#else
// ---- Signal to exception code -----------------------------------------------------------
TEST(CrashHandlerTest, SignalsMapToTheirExceptionCodes) {
  const uintptr_t stack = 0x7F000000u;
  auto code = [&](int signal, int siCode, uintptr_t address, bool sent = false) {
    Platform::SignalFacts facts = {signal, siCode, address, sent};
    return Platform::ExceptionCodeFor(facts, stack);
  };
  EXPECT_EQ(code(SIGSEGV, SEGV_MAPERR, 0), Code::kAccessViolation);
  EXPECT_EQ(code(SIGSEGV, SEGV_ACCERR, 0x1000), Code::kAccessViolation);
  EXPECT_EQ(code(SIGSEGV, SEGV_MAPERR, stack - 8), Code::kStackOverflow);
  EXPECT_EQ(code(SIGSEGV, SEGV_MAPERR, stack - Platform::kStackOverflowReach), Code::kStackOverflow);
  EXPECT_EQ(code(SIGSEGV, SEGV_MAPERR, stack - Platform::kStackOverflowReach - 1), Code::kAccessViolation);
  EXPECT_EQ(code(SIGSEGV, SI_USER, stack, true), Code::kAccessViolation);
  EXPECT_EQ(code(SIGBUS, BUS_ADRALN, 3), Code::kDatatypeMisalignment);
  EXPECT_EQ(code(SIGBUS, BUS_ADRERR, 8), Code::kInPageError);
  EXPECT_EQ(code(SIGFPE, FPE_INTDIV, 0), Code::kIntDivideByZero);
  EXPECT_EQ(code(SIGFPE, FPE_INTOVF, 0), Code::kIntOverflow);
  EXPECT_EQ(code(SIGFPE, FPE_FLTDIV, 0), Code::kFltDivideByZero);
  EXPECT_EQ(code(SIGFPE, FPE_FLTOVF, 0), Code::kFltOverflow);
  EXPECT_EQ(code(SIGFPE, FPE_FLTUND, 0), Code::kFltUnderflow);
  EXPECT_EQ(code(SIGFPE, FPE_FLTRES, 0), Code::kFltInexactResult);
  EXPECT_EQ(code(SIGFPE, FPE_FLTINV, 0), Code::kFltInvalidOperation);
  EXPECT_EQ(code(SIGFPE, FPE_FLTSUB, 0), Code::kArrayBoundsExceeded);
  EXPECT_EQ(code(SIGILL, ILL_ILLOPC, 0), Code::kIllegalInstruction);
  EXPECT_EQ(code(SIGILL, ILL_PRVOPC, 0), Code::kPrivInstruction);
  EXPECT_EQ(code(SIGTRAP, TRAP_BRKPT, 0), Code::kBreakpoint);
  EXPECT_EQ(code(SIGTRAP, SI_KERNEL, 0), Code::kBreakpoint);
  EXPECT_EQ(code(SIGTRAP, TRAP_TRACE, 0), Code::kSingleStep);
  EXPECT_EQ(code(SIGABRT, SI_TKILL, 0, true), Code::kFatalAppExit);
}

#endif

TEST(CrashHandlerTest, ProducedCodesHaveTheirNames) {
  // Every code the handler produces has its name, except the abort status.
  for (uint32_t produced : {Code::kAccessViolation, Code::kStackOverflow, Code::kDatatypeMisalignment,
                            Code::kInPageError, Code::kIntDivideByZero, Code::kIntOverflow, Code::kFltDivideByZero,
                            Code::kFltOverflow, Code::kFltUnderflow, Code::kFltInexactResult,
                            Code::kFltInvalidOperation, Code::kArrayBoundsExceeded, Code::kIllegalInstruction,
                            Code::kPrivInstruction, Code::kBreakpoint, Code::kSingleStep})
    EXPECT_NE(Detail::ExceptionCodeName(produced), nullptr) << std::hex << produced;
  EXPECT_EQ(Detail::ExceptionCodeName(Code::kFatalAppExit), nullptr);
}

TEST(CrashHandlerTest, DumpKindsAndNames) {
  EXPECT_EQ(Detail::DumpKindFor(-1), Detail::kDumpNone);
  EXPECT_EQ(Detail::DumpKindFor(0), Detail::kDumpNone);
  EXPECT_EQ(Detail::DumpKindFor(1), Detail::kDumpNormal);
  EXPECT_EQ(Detail::DumpKindFor(2), Detail::kDumpWithDataSegs);
  EXPECT_EQ(Detail::DumpKindFor(3), Detail::kDumpWithFullMemory);
  EXPECT_EQ(Detail::DumpKindFor(4), Detail::kDumpNormal);
  char name[300];
  ASSERT_TRUE(Detail::DumpFileName("report.pcrpt", name, sizeof name));
  EXPECT_STREQ(name, "report.pcrpt.dmp");
  std::string longest(Detail::kMaxDumpBaseName, 'x');
  EXPECT_TRUE(Detail::DumpFileName(longest.c_str(), name, sizeof name));
  EXPECT_EQ(std::string(name), longest + ".dmp");
  EXPECT_FALSE(Detail::DumpFileName((longest + "x").c_str(), name, sizeof name));
}

}  // namespace
