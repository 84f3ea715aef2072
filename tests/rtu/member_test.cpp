#include "system/rtu/member.h"

#include <gtest/gtest.h>

#include <climits>
#include <cmath>
#include <cstring>
#include <memory>
#include <random>
#include <string>
#include <vector>

namespace {

using namespace Yr::RTU;
using Yr::Color32;
using Yr::IRTUStream;
using Yr::StringId;
using Bytes = std::vector<uint8_t>;

struct DeleteMember {
  void operator()(Member* member) const { delete member; }
};
template <typename T>
using MemberPtr = std::unique_ptr<MemberT<T>, DeleteMember>;

template <typename T>
MemberPtr<T> MakeMember(T* address) {
  return MemberPtr<T>(MemberT<T>::Create(address));
}

template <typename T>
std::string Text(T value) {
  auto member = MakeMember(&value);
  char buffer[kTextBufferSize];
  const char* result = member->ToString(buffer);
  EXPECT_EQ(result, buffer);
  return result;
}

template <typename T>
T Parse(const char* text, T initial = T()) {
  T value = initial;
  MakeMember(&value)->FromString(text);
  return value;
}

template <typename T>
Bytes Record(T value) {
  ByteArray out;
  MakeMember(&value)->Write(out);
  return Bytes(out.begin(), out.end());
}

TEST(MemberTest, ToStringWritesEachTypeAsDesigned) {
  EXPECT_EQ(Text(true), "True");
  EXPECT_EQ(Text(false), "False");
  EXPECT_EQ(Text('q'), "q");
  EXPECT_EQ(Text(static_cast<unsigned char>(200)), "200");
  EXPECT_EQ(Text(-42), "-42");
  EXPECT_EQ(Text(4000000000u), "4000000000");
  EXPECT_EQ(Text(Color32(0x44, 0x33, 0x22, 0x11)), "287454020");  // 0x11223344
  EXPECT_EQ(Text(StringId("level/one")), "level/one");
  EXPECT_EQ(Text(StringId()), "");
  EXPECT_EQ(Text(StringId("")), "");
  int anything = 0;
  EXPECT_EQ(Text(static_cast<void*>(&anything)), "");
  // A float always shows a point: ".0" is added when %g gives none.
  const struct {
    float value;
    const char* text;
  } floats[] = {{2.5f, "2.5"}, {3.0f, "3.0"}, {0.0f, "0.0"}, {-1.0f, "-1.0"},
                {1e10f, "1e+10.0"}, {1.5e-7f, "1.5e-07"}, {123456.0f, "123456.0"}, {1234567.0f, "1.23457e+06"}};
  for (const auto& c : floats) EXPECT_EQ(Text(c.value), c.text) << c.value;
}

TEST(MemberTest, ToStringCutsAt511CharactersAndSharesNoStateWithTheCaller) {
  const std::string longText(700, 'x');
  EXPECT_EQ(Text(StringId(longText.c_str())), longText.substr(0, kMaxText));
  const std::string exact(kMaxText, 'y');
  EXPECT_EQ(Text(StringId(exact.c_str())), exact);
  // The StringId copy taken while formatting is released again.
  StringId id("counted while formatted");
  Text(id);
  EXPECT_EQ(id.RefCount(), 1u);
}

TEST(MemberTest, FromStringParsesEachTypeAsDesigned) {
  const struct {
    const char* text;
    bool value;
  } bools[] = {{"True", true}, {"true", false}, {"TRUE", false}, {"", false}, {"True ", false}, {"False", false}};
  for (const auto& c : bools) EXPECT_EQ(Parse<bool>(c.text, !c.value), c.value) << c.text;

  EXPECT_EQ(Parse<char>("xyz"), 'x');
  EXPECT_EQ(Parse<char>("", 'a'), '\0');

  const struct {
    const char* text;
    int value;
  } ints[] = {{"42", 42},        {"  -17", -17},           {"+5x", 5},         {"0x10", 0},           {"abc", 0},
              {"", 0},           {"2147483647", INT_MAX}, {"99999999999", INT_MAX}, {"-99999999999", INT_MIN}, {"010", 10}};
  for (const auto& c : ints) EXPECT_EQ(Parse<int>(c.text, 7), c.value) << c.text;

  const struct {
    const char* text;
    unsigned int value;
  } unsigneds[] = {{"0x10", 16},         {"0X1f", 31},          {"010", 8},     {"10", 10},       {"  077", 63},
                   {"-1", UINT_MAX},     {"-2", UINT_MAX - 1},  {"zz", 0},      {"", 0},          {"- 5", 0},
                   {"4294967295", UINT_MAX}, {"4294967296", UINT_MAX}, {"0xFFFFFFFFF", UINT_MAX}, {"+0x20", 32}};
  for (const auto& c : unsigneds) EXPECT_EQ(Parse<unsigned int>(c.text, 7), c.value) << c.text;

  const struct {
    const char* text;
    unsigned char value;
  } bytes[] = {{"200", 200}, {"300", 44}, {"-1", 255}, {"0x10", 0}, {"", 0}};
  for (const auto& c : bytes) EXPECT_EQ(Parse<unsigned char>(c.text, 7), c.value) << c.text;

  EXPECT_EQ(Parse<float>("2.5"), 2.5f);
  EXPECT_EQ(Parse<float>(" -1e3"), -1000.0f);
  EXPECT_EQ(Parse<float>("1e+10.0"), 1e10f);
  EXPECT_EQ(Parse<float>("nope", 9.0f), 0.0f);

  EXPECT_EQ(Parse<Color32>("0x11223344"), Color32(0x44, 0x33, 0x22, 0x11));
  EXPECT_EQ(Parse<Color32>("255"), Color32(255, 0, 0, 0));

  EXPECT_EQ(Parse<StringId>("abc"), StringId("abc"));
  EXPECT_EQ(Parse<StringId>("", StringId("old")), StringId());

  int target = 5;
  void* pointer = &target;
  MakeMember(&pointer)->FromString("0");
  EXPECT_EQ(pointer, &target);
}

// Text written by ToString reads back to the same value for every type that has text.
TEST(MemberTest, TextRoundTripsForRandomValues) {
  std::mt19937 random(7);
  for (int i = 0; i < 500; ++i) {
    const uint32_t bits = random();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (!std::isfinite(f)) continue;
    // %g keeps six significant digits.
    EXPECT_NEAR(Parse<float>(Text(f).c_str()), f, std::fabs(f) * 5e-6f) << Text(f);
    EXPECT_EQ(Parse<int>(Text(static_cast<int>(bits)).c_str()), static_cast<int>(bits));
    EXPECT_EQ(Parse<unsigned int>(Text(bits).c_str()), bits);
    EXPECT_EQ(Parse<unsigned char>(Text(static_cast<unsigned char>(bits)).c_str()), static_cast<unsigned char>(bits));
    EXPECT_EQ(Parse<Color32>(Text(Color32::FromValue(bits)).c_str()), Color32::FromValue(bits));
    EXPECT_EQ(Parse<bool>(Text(bits % 2 == 0).c_str()), bits % 2 == 0);
  }
}

TEST(MemberTest, WriteAppendsTheDesignedBytes) {
  EXPECT_EQ(Record(1.0f), (Bytes{0x06, 0x00, 0x00, 0x80, 0x3F}));
  EXPECT_EQ(Record(42), (Bytes{0x04, 0x2A, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Record(-2), (Bytes{0x04, 0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_EQ(Record(0x01020304u), (Bytes{0x05, 0x04, 0x03, 0x02, 0x01}));
  EXPECT_EQ(Record(true), (Bytes{0x01, 0x01}));
  EXPECT_EQ(Record(false), (Bytes{0x01, 0x00}));
  EXPECT_EQ(Record('A'), (Bytes{0x02, 0x41}));
  EXPECT_EQ(Record(static_cast<unsigned char>(0xFE)), (Bytes{0x03, 0xFE}));
  EXPECT_EQ(Record(Color32(1, 2, 3, 4)), (Bytes{0x08, 0x01, 0x02, 0x03, 0x04}));
  EXPECT_EQ(Record(StringId("hi")), (Bytes{0x07, 0x02, 0x00, 'h', 'i'}));
  EXPECT_EQ(Record(StringId()), (Bytes{0x07, 0x00, 0x00}));
  EXPECT_EQ(Record(static_cast<void*>(nullptr)), (Bytes{0x09, 0x00, 0x00, 0x00, 0x00}));
  EXPECT_EQ(Record(reinterpret_cast<void*>(uintptr_t{0x12345678})), (Bytes{0x09, 0x78, 0x56, 0x34, 0x12}));
  Member base;
  ByteArray out;
  base.Write(out);
  EXPECT_EQ(out.Count(), 0u);

  // The length field has 16 bits: a longer text is cut where it can still be said.
  const std::string longText(70000, 'w');
  const Bytes record = Record(StringId(longText.c_str()));
  ASSERT_EQ(record.size(), 1 + kStringLengthBytes + kMaxRecordText);
  EXPECT_EQ(record[1], 0xFF);
  EXPECT_EQ(record[2], 0xFF);
}

TEST(MemberTest, PointerRecordsAreFourBytesAndNeverCutAPointer) {
  // Read widens the 4 bytes to the whole pointer: no stale high half.
  void* pointer = reinterpret_cast<void*>(~uintptr_t{0});
  const uint8_t record[] = {0x78, 0x56, 0x34, 0x12, 0xEE};
  IRTUStream in(record, sizeof record);
  MakeMember(&pointer)->Read(in);
  EXPECT_EQ(pointer, reinterpret_cast<void*>(uintptr_t{0x12345678}));
  EXPECT_EQ(in.mCursor, record + kPointerRecordBytes);
#if UINTPTR_MAX > 0xFFFFFFFFu
  // A pointer beyond 32 bits has no 4-byte record: nothing is appended at all.
  EXPECT_EQ(Record(reinterpret_cast<void*>(uintptr_t{0x123456789})), Bytes{});
  EXPECT_EQ(Record(reinterpret_cast<void*>(uintptr_t{0x100000000})), Bytes{});
#endif
  EXPECT_EQ(Record(reinterpret_cast<void*>(uintptr_t{0xFFFFFFFF})), (Bytes{0x09, 0xFF, 0xFF, 0xFF, 0xFF}));
}

TEST(MemberTest, ByteArrayGrowsTo16ThenDoubles) {
  ByteArray out;
  EXPECT_EQ(out.Capacity(), 0u);
  uint8_t byte = 1;
  out.Append(&byte, 1);
  EXPECT_EQ(out.Capacity(), 16u);
  for (int i = 0; i < 15; ++i) out.Append(&byte, 1);
  EXPECT_EQ(out.Capacity(), 16u);
  out.Append(&byte, 1);
  EXPECT_EQ(out.Capacity(), 32u);
  EXPECT_EQ(out.Count(), 17u);
  // A large append takes exactly what it needs when that is more than double.
  uint8_t block[100] = {};
  out.Append(block, sizeof block);
  EXPECT_EQ(out.Capacity(), 117u);
  EXPECT_EQ(reinterpret_cast<uintptr_t>(out.Data()) % 16, 0u);
}

// Each type's record, written on one side and read on the other, gives the same value and
// consumes exactly the bytes after the tag.
template <typename T>
void ExpectRecordRoundTrip(T value, T other) {
  const Bytes record = Record(value);
  ASSERT_FALSE(record.empty());
  EXPECT_EQ(record[0], MemberTraits<T>::kTag);
  T target = other;
  auto member = MakeMember(&target);
  EXPECT_EQ(member->GetTag(), MemberTraits<T>::kTag);
  IRTUStream in(record.data() + 1, record.size() - 1);
  member->Read(in);
  EXPECT_EQ(target, value);
  EXPECT_EQ(in.mCursor, record.data() + record.size());
  EXPECT_FALSE(in.mShort);

  // Every cut of the value bytes is refused: variable, cursor and the bytes past the cut
  // untouched.
  for (size_t cut = 1; cut < record.size(); ++cut) {
    T kept = other;
    auto reader = MakeMember(&kept);
    Bytes truncated(record.begin() + 1, record.begin() + static_cast<long>(cut));
    IRTUStream shortIn(truncated.data(), truncated.size());
    reader->Read(shortIn);
    EXPECT_EQ(kept, other) << "cut at " << cut;
    EXPECT_EQ(shortIn.mCursor, truncated.data());
    EXPECT_TRUE(shortIn.mShort);
  }
}

TEST(MemberTest, RecordsRoundTripAndTruncatedRecordsAreRefused) {
  std::mt19937 random(11);
  for (int i = 0; i < 50; ++i) {
    const uint32_t bits = random();
    float f;
    std::memcpy(&f, &bits, sizeof f);
    if (f != f) f = 0.5f;
    ExpectRecordRoundTrip<bool>(bits & 1, !(bits & 1));
    ExpectRecordRoundTrip<char>(static_cast<char>(bits), static_cast<char>(~bits));
    ExpectRecordRoundTrip<unsigned char>(static_cast<unsigned char>(bits), static_cast<unsigned char>(~bits));
    ExpectRecordRoundTrip<int>(static_cast<int>(bits), static_cast<int>(~bits));
    ExpectRecordRoundTrip<unsigned int>(bits, ~bits);
    ExpectRecordRoundTrip<float>(f, f + 1.0f);
    ExpectRecordRoundTrip<Color32>(Color32::FromValue(bits), Color32::FromValue(~bits));
    ExpectRecordRoundTrip<StringId>(StringId(std::to_string(bits).c_str()), StringId("other"));
    ExpectRecordRoundTrip<void*>(reinterpret_cast<void*>(uintptr_t{bits}), nullptr);
  }
  ExpectRecordRoundTrip<StringId>(StringId(), StringId("was set"));
}

TEST(MemberTest, StringIdRecordTextIsBoundedByTheStreamEnd) {
  StringId value("unchanged");
  auto member = MakeMember(&value);
  // Length 200 announced, 3 bytes of text received.
  const uint8_t record[] = {200, 0, 'a', 'b', 'c'};
  IRTUStream in(record, sizeof record);
  member->Read(in);
  EXPECT_EQ(value, StringId("unchanged"));
  EXPECT_TRUE(in.mShort);
  // A length of 0 gives the null id, not the handle of "".
  const uint8_t empty[] = {0, 0};
  IRTUStream emptyIn(empty, sizeof empty);
  member->Read(emptyIn);
  EXPECT_EQ(value, StringId());
  EXPECT_EQ(emptyIn.mCursor, empty + 2);
  // A stream without an end trusts its bytes.
  const uint8_t text[] = {3, 0, 'x', 'y', 'z', 0xAA};
  IRTUStream open(text);
  member->Read(open);
  EXPECT_EQ(value, StringId("xyz"));
  EXPECT_EQ(open.mCursor, text + 5);
}

template <typename T>
void ExpectCloneStride(size_t elementSize) {
  T array[8] = {};
  auto member = MakeMember(&array[1]);
  MemberPtr<T> clone(static_cast<MemberT<T>*>(member->CloneElement(3)));
  ASSERT_NE(clone, nullptr);
  EXPECT_EQ(reinterpret_cast<const char*>(clone->mAddress) - reinterpret_cast<const char*>(member->mAddress),
            static_cast<std::ptrdiff_t>(3 * elementSize));
  EXPECT_EQ(clone->mAddress, &array[4]);
  EXPECT_EQ(clone->mSource, member.get());
  EXPECT_EQ(member->mSource, nullptr);
  EXPECT_EQ(clone->GetTag(), member->GetTag());
}

TEST(MemberTest, CloneElementStepsByTheRealElementSize) {
  ExpectCloneStride<bool>(1);
  ExpectCloneStride<char>(1);
  ExpectCloneStride<unsigned char>(1);
  ExpectCloneStride<int>(4);
  ExpectCloneStride<unsigned int>(4);
  ExpectCloneStride<float>(4);
  ExpectCloneStride<Color32>(4);
  // Handles and pointers are pointer-sized: 4 bytes on a 32-bit build, 8 on a 64-bit one.
  ExpectCloneStride<StringId>(sizeof(void*));
  ExpectCloneStride<void*>(sizeof(void*));
}

TEST(MemberTest, SetAddressRepointsAndTheBaseDoesNothing) {
  int a = 1, b = 2;
  auto member = MakeMember(&a);
  member->SetAddress(&b);
  member->FromString("9");
  EXPECT_EQ(a, 1);
  EXPECT_EQ(b, 9);

  Member base;
  char buffer[kTextBufferSize] = "junk";
  EXPECT_STREQ(base.ToString(buffer), "");
  base.SetAddress(&a);
  EXPECT_EQ(base.mAddress, nullptr);
  EXPECT_EQ(base.CloneElement(1), nullptr);
  EXPECT_EQ(base.GetTag(), kTagNone);
}

TEST(MemberTest, CloneAndCreateGiveNullWhileAllocationIsOff) {
  int value = 0;
  auto member = MakeMember(&value);
  Yr::AllocatorHook::mInvalid = true;
  Member* clone = member->CloneElement(1);
  MemberT<int>* created = MemberT<int>::Create(&value);
  Yr::AllocatorHook::mInvalid = false;
  EXPECT_EQ(clone, nullptr);
  EXPECT_EQ(created, nullptr);
}

}  // namespace
