#include "system/io/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Yr::Path;

TEST(PathTest, ConstructionKeeps259CharactersAndOverflowsAboveThem) {
  EXPECT_STREQ(Path().CStr(), "");
  EXPECT_STREQ(Path(nullptr).CStr(), "");
  EXPECT_STREQ(Path("a/b\\c").CStr(), "a/b\\c");  // separators are kept as given
  EXPECT_EQ(Path(nullptr).CStrOrNull(), nullptr);

  // A text that does not fit is never cut into a different, shorter name.
  struct Case {
    size_t length;
    bool overflows;
  };
  for (const Case& c : {Case{0, false}, Case{1, false}, Case{258, false}, Case{259, false}, Case{260, true},
                        Case{400, true}, Case{100000, true}}) {
    SCOPED_TRACE(c.length);
    std::string text(c.length, 'x');
    Path path(text.c_str());
    EXPECT_EQ(path.Overflowed(), c.overflows);
    EXPECT_EQ(path.Empty(), c.overflows || c.length == 0);
    EXPECT_EQ(std::string(path.CStr()), c.overflows ? "" : text);
    EXPECT_EQ(path.Length(), c.overflows ? 0u : c.length);
    EXPECT_EQ(path.CStrOrNull() == nullptr, path.Empty());
    // Joins on an overflowed path fail and keep it overflowed, as does a join that does not
    // fit; a copy keeps the state.
    const bool joinFits = !c.overflows && (c.length == 0 ? 4 : c.length + 1 + 4) <= Path::kMaxLength;
    EXPECT_EQ(path.Append("more"), joinFits);
    EXPECT_EQ(path.Overflowed(), !joinFits);
    EXPECT_EQ(Path(path).Overflowed(), !joinFits);
    // Set starts afresh, whatever the path held.
    path.Set("");
    EXPECT_FALSE(path.Overflowed());
    EXPECT_TRUE(path.Empty());
    path.Set(text.c_str());
    path.Set("ok");
    EXPECT_FALSE(path.Overflowed());
    EXPECT_STREQ(path.CStr(), "ok");
  }
}

TEST(PathTest, AppendRule) {
  Path empty;
  EXPECT_TRUE(empty.Append("\\abc"));
  EXPECT_STREQ(empty.CStr(), "\\abc");  // the empty path takes the component whole

  Path base("data");
  EXPECT_TRUE(base.Append(""));
  EXPECT_TRUE(base.Append(nullptr));
  EXPECT_STREQ(base.CStr(), "data");
  EXPECT_TRUE(base.Append("\\file.txt"));
  EXPECT_STREQ(base.CStr(), "data\\file.txt");  // exactly one separator

  Path ends("data\\");
  EXPECT_TRUE(ends.Append("file.txt"));
  EXPECT_STREQ(ends.CStr(), "data\\file.txt");
  Path endsBoth("data\\");
  EXPECT_TRUE(endsBoth.Append("\\file.txt"));
  EXPECT_STREQ(endsBoth.CStr(), "data\\file.txt");

  Path twoLeading("data");
  EXPECT_TRUE(twoLeading.Append("\\\\x"));
  EXPECT_STREQ(twoLeading.CStr(), "data\\\\x");  // only one leading backslash is skipped

  Path lone("\\");
  EXPECT_TRUE(lone.Append("a"));
  EXPECT_STREQ(lone.CStr(), "\\\\a");  // a one-character path always gets the separator

  Path slash("dir/");
  EXPECT_TRUE(slash.Append("/x"));
  EXPECT_STREQ(slash.CStr(), "dir/\\/x");  // forward slashes are not separators to Append

  Path converted("a/b/c");
  converted.ConvertSeparators();
  EXPECT_STREQ(converted.CStr(), "a\\b\\c");
}

// The buffer sits between two guard areas; no join may write outside it.
struct Guarded {
  unsigned char before[16];
  Path path;
  unsigned char after[16];
};

TEST(PathTest, JoinsThatWouldPass259CharactersEmptyThePathAndWriteNothingOutside) {
  Guarded guarded;
  std::memset(guarded.before, 0xA5, sizeof guarded.before);
  std::memset(guarded.after, 0x5A, sizeof guarded.after);

  std::string base(200, 'b');
  std::string fits(58, 'c');  // 200 + 1 + 58 = 259
  guarded.path.Set(base.c_str());
  EXPECT_TRUE(guarded.path.Append(fits.c_str()));
  EXPECT_EQ(guarded.path.Length(), 259u);
  EXPECT_EQ(std::string(guarded.path.CStr()), base + "\\" + fits);

  guarded.path.Set(base.c_str());
  std::string over(59, 'c');  // 260: one too many
  EXPECT_FALSE(guarded.path.Append(over.c_str()));
  EXPECT_TRUE(guarded.path.Empty());
  EXPECT_TRUE(guarded.path.Overflowed());
  EXPECT_FALSE(guarded.path.Append("x"));  // an empty-looking overflowed path takes nothing
  EXPECT_TRUE(guarded.path.Overflowed());

  // A full path cannot take even a one-character component.
  std::string full(259, 'f');
  guarded.path.Set(full.c_str());
  EXPECT_FALSE(guarded.path.Append("x"));
  EXPECT_TRUE(guarded.path.Empty());

  // The separator alone can be what does not fit.
  guarded.path.Set(std::string(258, 'g').c_str());
  EXPECT_FALSE(guarded.path.Append("h"));
  guarded.path.Set((std::string(257, 'g') + "\\").c_str());
  EXPECT_TRUE(guarded.path.Append("\\h"));  // no separator needed: 258 + 1 = 259
  EXPECT_EQ(guarded.path.Length(), 259u);

  // An over-long component on an empty path.
  guarded.path.Set("");
  std::string huge(100000, 'z');
  EXPECT_FALSE(guarded.path.Append(huge.c_str()));
  EXPECT_TRUE(guarded.path.Empty());
  guarded.path.Set("");
  EXPECT_TRUE(guarded.path.Append(full.c_str()));
  EXPECT_EQ(guarded.path.Length(), 259u);

  for (unsigned char byte : guarded.before) EXPECT_EQ(byte, 0xA5);
  for (unsigned char byte : guarded.after) EXPECT_EQ(byte, 0x5A);
}

}  // namespace
