#include "xml/hash_table.h"

#include <gtest/gtest.h>

#include <memory>
#include <string>
#include <vector>

namespace corvandel::xml {
namespace {

DOMString Key(int i) {
  DOMString key = u"key";
  for (char c : std::to_string(i)) key += static_cast<DOMChar>(c);
  return key;
}

TEST(HashCharsTest, CombinesUnitsFromTheLeft) {
  EXPECT_EQ(HashChars(0, u"abc"), 0xAF645320u);
  EXPECT_EQ(HashChars(7, u""), 7u);
  EXPECT_EQ(HashChars(HashChars(0, u"ab"), u"c"), HashChars(0, u"abc"));
}

TEST(HashTableTest, GrowsOnlyWhenEntriesOutnumberBuckets) {
  THashTable<int> table(16);
  EXPECT_EQ(table.BucketCount(), 256u);
  EXPECT_EQ(THashTable<int>(257).BucketCount(), 512u);

  std::vector<THashTable<int>::Item*> items;
  for (int i = 0; i < 257; ++i) items.push_back(table.FindOrAdd(Key(i)));
  EXPECT_EQ(table.BucketCount(), 256u);
  items.push_back(table.FindOrAdd(Key(257)));
  EXPECT_EQ(table.BucketCount(), 512u);

  // Entries keep their identity across the resize.
  for (int i = 0; i < 258; ++i) {
    const DOMString key = Key(i);
    bool found = false;
    ASSERT_EQ(table.FindOrAdd(key.data(), key.size(), found), items[i]) << i;
    EXPECT_TRUE(found);
    EXPECT_EQ(items[i]->Key, key);
  }
  EXPECT_EQ(table.Count(), 258u);
}

TEST(HashTableTest, LookupsMatchWholeKeysAndFindNeverAdds) {
  THashTable<int> table;
  bool found = true;
  auto* ab = table.FindOrAdd(u"ab", 2, found);
  EXPECT_FALSE(found);
  EXPECT_EQ(ab->Data, nullptr);
  EXPECT_NE(table.FindOrAdd(u"a", 1, found), ab);
  EXPECT_FALSE(found);
  EXPECT_NE(table.FindOrAdd(u"", 0, found), ab);
  EXPECT_FALSE(found);

  int value = 5;
  ab->Data = &value;
  EXPECT_EQ(table.FindData(u"ab"), &value);
  EXPECT_EQ(table.FindData(u"abc"), nullptr);
  EXPECT_EQ(table.Find(u"b", 1), nullptr);
  EXPECT_EQ(table.Count(), 3u);
}

TEST(HashTableTest, RemoveDataRemovesOneEntryAndKeepsTheData) {
  THashTable<int> table;
  int shared = 1;
  int other = 2;
  table.FindOrAdd(u"a")->Data = &shared;
  table.FindOrAdd(u"b")->Data = &shared;
  table.FindOrAdd(u"c")->Data = &other;

  EXPECT_TRUE(table.RemoveData(&shared));
  EXPECT_EQ(table.Count(), 2u);
  EXPECT_EQ((table.FindData(u"a") == &shared) + (table.FindData(u"b") == &shared), 1);
  EXPECT_TRUE(table.RemoveData(&shared));
  EXPECT_FALSE(table.RemoveData(&shared));
  EXPECT_EQ(table.FindData(u"c"), &other);
  EXPECT_EQ(shared, 1);
}

// Two-unit keys whose unkeyed hash agrees in its low 16 bits: a table that
// took its buckets from those bits would chain all of them in one bucket.
std::vector<DOMString> CollidingKeys(int count) {
  std::vector<DOMString> keys;
  for (int i = 0; i < count; ++i) {
    const auto first = static_cast<DOMChar>(0x4E00 + i);
    const auto second = static_cast<DOMChar>((HashChars(0, &first, 1) * 1000003u ^ 0x5A5Au) & 0xFFFF);
    keys.push_back(DOMString{first, second});
  }
  return keys;
}

// Entries live in chunks and removed ones are reused: removing and adding
// over and over must keep every live key findable and visited exactly once.
TEST(HashTableTest, RemovedEntriesMakeRoomForNewOnes) {
  THashTable<int> table;
  std::vector<int> values(300);
  for (int i = 0; i < 300; ++i) table.FindOrAdd(Key(i))->Data = &values[i];
  for (int i = 0; i < 300; i += 2) ASSERT_TRUE(table.RemoveData(&values[i]));
  for (int i = 300; i < 450; ++i) table.FindOrAdd(Key(i))->Data = &values[i - 300];
  EXPECT_EQ(table.Count(), 300u);
  for (int i = 1; i < 300; i += 2) EXPECT_EQ(table.FindData(Key(i)), &values[i]) << i;
  for (int i = 0; i < 300; i += 2) EXPECT_EQ(table.FindData(Key(i)), nullptr) << i;
  for (int i = 300; i < 450; ++i) EXPECT_EQ(table.FindData(Key(i)), &values[i - 300]) << i;
  std::vector<int> visits(450);
  table.ForEach([&](const THashTable<int>::Item& item) { ++visits[std::stoi(std::string(item.Key.begin() + 3, item.Key.end()))]; });
  for (int i = 0; i < 450; ++i) EXPECT_EQ(visits[i], i < 300 && i % 2 == 0 ? 0 : 1) << i;
  table.Clear();
  EXPECT_EQ(table.Count(), 0u);
  EXPECT_EQ(table.FindData(Key(1)), nullptr);
  EXPECT_NE(table.FindOrAdd(Key(1)), nullptr);
}

TEST(HashTableTest, NamesBuiltToCollideStayInShortChains) {
  constexpr int kKeys = 20000;
  const std::vector<DOMString> keys = CollidingKeys(kKeys);
  for (const DOMString& key : keys) ASSERT_EQ(HashChars(0, key) & 0xFFFF, HashChars(0, keys[0]) & 0xFFFF);

  THashTable<int> table;
  for (const DOMString& key : keys) table.FindOrAdd(key);
  for (const DOMString& key : keys) ASSERT_NE(table.Find(key.data(), key.size()), nullptr);
  EXPECT_EQ(table.Count(), static_cast<uint32_t>(kKeys));
  // One chain would take some 3 * 10^8 comparisons.
  EXPECT_LT(table.Probes(), 10u * kKeys);
}

TEST(KeyedHashTest, DependsOnEveryUnitAndTheTweak) {
  EXPECT_EQ(KeyedHashChars(u"member"), KeyedHashChars(u"member"));
  EXPECT_NE(KeyedHashChars(u"member"), KeyedHashChars(u"membes"));
  EXPECT_NE(KeyedHashChars(u"abcd"), KeyedHashChars(u"abcd", 1));
  EXPECT_NE(KeyedHashChars(u""), KeyedHashChars(DOMStringView(u"\0", 1)));
}

struct TCounted {
  explicit TCounted(int& freed) : Freed(freed) {}
  ~TCounted() { ++Freed; }
  int& Freed;
};

TEST(HashTableTest, OnlyAnOwningTableFreesItsData) {
  int freed = 0;
  {
    THashTable<TCounted, std::default_delete<TCounted>> owning(256);
    for (int i = 0; i < 300; ++i) owning.Adopt(owning.FindOrAdd(Key(i)), std::make_unique<TCounted>(freed));
    owning.FindOrAdd(u"no data");
  }
  EXPECT_EQ(freed, 300);

  freed = 0;
  TCounted kept(freed);
  {
    THashTable<TCounted> borrowing;
    borrowing.FindOrAdd(u"k")->Data = &kept;
  }
  EXPECT_EQ(freed, 0);
}


// A thread hands a dying table's buckets to its next table: emptied entry
// by entry when the table held few entries, cleared whole when it held
// many. Either way the next table starts empty.
TEST(HashTableTest, ATableStartsEmptyOnBucketsOfOneBefore) {
  for (int entries : {3, 200}) {
    {
      THashTable<int> table;
      for (int i = 0; i < entries; ++i) table.FindOrAdd(Key(i));
      table.RemoveData(nullptr);  // one entry unlinked before the end
    }
    THashTable<int> next;
    for (int i = 0; i < entries; ++i) EXPECT_EQ(next.FindData(Key(i)), nullptr) << entries << " " << i;
    EXPECT_EQ(next.Count(), 0u);
    next.FindOrAdd(Key(0));
    EXPECT_EQ(next.Count(), 1u);
  }
}

}  // namespace
}  // namespace corvandel::xml
