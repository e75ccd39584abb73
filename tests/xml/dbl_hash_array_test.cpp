#include "xml/dbl_hash_array.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "xml/hash_table.h"

namespace corvandel::xml {
namespace {

std::vector<DOMString> Names(int count) {
  std::vector<DOMString> names;
  for (int i = 0; i < count; ++i) {
    DOMString name = u"n";
    for (char c : std::to_string(i)) name += static_cast<DOMChar>(c);
    names.push_back(name);
  }
  return names;
}

TEST(DblHashArrayTest, FindsRepeatedPairsUntilTheNextInit) {
  const DOMString u = u"urn:u";
  const DOMString v = u"urn:v";
  const DOMString uCopy = u;
  TDblHashArray array;
  array.Init(3);
  EXPECT_FALSE(array.Locate(u, u"a"));
  EXPECT_TRUE(array.Locate(u, u"a"));
  EXPECT_TRUE(array.Locate(uCopy, u"ab", 1));  // contents count, not addresses
  EXPECT_FALSE(array.Locate(v, u"a"));
  EXPECT_FALSE(array.Locate(u, u"ab"));
  EXPECT_TRUE(array.Locate(v, u"a"));

  array.Init(3);
  EXPECT_FALSE(array.Locate(u, u"a"));
  EXPECT_FALSE(array.Locate(v, u"a"));
}

TEST(DblHashArrayTest, SizesTheArrayForTheExpectedCount) {
  const std::pair<uint32_t, std::size_t> cases[] = {{1, 8}, {7, 8}, {8, 16}, {1023, 1024}, {1024, 2048}};
  for (auto [count, slots] : cases) {
    TDblHashArray array;
    array.Init(count);
    EXPECT_EQ(array.SlotCount(), slots) << count;
  }
}

// Elements in a row, with the array replaced and reused, never see a pair
// of an earlier element.
TEST(DblHashArrayTest, EveryInitStartsEmpty) {
  const std::vector<DOMString> names = Names(40);
  TDblHashArray array;
  for (int element = 0; element < 2000; ++element) {
    const int count = element % 7 == 0 ? 40 : 1 + element % 3;
    array.Init(static_cast<uint32_t>(count));
    for (int i = 0; i < count; ++i) ASSERT_FALSE(array.Locate(u"urn:x", names[i])) << element;
    for (int i = 0; i < count; ++i) ASSERT_TRUE(array.Locate(u"urn:x", names[i])) << element;
  }
}

// Above 1024 slots the probe step needs more than 8 bits; every pair must
// still be entered and found.
TEST(DblHashArrayTest, LargeTablesFindEveryPair) {
  const std::vector<DOMString> uris{u"urn:a", u"urn:b", u"http://example.com/ns"};
  const std::vector<DOMString> names = Names(1500);
  TDblHashArray array;
  array.Init(static_cast<uint32_t>(uris.size() * names.size()));
  ASSERT_EQ(array.SlotCount(), 8192u);
  for (const DOMString& uri : uris)
    for (const DOMString& name : names) ASSERT_FALSE(array.Locate(uri, name));
  for (const DOMString& uri : uris)
    for (const DOMString& name : names) ASSERT_TRUE(array.Locate(uri, name));
}

// A caller that enters more pairs than it announced must not make a probe
// run forever.
TEST(DblHashArrayTest, MorePairsThanAnnouncedStillWork) {
  const std::vector<DOMString> names = Names(100);
  TDblHashArray array;
  array.Init(1);
  for (const DOMString& name : names) ASSERT_FALSE(array.Locate(u"urn:x", name));
  for (const DOMString& name : names) ASSERT_TRUE(array.Locate(u"urn:x", name));
}

// Local names whose unkeyed hash agrees in all its low bits would probe
// the same slots for every attribute of one element.
TEST(DblHashArrayTest, NamesBuiltToCollideProbeFewSlots) {
  constexpr int kNames = 20000;
  const DOMString uri = u"urn:x";
  std::vector<DOMString> names;
  for (int i = 0; i < kNames; ++i) {
    const auto first = static_cast<DOMChar>(0x4E00 + i);
    const uint32_t afterFirst = HashChars(HashChars(0, uri), &first, 1);
    names.push_back(DOMString{first, static_cast<DOMChar>(((afterFirst * 1000003u) ^ 0x5A5Au) & 0xFFFF)});
    ASSERT_EQ(HashChars(HashChars(0, uri), names.back()) & 0xFFFF, HashChars(HashChars(0, uri), names[0]) & 0xFFFF);
  }
  TDblHashArray array;
  array.Init(kNames);
  for (const DOMString& name : names) ASSERT_FALSE(array.Locate(uri, name));
  for (const DOMString& name : names) ASSERT_TRUE(array.Locate(uri, name));
  // A hash that spreads these names needs about 3 probes a name over both
  // passes; with their low bits alike it takes about 16.
  EXPECT_LT(array.Probes(), 5u * kNames);
}

}  // namespace
}  // namespace corvandel::xml
