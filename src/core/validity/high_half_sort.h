#pragma once

// Sorting 64-bit keys whose low halves already increase: a stable radix sort
// on the high halves alone, one byte a pass (Knuth, TAOCP vol. 3, 5.2.5,
// least significant digit first). Stability keeps equal high halves in
// their incoming order, so the result equals std::sort's on the whole keys,
// in time linear in their number; a byte that every key shares costs no
// pass. The pair sweep's slices (self_intersections.cpp) order their
// triangles this way, the lowest z in the high half, the triangle's number,
// dealt in increasing order, in the low half.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

namespace karvex::validity {

// Sorts keys[0, n) in increasing order, given that their low 32 bits
// increase strictly from one key to the next. `scratch` grows to n.
inline void sort_by_high_half(std::uint64_t* keys, std::size_t n, std::vector<std::uint64_t>& scratch) {
  if (n < 2) return;
  if (scratch.size() < n) scratch.resize(n);
  constexpr int kDigits = 4;
  std::array<std::array<std::uint32_t, 256>, kDigits> counts{};
  for (std::size_t k = 0; k < n; ++k) {
    const auto high = static_cast<std::uint32_t>(keys[k] >> 32);
    for (int d = 0; d < kDigits; ++d) ++counts[d][(high >> (8 * d)) & 0xffu];
  }
  std::uint64_t* from = keys;
  std::uint64_t* to = scratch.data();
  for (int d = 0; d < kDigits; ++d) {
    auto& count = counts[d];
    const std::uint64_t first = (from[0] >> (32 + 8 * d)) & 0xffu;
    if (count[first] == n) continue;  // every key has this byte: nothing to order by
    std::uint32_t start = 0;
    for (std::uint32_t& c : count) start += std::exchange(c, start);
    for (std::size_t k = 0; k < n; ++k) to[count[(from[k] >> (32 + 8 * d)) & 0xffu]++] = from[k];
    std::swap(from, to);
  }
  if (from != keys) std::copy(from, from + n, keys);
}

}  // namespace karvex::validity
