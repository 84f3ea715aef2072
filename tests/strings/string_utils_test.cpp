#include "system/strings/string_utils.h"

#include <gtest/gtest.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <random>
#include <string>
#include <vector>

#include "tests/strings/wildcard_reference.h"

namespace {

using YrTest::ReferenceMatch;

int ClampedStrtol(const char* text) {
  const long long value = std::strtoll(text, nullptr, 10);
  return value > INT_MAX ? INT_MAX : value < INT_MIN ? INT_MIN : static_cast<int>(value);
}

std::string RandomText(std::mt19937& random, const std::string& alphabet, size_t maxLength) {
  std::string text(random() % (maxLength + 1), ' ');
  for (char& c : text) c = alphabet[random() % alphabet.size()];
  return text;
}

TEST(StringUtilsTest, AToIConvertsLikeTheStandardConversionAndSaturates) {
  struct Case {
    const char* text;
    int expected;
    bool overflow;
  };
  const Case cases[] = {
      {"0", 0, false},          {"42", 42, false},          {"  \t\n-17xyz", -17, false},
      {"+8", 8, false},         {"", 0, false},             {"abc", 0, false},
      {"-", 0, false},          {"- 5", 0, false},          {"2147483647", INT_MAX, false},
      {"-2147483648", INT_MIN, false}, {"2147483648", INT_MAX, true}, {"-2147483649", INT_MIN, true},
      {"99999999999999999999999", INT_MAX, true},        {"000000000000000000000012", 12, false},
  };
  for (const Case& c : cases) {
    errno = EINVAL;
    EXPECT_EQ(Yr::AToI(c.text), c.expected) << '"' << c.text << '"';
    EXPECT_EQ(errno, c.overflow ? ERANGE : 0) << '"' << c.text << '"';
  }
  EXPECT_EQ(Yr::AToI(nullptr), 0);

  std::mt19937 random(41);
  for (int trial = 0; trial < 20000; ++trial) {
    const std::string text = RandomText(random, " \t+-0123456789x9999", 24);
    ASSERT_EQ(Yr::AToI(text.c_str()), ClampedStrtol(text.c_str())) << '"' << text << '"';
  }
}

TEST(StringUtilsTest, AToI64ReadsAtMostSixteenHexadecimalCharacters) {
  struct Case {
    const char* text;
    unsigned long long expected;
  };
  const Case cases[] = {
      {"1F", 31},
      {"10", 16},
      {"0x10", 16},
      {"0X1f", 31},
      {"  ff", 255},
      {"FFFFFFFFFFFFFFFF", ~0ull},
      {"123456789ABCDEF01", 0x123456789ABCDEF0ull},  // the 17th character is not read
      {"0x123456789ABCDEF0", 0x123456789ABCDEull},   // the prefix counts towards the 16
      {"12g4", 0x12},
      {"", 0},
      {"xyz", 0},
      {"-", 0},
  };
  for (const Case& c : cases) EXPECT_EQ(Yr::AToI64(c.text), c.expected) << '"' << c.text << '"';
  EXPECT_EQ(Yr::AToI64(nullptr), 0u);
}

TEST(StringUtilsTest, IToAWritesEveryIntAndAToIReadsItBack) {
  char text[Yr::kIToASize + 1];
  const std::pair<int, const char*> cases[] = {{0, "0"}, {-1, "-1"}, {INT_MAX, "2147483647"}, {INT_MIN, "-2147483648"}};
  for (const auto& [value, expected] : cases) {
    std::memset(text, '#', sizeof text);
    Yr::IToA(value, text);
    EXPECT_STREQ(text, expected);
    EXPECT_EQ(text[Yr::kIToASize], '#');
  }
  std::mt19937 random(42);
  for (int trial = 0; trial < 10000; ++trial) {
    const int value = static_cast<int>(random());
    Yr::IToA(value, text);
    ASSERT_EQ(Yr::AToI(text), value);
    ASSERT_EQ(std::to_string(value), text);
  }
}

TEST(StringUtilsTest, IsNumberAcceptsOnlyDigitsAndMinusSigns) {
  const std::pair<const char*, bool> cases[] = {{"12-3", true}, {"1.5", false}, {"", true},   {"-", true},
                                                {"007", true},  {"+1", false},  {" 1", false}, {"1e5", false}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(Yr::IsNumber(text), expected) << '"' << text << '"';
  EXPECT_FALSE(Yr::IsNumber(nullptr));
}

TEST(StringUtilsTest, StrNPrintFTruncationRules) {
  constexpr char kGuard = '#';
  struct Case {
    unsigned size;
    const char* text;
    int expected;
    bool terminated;
  };
  // "value=12345" has 11 characters.
  const Case cases[] = {
      {16, "value=12345", 11, true},      {12, "value=12345", 11, true}, {11, "value=12345", 11, false},
      {10, "value=1234", -1, false},      {1, "v", -1, false},          {0, "", -1, false},
  };
  for (const Case& c : cases) {
    char buffer[32];
    std::memset(buffer, kGuard, sizeof buffer);
    EXPECT_EQ(Yr::StrNPrintF(buffer, c.size, "%s=%d", "value", 12345), c.expected) << c.size;
    const size_t length = std::strlen(c.text);
    EXPECT_EQ(std::string(buffer, length), c.text) << c.size;
    EXPECT_EQ(buffer[length], c.terminated ? '\0' : kGuard) << c.size;
    EXPECT_EQ(buffer[c.size], kGuard) << "wrote past size " << c.size;
  }
  char empty[2] = {kGuard, kGuard};
  EXPECT_EQ(Yr::StrNPrintF(empty, 0, "%s", ""), 0);
  EXPECT_EQ(empty[0], kGuard);

  // Long results, beyond the stack scratch the exact-size and cut-short cases use.
  for (unsigned size : {1023u, 1024u, 1025u, 5000u}) {
    const std::string text(size, 'x');
    std::vector<char> buffer(size + 1, kGuard);
    EXPECT_EQ(Yr::StrNPrintF(buffer.data(), size, "%s", text.c_str()), static_cast<int>(size));
    EXPECT_EQ(std::string(buffer.data(), size), text);
    EXPECT_EQ(buffer[size], kGuard);
    const std::string longer = text + "yz";
    std::fill(buffer.begin(), buffer.end(), kGuard);
    EXPECT_EQ(Yr::StrNPrintF(buffer.data(), size, "%s", longer.c_str()), -1);
    EXPECT_EQ(std::string(buffer.data(), size), text);
    EXPECT_EQ(buffer[size], kGuard);
  }

  char unlimited[64];
  EXPECT_EQ(Yr::StrPrintF(unlimited, "%d:%s:%c", -7, "ab", 'z'), 7);
  EXPECT_STREQ(unlimited, "-7:ab:z");
}

TEST(StringUtilsTest, WideStrNPrintFAlwaysTerminatesWhenCutShort) {
  constexpr wchar_t kGuard = L'#';
  struct Case {
    unsigned size;
    const wchar_t* text;
    int expected;
  };
  // L"id 42" has 5 characters; a result needs room for its terminator.
  const Case cases[] = {{8, L"id 42", 5}, {6, L"id 42", 5}, {5, L"id 4", -1}, {2, L"i", -1}, {1, L"", -1}};
  for (const Case& c : cases) {
    wchar_t buffer[16];
    std::wmemset(buffer, kGuard, 16);
    EXPECT_EQ(Yr::StrNPrintF(buffer, c.size, L"%ls %d", L"id", 42), c.expected) << c.size;
    EXPECT_STREQ(buffer, c.text) << c.size;
    EXPECT_EQ(buffer[c.size], kGuard) << c.size;
  }
  wchar_t untouched = kGuard;
  EXPECT_EQ(Yr::StrNPrintF(&untouched, 0, L"%d", 1), -1);
  EXPECT_EQ(untouched, kGuard);
}

TEST(StringUtilsTest, StrMatchWildcardKnownCases) {
  struct Case {
    const char* text;
    const char* pattern;
    bool expected;
  };
  const Case cases[] = {
      {"abc", "a*c", true},   {"ac", "a*c", true},     {"abc", "ab*", true},   {"abc", "abc*", false},
      {"abc", "*", true},     {"", "*", false},        {"ABC", "abc", false},  {"", "", true},
      {"a", "", false},       {"", "a", false},        {"textures/stone.tga", "textures/*.tga", true},
      {"a*c", "a*c", true},   {"a*bc", "a*c", false},  {"abc", "a**c", false}, {"a*c", "a**c", true},
      {"a**c", "a**c", true}, {"aa*a", "*a**", true},  {"xyz", "*z", true},    {"xyzz", "x*z", true},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(Yr::StrMatchWildcard(c.text, c.pattern), c.expected) << c.text << " / " << c.pattern;
    EXPECT_EQ(ReferenceMatch(c.text, c.pattern), c.expected) << c.text << " / " << c.pattern;
  }
  EXPECT_FALSE(Yr::StrMatchWildcard(nullptr, "*"));
  EXPECT_FALSE(Yr::StrMatchWildcard("a", nullptr));
}

// Both ways of matching (texts with and without '*') against the plain recursive definition:
// every text up to 6 and pattern up to 5 characters over a, b and '*', then random longer ones.
TEST(StringUtilsTest, StrMatchWildcardAgreesWithTheRecursiveRule) {
  std::vector<std::string> words = {""};
  for (size_t begin = 0; words.back().size() < 6;) {
    const size_t end = words.size();
    for (size_t i = begin; i < end; ++i)
      for (char c : {'a', 'b', '*'}) words.push_back(words[i] + c);
    begin = end;
  }
  for (const std::string& text : words)
    for (const std::string& pattern : words) {
      if (pattern.size() > 5) break;
      ASSERT_EQ(Yr::StrMatchWildcard(text.c_str(), pattern.c_str()), ReferenceMatch(text.c_str(), pattern.c_str()))
          << '"' << text << "\" / \"" << pattern << '"';
    }
  std::mt19937 random(43);
  for (int trial = 0; trial < 20000; ++trial) {
    const std::string text = RandomText(random, "aab*c", 16);
    const std::string pattern = RandomText(random, "aab**c", 8);
    ASSERT_EQ(Yr::StrMatchWildcard(text.c_str(), pattern.c_str()), ReferenceMatch(text.c_str(), pattern.c_str()))
        << '"' << text << "\" / \"" << pattern << '"';
  }
}

// Inputs on which the recursive rule takes exponential time finish at once, with its answer.
TEST(StringUtilsTest, StrMatchWildcardStaysFastOnHostileInput) {
  const std::string many(4000, 'a');
  const std::string stars = "*a*a*a*a*a*a*a*a*a*a*a*a*b";
  EXPECT_FALSE(Yr::StrMatchWildcard(many.c_str(), stars.c_str()));
  EXPECT_TRUE(Yr::StrMatchWildcard((many + "b").c_str(), stars.c_str()));
  // With a '*' in the text, and a pattern longer than the stack scratch.
  std::string longPattern;
  for (int i = 0; i < 700; ++i) longPattern += "*a";
  EXPECT_FALSE(Yr::StrMatchWildcard(("*" + many).c_str(), (longPattern + "*b").c_str()));
  EXPECT_TRUE(Yr::StrMatchWildcard(("*" + many + "b").c_str(), ("*" + longPattern + "*b").c_str()));
}

TEST(StringUtilsTest, ConvertArgsToArraySplitsInPlace) {
  struct Case {
    const char* text;
    int count;
    std::vector<const char*> parts;  // null where no part was made
  };
  const Case cases[] = {
      {"a:b:c", 2, {"a", "b:c"}},
      {"a:b:c", 3, {"a", "b", "c"}},
      {"a:b:c", 5, {"a", "b", "c", nullptr, nullptr}},
      {"a:b:c", 1, {"a:b:c"}},
      {":a:", 3, {"", "a", ""}},
      {"", 2, {"", nullptr}},
      {"::", 4, {"", "", "", nullptr}},
  };
  for (const Case& c : cases) {
    std::string text = c.text;
    std::vector<char*> parts(c.parts.size() + 1, reinterpret_cast<char*>(&text));
    char* const sentinel = parts.back();
    Yr::StringUtils::ConvertArgsToArray(text.data(), c.count, parts.data(), ':');
    for (size_t i = 0; i < c.parts.size(); ++i) {
      if (c.parts[i] == nullptr)
        EXPECT_EQ(parts[i], nullptr) << c.text << " part " << i;
      else
        EXPECT_STREQ(parts[i], c.parts[i]) << c.text << " part " << i;
    }
    EXPECT_EQ(parts.back(), sentinel) << "wrote past count for " << c.text;
  }
  char* untouched = nullptr;
  char text[] = "a:b";
  Yr::StringUtils::ConvertArgsToArray(text, 0, &untouched, ':');
  EXPECT_EQ(untouched, nullptr);
  EXPECT_STREQ(text, "a:b");
}

TEST(StringUtilsTest, ConvertToBool) {
  const std::pair<const char*, bool> cases[] = {{"true", true},  {"TRUE", true},  {"tRuE", true},   {"1", true},
                                                {"on", false},   {"yes", false},  {"2", false},     {"TRUE ", false},
                                                {"10", false},   {"", false},     {"tru", false},   {"truee", false}};
  for (const auto& [text, expected] : cases) EXPECT_EQ(Yr::StringUtils::ConvertToBool(text), expected) << '"' << text << '"';
  EXPECT_FALSE(Yr::StringUtils::ConvertToBool(nullptr));
}

}  // namespace

namespace {

using namespace Yr::StringUtils;

TEST(StringUtilsTest, ValueParsersFillWhatTheTextSuppliesAndZeroTheRest) {
  EXPECT_EQ(ConvertToMinMax("1.5,2.5"), (Yr::MinMax{1.5f, 2.5f}));
  EXPECT_EQ(ConvertToMinMax("3"), (Yr::MinMax{3.0f, 0.0f}));
  EXPECT_EQ(ConvertToMinMax("x,1"), (Yr::MinMax{}));
  EXPECT_EQ(ConvertToMinMax(nullptr), (Yr::MinMax{}));

  struct VecCase {
    const char* text;
    float x, y, z, w;
  };
  const VecCase vecs[] = {{"1,2,3,4", 1, 2, 3, 4}, {"-0.5,1e2", -0.5f, 100, 0, 0}, {"", 0, 0, 0, 0}, {"7,,8", 7, 0, 0, 0}};
  for (const VecCase& c : vecs) {
    const Yr::Vec3 v3 = ConvertToVec3(c.text);
    const Yr::Vec4 v4 = ConvertToVec4(c.text);
    EXPECT_EQ(v3.x, c.x) << c.text;
    EXPECT_EQ(v3.y, c.y) << c.text;
    EXPECT_EQ(v3.z, c.z) << c.text;
    EXPECT_EQ(v4.x, c.x) << c.text;
    EXPECT_EQ(v4.y, c.y) << c.text;
    EXPECT_EQ(v4.z, c.z) << c.text;
    EXPECT_EQ(v4.w, c.w) << c.text;
  }

  struct ColorCase {
    const char* text;
    uint8_t bytes[4];
  };
  const ColorCase colors[] = {{"255,128,0,255", {255, 128, 0, 255}},
                              {"256,-1,300,1", {0, 255, 44, 1}},  // low 8 bits of each
                              {"10,20", {10, 20, 0, 0}},
                              {"", {0, 0, 0, 0}}};
  for (const ColorCase& c : colors) {
    const Yr::Color32 color = ConvertToColor32(c.text);
    EXPECT_EQ(std::memcmp(&color, c.bytes, 4), 0) << c.text;  // memory order red, green, blue, alpha
  }
}

TEST(StringUtilsTest, KeyFrameTextsGiveKeysInTextOrder) {
  struct Case {
    std::string text;
    std::vector<std::pair<float, float>> keys;
  };
  std::string seven = "7";
  for (int i = 0; i < 7; ++i) seven += ":" + std::to_string(i) + "," + std::to_string(10 * i);
  // Only the first 254 characters are read: the count names 3 keys, but the last two lie
  // beyond the cut.
  const std::string cut = "3:1,2." + std::string(250, '0') + ":3,4:5,6";
  const Case cases[] = {
      {"2:0,1:1,0.5", {{0, 1}, {1, 0.5f}}},
      {"0:5,5", {}},
      {"-2:5,5", {}},
      {"abc", {}},
      {"", {}},
      {"2:5,1:1,2", {{5, 1}, {1, 2}}},            // not sorted by time
      {seven, {{0, 0}, {1, 10}, {2, 20}, {3, 30}, {4, 40}}},  // only the first five slots
      {"4:1,2:3,4", {{1, 2}, {3, 4}}},            // named more keys than it holds
      {"2:1:2,3", {{1, 0}, {2, 3}}},              // a key without its value
      {"1:1,2:3,4", {{1, 2}}},                    // later keys stay unread
      {cut, {{1, 2}}},
  };
  for (const Case& c : cases) {
    const Yr::StringUtils::FloatKeyFramer framer = ConvertToFloatKeyFramer(c.text.c_str());
    ASSERT_EQ(framer.mNumKeys, static_cast<int>(c.keys.size())) << c.text;
    for (size_t i = 0; i < c.keys.size(); ++i) {
      EXPECT_EQ(framer.mKeys[i].time, c.keys[i].first) << c.text << " key " << i;
      EXPECT_EQ(framer.mKeys[i].value, c.keys[i].second) << c.text << " key " << i;
    }
  }
  EXPECT_EQ(ConvertToFloatKeyFramer(nullptr).mNumKeys, 0);
}

TEST(StringUtilsTest, TypedKeyFrameTexts) {
  const auto colors = ConvertToColorKeyFramer("2:0,255,128,0,255:1.5,1,2,3");
  ASSERT_EQ(colors.mNumKeys, 2);
  EXPECT_EQ(colors.mKeys[0].time, 0.0f);
  EXPECT_EQ(colors.mKeys[0].value, Yr::Color32(255, 128, 0, 255));
  EXPECT_EQ(colors.mKeys[1].time, 1.5f);
  EXPECT_EQ(colors.mKeys[1].value, Yr::Color32(1, 2, 3, 0));

  const auto points = ConvertToVec3KeyFramer("2:0,1,2,3:2,-1");
  ASSERT_EQ(points.mNumKeys, 2);
  EXPECT_EQ(points.mKeys[0].time, 0.0f);
  EXPECT_EQ(points.mKeys[0].value.x, 1.0f);
  EXPECT_EQ(points.mKeys[0].value.y, 2.0f);
  EXPECT_EQ(points.mKeys[0].value.z, 3.0f);
  EXPECT_EQ(points.mKeys[1].time, 2.0f);
  EXPECT_EQ(points.mKeys[1].value.x, -1.0f);
  EXPECT_EQ(points.mKeys[1].value.y, 0.0f);
  EXPECT_EQ(points.mKeys[1].value.z, 0.0f);

  const auto ranges = ConvertToMinMaxKeyFramer("9:0,1,2:1,3,4:2,5,6:3,7,8:4,9,10:5,11,12");
  ASSERT_EQ(ranges.mNumKeys, 5);
  for (int i = 0; i < 5; ++i) {
    EXPECT_EQ(ranges.mKeys[i].time, static_cast<float>(i));
    EXPECT_EQ(ranges.mKeys[i].value, (Yr::MinMax{2.0f * i + 1, 2.0f * i + 2}));
  }
}

}  // namespace
