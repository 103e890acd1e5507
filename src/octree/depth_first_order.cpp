#include "octree/depth_first_order.h"

#include <algorithm>
#include <array>
#include <cstddef>

namespace karvex {

namespace {

// Spreads the low 21 bits of v so that bit i lands on bit 3i.
std::uint64_t spread_by_three(std::uint32_t v) {
  std::uint64_t x = v & 0x1fffffu;
  x = (x | (x << 32)) & 0x001f00000000ffffull;
  x = (x | (x << 16)) & 0x001f0000ff0000ffull;
  x = (x | (x << 8)) & 0x100f00f00f00f00full;
  x = (x | (x << 4)) & 0x10c30c30c30c30c3ull;
  x = (x | (x << 2)) & 0x1249249249249249ull;
  return x;
}

std::uint64_t morton(const CornerKey& k) {
  return spread_by_three(k.x) | (spread_by_three(k.y) << 1) | (spread_by_three(k.z) << 2);
}

// Lattices up to this depth fit the Morton code of a minimum corner (3 bits
// per level) and the depth (5 bits) into one 64-bit key.
constexpr unsigned kMaxPackedDepth = 19;

struct Keyed {
  std::uint64_t key;
  std::uint32_t index;  // into the input
};

// Least-significant-digit radix sort by key, 11 bits a pass, over the
// significant bits only. Stable, linear in the number of items: several
// times faster than a comparison sort on the lists balancing produces.
void radix_sort(std::vector<Keyed>& items, unsigned key_bits) {
  constexpr unsigned kDigitBits = 11;
  constexpr std::size_t kBuckets = std::size_t{1} << kDigitBits;
  std::vector<Keyed> buffer(items.size());
  std::array<std::size_t, kBuckets> start{};
  for (unsigned shift = 0; shift < key_bits; shift += kDigitBits) {
    start.fill(0);
    for (const Keyed& item : items) ++start[(item.key >> shift) & (kBuckets - 1)];
    std::size_t sum = 0;
    for (std::size_t& count : start) {
      const std::size_t n = count;
      count = sum;
      sum += n;
    }
    for (const Keyed& item : items) buffer[start[(item.key >> shift) & (kBuckets - 1)]++] = item;
    items.swap(buffer);
  }
}

}  // namespace

std::vector<CellAddress> in_depth_first_order(const std::vector<CellAddress>& cells,
                                              std::uint8_t max_depth) {
  std::vector<CellAddress> out;
  out.reserve(cells.size());
  if (max_depth <= kMaxPackedDepth) {
    std::vector<Keyed> items;
    items.reserve(cells.size());
    for (std::size_t i = 0; i < cells.size(); ++i) {
      const std::uint64_t key = (morton(min_corner(cells[i], max_depth)) << 5) | cells[i].d;
      items.push_back({key, static_cast<std::uint32_t>(i)});
    }
    radix_sort(items, 3 * max_depth + 5);
    for (std::size_t i = 0; i < items.size(); ++i) {
      // Equal keys are equal cells.
      if (i == 0 || items[i].key != items[i - 1].key) out.push_back(cells[items[i].index]);
    }
    return out;
  }
  // Deeper lattices: the code split into its upper and lower 16 bits per axis.
  struct Split {
    std::uint64_t high;
    std::uint64_t low;
    CellAddress cell;
  };
  std::vector<Split> keys;
  keys.reserve(cells.size());
  for (const CellAddress& c : cells) {
    const CornerKey k = min_corner(c, max_depth);
    keys.push_back({morton({k.x >> 16, k.y >> 16, k.z >> 16}),
                    morton({k.x & 0xffffu, k.y & 0xffffu, k.z & 0xffffu}), c});
  }
  std::sort(keys.begin(), keys.end(), [](const Split& a, const Split& b) {
    if (a.high != b.high) return a.high < b.high;
    if (a.low != b.low) return a.low < b.low;
    return a.cell.d < b.cell.d;
  });
  for (const Split& k : keys) {
    if (out.empty() || !(out.back() == k.cell)) out.push_back(k.cell);
  }
  return out;
}

}  // namespace karvex
