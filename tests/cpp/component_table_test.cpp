#include <array>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "dc/component_table.h"

namespace karvex {
namespace {

constexpr std::uint8_t X = kNoGroup;

struct Row {
  unsigned mask;
  ComponentRow expected;
};

class TellingRows : public ::testing::TestWithParam<Row> {};

TEST_P(TellingRows, MatchTable) {
  EXPECT_EQ(COMPONENT_TABLE[GetParam().mask], GetParam().expected);
}

INSTANTIATE_TEST_SUITE_P(
    Masks, TellingRows,
    ::testing::Values(Row{0, {X, X, X, X, X, X, X, X, 0}}, Row{1, {0, X, X, X, X, X, X, X, 1}},
                      Row{6, {X, 0, 1, X, X, X, X, X, 2}}, Row{15, {0, 0, 0, 0, X, X, X, X, 1}},
                      Row{22, {X, 0, 1, X, 2, X, X, X, 3}}, Row{105, {0, X, X, 1, X, 2, 3, X, 4}},
                      Row{150, {X, 0, 1, X, 2, X, X, 3, 4}}, Row{126, {X, 0, 0, 0, 0, 0, 0, X, 1}},
                      Row{255, {X, X, X, X, X, X, X, X, 0}}));

// Every row against an independent reading of the rule: corners one bit
// apart share a group exactly when both are set, groups number in order of
// their lowest corner, and k counts them.
TEST(ComponentTable, EveryRowFollowsTheRule) {
  for (unsigned mask = 1; mask < 255; ++mask) {
    const ComponentRow& row = COMPONENT_TABLE[mask];
    // Connectivity by repeated relaxation of "same group as a set neighbour".
    std::array<unsigned, 8> label{};
    for (unsigned i = 0; i < 8; ++i) label[i] = i;
    for (int round = 0; round < 8; ++round) {
      for (unsigned i = 0; i < 8; ++i) {
        for (unsigned axis = 0; axis < 3; ++axis) {
          const unsigned j = i ^ (1u << axis);
          if ((mask >> i & 1u) && (mask >> j & 1u))
            label[i] = label[j] = std::min(label[i], label[j]);
        }
      }
    }
    std::vector<unsigned> lowest;  // lowest corner of each group, in group order
    for (unsigned i = 0; i < 8; ++i) {
      if (!(mask >> i & 1u)) {
        EXPECT_EQ(row[i], X) << "mask " << mask;
        continue;
      }
      if (label[i] == i) lowest.push_back(i);
      ASSERT_LT(row[i], lowest.size()) << "mask " << mask;
      EXPECT_EQ(lowest[row[i]], label[i]) << "mask " << mask << " corner " << i;
    }
    EXPECT_EQ(row[8], lowest.size()) << "mask " << mask;
  }
}

}  // namespace
}  // namespace karvex
