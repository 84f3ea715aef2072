#include "system/io/path.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

namespace {

using Yr::Path;

TEST(PathTest, ConstructionCopiesAtMost259Characters) {
  EXPECT_STREQ(Path().CStr(), "");
  EXPECT_STREQ(Path(nullptr).CStr(), "");
  EXPECT_STREQ(Path("a/b\\c").CStr(), "a/b\\c");  // separators are kept as given
  std::string long_text(400, 'x');
  Path cut(long_text.c_str());
  EXPECT_EQ(cut.Length(), 259u);
  EXPECT_EQ(std::strlen(cut.CStr()), 259u);
  EXPECT_EQ(std::string(cut.CStr()), long_text.substr(0, 259));
  EXPECT_EQ(Path(nullptr).CStrOrNull(), nullptr);
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
