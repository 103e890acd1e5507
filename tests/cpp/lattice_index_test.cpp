#include <algorithm>
#include <cstdint>
#include <map>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "balance/depth_first_order.h"
#include "octree/chunked_array.h"
#include "octree/lattice_index.h"
#include "octree/octree.h"
#include "reference_octree.h"

namespace karvex {
namespace {

using testing::cell_path;

using Reference = std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t>, std::uint32_t>;

void expect_same(const LatticeIndex& index, const Reference& reference,
                 const std::vector<CornerKey>& probes) {
  for (const CornerKey& k : probes) {
    const auto it = reference.find({k.x, k.y, k.z});
    EXPECT_EQ(index.find(k), it == reference.end() ? LatticeIndex::kAbsent : it->second)
        << k.x << " " << k.y << " " << k.z;
  }
}

// Keys of one lattice, crowded into a corner so that some regions turn
// dense, spread elsewhere, and a few beyond the lattice (which an index must
// still hold).
std::vector<CornerKey> keys_for(unsigned depth, std::mt19937& rng) {
  const std::uint32_t n = 1u << depth;
  std::uniform_int_distribution<std::uint32_t> all(0, n), near(0, std::min(n, 20u));
  std::uniform_int_distribution<std::uint32_t> beyond(n + 1, n + 40);
  std::vector<CornerKey> keys;
  for (int i = 0; i < 3000; ++i) keys.push_back({near(rng), near(rng), near(rng)});
  for (int i = 0; i < 3000; ++i) keys.push_back({all(rng), all(rng), all(rng)});
  for (int i = 0; i < 50; ++i) keys.push_back({beyond(rng), all(rng), all(rng)});
  return keys;
}

class LatticeIndexAt : public ::testing::TestWithParam<unsigned> {};

TEST_P(LatticeIndexAt, ActsAsAMapThroughDenseRegionsCopiesAndRollback) {
  const unsigned depth = GetParam();
  std::mt19937 rng(depth + 1);
  const std::vector<CornerKey> keys = keys_for(depth, rng);
  LatticeIndex index(depth);
  Reference reference;
  std::uint32_t next = 0;
  for (const CornerKey& k : keys) {
    const auto [number, added] = index.try_emplace(k, next);
    const auto [it, fresh] = reference.try_emplace({k.x, k.y, k.z}, next);
    ASSERT_EQ(added, fresh);
    ASSERT_EQ(number, it->second);  // a present key keeps its number
    if (added) ++next;
  }
  expect_same(index, reference, keys);
  expect_same(index, reference, keys_for(depth, rng));  // mostly absent keys

  // A copy is independent of the original.
  LatticeIndex copy = index;
  copy.try_emplace({1u << depth, 0, 1u << depth}, 999999);
  copy.erase_entries_from(0);
  expect_same(index, reference, keys);

  // Rolling back removes exactly the keys numbered from `first` on.
  const std::uint32_t first = next / 2;
  index.erase_entries_from(first);
  std::erase_if(reference, [&](const auto& entry) { return entry.second >= first; });
  expect_same(index, reference, keys);
  const auto [number, added] = index.try_emplace(keys.back(), 7);
  EXPECT_EQ(added, !reference.count({keys.back().x, keys.back().y, keys.back().z}));
  if (!added) {
    EXPECT_LT(number, first);
  }
}

INSTANTIATE_TEST_SUITE_P(Depths, LatticeIndexAt, ::testing::Values(0u, 3u, 6u, 9u, 12u, 20u));

// Depth-first octant order by its definition: compare the octant paths from
// the root, a cell before the cells inside it.
bool walks_first(const CellAddress& a, const CellAddress& b, std::uint8_t max_depth) {
  const auto pa = cell_path(min_corner(a, max_depth), a.d, max_depth);
  const auto pb = cell_path(min_corner(b, max_depth), b.d, max_depth);
  return std::lexicographical_compare(pa.begin(), pa.end(), pb.begin(), pb.end());
}

class DepthFirstOrder : public ::testing::TestWithParam<unsigned> {};

TEST_P(DepthFirstOrder, MatchesThePathOrderWithoutRepeats) {
  const auto max_depth = static_cast<std::uint8_t>(GetParam());
  std::mt19937 rng(max_depth);
  std::vector<CellAddress> cells;
  for (int i = 0; i < 2000; ++i) {
    const auto d =
        static_cast<std::uint8_t>(std::uniform_int_distribution<unsigned>(0, max_depth)(rng));
    std::uniform_int_distribution<std::uint32_t> coord(0, (1u << d) - 1u);
    cells.push_back({coord(rng), coord(rng), coord(rng), d});
    // Repeats, and the cell's parent with the same minimum corner.
    if (i % 7 == 0) cells.push_back(cells.back());
    if (d > 0 && i % 5 == 0) {
      const CellAddress c = cells.back();
      cells.push_back({c.x >> 1, c.y >> 1, c.z >> 1, static_cast<std::uint8_t>(d - 1)});
    }
  }
  std::vector<CellAddress> expected = cells;
  std::sort(expected.begin(), expected.end(), [&](const CellAddress& a, const CellAddress& b) {
    return walks_first(a, b, max_depth);
  });
  expected.erase(std::unique(expected.begin(), expected.end()), expected.end());
  EXPECT_EQ(in_depth_first_order(cells, max_depth), expected);
}

// 19 and below use one packed key, deeper lattices a split one.
INSTANTIATE_TEST_SUITE_P(MaxDepths, DepthFirstOrder, ::testing::Values(1u, 9u, 19u, 20u, 27u));

TEST(LargeMemory, BlocksAroundTheHugePageSizeAreAlignedAndUsable) {
  for (const std::size_t bytes :
       {std::size_t{24}, kHugeBlockBytes - 8, kHugeBlockBytes, 3 * kHugeBlockBytes + 40}) {
    auto* block = static_cast<unsigned char*>(allocate_large(bytes));
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % alignof(std::max_align_t), 0u);
    if (bytes >= kHugeBlockBytes) {
      EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % kHugePageBytes, 0u);
    }
    block[0] = 1;
    block[bytes - 1] = 2;
    EXPECT_EQ(block[0] + block[bytes - 1], 3);
    free_large(block, bytes);
  }
}

TEST(ChunkedArray, SegmentsBeyondTheHugePageSizeKeepEveryElementInPlace) {
  // Doubling segments of 2^10 elements: the later ones are mapped directly.
  ChunkedArray<std::uint64_t, 10> a;
  constexpr std::uint64_t kCount = (std::uint64_t{1} << 20) + 3;
  const std::uint64_t* first = nullptr;
  for (std::uint64_t i = 0; i < kCount; ++i) {
    a.push_back(i ^ 0x5555);
    if (i == 0) first = &a[0];
  }
  EXPECT_EQ(&a[0], first);
  ChunkedArray<std::uint64_t, 10> b = a;
  std::uint64_t mismatches = 0;
  for (std::uint64_t i = 0; i < kCount; ++i) mismatches += (a[i] != (i ^ 0x5555)) + (b[i] != a[i]);
  EXPECT_EQ(mismatches, 0u);
  ChunkedArray<std::uint64_t, 10> c = std::move(b);
  EXPECT_EQ(c.size(), kCount);
  EXPECT_EQ(b.size(), 0u);  // NOLINT(bugprone-use-after-move): moved-from is empty
}

}  // namespace
}  // namespace karvex
