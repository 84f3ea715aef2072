#include "system/rtu/updater.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstddef>
#include <cstring>
#include <iterator>
#include <random>
#include <vector>

namespace {

using namespace Yr::RTU;
using Yr::Color32;
using Yr::IRTUStream;
using Yr::StringId;
using Bytes = std::vector<uint8_t>;

Updater& Shared() { return Yr::StaticSingleton<Updater>::Ref(); }

// One object with a field of every type.
struct Object {
  bool flag = false;
  char letter = 0;
  unsigned char level = 0;
  int count = 0;
  unsigned int mask = 0;
  float speed = 0;
  StringId name;
  Color32 tint;
  void* link = nullptr;
  bool operator==(const Object&) const = default;
};

TEST(UpdaterTest, HoldsOnePrototypePerTagWithNullSourceAndAddress) {
  Updater& updater = Shared();
  EXPECT_EQ(&updater, Yr::StaticSingleton<Updater>::Ptr());
  EXPECT_EQ(updater.mMembers[kTagNone], nullptr);
  for (int tag = 1; tag < kTagCount; ++tag) {
    ASSERT_NE(updater.mMembers[tag], nullptr) << tag;
    EXPECT_EQ(updater.mMembers[tag]->GetTag(), tag);
    EXPECT_EQ(updater.mMembers[tag]->mSource, nullptr);
  }
  Updater copy;
  Member* own[kTagCount];
  std::memcpy(own, copy.mMembers, sizeof own);
  copy = updater;  // shares the prototypes
  EXPECT_EQ(std::memcmp(copy.mMembers, updater.mMembers, sizeof own), 0);
  for (Member* member : own) delete member;
}

TEST(UpdaterTest, IntRecordReachesTheFieldOfEveryObject) {
  struct Wide {
    int before[2];
    int field;
    int after;
  } objects[3] = {{{1, 2}, 3, 4}, {{5, 6}, 7, 8}, {{9, 10}, 11, 12}};
  void* list[] = {&objects[0], &objects[1], &objects[2]};
  const uint8_t record[] = {0x04, 0x2A, 0x00, 0x00, 0x00, 0x77};
  IRTUStream in(record, sizeof record);
  Shared().Dispatch(list, 3, 8, in);
  EXPECT_EQ(in.mCursor, record + 5);
  EXPECT_FALSE(in.mShort);
  for (const Wide& object : objects) EXPECT_EQ(object.field, 42);
  EXPECT_EQ(objects[0].before[1], 2);
  EXPECT_EQ(objects[2].after, 12);
}

TEST(UpdaterTest, RecordsThatChangeNothingConsumeOnlyTheirTag) {
  Object object;
  object.count = 5;
  void* list[] = {&object};
  const struct {
    Bytes record;
    unsigned int count;
    size_t consumed;
  } cases[] = {
      {{0x00, 0x2A, 0x00, 0x00, 0x00}, 1, 1},  // tag 0: no member
      {{0x0A, 0x2A, 0x00, 0x00, 0x00}, 1, 1},  // above 9
      {{0x7F, 0x2A, 0x00, 0x00, 0x00}, 1, 1},
      {{0xFF, 0x2A, 0x00, 0x00, 0x00}, 1, 1},  // -1
      {{0x80, 0x2A, 0x00, 0x00, 0x00}, 1, 1},  // -128
      {{0x04, 0x2A, 0x00, 0x00, 0x00}, 0, 1},  // no objects: the cursor stops after the tag
  };
  for (const auto& c : cases) {
    IRTUStream in(c.record.data(), c.record.size());
    Shared().Dispatch(list, c.count, offsetof(Object, count), in);
    EXPECT_EQ(in.mCursor - c.record.data(), static_cast<std::ptrdiff_t>(c.consumed)) << int(c.record[0]);
    EXPECT_EQ(object.count, 5);
    EXPECT_FALSE(in.mShort);
  }
}

TEST(UpdaterTest, EmptyStringRecordGivesTheNullIdAndConsumesThreeBytes) {
  Object a, b;
  a.name = StringId("first");
  b.name = StringId("second");
  void* list[] = {&a, &b};
  const uint8_t record[] = {0x07, 0x00, 0x00, 0x07};
  IRTUStream in(record, sizeof record);
  Shared().Dispatch(list, 2, offsetof(Object, name), in);
  EXPECT_EQ(in.mCursor, record + 3);
  EXPECT_EQ(a.name, StringId());
  EXPECT_EQ(b.name, StringId());
}

// Every field written on one side and dispatched on the other: the objects end equal.
TEST(UpdaterTest, WrittenRecordsDispatchIntoEqualObjects) {
  std::mt19937 random(3);
  for (int round = 0; round < 100; ++round) {
    Object source;
    source.flag = random() & 1;
    source.letter = static_cast<char>(random());
    source.level = static_cast<unsigned char>(random());
    source.count = static_cast<int>(random());
    source.mask = random();
    source.speed = static_cast<float>(random()) / 1000.0f;
    source.name = round % 5 == 0 ? StringId() : StringId(std::to_string(random()).c_str());
    source.tint = Color32::FromValue(random());
    source.link = reinterpret_cast<void*>(uintptr_t{random()});

    struct Field {
      Member* member;
      size_t offset;
    } fields[] = {
        {MemberT<bool>::Create(&source.flag), offsetof(Object, flag)},
        {MemberT<char>::Create(&source.letter), offsetof(Object, letter)},
        {MemberT<unsigned char>::Create(&source.level), offsetof(Object, level)},
        {MemberT<int>::Create(&source.count), offsetof(Object, count)},
        {MemberT<unsigned int>::Create(&source.mask), offsetof(Object, mask)},
        {MemberT<float>::Create(&source.speed), offsetof(Object, speed)},
        {MemberT<StringId>::Create(&source.name), offsetof(Object, name)},
        {MemberT<Color32>::Create(&source.tint), offsetof(Object, tint)},
        {MemberT<void*>::Create(&source.link), offsetof(Object, link)},
    };
    ByteArray bytes;
    std::vector<size_t> starts;
    for (const Field& field : fields) {
      starts.push_back(bytes.Count());
      field.member->Write(bytes);
    }
    starts.push_back(bytes.Count());

    Object targets[4];
    void* list[] = {&targets[0], &targets[1], &targets[2], &targets[3]};
    IRTUStream in(bytes.Data(), bytes.Count());
    for (size_t i = 0; i < std::size(fields); ++i) {
      ASSERT_EQ(in.mCursor, bytes.Data() + starts[i]);
      Shared().Dispatch(list, 4, static_cast<unsigned int>(fields[i].offset), in);
    }
    EXPECT_EQ(in.mCursor, bytes.Data() + bytes.Count());
    EXPECT_FALSE(in.mShort);
    for (const Object& target : targets) EXPECT_TRUE(target == source) << "round " << round;
    for (const Field& field : fields) delete field.member;
  }
}

// A stream holding the first n bytes of a record sequence: every record that ends within
// the n bytes is applied, the one cut short changes nothing and leaves the cursor at its tag.
TEST(UpdaterTest, RecordCutShortChangesNoObjectAndRewindsToItsTag) {
  Object source;
  source.count = -7;
  source.name = StringId("a longer name");
  source.speed = 1.5f;
  ByteArray bytes;
  std::vector<size_t> ends;
  for (Member* member : {static_cast<Member*>(MemberT<int>::Create(&source.count)),
                         static_cast<Member*>(MemberT<StringId>::Create(&source.name)),
                         static_cast<Member*>(MemberT<float>::Create(&source.speed))}) {
    member->Write(bytes);
    ends.push_back(bytes.Count());
    delete member;
  }
  const unsigned int offsets[] = {offsetof(Object, count), offsetof(Object, name), offsetof(Object, speed)};
  for (size_t received = 0; received <= bytes.Count(); ++received) {
    Object a, b;
    void* list[] = {&a, &b};
    IRTUStream in(bytes.Data(), received);
    size_t applied = 0;
    while (applied < 3 && !in.mShort) {
      Shared().Dispatch(list, 2, offsets[applied], in);
      if (!in.mShort) ++applied;
    }
    const size_t whole = static_cast<size_t>(std::count_if(ends.begin(), ends.end(), [&](size_t end) { return end <= received; }));
    EXPECT_EQ(applied, whole) << received;
    EXPECT_EQ(in.mCursor, bytes.Data() + (whole ? ends[whole - 1] : 0)) << received;
    EXPECT_EQ(in.mShort, whole < 3) << received;
    for (const Object* object : {&a, &b}) {
      EXPECT_EQ(object->count, whole >= 1 ? -7 : 0) << received;
      EXPECT_EQ(object->name, whole >= 2 ? source.name : StringId()) << received;
      EXPECT_EQ(object->speed, whole >= 3 ? 1.5f : 0.0f) << received;
    }
  }
}

TEST(UpdaterTest, PrototypesRefusedByTheAllocatorStayNull) {
  Yr::AllocatorHook::mInvalid = true;
  Updater updater;
  Yr::AllocatorHook::mInvalid = false;
  for (Member* member : updater.mMembers) EXPECT_EQ(member, nullptr);
  int value = 3;
  void* list[] = {&value};
  const uint8_t record[] = {0x04, 0x2A, 0x00, 0x00, 0x00};
  IRTUStream in(record, sizeof record);
  updater.Dispatch(list, 1, 0, in);
  EXPECT_EQ(value, 3);
  EXPECT_EQ(in.mCursor, record + 1);
}

}  // namespace
