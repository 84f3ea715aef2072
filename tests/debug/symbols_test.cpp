// Symbol lookup on the running test program: names, files and lines, and the fallbacks.
#include "system/debug/symbols.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <dlfcn.h>

#include <cctype>
#include <cstdlib>
#include <filesystem>
#include <string>

#include "system/debug/crash_symbols.h"
#include "system/memory/static_singleton.h"
#include "tests/thread_sanitizer.h"

namespace {

using namespace Yr;

constexpr int kKnownFunctionLine = __LINE__ + 1;
__attribute__((noinline)) int KnownFunction(int value) {
  return value * 3 + 1;
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
  std::string expectedTail = "symbols_test.cpp(" + std::to_string(kKnownFunctionLine) + "): (anonymous namespace)::KnownFunction(int)";
  ASSERT_GE(text.size(), expectedTail.size()) << text;
  EXPECT_EQ(text.substr(text.size() - expectedTail.size()), expectedTail);
  for (char c : text.substr(0, text.find('('))) EXPECT_FALSE(std::isupper(static_cast<unsigned char>(c))) << text;

  EXPECT_EQ(Lookup(Address(&KnownFunction), Symbols::kTextCapacity, false, &found), "(anonymous namespace)::KnownFunction(int)");
  EXPECT_TRUE(found);
  // Cut to size - 1 characters.
  EXPECT_EQ(Lookup(Address(&KnownFunction), 11, false), "(anonymous");
  EXPECT_EQ(Lookup(Address(&KnownFunction), 1, true), "");
}

TEST(SymbolsTest, GetFunction_FallsBackToTheModuleThenToUnavailable) {
  if (YrTest::kThreadSanitizer) GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer's entry hooks and interceptors change which line and module an address maps to");
  // The C library's ELF header lies in its module but before its first symbol and line.
  Dl_info library = {};
  ASSERT_NE(dladdr(reinterpret_cast<void*>(&std::abort), &library), 0);
  bool found = true;
  std::string text = Lookup(library.dli_fbase, Symbols::kTextCapacity, true, &found);
  EXPECT_FALSE(found);
  ASSERT_EQ(text.rfind('/', 0), 0u) << text;
  EXPECT_TRUE(std::filesystem::equivalent(text, library.dli_fname)) << text << " " << library.dli_fname;
  found = true;
  EXPECT_EQ(Lookup(reinterpret_cast<void*>(uintptr_t{16}), Symbols::kTextCapacity, true, &found), Symbols::kNameUnavailable);
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

TEST(SymbolsTest, SearchPath_ExecutableDirectoryCurrentDirectorySystemAndVariables) {
  char executable[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", executable, sizeof executable - 1), 0);
  std::string directory(executable);
  directory.erase(directory.rfind('/') + 1);
  char current[4096] = {};
  ASSERT_NE(getcwd(current, sizeof current), nullptr);
  std::string expected = directory + ":" + current + ":/usr/lib/debug";
  expected = expected.substr(0, Symbols::kSearchPathLength);

  setenv(Symbols::kSearchPathVariable, "/extra/one", 1);
  setenv(Symbols::kAltSearchPathVariable, "/extra/two", 1);
  {
    Symbols symbols;
    std::string withVariables = expected + ":/extra/one:/extra/two";
    EXPECT_EQ(std::string(symbols.GetSearchPath()), withVariables.substr(0, Symbols::kSearchPathLength));
    // A second instance answers as the process-wide one does.
    char out[Symbols::kTextCapacity];
    EXPECT_TRUE(symbols.GetFunction(Address(&KnownFunction), out, sizeof out, false));
    EXPECT_STREQ(out, "(anonymous namespace)::KnownFunction(int)");
  }
  unsetenv(Symbols::kSearchPathVariable);
  unsetenv(Symbols::kAltSearchPathVariable);
  Symbols plain;
  EXPECT_EQ(std::string(plain.GetSearchPath()), expected);
  EXPECT_EQ(KnownFunction(1), 4);
}

// A crash report asks the symbol helper, a process of its own, what it would otherwise look
// up here: for every kind of address the answers must be the same texts.
TEST(SymbolsTest, HelperProcessAnswersAsTheLookupInProcess) {
  if (const char* emulator = std::getenv("YR_TEST_EMULATOR"); emulator && *emulator)
    GTEST_SKIP() << "an emulated process's memory map is the emulator's, not the program's, to a helper";
  std::string helper = Detail::SymboliserPath();
  ASSERT_FALSE(helper.empty());
  ASSERT_EQ(access(helper.c_str(), X_OK), 0) << helper;
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  void* library = reinterpret_cast<void*>(&Detail::SymboliserPath);
  void* systemLibrary = reinterpret_cast<void*>(&::getpid);
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
  char executable[4096] = {};
  ASSERT_GT(readlink("/proc/self/exe", executable, sizeof executable - 1), 0);
  EXPECT_STREQ(text, executable);
}

}  // namespace
