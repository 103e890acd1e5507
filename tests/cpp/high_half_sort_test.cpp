// The slices' radix sort against std::sort on the whole keys.
#include "validity/high_half_sort.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <string>
#include <vector>

namespace karvex::validity {
namespace {

// High halves drawn from a few shapes of data: all equal (no pass runs),
// differing in one byte only (one pass), from a handful of values (many
// ties to keep in order) and spread over all 32 bits; low halves increasing
// from 0, as the slices deal their triangles.
struct Keys {
  const char* name;
  std::uint32_t (*high)(std::uint64_t random);
};

const Keys kKeys[] = {
    {"equal", [](std::uint64_t) { return 0x3f800000u; }},
    {"one_byte", [](std::uint64_t r) { return 0xbf000000u | static_cast<std::uint32_t>((r >> 40) & 0xff) << 8; }},
    {"few", [](std::uint64_t r) { return static_cast<std::uint32_t>((r >> 40) % 5) * 0x01010101u; }},
    {"spread", [](std::uint64_t r) { return static_cast<std::uint32_t>(r >> 32); }},
};

class HighHalfSort : public ::testing::TestWithParam<std::tuple<Keys, std::size_t>> {};

TEST_P(HighHalfSort, OrdersAsSortingTheWholeKeys) {
  const auto& [keys, n] = GetParam();
  std::uint64_t state = 99 + n;
  std::vector<std::uint64_t> values(n);
  for (std::size_t k = 0; k < n; ++k) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    values[k] = std::uint64_t{keys.high(state)} << 32 | static_cast<std::uint32_t>(3 * k + 1);
  }
  std::vector<std::uint64_t> expected = values;
  std::sort(expected.begin(), expected.end());
  std::vector<std::uint64_t> scratch(1);  // grows as needed
  sort_by_high_half(values.data(), values.size(), scratch);
  EXPECT_EQ(values, expected);
}

INSTANTIATE_TEST_SUITE_P(Shapes, HighHalfSort,
                         ::testing::Combine(::testing::ValuesIn(kKeys), ::testing::Values(0, 1, 2, 7, 1000)),
                         [](const auto& info) {
                           return std::string(std::get<0>(info.param).name) + "_" +
                                  std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace karvex::validity
