// The per-module symbol index: its answers against the reader asked afresh for every
// address, over several modules; modules unloaded and others loaded in their place; the
// index statistics.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <link.h>

#include <algorithm>
#include <cstdlib>
#include <random>
#include <string>
#include <vector>

#include "system/debug/symbols.h"
#include "system/memory/static_singleton.h"
#include "system/platform/symbols_platform.h"
#include "tests/debug/probe_library.h"
#include "tests/thread_sanitizer.h"

namespace {

using namespace Yr;

__attribute__((always_inline)) inline int InlinedStep(int value) {
  asm volatile("" : "+r"(value));
  return value * 7 + 2;
}
constexpr int kInlinedCallLine = __LINE__ + 2;
__attribute__((noinline)) int CallsInlinedStep(int value) {
  int stepped = InlinedStep(value);
  asm volatile("" : "+r"(stepped));
  return stepped + 1;
}
// Generous for CallsInlinedStep's code under every preset; the bytes past it fall into
// whatever follows, which is sampled as well.
constexpr uintptr_t kCallerBytes = 160;

struct Answer {
  Platform::SymbolFound found;
  std::string name, module, file;

  bool operator==(const Answer& other) const {
    return found.name == other.found.name && found.module == other.found.module && found.line == other.found.line &&
           found.lineNumber == other.found.lineNumber && name == other.name && module == other.module &&
           file == other.file;
  }
};

std::ostream& operator<<(std::ostream& out, const Answer& answer) {
  return out << "{" << answer.name << " | " << answer.module << " | " << answer.file << ":"
             << answer.found.lineNumber << " flags " << answer.found.name << answer.found.module << answer.found.line
             << "}";
}

Answer Ask(Platform::SymbolSession& session, uintptr_t address) {
  char name[Symbols::kNameLength + 1], module[Symbols::kTextCapacity], file[Symbols::kTextCapacity];
  Answer answer;
  answer.found = Platform::LookupSymbol(session, address, name, sizeof name, module, sizeof module, file, sizeof file);
  answer.name = name;
  answer.module = module;
  answer.file = file;
  return answer;
}

// Two sessions over this process: one through the indexes, one asking the reader afresh.
class SymbolIndexTest : public ::testing::Test {
 protected:
  void SetUp() override {
    if (YrTest::kThreadSanitizer)
      GTEST_SKIP() << YrTest::NotUnderThreadSanitizer("the sanitizer's interceptors change which module answers");
    unsigned long error = 0;
    ASSERT_TRUE(Platform::OpenSymbolSession(mIndexed, nullptr, error)) << error;
    ASSERT_TRUE(Platform::OpenSymbolSession(mPlain, nullptr, error)) << error;
    mPlain.indexed = false;
  }
  void TearDown() override {
    unsigned long error = 0;
    Platform::CloseSymbolSession(mIndexed, error);
    Platform::CloseSymbolSession(mPlain, error);
  }

  // Every address asked of both sessions, in a shuffled order and twice over, so that most
  // answers come from a segment another address of it filled in.
  void ExpectSameAnswers(std::vector<uintptr_t> addresses) {
    std::mt19937 random(7);
    for (int round = 0; round < 2; ++round) {
      std::shuffle(addresses.begin(), addresses.end(), random);
      for (uintptr_t address : addresses) {
        Answer indexed = Ask(mIndexed, address);
        Answer plain = Ask(mPlain, address);
        ASSERT_EQ(indexed, plain) << "at " << reinterpret_cast<void*>(address) << " round " << round;
      }
    }
  }

  Platform::SymbolSession mIndexed;
  Platform::SymbolSession mPlain;
};

struct CodeRange {
  uintptr_t start, end;
};

int FindCode(dl_phdr_info* info, size_t, void* argument) {
  auto* ranges = static_cast<std::vector<CodeRange>*>(argument);
  for (int i = 0; i < info->dlpi_phnum; ++i) {
    const ElfW(Phdr)& header = info->dlpi_phdr[i];
    if (header.p_type == PT_LOAD && (header.p_flags & PF_X))
      ranges->push_back({info->dlpi_addr + header.p_vaddr, info->dlpi_addr + header.p_vaddr + header.p_memsz});
  }
  return 0;
}

// The code of the module holding address.
CodeRange CodeOf(const void* address) {
  std::vector<CodeRange> ranges;
  dl_iterate_phdr(&FindCode, &ranges);
  for (const CodeRange& range : ranges)
    if (reinterpret_cast<uintptr_t>(address) >= range.start && reinterpret_cast<uintptr_t>(address) < range.end)
      return range;
  return {0, 0};
}

// A sample of one module's code: the ends of its code, random addresses, and around the
// start of the symbol before each of them (its first byte, the byte before: the end of the
// one before or a gap, the byte after).
std::vector<uintptr_t> Sample(const void* inModule, int count, unsigned seed) {
  std::vector<uintptr_t> sample;
  CodeRange code = CodeOf(inModule);
  if (code.end == code.start) return sample;
  sample = {code.start, code.start + 1, code.end - 1, code.end};
  std::mt19937 random(seed);
  std::uniform_int_distribution<uintptr_t> offset(0, code.end - code.start - 1);
  for (int i = 0; i < count; ++i) {
    uintptr_t address = code.start + offset(random);
    sample.push_back(address);
    Dl_info info;
    if (dladdr(reinterpret_cast<void*>(address), &info) && info.dli_saddr) {
      uintptr_t start = reinterpret_cast<uintptr_t>(info.dli_saddr);
      for (uintptr_t near : {start - 1, start, start + 1}) sample.push_back(near);
    }
  }
  return sample;
}

bool Emulated() {
  const char* emulator = std::getenv("YR_TEST_EMULATOR");
  return emulator && *emulator;
}

// Smaller samples under an emulator, where every reader lookup is slow.
int SampleSize() { return Emulated() ? 150 : 600; }

TEST_F(SymbolIndexTest, AnswersAsTheReaderAcrossModules) {
  struct Case {
    const char* module;
    const void* inModule;
  };
  const Case cases[] = {
      {"the test program", reinterpret_cast<const void*>(&CallsInlinedStep)},
      {"the library", reinterpret_cast<const void*>(&Platform::LookupSymbol)},
      {"the C++ runtime", reinterpret_cast<const void*>(&std::terminate)},
      {"the C library", reinterpret_cast<const void*>(&std::abort)},
  };
  unsigned seed = 1;
  for (const Case& test : cases) {
    SCOPED_TRACE(test.module);
    std::vector<uintptr_t> sample = Sample(test.inModule, SampleSize(), seed++);
    ASSERT_FALSE(sample.empty());
    ExpectSameAnswers(sample);
  }
  // Far from every module, and a page at the bottom of the address space.
  ExpectSameAnswers({uintptr_t{16}, uintptr_t{4096}, ~uintptr_t{0} - 15});
}

TEST_F(SymbolIndexTest, EveryByteOfAFunctionWithInlinedCodeAnswersAsTheReader) {
  const uintptr_t start = reinterpret_cast<uintptr_t>(&CallsInlinedStep);
  std::vector<uintptr_t> bytes;
  for (uintptr_t address = start - 16; address < start + kCallerBytes; ++address) bytes.push_back(address);
  ExpectSameAnswers(bytes);
  // The inlined body is credited to its call site in the caller, by the index as well.
  int callSites = 0;
  for (uintptr_t address : bytes) {
    Answer answer = Ask(mIndexed, address);
    if (answer.name == "(anonymous namespace)::CallsInlinedStep(int)" && answer.found.lineNumber == kInlinedCallLine)
      ++callSites;
  }
  EXPECT_GT(callSites, 0);
  EXPECT_EQ(CallsInlinedStep(1), 10);
}

// A library unloaded and another loaded, often at the same address: the second one's names,
// never the first one's, both through the indexes and through the process-wide instance.
TEST_F(SymbolIndexTest, UnloadedModulesNeverAnswerForTheirSuccessors) {
  struct Step {
    const char* path;
    const char* name;
  };
  const Step steps[] = {
      {YR_SYMBOL_PROBE_ALPHA, "YrProbe::Probealpha(int)"},
      {YR_SYMBOL_PROBE_BETA, "YrProbe::Probebeta(int)"},
      {YR_SYMBOL_PROBE_ALPHA, "YrProbe::Probealpha(int)"},
  };
  const Symbols& symbols = StaticSingleton<Symbols>::Ref();
  uintptr_t previous = 0;
  for (const Step& step : steps) {
    void* function = nullptr;
    void* library = YrTest::LoadProbe(step.path, &function);
    ASSERT_NE(library, nullptr) << dlerror();
    ASSERT_NE(function, nullptr);
    const uintptr_t address = reinterpret_cast<uintptr_t>(function);
    SCOPED_TRACE(std::string(step.name) + (address == previous ? " where the last one was" : " elsewhere"));
    previous = address;
    for (uintptr_t at : {address, address + 1}) {
      Answer plain = Ask(mPlain, at);
      Answer indexed = Ask(mIndexed, at);
      EXPECT_EQ(indexed, plain);
      // Under an emulator the module list read from /proc is the emulator's view, in which
      // the reader finds the library's file but not its symbols: only the agreement above
      // and the unloading below are checked there.
      if (Emulated()) continue;
      EXPECT_EQ(indexed.name, step.name);
      EXPECT_NE(indexed.module.find(std::string(step.path).substr(std::string(step.path).rfind('/'))),
                std::string::npos)
          << indexed.module;
      char text[Symbols::kTextCapacity];
      symbols.GetFunction(reinterpret_cast<void*>(at), text, sizeof text, false);
      EXPECT_STREQ(text, step.name);
    }
    ASSERT_TRUE(YrTest::UnloadProbe(library));
    // Unloaded: whatever answers now, it is not the library's function.
    char text[Symbols::kTextCapacity];
    symbols.GetFunction(function, text, sizeof text, false);
    EXPECT_STRNE(text, step.name);
    EXPECT_NE(Ask(mIndexed, address).name, step.name);
  }
}

TEST_F(SymbolIndexTest, StatisticsOnceAModuleWasLookedUp) {
  const uintptr_t inProgram = reinterpret_cast<uintptr_t>(&CallsInlinedStep);
  const uintptr_t inRuntime = reinterpret_cast<uintptr_t>(&std::terminate);
  Platform::SymbolIndexInfo info = {};
  EXPECT_FALSE(Platform::SymbolIndexInfoAt(mIndexed, inProgram, info));
  Ask(mIndexed, inProgram);
  Ask(mIndexed, inRuntime);
  ASSERT_TRUE(Platform::SymbolIndexInfoAt(mIndexed, inProgram, info));
  // The program has line rows and functions: many segments of each kind.
  EXPECT_GT(info.nameSegments, 10u);
  EXPECT_GT(info.lineSegments, 10u);
  EXPECT_GE(info.bytes, info.nameSegments * 2 * sizeof(uint32_t));
  EXPECT_GT(info.buildNanoseconds, 0u);
  // The runtime's functions come with no debug information: no line anywhere in it.
  ASSERT_TRUE(Platform::SymbolIndexInfoAt(mIndexed, inRuntime, info));
  EXPECT_GT(info.nameSegments, 1000u);
  EXPECT_EQ(info.lineSegments, 1u);
  // A session that asks the reader keeps no index.
  Ask(mPlain, inProgram);
  EXPECT_FALSE(Platform::SymbolIndexInfoAt(mPlain, inProgram, info));
  EXPECT_FALSE(Platform::SymbolIndexInfoAt(mIndexed, 16, info));
}

}  // namespace
