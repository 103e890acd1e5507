#include <cstdint>
#include <map>
#include <random>
#include <tuple>

#include <gtest/gtest.h>

#include "octree/octree.h"
#include "support/flat_hash.h"

namespace karvex {
namespace {

// A hash that sends every key to one slot: every probe run wraps around the
// table, and lookups must still stop at the first empty slot.
struct OneSlotHash {
  std::size_t operator()(const CornerKey&) const { return 7; }
};

using Key = std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>;

template <class Hash>
void check_against_map(int keys, std::uint32_t range) {
  std::mt19937 rng(12345);
  std::uniform_int_distribution<std::uint32_t> coord(0, range);
  FlatHashMap<CornerKey, std::uint32_t, Hash> table;
  std::map<Key, std::uint32_t> reference;
  for (int i = 0; i < keys; ++i) {
    const CornerKey k{coord(rng), coord(rng), 0xffffffffu - coord(rng)};
    const auto [stored, inserted] = table.try_emplace(k, static_cast<std::uint32_t>(i));
    const auto [it, expected] = reference.try_emplace({k.x, k.y, k.z}, i);
    ASSERT_EQ(inserted, expected);
    ASSERT_EQ(*stored, it->second);  // an existing value is kept, not overwritten
  }
  ASSERT_EQ(table.size(), reference.size());
  for (const auto& [key, value] : reference) {
    const std::uint32_t* found = table.find({std::get<0>(key), std::get<1>(key), std::get<2>(key)});
    ASSERT_NE(found, nullptr);
    EXPECT_EQ(*found, value);
  }
  EXPECT_EQ(table.find({range + 1, 0, 0}), nullptr);

  std::map<Key, std::uint32_t> visited;
  table.for_each([&](const CornerKey& k, std::uint32_t v) {
    EXPECT_TRUE(visited.try_emplace({k.x, k.y, k.z}, v).second);
  });
  EXPECT_EQ(visited, reference);

  // A copy is independent of the original.
  auto copy = table;
  copy.try_emplace({range + 1, 0, 0}, 1);
  EXPECT_EQ(table.find({range + 1, 0, 0}), nullptr);

  const auto odd = [](const auto&, std::uint32_t v) { return v % 2 == 1; };
  table.erase_if(odd);
  std::erase_if(reference, [](const auto& entry) { return entry.second % 2 == 1; });
  ASSERT_EQ(table.size(), reference.size());
  for (const auto& [key, value] : visited) {
    const std::uint32_t* found = table.find({std::get<0>(key), std::get<1>(key), std::get<2>(key)});
    EXPECT_EQ(found != nullptr, value % 2 == 0);
  }

  table.clear();
  EXPECT_TRUE(table.empty());
  EXPECT_EQ(table.find({0, 0, 0}), nullptr);
  EXPECT_TRUE(table.try_emplace({0, 0, 0}, 5).second);
}

TEST(FlatHashMap, AgreesWithAnOrderedMapThroughGrowthErasureAndCopies) {
  check_against_map<CornerKeyHash>(20000, 60);  // many repeated keys
  check_against_map<CornerKeyHash>(20000, 1u << 30);
}

TEST(FlatHashMap, ProbesWrapAroundWhenEveryKeyCollides) { check_against_map<OneSlotHash>(300, 10); }

TEST(FlatHashSet, InsertReportsOnlyTheFirstOccurrence) {
  FlatHashSet<CellAddress, CellAddressHash> set;
  EXPECT_FALSE(set.contains({1, 2, 3, 4}));
  EXPECT_TRUE(set.insert({1, 2, 3, 4}));
  EXPECT_FALSE(set.insert({1, 2, 3, 4}));
  EXPECT_TRUE(set.insert({1, 2, 3, 5}));  // the depth is part of the key
  EXPECT_TRUE(set.contains({1, 2, 3, 5}));
  EXPECT_EQ(set.size(), 2u);
}

}  // namespace
}  // namespace karvex
