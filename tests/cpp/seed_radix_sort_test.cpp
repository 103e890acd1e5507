// The radix sort of the collapse's starting entries against std::sort with
// the queue's order, bit for bit.
#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdint>
#include <random>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "dc/seed_radix_sort.h"

namespace karvex {
namespace {

// The queue's order on entries distinct by (a, b), greatest first.
bool later(const CollapseCandidate& x, const CollapseCandidate& y) {
  if (x.cost != y.cost) return x.cost > y.cost;
  if (x.a != y.a) return x.a > y.a;
  return x.b > y.b;
}

std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>> bits(
    const std::vector<CollapseCandidate>& entries) {
  std::vector<std::tuple<std::uint64_t, std::uint32_t, std::uint32_t>> out;
  for (const CollapseCandidate& c : entries) {
    out.emplace_back(std::bit_cast<std::uint64_t>(c.cost), c.a, c.b);
  }
  return out;
}

struct Case {
  std::string name;
  std::vector<double> costs;  // drawn from; empty: any finite double
  bool grouped;               // both ways of each edge in turn, as seeded
};

class SeedRadixSort : public testing::TestWithParam<Case> {};

TEST_P(SeedRadixSort, EqualsTheComparisonSort) {
  const Case& param = GetParam();
  std::mt19937_64 rng(11);
  for (const std::uint32_t vertices : {2u, 7u, 300u}) {
    // Every edge of a random graph both ways, costs drawn with many ties.
    std::vector<CollapseCandidate> entries;
    for (std::uint32_t u = 0; u < vertices; ++u) {
      for (std::uint32_t v = u + 1; v < vertices; ++v) {
        if (vertices > 2 && rng() % 3 != 0) continue;
        for (const auto& [a, b] : {std::pair(u, v), std::pair(v, u)}) {
          // Any sign and mantissa, any exponent but the one of infinity and NaN.
          const std::uint64_t exponent = (rng() % 0x7ff) << 52;
          double cost = std::bit_cast<double>((rng() & ~(std::uint64_t{0x7ff} << 52)) | exponent);
          if (!param.costs.empty()) cost = param.costs[rng() % param.costs.size()];
          entries.push_back({cost, a, b, 0, 0});
        }
      }
    }
    if (!param.grouped) std::shuffle(entries.begin(), entries.end(), rng);
    std::vector<CollapseCandidate> expected = entries;
    std::sort(expected.begin(), expected.end(), later);
    std::vector<CollapseCandidate> scratch;
    ASSERT_TRUE(sort_seeds_least_last(entries, scratch));
    EXPECT_EQ(bits(entries), bits(expected)) << vertices << " vertices";
  }
}

INSTANTIATE_TEST_SUITE_P(
    Costs, SeedRadixSort,
    testing::Values(Case{"any_finite", {}, true}, Case{"any_finite_shuffled", {}, false},
                    Case{"signed_zeros_and_ties",
                         {-0.0, 0.0, 0.0, 1e-300, -1e-300, 4.9e-324, 1.0, 1.0, -2.5, INFINITY,
                          -INFINITY},
                         true},
                    Case{"signed_zeros_and_ties_shuffled", {-0.0, 0.0, 1.0, -1.0}, false},
                    Case{"one_cost", {0.25}, true}, Case{"zeros_only", {0.0, -0.0}, false}),
    [](const testing::TestParamInfo<Case>& info) { return info.param.name; });

TEST(SeedRadixSortRefusal, RepeatedPairsAreLeftToTheComparisonSort) {
  // Their order would hang on the versions, which the radix sort ignores.
  std::vector<CollapseCandidate> entries = {
      {1.0, 2, 3, 0, 0}, {0.5, 1, 2, 0, 0}, {1.0, 2, 3, 1, 0}};
  std::vector<CollapseCandidate> scratch;
  EXPECT_FALSE(sort_seeds_least_last(entries, scratch));
}

}  // namespace
}  // namespace karvex
