#include "system/options/options.h"

#include <gtest/gtest.h>

#include <cstdlib>
#include <set>
#include <string>
#include <vector>

#include "system/debug/debug_output.h"
#include "system/memory/allocator.h"
#include "system/platform/platform.h"

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

// Collects every piece written to the debug sink while alive.
struct DebugCapture {
  std::vector<std::string> pieces;
  Platform::DebugCaptureSlot previous;
  DebugCapture() {
    previous = Platform::SetDebugCapture({[](void* context, const char* bytes, size_t count) {
                                            static_cast<DebugCapture*>(context)->pieces.emplace_back(bytes, count);
                                          },
                                          this});
  }
  ~DebugCapture() { Platform::SetDebugCapture(previous); }
};

TEST_F(OptionsTest, Set_ValuesAccumulateAndTheFirstWins) {
  Options::Set("--size=1");
  Options::Set("--size=2");
  Options::Set("/size=3");
  EXPECT_EQ(Options::Count("size"), 3u);
  EXPECT_EQ(Text(Options::Get("size", 0)), "1");
  EXPECT_EQ(Text(Options::Get("size", 2)), "3");
  // Beyond the values: the null handle, not the empty text.
  EXPECT_EQ(Options::Get("size", 3), StringId::null);
  EXPECT_NE(Options::Get("size", 3), StringId(""));
  const Options::ValueList* list = Options::GetValueList("size");
  ASSERT_NE(list, nullptr);
  EXPECT_EQ(list->Count(), 3u);
  EXPECT_EQ(Text((*list)[1]), "2");
  // Unknown names give empty results and create nothing.
  EXPECT_FALSE(Options::Test("unknown"));
  EXPECT_FALSE(Options::TestSwitch("unknown"));
  EXPECT_EQ(Options::Count("unknown"), 0u);
  EXPECT_EQ(Options::GetValueList("unknown"), nullptr);
  EXPECT_EQ(Options::Get("unknown", 0), StringId::null);
  EXPECT_EQ(RecordCount(), 1u);
}

TEST_F(OptionsTest, Set_BangDiscardsEarlierValues) {
  Options::Set("--size=1");
  Options::Set("--size=2");
  Options::Set("!size=4");
  ASSERT_EQ(Options::Count("size"), 1u);
  EXPECT_EQ(Text(Options::Get("size", 0)), "4");
  Options::Set("--size=5");
  EXPECT_EQ(Text(Options::Get("size", 1)), "5");
  // Alone it leaves the option set without values, which reads as a switch that is on.
  Options::Set("!size");
  EXPECT_TRUE(Options::Test("size"));
  EXPECT_EQ(Options::Count("size"), 0u);
  EXPECT_TRUE(Options::TestSwitch("size"));
  // Every leading '!' is stripped; an unknown name is created set.
  Options::Set("!!!fresh=x");
  EXPECT_EQ(Text(Options::Get("fresh", 0)), "x");
  Options::Set("!fresh=");
  EXPECT_TRUE(Options::Test("fresh"));
  EXPECT_EQ(Options::Count("fresh"), 0u);
}

TEST_F(OptionsTest, Set_EmptyValueSetsWithoutStoringAValue) {
  Options::Set("--flag=");
  EXPECT_TRUE(Options::Test("flag"));
  EXPECT_EQ(Options::Count("flag"), 0u);
  ASSERT_NE(Options::GetValueList("flag"), nullptr);
  EXPECT_TRUE(Options::GetValueList("flag")->Empty());
  Options::Set("--flag");
  Options::Set("/flag");
  EXPECT_EQ(Options::Count("flag"), 0u);
  EXPECT_TRUE(Options::TestSwitch("flag"));
}

TEST_F(OptionsTest, Set_IgnoredAndForeignFormsChangeNothing) {
  for (const char* argument : {"-x", "-", "-x=1", "//x", "//x=1", "//", "--", "/", "!", "---", "--=v", "/=v", "!=v",
                               "x", "x=1", "", "@file", " --x", "=x"}) {
    Options::Set(argument);
    EXPECT_EQ(RecordCount(), 0u) << '"' << argument << '"';
  }
  Options::Set(nullptr);
  EXPECT_EQ(RecordCount(), 0u);
  EXPECT_FALSE(Options::Test("x"));
  // The caller learns which words were option arguments (handled here, even when ignored).
  EXPECT_TRUE(Detail::ApplyOptionArgument("-x"));
  EXPECT_TRUE(Detail::ApplyOptionArgument("//x"));
  EXPECT_TRUE(Detail::ApplyOptionArgument("!"));
  EXPECT_FALSE(Detail::ApplyOptionArgument("@file"));
  EXPECT_FALSE(Detail::ApplyOptionArgument("word"));
  EXPECT_FALSE(Detail::ApplyOptionArgument(""));
  EXPECT_FALSE(Detail::ApplyOptionArgument(nullptr));
}

TEST_F(OptionsTest, Set_TakesNameAndValueAsTheyStand) {
  Options::Set("--a b = c d ");
  EXPECT_TRUE(Options::Test("a b "));
  EXPECT_FALSE(Options::Test("a b"));
  EXPECT_EQ(Text(Options::Get("a b ", 0)), " c d ");
  // Split at the first '=' only.
  Options::Set("--k=v=w");
  EXPECT_EQ(Text(Options::Get("k", 0)), "v=w");
  // All leading dashes go; one leading slash.
  Options::Set("----dashes=1");
  EXPECT_EQ(Text(Options::Get("dashes", 0)), "1");
  Options::Set("/slash=2");
  EXPECT_EQ(Text(Options::Get("slash", 0)), "2");
  // The whole text is one argument: no splitting at spaces.
  Options::Set("--x=1 --y=2");
  EXPECT_EQ(Text(Options::Get("x", 0)), "1 --y=2");
  EXPECT_FALSE(Options::Test("y"));
}

TEST_F(OptionsTest, Set_KeepsAtMost1023CharactersAfterThePrefix) {
  const std::string value(2000, 'v');
  Options::Set(("--name=" + value).c_str());
  ASSERT_EQ(Options::Count("name"), 1u);
  EXPECT_EQ(Options::Get("name", 0).Length(), Detail::kMaxArgumentLength - 5);  // "name="
  // The limit counts from behind the stripped prefix, however long that was.
  Options::Set(("!!!!!!!!name=" + value).c_str());
  EXPECT_EQ(Options::Get("name", 0).Length(), Detail::kMaxArgumentLength - 5);
  // A value that ends exactly at the limit is kept whole; one more character is cut.
  const std::string exact(Detail::kMaxArgumentLength - 2, 'e');
  Options::Set(("--n=" + exact).c_str());
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
  EXPECT_TRUE(Options::Test("help"));
  EXPECT_TRUE(Options::Test("?"));
  EXPECT_EQ(RecordCount(), 1u);
  Options::Set("--?=by-alias");
  Options::Add("?", "added");
  EXPECT_EQ(Options::Count("help"), 2u);
  EXPECT_EQ(Text(Options::Get("?", 1)), "added");
  EXPECT_EQ(Options::GetValueList("?"), Options::GetValueList("help"));
  Options::Reset("?", "reset");
  EXPECT_EQ(Options::Count("help"), 1u);
  EXPECT_EQ(Text(Options::Get("help", 0)), "reset");
  // Names and aliases are case-sensitive.
  Options::Set("--Help=x");
  EXPECT_EQ(Options::Count("help"), 1u);
  EXPECT_TRUE(Options::Test("Help"));
  EXPECT_EQ(RecordCount(), 2u);
}

TEST_F(OptionsTest, Register_GivenFirstStaysUnregisteredButTheAliasIsEntered) {
  Options::Set("--late=1");
  Options::Register("Group")("late", "registered after being given", "lt")("plain", "registered only");
  const Detail::OptionRecord* late = Detail::GetOptionRegistry().Find("late");
  ASSERT_NE(late, nullptr);
  EXPECT_FALSE(late->registered);
  EXPECT_EQ(late->group, StringId::null);
  EXPECT_EQ(late->description, StringId::null);
  EXPECT_EQ(Text(Options::Get("lt", 0)), "1");
  // Registration alone does not set an option.
  EXPECT_FALSE(Options::Test("plain"));
  EXPECT_EQ(Options::GetValueList("plain")->Count(), 0u);
  // A second registration of a name keeps the first; an alias registered again follows
  // the latest name.
  Options::Register("Other")("plain", "second description", "p")("target", "aliased", "lt");
  const Detail::OptionRecord* plain = Detail::GetOptionRegistry().Find("plain");
  EXPECT_EQ(Text(plain->group), "Group");
  EXPECT_EQ(Text(plain->description), "registered only");
  EXPECT_EQ(plain->alias, StringId::null);
  Options::Set("--p=via-new-alias");
  EXPECT_EQ(Text(Options::Get("plain", 0)), "via-new-alias");
  Options::Set("/lt=moved");
  EXPECT_EQ(Text(Options::Get("target", 0)), "moved");
  EXPECT_EQ(Options::Count("late"), 1u);
  EXPECT_EQ(Detail::GetOptionRegistry().mAliases.Count(), 2u);
  // A null name registers nothing.
  Options::Register("Group")(StringId(), "nothing", "nn");
  EXPECT_EQ(RecordCount(), 3u);
  EXPECT_EQ(Detail::GetOptionRegistry().mAliases.Count(), 2u);
}

TEST_F(OptionsTest, AddAndReset_MarkSetAndSkipEmptyValues) {
  Options::Add("list", "a");
  Options::Add("list", "");
  Options::Add("list", StringId());
  Options::Add("list", "b");
  EXPECT_EQ(Options::Count("list"), 2u);
  EXPECT_EQ(Text(Options::Get("list", 1)), "b");
  Options::Reset("list", "");
  EXPECT_TRUE(Options::Test("list"));
  EXPECT_EQ(Options::Count("list"), 0u);
  Options::Reset("list", "c");
  EXPECT_EQ(Options::Count("list"), 1u);
  Options::Add("bare", StringId());
  EXPECT_TRUE(Options::Test("bare"));
  // A null or empty name does nothing.
  Options::Add(StringId(), "x");
  Options::Add("", "x");
  Options::Reset(StringId(), "x");
  Options::Reset("", "x");
  EXPECT_EQ(RecordCount(), 2u);
}

TEST_F(OptionsTest, TestSwitch_ReadsValuesAsBooleans) {
  struct Case {
    const char* value;
    bool expected;
  };
  const Case cases[] = {{"off", false}, {"OFF", false}, {"false", false}, {"FaLsE", false}, {"0", false},
                        {"yes", false}, {"+0", false},  {"-0", false},    {" 0x1", false},  {"on", true},
                        {"On", true},   {"TRUE", true}, {"12abc", true},  {" \t7", true},   {"-3", true},
                        {"007", true},  {"99999999999999999999", true},   {"onx", false},   {"truex", false}};
  for (const Case& c : cases) {
    Options::Set((std::string("!switch=") + c.value).c_str());
    EXPECT_EQ(Options::TestSwitch("switch"), c.expected) << '"' << c.value << '"';
    EXPECT_EQ(Detail::ReadBoolean(c.value), c.expected) << '"' << c.value << '"';
  }
  // Only the first value counts.
  Options::Set("!switch=off");
  Options::Set("--switch=on");
  EXPECT_FALSE(Options::TestSwitch("switch"));
  EXPECT_FALSE(Detail::ReadBoolean(nullptr));
}

TEST_F(OptionsTest, RegisterPositional_KeepsNamesInOrder) {
  Options::RegisterPositional()("file")("level");
  const auto& names = Detail::GetOptionRegistry().mPositionalNames;
  ASSERT_EQ(names.Count(), 2u);
  EXPECT_EQ(Text(names[0]), "file");
  EXPECT_EQ(Text(names[1]), "level");
  // Positional names are not options of their own.
  EXPECT_EQ(RecordCount(), 0u);
}

TEST_F(OptionsTest, Sort_OrdersNamesByUnsignedBytes) {
  for (const char* argument : {"--b", "--\xC3\xA9t\xC3\xA9", "--ab", "--a", "--B", "--a.b", "--_"}) Options::Set(argument);
  Detail::SortOptions();
  std::vector<std::string> order;
  for (const Detail::OptionRecord* record : Detail::GetOptionRegistry().mRecords) order.push_back(Text(record->name));
  const std::vector<std::string> expected = {"B", "_", "a", "a.b", "ab", "b", "\xC3\xA9t\xC3\xA9"};
  EXPECT_EQ(order, expected);
}

TEST_F(OptionsTest, Registry_GrowsFromTheDesignedFloors) {
  Detail::OptionRegistry& registry = Detail::GetOptionRegistry();
  Options::Register("G")("one", "first", "o");
  Options::RegisterPositional()("pos");
  Options::Set("--one=v");
  EXPECT_EQ(registry.mRecords.Capacity(), 4u);
  EXPECT_EQ(registry.mAliases.Capacity(), 2u);
  EXPECT_EQ(registry.mPositionalNames.Capacity(), 4u);
  EXPECT_EQ(registry.Find("one")->values.Capacity(), 4u);
  Options::Register("G")("two", "", "t")("three", "", "th");
  EXPECT_EQ(registry.mAliases.Capacity(), 4u);
  // Records are blocks of their own, 16-byte aligned.
  for (const Detail::OptionRecord* record : registry.mRecords) {
    EXPECT_EQ(reinterpret_cast<uintptr_t>(record) % 16, 0u);
  }
}

// Counts the blocks it serves and forgets those freed, to show that nothing is kept.
class TrackingHook : public AllocatorHook {
 public:
  void* AlignedMalloc(unsigned int size, unsigned int alignment) override {
    void* block = OrigAlignedMalloc(size, static_cast<int>(alignment), __FILE__, __LINE__);
    live.insert(block);
    ++allocations;
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
  unsigned int allocations = 0;
};

TEST_F(OptionsTest, Registry_AllocatesThroughTheEntryPointsAndReleasesEverything) {
  TrackingHook hook;
  AllocatorHook* previous = AllocatorHook::Install(&hook);
  Options::Register("Tracked")("tracked.a", "first tracked option", "ta")("tracked.b", "second");
  for (int i = 0; i < 20; ++i) Options::Set(("--tracked.value" + std::to_string(i % 5) + "=" + std::to_string(i)).c_str());
  Options::Set("!tracked.a=1");
  Options::RegisterPositional()("tracked.p");
  Detail::ClearOptions();
  StringId::GC(true);
  AllocatorHook::Install(previous);
  EXPECT_GT(hook.allocations, 0u);
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
  DebugCapture capture;
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
  ASSERT_EQ(capture.pieces.size(), expected.size());
  for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(capture.pieces[i], expected[i] + "\n");
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
  Options::RegisterPositional()("p");
  Options::Set("--a=1");
  registry.mInitialized = true;
  Detail::ClearOptions();
  EXPECT_FALSE(registry.mInitialized);
  EXPECT_EQ(registry.mRecords.Count(), 0u);
  EXPECT_EQ(registry.mAliases.Count(), 0u);
  EXPECT_EQ(registry.mPositionalNames.Count(), 0u);
  EXPECT_FALSE(Options::Test("a"));
  EXPECT_FALSE(Options::Test("x"));
}

TEST(OptionsRegistryDeathTest, TornDownAtUnloadBeforeTheStartupFrame) {
  Detail::GetOptionRegistry();
  EXPECT_EXIT(
      {
        setenv("YR_STARTUP_TRACE", "1", 1);
        std::exit(0);
      },
      testing::ExitedWithCode(0), "teardown option registry\n(.|\n)*teardown messenger slot\n");
}

}  // namespace
