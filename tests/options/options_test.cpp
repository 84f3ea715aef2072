#include "system/options/options.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"
#include "tests/debug/debug_capture.h"
#include "tests/portable.h"

namespace {

using namespace Yr;

std::string Text(const StringId& id) { return id ? std::string(id.CStr()) : std::string("<null>"); }

uint32_t RecordCount() { return Detail::GetOptionRegistry().mRecords.Count(); }

// Every test starts from an empty registry; debug output is switched on once so the help
// listing's writes can be captured.
class OptionsTest : public testing::Test {
 protected:
  static void SetUpTestSuite() {
    Options::Set("--debug.output");
    Debug::Init();
  }
  void SetUp() override {
    ASSERT_TRUE(Debug::IsEnabled());
    Detail::ClearOptions();
  }
  void TearDown() override { Detail::ClearOptions(); }
};

TEST_F(OptionsTest, Set_ValuesAccumulateAndTheFirstWins) {
  for (const char* argument : {"--size=1", "--size=2", "/size=3", "--flag="}) Options::Set(argument);
  EXPECT_EQ(Options::Count("size"), 3u);
  EXPECT_EQ(Text(Options::Get("size", 0)), "1");
  EXPECT_EQ(Text(Options::Get("size", 2)), "3");
  EXPECT_EQ(Text((*Options::GetValueList("size"))[1]), "2");
  // Beyond the values: the null handle, not the empty text.
  EXPECT_EQ(Options::Get("size", 3), StringId::null);
  // An empty value sets the option without storing anything.
  EXPECT_TRUE(Options::Test("flag"));
  EXPECT_TRUE(Options::TestSwitch("flag"));
  ASSERT_NE(Options::GetValueList("flag"), nullptr);
  EXPECT_EQ(Options::Count("flag"), 0u);
  // Unknown names give empty results and create nothing.
  EXPECT_FALSE(Options::Test("unknown") || Options::TestSwitch("unknown"));
  EXPECT_EQ(Options::Count("unknown"), 0u);
  EXPECT_EQ(Options::GetValueList("unknown"), nullptr);
  EXPECT_EQ(RecordCount(), 2u);
}

TEST_F(OptionsTest, Set_BangDiscardsEarlierValues) {
  for (const char* argument : {"--size=1", "--size=2", "!size=4", "--size=5"}) Options::Set(argument);
  ASSERT_EQ(Options::Count("size"), 2u);
  EXPECT_EQ(Text(Options::Get("size", 0)), "4");
  // Alone it leaves the option set without values, which reads as a switch that is on.
  Options::Set("!size");
  EXPECT_TRUE(Options::Test("size"));
  EXPECT_EQ(Options::Count("size"), 0u);
  EXPECT_TRUE(Options::TestSwitch("size"));
  // Every leading '!' is stripped; an unknown name is created set.
  Options::Set("!!!fresh=x");
  EXPECT_EQ(Text(Options::Get("fresh", 0)), "x");
}

TEST_F(OptionsTest, Set_IgnoredAndForeignFormsChangeNothing) {
  for (const char* argument : {"-x", "-", "-x=1", "//x", "//", "--", "/", "!", "---", "--=v", "/=v", "!=v", "x=1", "",
                               "@file", " --x", static_cast<const char*>(nullptr)}) {
    Options::Set(argument);
    EXPECT_EQ(RecordCount(), 0u) << (argument ? argument : "null");
  }
  // The caller learns which words were option arguments (handled here, even when ignored).
  EXPECT_TRUE(Detail::ApplyOptionArgument("-x") && Detail::ApplyOptionArgument("//x") &&
              Detail::ApplyOptionArgument("!"));
  EXPECT_FALSE(Detail::ApplyOptionArgument("@file") || Detail::ApplyOptionArgument("word") ||
               Detail::ApplyOptionArgument("") || Detail::ApplyOptionArgument(nullptr));
}

TEST_F(OptionsTest, Set_TakesNameAndValueAsTheyStand) {
  for (const char* argument : {"--a b = c d ", "--k=v=w", "----dashes=1", "--x=1 --y=2"}) Options::Set(argument);
  EXPECT_FALSE(Options::Test("a b"));
  EXPECT_EQ(Text(Options::Get("a b ", 0)), " c d ");
  EXPECT_EQ(Text(Options::Get("k", 0)), "v=w");  // split at the first '=' only
  EXPECT_EQ(Text(Options::Get("dashes", 0)), "1");
  EXPECT_EQ(Text(Options::Get("x", 0)), "1 --y=2");  // one argument, never split at spaces
  EXPECT_FALSE(Options::Test("y"));
}

TEST_F(OptionsTest, Set_KeepsAtMost1023CharactersAfterThePrefix) {
  // The limit counts from behind the stripped prefix, however long that was.
  const std::string exact(Detail::kMaxArgumentLength - 2, 'e');
  Options::Set(("!!!!!!!!n=" + exact).c_str());
  EXPECT_EQ(Text(Options::Get("n", 0)), exact);
  Options::Set(("--m=" + exact + "X").c_str());
  EXPECT_EQ(Text(Options::Get("m", 0)), exact);
  // A name running past the limit is cut, and the '=' behind it never seen.
  const std::string longName(1100, 'n');
  Options::Set(("--" + longName + "=1").c_str());
  const std::string cutName = longName.substr(0, Detail::kMaxArgumentLength);
  EXPECT_TRUE(Options::Test(cutName.c_str()));
  EXPECT_EQ(Options::Count(cutName.c_str()), 0u);
}

TEST_F(OptionsTest, Aliases_ResolveForEveryQueryAndArgument) {
  Options::Register("System options")("help", "prints a list of all available options", "?");
  EXPECT_FALSE(Options::Test("?"));
  Options::Set("/?");
  EXPECT_TRUE(Options::Test("help") && Options::Test("?"));
  Options::Set("--?=by-alias");
  Options::Add("?", "added");
  EXPECT_EQ(Text(Options::Get("help", 1)), "added");
  Options::Reset("?", "reset");
  EXPECT_EQ(Options::Count("help"), 1u);
  EXPECT_EQ(Options::GetValueList("?"), Options::GetValueList("help"));
  // Names are case-sensitive.
  Options::Set("--Help=x");
  EXPECT_EQ(Options::Count("help"), 1u);
  EXPECT_TRUE(Options::Test("Help"));
  EXPECT_EQ(RecordCount(), 2u);
}

TEST_F(OptionsTest, Register_GivenFirstStaysUnregisteredButTheAliasIsEntered) {
  Options::Set("--late=1");
  Options::Register("Group")("late", "registered after being given", "lt")("plain", "registered only");
  const Detail::OptionRecord* late = Detail::GetOptionRegistry().Find("late");
  EXPECT_FALSE(late->registered);
  EXPECT_EQ(late->description, StringId::null);
  EXPECT_EQ(Text(Options::Get("lt", 0)), "1");
  EXPECT_FALSE(Options::Test("plain"));  // registration alone does not set
  // A name registered again keeps its first registration; an alias follows the latest name.
  Options::Register("Other")("plain", "second description", "p")("target", "aliased", "lt");
  EXPECT_EQ(Text(Detail::GetOptionRegistry().Find("plain")->description), "registered only");
  Options::Set("/lt=moved");
  EXPECT_EQ(Text(Options::Get("target", 0)), "moved");
  EXPECT_EQ(Options::Count("late"), 1u);
  // A null name registers nothing, not even its alias.
  Options::Register("Group")(StringId(), "nothing", "nn");
  EXPECT_EQ(RecordCount(), 3u);
  EXPECT_EQ(Detail::GetOptionRegistry().mAliases.Count(), 2u);
}

// Many names and aliases, re-pointed aliases, a sort and an empty-and-refill: every query
// answers as a walk of the records and alias pairs in registration order would.
TEST_F(OptionsTest, LookupsAgreeWithAWalkAtScale) {
  constexpr int kNames = 3000;
  auto name = [](int i) { return "scale.group" + std::to_string(i % 7) + ".option" + std::to_string(i); };
  auto alias = [](int i) { return "s" + std::to_string(i % 500); };  // each alias re-pointed several times
  for (int round = 0; round < 2; ++round) {
    for (int i = 0; i < kNames; ++i) {
      Options::Register("Scale")(name(i).c_str(), "scaled", i % 3 == 0 ? StringId(alias(i).c_str()) : StringId());
      if (i % 2) Options::Set(("--" + name(i) + "=" + std::to_string(i)).c_str());
    }
    if (round == 0) Detail::SortOptions();
    const Detail::OptionRegistry& registry = Detail::GetOptionRegistry();
    for (int i = 0; i < kNames; ++i) {
      const StringId id(name(i).c_str());
      const Detail::OptionRecord* walked = nullptr;
      for (const Detail::OptionRecord* record : registry.mRecords)
        if (record->name == id) walked = record;
      ASSERT_EQ(registry.FindExact(id), walked) << name(i);
      ASSERT_EQ(Options::Count(id), i % 2 ? 1u : 0u) << name(i);
      const StringId aliasId(alias(i).c_str());
      StringId target = aliasId;
      for (const Detail::OptionAlias& pair : registry.mAliases)
        if (pair.alias == aliasId) target = pair.target;
      ASSERT_EQ(registry.Resolve(aliasId), target) << alias(i);
    }
    EXPECT_EQ(RecordCount(), static_cast<uint32_t>(kNames));
    EXPECT_EQ(registry.mAliases.Count(), 500u);
    EXPECT_EQ(Text(Detail::GetOptionRegistry().Resolve("s0")), name(1500));  // aliased by 0 and 1500
    Detail::ClearOptions();
    EXPECT_EQ(Detail::GetOptionRegistry().Find(name(1).c_str()), nullptr);
    EXPECT_EQ(Text(Detail::GetOptionRegistry().Resolve("s0")), "s0");
  }
}

TEST_F(OptionsTest, AddAndReset_MarkSetAndSkipEmptyValues) {
  for (const char* value : {"a", "", static_cast<const char*>(nullptr), "b"}) Options::Add("list", value);
  EXPECT_EQ(Options::Count("list"), 2u);
  Options::Reset("list", "");
  EXPECT_TRUE(Options::Test("list"));
  EXPECT_EQ(Options::Count("list"), 0u);
  // A null or empty name does nothing.
  for (const char* name : {static_cast<const char*>(nullptr), ""}) {
    Options::Add(name, "x");
    Options::Reset(name, "x");
  }
  EXPECT_EQ(RecordCount(), 1u);
}

TEST_F(OptionsTest, TestSwitch_ReadsValuesAsBooleans) {
  for (const char* value : {"off", "OFF", "false", "FaLsE", "0", "yes", "+0", "-0", " 0x1", "onx", "truex"}) {
    Options::Set((std::string("!switch=") + value).c_str());
    EXPECT_FALSE(Options::TestSwitch("switch")) << '"' << value << '"';
  }
  for (const char* value : {"on", "On", "TRUE", "12abc", " \t7", "-3", "007", "99999999999999999999"}) {
    Options::Set((std::string("!switch=") + value).c_str());
    EXPECT_TRUE(Options::TestSwitch("switch")) << '"' << value << '"';
  }
  // Only the first value counts.
  Options::Set("!switch=off");
  Options::Set("--switch=on");
  EXPECT_FALSE(Options::TestSwitch("switch"));
  EXPECT_FALSE(Detail::ReadBoolean(nullptr));
}

TEST_F(OptionsTest, Sort_OrdersNamesByUnsignedBytes) {
  for (const char* argument : {"--b", "--\xC3\xA9t\xC3\xA9", "--ab", "--a", "--B", "--a.b", "--_"}) Options::Set(argument);
  Detail::SortOptions();
  std::vector<std::string> order;
  for (const Detail::OptionRecord* record : Detail::GetOptionRegistry().mRecords) order.push_back(Text(record->name));
  const std::vector<std::string> expected = {"B", "_", "a", "a.b", "ab", "b", "\xC3\xA9t\xC3\xA9"};
  EXPECT_EQ(order, expected);
}

// Counts the blocks it serves and forgets those freed, to show that nothing is kept.
class TrackingHook : public AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    void* block = OrigAlignedMalloc(size, static_cast<int>(alignment), __FILE__, __LINE__);
    live.insert(block);
    return block;
  }
  void AlignedFree(void* block) override {
    live.erase(block);
    OrigAlignedFree(block);
  }
  unsigned int GetAllocationSize(void* block, unsigned int alignment) override {
    return OrigGetAllocationSize(block, alignment);
  }
  std::set<void*> live;
};

TEST_F(OptionsTest, Registry_AllocatesThroughTheEntryPointsAndReleasesEverything) {
  TrackingHook hook;
  AllocatorHook* previous = AllocatorHook::Install(&hook);
  Options::Register("Tracked")("tracked.a", "first tracked option", "ta")("tracked.b", "second");
  for (int i = 0; i < 20; ++i) Options::Set(("--tracked.value" + std::to_string(i % 5) + "=" + std::to_string(i)).c_str());
  Options::Set("!tracked.a=1");
  Options::RegisterPositional()("tracked.p");
  EXPECT_GT(hook.live.size(), 20u);
  Detail::ClearOptions();
  StringId::GC(true);
  AllocatorHook::Install(previous);
  EXPECT_TRUE(hook.live.empty()) << hook.live.size() << " blocks kept";
}

TEST_F(OptionsTest, HelpListing_ComposesGroupsColumnsAndCuts) {
  Options::Set("--given.first=1");  // given before registration: never listed
  Detail::RegisterBuiltInOptions();
  Options::Register("Render")("render.width", "window width", "rw")("render.x", "")("given.first", "late", "gf")(
      "render.fullscreen", "covers the screen", "fs");
  Options::Register("System options")("system.extra", "joins the first group");
  Options::Set("/unregistered");
  Detail::SortOptions();
  YrTest::DebugCapture capture;
  Detail::BuildHelpListing();
  std::vector<std::string> lines;
  for (const StringId& line : Options::GetHelpLines()) lines.push_back(Text(line));
  // Sorted: given.first, help, options.dump, render.fullscreen, render.width, render.x,
  // system.extra, unregistered. "System options" comes first: "help" is the first
  // registered record. Each group has its own width.
  const std::vector<std::string> expected = {
      "--help (/?)    : prints a list of all available options",
      "--options.dump : prints all options set",
      "--system.extra : joins the first group",
      "--render.fullscreen (/fs) : covers the screen",
      "--render.width (/rw)      : window width",
      "--render.x" + std::string(15, ' '),
  };
  EXPECT_EQ(lines, expected);
  // Every line also reaches the debug output, one piece per line.
  ASSERT_EQ(capture.Pieces().size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(capture.Pieces()[i], expected[i] + "\n");
}

TEST_F(OptionsTest, HelpListing_CutsNamesAliasesAndLongDescriptions) {
  const std::string name(100, 'n');
  const std::string alias(50, 'a');
  const std::string description(3000, 'd');
  Options::Register("Long")(name.c_str(), description.c_str(), alias.c_str())("s", "short");
  Detail::BuildHelpListing();
  const auto& lines = Options::GetHelpLines();
  ASSERT_EQ(lines.Count(), 2u);
  const std::string first = "--" + name.substr(0, Detail::kHelpNameLimit) + " (/" +
                            alias.substr(0, Detail::kHelpAliasLimit) + ")";
  const std::string line0 = Text(lines[0]);
  EXPECT_EQ(line0.size(), Detail::kMaxArgumentLength);
  EXPECT_EQ(line0, (first + " : " + description).substr(0, Detail::kMaxArgumentLength));
  EXPECT_EQ(Text(lines[1]), "--s" + std::string(first.size() - 3, ' ') + " : short");
  // A new listing replaces the old one.
  Detail::ClearOptions();
  Options::Register("Only")("only", "one");
  Detail::BuildHelpListing();
  ASSERT_EQ(Options::GetHelpLines().Count(), 1u);
  EXPECT_EQ(Text(Options::GetHelpLines()[0]), "--only : one");
}

TEST_F(OptionsTest, ClearOptions_EmptiesEverythingAndClearsInitialized) {
  Detail::OptionRegistry& registry = Detail::GetOptionRegistry();
  Options::Register("G")("a", "A", "x");
  Options::RegisterPositional()("file")("level");
  ASSERT_EQ(registry.mPositionalNames.Count(), 2u);
  EXPECT_EQ(Text(registry.mPositionalNames[1]), "level");
  Options::Set("--a=1");
  registry.mInitialized = true;
  Detail::ClearOptions();
  EXPECT_FALSE(registry.mInitialized);
  EXPECT_EQ(registry.mRecords.Count() + registry.mAliases.Count() + registry.mPositionalNames.Count(), 0u);
  EXPECT_FALSE(Options::Test("a") || Options::Test("x"));
}

TEST(OptionsRegistryDeathTest, TornDownAtUnloadBeforeTheStartupFrame) {
  Detail::GetOptionRegistry();
  EXPECT_EXIT(
      {
        YrTest::SetEnvironment("YR_STARTUP_TRACE", "1");
        std::exit(0);
      },
      testing::ExitedWithCode(0), testing::Truly([](const std::string& output) {
        // The registry's teardown line comes before the messenger slot's.
        const size_t registry = output.find("teardown option registry\n");
        return registry != std::string::npos && output.find("teardown messenger slot\n", registry) != std::string::npos;
      }));
}

}  // namespace
