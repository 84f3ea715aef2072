#include <gtest/gtest.h>

#ifdef _WIN32
#include <windows.h>
#endif

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

namespace {

struct Trace {
  std::vector<std::string> lines;
  int status = -1;
};

#ifdef _WIN32
// The probe sits beside this program; the variable reaches it through the environment it
// inherits. The command interpreter drops the outer quotes.
std::string ProbeCommand() {
  _putenv_s("YR_STARTUP_TRACE", "1");
  char path[MAX_PATH];
  const DWORD length = ::GetModuleFileNameA(nullptr, path, MAX_PATH);
  std::string directory(path, length);
  directory.erase(directory.find_last_of("\\/") + 1);
  return "\"\"" + directory + YR_STARTUP_PROBE + "\" 2>&1\"";
}
FILE* OpenPipe(const std::string& command) { return _popen(command.c_str(), "r"); }
int ClosePipe(FILE* pipe) { return _pclose(pipe); }
#else
std::string ProbeCommand() {
  // On a 32-bit build under emulation, the emulator has to run the probe too.
  std::string command = "env YR_STARTUP_TRACE=1 ";
  if (const char* emulator = std::getenv("YR_TEST_EMULATOR"); emulator && *emulator) {
    command += std::string(emulator) + " ";
  }
  return command + YR_STARTUP_PROBE + " 2>&1";
}
FILE* OpenPipe(const std::string& command) { return popen(command.c_str(), "r"); }
int ClosePipe(FILE* pipe) { return pclose(pipe); }
#endif

// Runs the probe with the start-up trace switched on and collects its standard error.
Trace RunProbe() {
  Trace trace;
  FILE* pipe = OpenPipe(ProbeCommand());
  if (!pipe) return trace;
  char line[512];
  while (std::fgets(line, sizeof line, pipe)) {
    std::string text(line);
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    trace.lines.push_back(text);
  }
  trace.status = ClosePipe(pipe);
  return trace;
}

// The order in which loading builds the library's state, by the words each step's trace
// name contains. Steps that do not exist in this build simply do not appear.
const std::vector<std::string> kLoadOrder = {
    "allocation-trace", "bug-report lock", "BugReport", "sentinel",  "string table lock", "string table",
    "managed-memory",   "mount table",     "mount table lock", "banner", "log Spec", "messenger",
    "SimpleHeap",       "StringId::null",  "timer",     "weak-counter"};

int LoadOrderIndex(const std::string& step) {
  // The longest matching key wins, so "string table lock" is not taken for "string table".
  int best = -1;
  size_t bestLength = 0;
  for (size_t i = 0; i < kLoadOrder.size(); ++i) {
    const std::string& key = kLoadOrder[i];
    if (step.find(key) != std::string::npos && key.size() > bestLength) {
      best = static_cast<int>(i);
      bestLength = key.size();
    }
  }
  return best;
}

TEST(StartupOrderTest, DlopenBuildsInOrderAndDlcloseTearsDownInReverse) {
  Trace trace = RunProbe();
  ASSERT_EQ(trace.status, 0) << "probe failed";
  const std::string kBuild = "yr-startup: build ";
  const std::string kTeardown = "yr-startup: teardown ";
  enum { kBefore, kLoading, kLoaded, kUnloaded } phase = kBefore;
  std::vector<std::string> built, tornDown;
  for (const std::string& line : trace.lines) {
    if (line == "probe: loading") phase = kLoading;
    else if (line == "probe: loaded") phase = kLoaded;
    else if (line == "probe: unloaded") phase = kUnloaded;
    else if (line.rfind(kBuild, 0) == 0) {
      EXPECT_EQ(phase, kLoading) << "built outside dlopen: " << line;
      built.push_back(line.substr(kBuild.size()));
    } else if (line.rfind(kTeardown, 0) == 0) {
      EXPECT_EQ(phase, kLoaded) << "torn down outside dlclose: " << line;
      tornDown.push_back(line.substr(kTeardown.size()));
    }
  }
  EXPECT_EQ(phase, kUnloaded);
  // The core steps every build has.
  for (const char* step : {"string table lock", "string table", "managed-memory registry", "StringId::null"}) {
    EXPECT_NE(std::find(built.begin(), built.end(), step), built.end()) << step;
  }
  // Builds follow the load order.
  int previous = -1;
  for (const std::string& step : built) {
    int index = LoadOrderIndex(step);
    if (index < 0) continue;
    EXPECT_GT(index, previous) << step << " is out of order";
    previous = index;
  }
  // Every teardown belongs to a step that was built, and they run in reverse build order.
  std::vector<std::string> reversed;
  for (auto it = built.rbegin(); it != built.rend(); ++it) {
    if (std::find(tornDown.begin(), tornDown.end(), *it) != tornDown.end()) reversed.push_back(*it);
  }
  EXPECT_EQ(tornDown, reversed);
  EXPECT_FALSE(tornDown.empty());
}

}  // namespace
