#include "system/options/command_line.h"

#include <gtest/gtest.h>

#include <random>
#include <string>
#include <vector>

#include "system/debug/debug_output.h"
#include "system/options/options.h"
#include "tests/debug/debug_capture.h"
#include "tests/io/temp_dir.h"

namespace {

using namespace Yr;

std::vector<std::string> Split(const char* line) {
  Options::TokenList tokens;
  Options::SplitLine(line, tokens);
  std::vector<std::string> words;
  for (const StringId& token : tokens) words.push_back(token.CStr());
  return words;
}

using Words = std::vector<std::string>;

TEST(SplitLineTest, SpacesQuotesAndBackslashes) {
  EXPECT_EQ(Split(nullptr), Words{});
  EXPECT_EQ(Split(" \t\r\n "), Words{});
  EXPECT_EQ(Split("prog --a \"x y\" /b=1"), (Words{"prog", "--a", "x y", "/b=1"}));
  // a\\"b c: two backslashes give one, and the quote opens a part that runs to the end.
  EXPECT_EQ(Split("a\\\\\"b c"), (Words{"a\\b c"}));
  // a\"b: an escaped quote is literal.
  EXPECT_EQ(Split("a\\\"b"), (Words{"a\"b"}));
  EXPECT_EQ(Split("a\\\\\\\"b"), (Words{"a\\\"b"}));  // three backslashes: one, then a quote
  EXPECT_EQ(Split("\"\" x"), (Words{"", "x"}));      // a pair of quotes is an empty word
  EXPECT_EQ(Split("x \"\""), (Words{"x"}));          // ... but not at the very end
  EXPECT_EQ(Split("x \""), (Words{"x", ""}));        // the line ended inside quotes
  EXPECT_EQ(Split("a\\b c\\\\"), (Words{"a\\b", "c\\\\"}));  // backslashes not before a quote
  // Only the space separates; after it all white space is skipped.
  EXPECT_EQ(Split("  a\tb  \t\r\n c  "), (Words{"a\tb", "c"}));
  EXPECT_EQ(Split("say \"it's  \"done"), (Words{"say", "it's  done"}));
}

TEST(SplitLineTest, WordsOf1023CharactersAreDroppedWhole) {
  std::string kept(1022, 'k');
  std::string dropped(1023, 'd');
  std::string line = kept + " " + dropped + " next";
  EXPECT_EQ(Split(line.c_str()), (Words{kept, "next"}));
  // A quoted over-long word is dropped up to its real end, spaces inside included.
  std::string quoted = "a \"" + std::string(600, 'q') + " " + std::string(600, 'q') + "\" b";
  EXPECT_EQ(Split(quoted.c_str()), (Words{"a", "b"}));
  // Escapes count as the characters they give.
  std::string escaped = std::string(1021, 'e') + "\\\"";  // 1022 characters after unescaping
  EXPECT_EQ(Split(escaped.c_str()), (Words{std::string(1021, 'e') + "\""}));
  std::string last = "x " + std::string(5000, 'z');
  EXPECT_EQ(Split(last.c_str()), (Words{"x"}));
}

class CommandLineTest : public YrTest::TempDirTest {
 protected:
  void SetUp() override {
    TempDirTest::SetUp();
    Options::Done();
  }
  void TearDown() override {
    Options::Done();
    TempDirTest::TearDown();
  }
  // Runs Init with the argument vector given as words.
  bool InitWith(const Words& words, const char* base) {
    std::vector<char*> argv;
    for (const std::string& word : words) argv.push_back(const_cast<char*>(word.c_str()));
    return Options::Init(static_cast<int>(argv.size()), argv.data(), base);
  }
  bool InitWithFile(const std::string& text) {
    WriteText("opts.cfg", text);
    return InitWith({"prog", "@opts.cfg"}, mDir.string().c_str());
  }
  static std::vector<std::string> Values(const char* name) {
    std::vector<std::string> values;
    for (unsigned int i = 0; i < Options::Count(name); ++i) values.push_back(Options::Get(name, i).CStr());
    return values;
  }
};

TEST_F(CommandLineTest, InitAppliesArgumentsOnceUntilDone) {
  EXPECT_TRUE(InitWith({"prog"}, mDir.string().c_str()));  // no pcrun.cfg: still true
  EXPECT_FALSE(Options::Test("help"));
  EXPECT_TRUE(Options::GetHelpLines().Empty());

  EXPECT_FALSE(InitWith({"prog", "--late=1"}, mDir.string().c_str()));
  EXPECT_FALSE(Options::Test("late"));  // the second Init applied nothing

  Options::Done();
  Options::Register("Test")("zeta", "last")("alpha", "first");
  EXPECT_TRUE(InitWith({"prog", "--b=2", "-x", "//y", "/a=1", "!b=3", "--flag"}, nullptr));
  EXPECT_EQ(Values("a"), Words{"1"});
  EXPECT_EQ(Values("b"), Words{"3"});
  EXPECT_TRUE(Options::TestSwitch("flag"));
  EXPECT_FALSE(Options::Test("x"));
  EXPECT_FALSE(Options::Test("y"));
  // The built-ins are registered and every record is sorted by name.
  std::vector<std::string> names;
  for (const Detail::OptionRecord* record : Detail::GetOptionRegistry().mRecords) names.push_back(record->name.CStr());
  EXPECT_EQ(names, (Words{"a", "alpha", "b", "flag", "help", "options.dump", "zeta"}));

  // The text form: its first word stands for the program name.
  Options::Done();
  EXPECT_TRUE(Options::Init("prog.exe --c=\"two words\" /d", nullptr));
  EXPECT_EQ(Values("c"), Words{"two words"});
  EXPECT_TRUE(Options::Test("d"));
  EXPECT_FALSE(Options::Init("prog.exe --e", nullptr));

  // A null entry of the argument vector is skipped in its place.
  Options::Done();
  char prog[] = "prog";
  char g[] = "--g";
  char* argv[] = {prog, nullptr, g};
  EXPECT_TRUE(Options::Init(3, argv, nullptr));
  EXPECT_TRUE(Options::Test("g"));
}

TEST_F(CommandLineTest, PositionalWords) {
  Options::RegisterPositional()("file")("level");
  EXPECT_TRUE(InitWith({"prog", "one", "two", "three"}, nullptr));
  EXPECT_EQ(Values("file"), Words{"one"});
  EXPECT_EQ(Values("level"), (Words{"two", "three"}));

  // A second run starts at the first positional name again.
  Options::Done();
  Options::RegisterPositional()("file");
  EXPECT_TRUE(InitWith({"prog", "again"}, nullptr));
  EXPECT_EQ(Values("file"), Words{"again"});

  // Without positional names words are dropped.
  Options::Done();
  EXPECT_TRUE(InitWith({"prog", "lost", "--kept"}, nullptr));
  EXPECT_TRUE(Options::Test("kept"));
  EXPECT_EQ(Detail::GetOptionRegistry().mRecords.Count(), 3u);  // kept and the two built-ins

  // The name is cut to 32 characters and the word to 988.
  Options::Done();
  std::string longName(40, 'n');
  Options::RegisterPositional()(longName.c_str());
  std::string longWord(1000, 'w');
  EXPECT_TRUE(InitWith({"prog", longWord}, nullptr));
  EXPECT_EQ(Values(longName.substr(0, 32).c_str()), Words{longWord.substr(0, 988)});
}

TEST_F(CommandLineTest, DefaultOptionFileFromBaseOrItsCfgDirectory) {
  std::filesystem::create_directory(At("cfg"));
  WriteText("cfg/pcrun.cfg", "--from=cfg\n");
  EXPECT_TRUE(InitWith({"prog", "--from=line"}, mDir.string().c_str()));
  EXPECT_EQ(Values("from"), (Words{"cfg", "line"}));  // the file comes first
  std::string expected = mDir.string() + "\\cfg\\pcrun.cfg";
  EXPECT_EQ(Values("options.file"), Words{expected});

  Options::Done();
  WriteText("pcrun.cfg", "--from=base\n");
  EXPECT_TRUE(InitWith({"prog", "!from=line"}, mDir.string().c_str()));
  EXPECT_EQ(Values("from"), Words{"line"});
  EXPECT_EQ(Values("options.file"), Words{mDir.string() + "\\pcrun.cfg"});

  // Naming the default file again reads it again, at its place.
  Options::Done();
  EXPECT_TRUE(InitWith({"prog", "--from=line", "@pcrun.cfg"}, mDir.string().c_str()));
  EXPECT_EQ(Values("from"), (Words{"base", "line", "base"}));

  // A missing default file never fails, even when named; a base that cannot take the file
  // name looks nowhere else.
  Options::Done();
  std::string deep = mDir.string() + "/" + std::string(300, 'd');
  EXPECT_TRUE(InitWith({"prog", "@pcrun.cfg"}, deep.c_str()));
  EXPECT_FALSE(Options::Test("from"));
}

TEST_F(CommandLineTest, FailedOptionFileBuildsTheHelpListingAndAppliesTheRest) {
  Options::Register("Render")("render.size", "window size", "rs");
  EXPECT_FALSE(InitWith({"prog", "--a=1", "@missing.cfg", "--b=2"}, mDir.string().c_str()));
  EXPECT_TRUE(Options::Test("a"));
  EXPECT_TRUE(Options::Test("b"));
  EXPECT_FALSE(Options::Test("options.file"));
  const DArray<StringId>& lines = Options::GetHelpLines();
  std::vector<std::string> text;
  for (const StringId& line : lines) text.push_back(line.CStr());
  // Sorted before the listing is built, so the built-in group comes first.
  EXPECT_EQ(text, (Words{"--help (/?)    : prints a list of all available options",
                         "--options.dump : prints all options set", "--render.size (/rs) : window size"}));

  // An empty file fails too; so does a directory named as a file.
  Options::Done();
  WriteText("empty.cfg", "");
  EXPECT_FALSE(InitWith({"prog", "@empty.cfg"}, mDir.string().c_str()));
  Options::Done();
  std::filesystem::create_directory(At("dir.cfg"));
  EXPECT_FALSE(InitWith({"prog", "@dir.cfg"}, mDir.string().c_str()));
  Options::Done();
  EXPECT_FALSE(InitWith({"prog", "@"}, mDir.string().c_str()));

  // --help builds the listing with a successful result.
  Options::Done();
  EXPECT_TRUE(InitWith({"prog", "/?"}, mDir.string().c_str()));
  EXPECT_TRUE(Options::Test("help"));
  EXPECT_EQ(Options::GetHelpLines().Count(), 2u);
}

TEST_F(CommandLineTest, SectionsKeysAndConfigurationSets) {
  EXPECT_TRUE(InitWithFile(
      "size = 10\n"            // before any section: ignored
      "[render]\n"
      "size = 10\n"
      "  fullscreen  extra words\n"
      "mode\t==  windowed = yes \r\n"
      "# comment = 1\n"
      "; comment = 2\n"
      "[cfg.pc.all]\n"
      "size = 11\n"
      "[cfg.ps.all]\n"
      "size = 12\n"
      "[cfg.pc.retail]\n"
      "retail=1\n"
      "[cfg.all.retail]\n"
      "all=1\n"
      "[ audio \n"             // no ']': the section stays
      "volume=3\n"
      "[ audio ]\n"
      "volume=4\n"
      "[]\n"
      "ignored=1\n"
      "[net]\n"
      "--direct=1 word\n"      // an argument line clears the section
      "port=80\n"
      "@other.cfg\n"           // not followed inside option files
      "[net]\n"
      "port=81\n"));
  EXPECT_EQ(Values("size"), Words{"11"});
  EXPECT_EQ(Values("render.size"), Words{"10"});
  EXPECT_TRUE(Options::Test("render.fullscreen"));
  EXPECT_EQ(Options::Count("render.fullscreen"), 0u);
  EXPECT_EQ(Values("render.mode"), Words{"windowed = yes"});
  EXPECT_EQ(Values("retail"), Words{"1"});
  EXPECT_EQ(Values("all"), Words{"1"});
  EXPECT_EQ(Values("volume"), Words{"3"});  // still in [cfg.all.retail]
  EXPECT_EQ(Values("audio.volume"), Words{"4"});
  EXPECT_FALSE(Options::Test("ignored"));
  EXPECT_FALSE(Options::Test(".ignored"));
  EXPECT_EQ(Values("direct"), Words{"1"});
  EXPECT_EQ(Values("net.port"), Words{"81"});
  EXPECT_FALSE(Options::Test("comment"));
  EXPECT_EQ(Values("options.file"), Words{mDir.string() + "\\opts.cfg"});
}

TEST_F(CommandLineTest, PiecesAreCutToTheirLimits) {
  std::string section(40, 's');
  std::string key(70, 'k');
  std::string value(900, 'v');
  EXPECT_TRUE(InitWithFile("[" + section + "]\n" + key + "=" + value + "\n[cfg.pc.all]\n" + key + " " + value + "\n"));
  std::string name = section.substr(0, 32) + "." + key.substr(0, 64);
  EXPECT_EQ(Values(name.c_str()), Words{value.substr(0, 896)});
  // Without '=' the key is a switch and the words after it are dropped.
  EXPECT_TRUE(Options::Test(key.substr(0, 64).c_str()));
  EXPECT_EQ(Options::Count(key.substr(0, 64).c_str()), 0u);
}

TEST_F(CommandLineTest, OptionFileSizeLimits) {
  // Exactly 8192 bytes: accepted, and the last byte is not used.
  std::string text;
  unsigned int lines = 0;
  for (; text.size() + 7 + 8 < 8192; ++lines) text += "--p=12\n";
  text += std::string(8192 - 4 - text.size(), '#') + "\n--q";  // the 'q' is byte 8192
  ASSERT_EQ(text.size(), 8192u);
  EXPECT_TRUE(InitWithFile(text));
  EXPECT_EQ(Options::Count("p"), lines);
  EXPECT_FALSE(Options::Test("q"));  // cut to "--", which names nothing

  Options::Done();
  text.back() = '\n';
  text[8190] = 'r';  // "--r" ending at byte 8191 of the file is used whole
  text[8189] = '-';
  text[8188] = '-';
  text[8187] = '\n';
  EXPECT_TRUE(InitWithFile(text));
  EXPECT_TRUE(Options::Test("r"));

  // 8193 bytes: refused.
  Options::Done();
  EXPECT_FALSE(InitWithFile(text + "\n"));
  EXPECT_FALSE(Options::Test("r"));
  EXPECT_FALSE(Options::Test("options.file"));
}

TEST_F(CommandLineTest, HostileOptionFileText) {
  // Lines of 1024 characters or more are skipped whole; 1023 is still a line.
  std::string longLine = "--long=" + std::string(1024 - 7, 'x');
  std::string fitLine = "--fit=" + std::string(1022 - 6, 'y');  // the longest word kept
  std::string keyLine = "k=" + std::string(1023 - 2, 'v');       // the longest line kept
  std::string text = "--before=1\n" + longLine + "\n" + fitLine + "\n--after=1\n[s]\n" + keyLine + "\n";
  // A NUL byte takes its line out, and only its line.
  text += std::string("--nul=1\0--hidden=1\n--behind=1\n", 30);
  EXPECT_TRUE(InitWithFile(text));
  EXPECT_TRUE(Options::Test("before"));
  EXPECT_FALSE(Options::Test("long"));
  EXPECT_EQ(Values("fit"), Words{std::string(1016, 'y')});
  EXPECT_EQ(Values("s.k"), Words{std::string(896, 'v')});
  EXPECT_TRUE(Options::Test("after"));
  EXPECT_FALSE(Options::Test("nul"));
  EXPECT_FALSE(Options::Test("hidden"));
  EXPECT_TRUE(Options::Test("behind"));

  // Binary garbage: whatever it gives, Init finishes and the registry stays consistent.
  std::mt19937 random(1234);
  for (int round = 0; round < 20; ++round) {
    Options::Done();
    std::string garbage(1 + random() % 8192, '\0');
    for (char& c : garbage) c = static_cast<char>(random());
    if (round % 2) {
      for (size_t i = 0; i < garbage.size(); i += 1 + random() % 50) garbage[i] = "\n[]=-@ \"\\"[random() % 9];
    }
    EXPECT_TRUE(InitWithFile(garbage));
    for (const Detail::OptionRecord* record : Detail::GetOptionRegistry().mRecords) {
      EXPECT_FALSE(record->name.Empty());
      EXPECT_LE(record->name.Length(), Detail::kMaxArgumentLength);
      for (const StringId& value : record->values) EXPECT_FALSE(value.Empty());
    }
  }
}

TEST_F(CommandLineTest, ByteOrderMarkAndEveryLineEnd) {
  const std::string bom = "\xEF\xBB\xBF";
  struct Case {
    const char* what;
    std::string text;
  };
  const Case cases[] = {
      {"LF", "--first=1\n[s]\nkey=v\n--last=2\n"},
      {"CR", "--first=1\r[s]\rkey=v\r--last=2\r"},
      {"CRLF", "--first=1\r\n[s]\r\nkey=v\r\n--last=2\r\n"},
      {"mixed, no end", "--first=1\r\n\r\n[s]\n\rkey=v\r--last=2"},
      {"mark and LF", bom + "--first=1\n[s]\nkey=v\n--last=2\n"},
      {"mark and CR", bom + "--first=1\r[s]\rkey=v\r--last=2"},
      {"mark and CRLF", bom + "--first=1\r\n[s]\r\nkey=v\r\n--last=2\r\n"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    Options::Done();
    EXPECT_TRUE(InitWithFile(c.text));
    EXPECT_EQ(Values("first"), Words{"1"});
    EXPECT_EQ(Values("s.key"), Words{"v"});
    EXPECT_EQ(Values("last"), Words{"2"});
  }
  // The mark counts only at the very start; elsewhere it is text like any other.
  Options::Done();
  EXPECT_TRUE(InitWithFile("--first=1\n" + bom + "--x=1\n"));
  EXPECT_FALSE(Options::Test("x"));
  // A file of the mark alone holds nothing.
  Options::Done();
  EXPECT_TRUE(InitWithFile(bom));
  EXPECT_EQ(Values("options.file").size(), 1u);
}

// One rule for over-long words from the argument vector, the command-line text and option
// files: up to 1022 characters a word is kept whole; from 1023 on it is dropped whole, with a
// debug line that gives its length.
TEST_F(CommandLineTest, OverLongWordsAreDroppedAlikeFromEverySource) {
  Options::Set("--debug.output");
  Debug::Init();
  ASSERT_TRUE(Debug::IsEnabled());
  enum Source { kArgv, kCommandLine, kFile };
  for (Source source : {kArgv, kCommandLine, kFile}) {
    for (size_t length : {size_t{1022}, size_t{1023}, size_t{1024}, size_t{5000}}) {
      SCOPED_TRACE("source " + std::to_string(source) + ", word of " + std::to_string(length));
      const std::string word = "--w=" + std::string(length - 4, 'v');
      Options::Done();
      YrTest::DebugCapture capture;
      switch (source) {
        case kArgv: EXPECT_TRUE(InitWith({"prog", "--before", word, "--after"}, mDir.string().c_str())); break;
        case kCommandLine: EXPECT_TRUE(Options::Init(("prog --before " + word + " --after").c_str(), mDir.string().c_str())); break;
        case kFile: EXPECT_TRUE(InitWithFile("--before\n" + word + "\n--after\n")); break;
      }
      EXPECT_TRUE(Options::Test("before"));
      EXPECT_TRUE(Options::Test("after"));
      const bool kept = length <= 1022;
      EXPECT_EQ(Values("w"), kept ? Words{word.substr(4)} : Words{});
      const std::string dropped = "Options: dropped " + std::string(source == kFile && length >= 1024 ? "an option file line" : "a word") +
                                  " of " + std::to_string(length) + " characters";
      EXPECT_EQ(capture.Joined().find(dropped) != std::string::npos, !kept) << capture.Joined().substr(0, 200);
    }
  }
}

TEST_F(CommandLineTest, QueueFromOptionFileText) {
  Detail::ArgumentQueue queue;
  const char text[] = "[render]\nsize=1\n--x \"a b\" c\n";
  Detail::QueueOptionFileText(text, sizeof text - 1, queue);
  std::vector<std::string> arguments;
  for (const StringId& argument : queue) arguments.push_back(argument.CStr());
  EXPECT_EQ(arguments, (Words{"--render.size=1", "--x"}));  // words dropped: no positional names
  Detail::QueueOptionFileText(nullptr, 5, queue);
  EXPECT_EQ(queue.Count(), 2u);
}

}  // namespace
