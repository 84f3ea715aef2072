// Symbol lookup on the running test program: names, files and lines, and the fallbacks.
#include "system/debug/symbols.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#if defined(_WIN32)
#include <windows.h>
#else
#include <dlfcn.h>
#include <unistd.h>
#endif

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "system/debug/crash_symbols.h"
#include "system/memory/static_singleton.h"
#include "tests/debug/probe_library.h"
#include "tests/portable.h"
#include "tests/thread_sanitizer.h"

namespace {

using namespace Yr;

constexpr int kKnownFunctionLine = __LINE__ + 1;
__attribute__((noinline)) int KnownFunction(int value) {
  return value * 3 + 1;
}

// What the system's reader gives for names: the demangled signature on Linux; on Windows
// the qualified name without parameters, and without the anonymous namespace.
#if defined(_WIN32)
constexpr const char* kKnownFunctionName = "KnownFunction";
std::string ProbeFunctionName(const char* probe) { return std::string("YrProbe::Probe") + probe; }
#else
constexpr const char* kKnownFunctionName = "(anonymous namespace)::KnownFunction(int)";
std::string ProbeFunctionName(const char* probe) { return std::string("YrProbe::Probe") + probe + "(int)"; }
#endif

// ---- What the tests need of the system: modules, the executable, the environment --------
struct ModuleOf {
  void* base;
  std::string file;
};
#if defined(_WIN32)
// The module holding address: its first byte and its file.
ModuleOf ModuleHolding(const void* address) {
  HMODULE module = nullptr;
  char file[MAX_PATH] = {};
  if (GetModuleHandleExA(GET_MODULE_HANDLE_EX_FLAG_FROM_ADDRESS | GET_MODULE_HANDLE_EX_FLAG_UNCHANGED_REFCOUNT,
                         static_cast<LPCSTR>(address), &module))
    GetModuleFileNameA(module, file, sizeof file);
  return {reinterpret_cast<void*>(module), file};
}
std::string ExecutableFile() {
  char file[MAX_PATH] = {};
  GetModuleFileNameA(nullptr, file, sizeof file);
  return file;
}
std::string CurrentDirectoryText() {
  char directory[MAX_PATH] = {};
  GetCurrentDirectoryA(sizeof directory, directory);
  return directory;
}
void* SystemLibraryFunction() { return reinterpret_cast<void*>(&GetTickCount64); }
bool ProgramExists(const std::string& path) { return std::filesystem::is_regular_file(path); }
#else
ModuleOf ModuleHolding(const void* address) {
  Dl_info library = {};
  if (dladdr(address, &library) == 0) return {nullptr, ""};
  return {library.dli_fbase, library.dli_fname};
}
std::string ExecutableFile() {
  char executable[4096] = {};
  if (readlink("/proc/self/exe", executable, sizeof executable - 1) <= 0) return "";
  return executable;
}
std::string CurrentDirectoryText() {
  char current[4096] = {};
  return getcwd(current, sizeof current) ? current : "";
}
void* SystemLibraryFunction() { return reinterpret_cast<void*>(&::getpid); }
bool ProgramExists(const std::string& path) { return access(path.c_str(), X_OK) == 0; }
#endif

// Under an emulator (the 32-bit Linux build) the helper reads the emulator's memory map,
// not the program's, and the module list read from /proc names files without the
// program's symbols.
bool EmulatedLinux() {
#if defined(_WIN32)
  return false;
#else
  const char* emulator = std::getenv("YR_TEST_EMULATOR");
  return emulator && *emulator;
#endif
}

std::string Lookup(void* address, unsigned int size, bool withLine, bool* found = nullptr) {
  char out[Symbols::kTextCapacity];
  bool result = StaticSingleton<Symbols>::Ref().GetFunction(address, out, size, withLine);
  if (found) *found = result;
  return out;
}

void* Address(int (*function)(int)) { return reinterpret_cast<void*>(function); }

TEST(SymbolsTest, GetFunction_NameFileAndLine) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer's entry hooks and interceptors change which line and module an address maps to");
  bool found = false;
  std::string text = Lookup(Address(&KnownFunction), Symbols::kTextCapacity, true, &found);
  EXPECT_TRUE(found);
  std::string expectedTail = "symbols_test.cpp(" + std::to_string(kKnownFunctionLine) + "): " + kKnownFunctionName;
  ASSERT_GE(text.size(), expectedTail.size()) << text;
  EXPECT_EQ(text.substr(text.size() - expectedTail.size()), expectedTail);
  for (char c : text.substr(0, text.find('('))) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(c))) << text;

  EXPECT_EQ(Lookup(Address(&KnownFunction), Symbols::kTextCapacity, false, &found), kKnownFunctionName);
  EXPECT_TRUE(found);
  // Cut to size - 1 characters.
  EXPECT_EQ(Lookup(Address(&KnownFunction), 11, false), std::string(kKnownFunctionName).substr(0, 10));
  EXPECT_EQ(Lookup(Address(&KnownFunction), 1, true), "");
}

TEST(SymbolsTest, GetFunction_FallsBackToTheModuleThenToUnavailable) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer's entry hooks and interceptors change which line and module an address maps to");
  // The C library's file header lies in its module but before its first symbol and line.
  ModuleOf library = ModuleHolding(reinterpret_cast<void*>(&std::abort));
  ASSERT_NE(library.base, nullptr);
  bool found = true;
  std::string text = Lookup(library.base, Symbols::kTextCapacity, true, &found);
  EXPECT_FALSE(found);
  ASSERT_TRUE(std::filesystem::path(text).is_absolute()) << text;
  EXPECT_TRUE(std::filesystem::equivalent(text, library.file)) << text << " " << library.file;
  found = true;
  EXPECT_EQ(Lookup(reinterpret_cast<void*>(uintptr_t{16}), Symbols::kTextCapacity, true, &found),
            std::string(Symbols::kNameUnavailable));
  EXPECT_FALSE(found);
}

__attribute__((noinline)) void* ReturnAddressHere() { return __builtin_return_address(0); }
__attribute__((noinline)) void* AddressInsideAFramedBody() {
  void* inside = ReturnAddressHere();
  asm volatile("");
  return inside;
}

TEST(SymbolsTest, FramelessStep_ReadsTheCallFrameInformation) {
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  // At a function's first instruction nothing is pushed yet: the return address is at the
  // stack pointer and the caller's frame pointer is unchanged.
  uintptr_t stack[4] = {0x1230, 0, 0, 0};
  uintptr_t sp = reinterpret_cast<uintptr_t>(stack);
  Platform::FrameStep step = {};
  ASSERT_TRUE(symbols.FramelessStep(reinterpret_cast<uintptr_t>(&KnownFunction), sp, 0xB0, step));
  EXPECT_EQ(step.returnAddress, 0x1230u);
  EXPECT_EQ(step.callerStack, sp + sizeof(void*));
  EXPECT_EQ(step.callerFrame, 0xB0u);
  // After the prologue of a function that keeps its frame, the frame pointer addresses it.
  EXPECT_FALSE(symbols.FramelessStep(reinterpret_cast<uintptr_t>(AddressInsideAFramedBody()), sp, 0xB0, step));
  // Outside every module nothing is known.
  EXPECT_FALSE(symbols.FramelessStep(16, sp, 0xB0, step));
}

// The first instruction of a function that keeps its frame pushes the caller's frame
// pointer (one byte); the rule just after it, on a stack laid out by hand.
TEST(SymbolsTest, FramelessStep_AfterThePushOfTheFramePointer) {
  const uintptr_t entry = reinterpret_cast<uintptr_t>(&KnownFunction);
  constexpr unsigned char kPushFramePointer = 0x55;
  // A compiler may open the function otherwise (the 32-bit build realigns the stack first):
  // then there is no push to stand just after.
  if (*reinterpret_cast<const unsigned char*>(entry) != kPushFramePointer)
    GTEST_SKIP() << "the function does not open with the push of the frame pointer in this build";
  uintptr_t stack[4] = {0xB1, 0x1230, 0, 0};  // the saved frame pointer, then the return address
  const uintptr_t sp = reinterpret_cast<uintptr_t>(stack);
  struct Case {
    uintptr_t ip;
    uintptr_t returnAddress, callerStack, callerFrame;
  };
  const Case cases[] = {
      {entry, 0xB1, sp + sizeof(void*), 0xB0},           // nothing pushed yet: stack[0] is returned to
      {entry + 1, 0x1230, sp + 2 * sizeof(void*), 0xB1},  // pushed: the caller's frame is read back
  };
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  for (const Case& test : cases) {
    SCOPED_TRACE(test.ip - entry);
    Platform::FrameStep step = {};
    ASSERT_TRUE(symbols.FramelessStep(test.ip, sp, 0xB0, step));
    EXPECT_EQ(step.returnAddress, test.returnAddress);
    EXPECT_EQ(step.callerStack, test.callerStack);
    EXPECT_EQ(step.callerFrame, test.callerFrame);
  }
}

TEST(SymbolsTest, SearchPath_ExecutableDirectoryCurrentDirectorySystemAndVariables) {
  std::string directory = ExecutableFile();
  ASSERT_FALSE(directory.empty());
  directory.erase(Platform::DirectoryPartLength(directory.c_str()));
  std::string current = CurrentDirectoryText();
  ASSERT_FALSE(current.empty());
  const std::string separator(1, Platform::kSymbolSearchPathSeparator);
  std::string expected = directory + separator + current;
  if (Symbols::kSystemDebugDirectory) expected += separator + Symbols::kSystemDebugDirectory;
  expected = expected.substr(0, Symbols::kSearchPathLength);

  YrTest::SetEnvironment(Symbols::kSearchPathVariable, "/extra/one");
  YrTest::SetEnvironment(Symbols::kAltSearchPathVariable, "/extra/two");
  {
    Symbols symbols;
    std::string withVariables = expected + separator + "/extra/one" + separator + "/extra/two";
    EXPECT_EQ(std::string(symbols.GetSearchPath()), withVariables.substr(0, Symbols::kSearchPathLength));
    // A second instance answers as the process-wide one does, and closing it leaves the
    // process-wide one answering.
    char out[Symbols::kTextCapacity];
    EXPECT_TRUE(symbols.GetFunction(Address(&KnownFunction), out, sizeof out, false));
    EXPECT_STREQ(out, kKnownFunctionName);
  }
  EXPECT_EQ(Lookup(Address(&KnownFunction), Symbols::kTextCapacity, false), kKnownFunctionName);
  YrTest::UnsetEnvironment(Symbols::kSearchPathVariable);
  YrTest::UnsetEnvironment(Symbols::kAltSearchPathVariable);
  Symbols plain;
  EXPECT_EQ(std::string(plain.GetSearchPath()), expected);
  EXPECT_EQ(KnownFunction(1), 4);
}

// A library unloaded and another loaded, maybe at the same address: the process-wide
// instance names the second one's function, never the first one's.
TEST(SymbolsTest, GetFunction_UnloadedModulesNeverAnswerForTheirSuccessors) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer's interceptors change which module answers");
  struct Step {
    const char* path;
    const char* probe;
  };
  const Step steps[] = {
      {YR_SYMBOL_PROBE_ALPHA, "alpha"},
      {YR_SYMBOL_PROBE_BETA, "beta"},
      {YR_SYMBOL_PROBE_ALPHA, "alpha"},
  };
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  for (const Step& step : steps) {
    SCOPED_TRACE(step.path);
    const std::string name = ProbeFunctionName(step.probe);
    void* function = nullptr;
    void* library = YrTest::LoadProbe(step.path, &function);
    ASSERT_NE(library, nullptr);
    ASSERT_NE(function, nullptr);
    char text[Symbols::kTextCapacity];
    symbols.GetFunction(function, text, sizeof text, false);
    if (!EmulatedLinux()) {
      EXPECT_EQ(text, name);
    }
    ASSERT_TRUE(YrTest::UnloadProbe(library));
    symbols.GetFunction(function, text, sizeof text, false);
    EXPECT_NE(text, name);
  }
}

// A crash report asks the symbol helper, a process of its own, what it would otherwise look
// up here: for every kind of address the answers must be the same texts.
TEST(SymbolsTest, HelperProcessAnswersAsTheLookupInProcess) {
  if (EmulatedLinux())
    GTEST_SKIP() << "an emulated process's memory map is the emulator's, not the program's, to a helper";
  std::string helper = Detail::SymboliserPath();
  ASSERT_FALSE(helper.empty());
  ASSERT_TRUE(ProgramExists(helper)) << helper;
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  void* library = reinterpret_cast<void*>(&Detail::SymboliserPath);
  void* systemLibrary = SystemLibraryFunction();
  void* inside = AddressInsideAFramedBody();
  void* nowhere = reinterpret_cast<void*>(uintptr_t{16});
  Detail::BeginCrashSymbols();
  for (void* address : {Address(&KnownFunction), inside, library, systemLibrary, nowhere}) {
    for (bool withLine : {true, false}) {
      SCOPED_TRACE(address);
      char here[Symbols::kTextCapacity];
      char there[Symbols::kTextCapacity];
      bool foundHere = symbols.GetFunction(address, here, sizeof here, withLine);
      bool foundThere = Detail::CrashSymbolText(address, there, sizeof there, withLine);
      EXPECT_EQ(foundHere, foundThere);
      EXPECT_STREQ(here, there);
    }
  }
  // The call-frame rules too, applied to the same stack.
  uintptr_t stack[4] = {0x1230, 0, 0, 0};
  uintptr_t sp = reinterpret_cast<uintptr_t>(stack);
  for (uintptr_t ip : {reinterpret_cast<uintptr_t>(&KnownFunction), reinterpret_cast<uintptr_t>(inside), uintptr_t{16}}) {
    SCOPED_TRACE(ip);
    Platform::FrameStep here = {}, there = {};
    bool foundHere = symbols.FramelessStep(ip, sp, 0xB0, here);
    EXPECT_EQ(Detail::CrashFramelessStep(ip, sp, 0xB0, there), foundHere);
    EXPECT_EQ(here.returnAddress, there.returnAddress);
    EXPECT_EQ(here.callerStack, there.callerStack);
    EXPECT_EQ(here.callerFrame, there.callerFrame);
  }
  Detail::EndCrashSymbols();
  // Without the helper the text is the name of the file mapped at the address.
  char text[Symbols::kTextCapacity];
  EXPECT_FALSE(Detail::CrashSymbolText(Address(&KnownFunction), text, sizeof text, true));
  EXPECT_EQ(text, ExecutableFile());
}

}  // namespace
