#pragma once

// Ordering the edge collapse's starting entries (every edge, both ways) by
// cost, then a, then b, with stable counting sorts, least significant key
// first (Knuth, TAOCP vol. 3, 5.2.5): one pass on a (the entries come
// grouped by edge, so within each a the b already increase), then the cost
// sixteen bits a pass, skipping any digit every entry shares. Linear in the
// number of entries, where a comparison sort spends most of its time on the
// cost ties of flat regions and on the five-field comparison.

#include <algorithm>
#include <array>
#include <bit>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "dc/collapse_candidate.h"

namespace karvex {

// The cost as an unsigned integer in the same order: -0 counts as +0 (they
// compare equal), negatives flip whole, positives get the sign bit set.
// Not for NaN, which has no place in the order.
inline std::uint64_t ordered_cost_bits(double cost) {
  const std::uint64_t bits = std::bit_cast<std::uint64_t>(cost + 0.0);  // -0 + 0 is +0
  return (bits >> 63) != 0 ? ~bits : bits | (std::uint64_t{1} << 63);
}

// Sorts `entries` greatest first (so least last) by (cost, a, b) and
// returns true, given no NaN cost; `scratch` is working space. When two
// entries share (a, b) the order also depends on their versions, which
// this does not look at: it returns false, `entries` in some other order.
inline bool sort_seeds_least_last(std::vector<CollapseCandidate>& entries,
                                  std::vector<CollapseCandidate>& scratch) {
  const std::size_t n = entries.size();
  if (n < 2) return true;
  scratch.resize(n);

  // One stable pass on a; then the pairs must strictly increase, or a pass
  // on b and again on a orders them (and if still not strictly, some pair
  // repeats).
  std::uint32_t top = 0;
  for (const CollapseCandidate& c : entries) top = std::max({top, c.a, c.b});
  std::vector<std::uint32_t> count(std::size_t{top} + 2);
  const auto by_vertex = [&](const CollapseCandidate* from, CollapseCandidate* to, auto vertex) {
    std::fill(count.begin(), count.end(), 0u);
    for (std::size_t k = 0; k < n; ++k) ++count[vertex(from[k]) + 1];
    for (std::size_t v = 1; v < count.size(); ++v) count[v] += count[v - 1];
    for (std::size_t k = 0; k < n; ++k) to[count[vertex(from[k])]++] = from[k];
  };
  const auto a_of = [](const CollapseCandidate& c) { return c.a; };
  const auto b_of = [](const CollapseCandidate& c) { return c.b; };
  const auto pairs_increase = [&](const CollapseCandidate* run) {
    for (std::size_t k = 1; k < n; ++k) {
      if (std::pair(run[k - 1].a, run[k - 1].b) >= std::pair(run[k].a, run[k].b)) return false;
    }
    return true;
  };
  by_vertex(entries.data(), scratch.data(), a_of);
  if (!pairs_increase(scratch.data())) {
    by_vertex(entries.data(), scratch.data(), b_of);
    by_vertex(scratch.data(), entries.data(), a_of);
    if (!pairs_increase(entries.data())) return false;
    entries.swap(scratch);
  }

  // The cost, lowest digit first; the last pass run writes from the end, so
  // that the increasing order comes out reversed.
  constexpr int kDigits = 4;
  constexpr int kBits = 16;
  constexpr std::uint64_t kMask = (std::uint64_t{1} << kBits) - 1;
  std::vector<std::array<std::uint32_t, kDigits>> digit_count(std::size_t{1} << kBits);
  for (std::size_t k = 0; k < n; ++k) {
    const std::uint64_t key = ordered_cost_bits(scratch[k].cost);
    for (int d = 0; d < kDigits; ++d) ++digit_count[(key >> (kBits * d)) & kMask][d];
  }
  std::array<bool, kDigits> needed{};
  int last = -1;
  const std::uint64_t first_key = ordered_cost_bits(scratch[0].cost);
  for (int d = 0; d < kDigits; ++d) {
    needed[d] = digit_count[(first_key >> (kBits * d)) & kMask][d] != n;
    if (needed[d]) last = d;
  }
  CollapseCandidate* from = scratch.data();
  CollapseCandidate* to = entries.data();
  for (int d = 0; d <= last; ++d) {
    if (!needed[d]) continue;
    std::uint32_t start = 0;
    for (auto& c : digit_count) start += std::exchange(c[d], start);
    const int shift = kBits * d;
    if (d < last) {
      for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t digit = (ordered_cost_bits(from[k].cost) >> shift) & kMask;
        to[digit_count[digit][d]++] = from[k];
      }
    } else {
      for (std::size_t k = 0; k < n; ++k) {
        const std::uint64_t digit = (ordered_cost_bits(from[k].cost) >> shift) & kMask;
        to[n - 1 - digit_count[digit][d]++] = from[k];
      }
    }
    std::swap(from, to);
  }
  if (last < 0) {
    // Every cost equal: the pairs' order, reversed.
    std::reverse_copy(from, from + n, to);
    std::swap(from, to);
  }
  if (from != entries.data()) entries.swap(scratch);
  return true;
}

}  // namespace karvex
