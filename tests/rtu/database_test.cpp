#include "system/rtu/database.h"

#include <gtest/gtest.h>

#include <vector>

namespace {

using Yr::RTU::Database;

// An entry that records its own deletion, so tests see which entries the database deleted.
struct Entry : Database::UpdateBase {
  Entry(const void* source, const void* address, std::vector<const Entry*>* deleted)
      : mSourceObject(source), mVariable(address), mDeleted(deleted) {}
  ~Entry() override { mDeleted->push_back(this); }
  const void* GetSource() const override { return mSourceObject; }
  const void* GetAddress() const override { return mVariable; }
  const void* mSourceObject;
  const void* mVariable;
  std::vector<const Entry*>* mDeleted;
};

class DatabaseTest : public ::testing::Test {
 protected:
  ~DatabaseTest() override { database.ClearAll(); }
  Entry* Add(const void* source, const void* address) {
    auto* entry = new Entry(source, address, &deleted);
    database.Add(entry);
    return entry;
  }
  std::vector<const Database::UpdateBase*> Entries() const {
    std::vector<const Database::UpdateBase*> out;
    for (uint32_t i = 0; i < database.Count(); ++i) out.push_back(database.Entry(i));
    return out;
  }

  Database database;
  std::vector<const Entry*> deleted;
  int objects[4] = {};
  float fields[4] = {};
};

TEST_F(DatabaseTest, UnregisterRemovesOneMatchPerCallByMovingTheLastEntry) {
  Entry* a = Add(&objects[0], &fields[0]);
  Entry* b = Add(&objects[1], &fields[1]);
  Entry* c = Add(&objects[2], &fields[2]);
  database.Unregister(&fields[0]);
  EXPECT_EQ(Entries(), (std::vector<const Database::UpdateBase*>{c, b}));
  EXPECT_EQ(deleted, std::vector<const Entry*>{a});

  // An address registered twice: each call removes the lowest-indexed one.
  Entry* again = Add(&objects[3], &fields[1]);
  database.Unregister(&fields[1]);
  EXPECT_EQ(Entries(), (std::vector<const Database::UpdateBase*>{c, again}));
  database.Unregister(&fields[1]);
  EXPECT_EQ(Entries(), std::vector<const Database::UpdateBase*>{c});
  EXPECT_EQ(deleted, (std::vector<const Entry*>{a, b, again}));

  database.Unregister(&fields[3]);  // unknown: nothing happens
  EXPECT_EQ(database.Count(), 1u);
  database.Unregister(&fields[2]);
  EXPECT_EQ(database.Count(), 0u);
  database.Unregister(&fields[2]);  // empty: nothing happens
  EXPECT_EQ(deleted.size(), 4u);
}

TEST_F(DatabaseTest, UnregisterSourceAndLookupTakeTheFirstMatchingSource) {
  Entry* a = Add(&objects[0], &fields[0]);
  Entry* b = Add(&objects[1], &fields[1]);
  Entry* c = Add(&objects[0], &fields[2]);
  EXPECT_EQ(database.Lookup(&objects[0]), a);
  EXPECT_EQ(database.Lookup(&objects[1]), b);
  EXPECT_EQ(database.Lookup(&objects[3]), nullptr);
  EXPECT_EQ(database.Lookup(&fields[0]), nullptr);  // an address is not a source

  database.UnregisterSource(&objects[0]);
  EXPECT_EQ(Entries(), (std::vector<const Database::UpdateBase*>{c, b}));
  EXPECT_EQ(database.Lookup(&objects[0]), c);
  database.UnregisterSource(&objects[0]);
  EXPECT_EQ(Entries(), std::vector<const Database::UpdateBase*>{b});
  EXPECT_EQ(database.Lookup(&objects[0]), nullptr);
  EXPECT_EQ(deleted, (std::vector<const Entry*>{a, c}));
}

TEST_F(DatabaseTest, ClearAllDeletesInIndexOrderAndSkipsNullEntries) {
  Entry* a = Add(&objects[0], &fields[0]);
  database.mEntries.Add(nullptr);
  Entry* b = Add(&objects[1], &fields[1]);
  database.ClearAll();
  EXPECT_EQ(database.Count(), 0u);
  EXPECT_EQ(deleted, (std::vector<const Entry*>{a, b}));
  EXPECT_EQ(database.Lookup(&objects[0]), nullptr);
  database.Add(nullptr);  // ignored
  EXPECT_EQ(database.Count(), 0u);
}

TEST_F(DatabaseTest, CopiesShareEntriesAndTheDestructorDeletesNone) {
  Entry* a = Add(&objects[0], &fields[0]);
  Entry* b = Add(&objects[1], &fields[1]);
  {
    Database copy(database);
    Database assigned;
    assigned = database;
    for (const Database* other : {&copy, &assigned}) {
      ASSERT_EQ(other->Count(), 2u);
      EXPECT_EQ(other->Entry(0), a);
      EXPECT_EQ(other->Entry(1), b);
      EXPECT_NE(other->mEntries.Data(), database.mEntries.Data());
    }
  }
  EXPECT_TRUE(deleted.empty());
  EXPECT_EQ(database.Count(), 2u);
}

TEST(DatabaseSingletonTest, RefAndPtrNameOneDatabase) {
  auto& database = Yr::StaticSingleton<Database>::Ref();
  EXPECT_EQ(&database, Yr::StaticSingleton<Database>::Ptr());
  EXPECT_EQ(database.Count(), 0u);
}

}  // namespace
