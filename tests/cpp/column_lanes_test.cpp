// The sweep's column scan against a plain test of every later triangle of
// the column.
#include "validity/column_lanes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace karvex::validity {
namespace {

struct Triangle {
  std::array<float, 3> lo, hi;
  std::array<std::uint32_t, 3> corners;
};

// What the scan must keep for place l of `column`: the later places that
// start in z no higher than l ends, overlap it in x and y (closed boxes) and
// share no code below kUnshared.
std::vector<std::size_t> expected_after(const std::vector<Triangle>& column, std::size_t l, std::size_t first) {
  std::vector<std::size_t> kept;
  const Triangle& p = column[l];
  for (std::size_t r = l + 1; r < column.size() && column[r].lo[2] <= p.hi[2]; ++r) {
    const Triangle& q = column[r];
    bool shared = false;
    for (std::uint32_t a : p.corners) {
      for (std::uint32_t b : q.corners) shared = shared || (a == b && a != ColumnLanes::kUnshared);
    }
    const bool across = p.lo[0] <= q.hi[0] && q.lo[0] <= p.hi[0] && p.lo[1] <= q.hi[1] && q.lo[1] <= p.hi[1];
    if (across && !shared) kept.push_back(first + r);
  }
  return kept;
}

// A column of `count` triangles with boxes on a coarse grid (ties and
// touching boxes abound) and codes from a small pool, a third of them
// unshared, in order of lowest z.
std::vector<Triangle> random_column(std::uint64_t state, std::size_t count) {
  auto next = [&](int n) {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<int>((state >> 33) % static_cast<std::uint64_t>(n));
  };
  std::vector<Triangle> column(count);
  for (Triangle& t : column) {
    for (int a = 0; a < 3; ++a) {
      t.lo[a] = static_cast<float>(next(6)) * 0.5f;
      t.hi[a] = t.lo[a] + static_cast<float>(next(4)) * 0.5f;
      const int code = next(12);
      t.corners[a] = code < 4 ? ColumnLanes::kUnshared : static_cast<std::uint32_t>(code);
    }
  }
  std::stable_sort(column.begin(), column.end(), [](const Triangle& a, const Triangle& b) { return a.lo[2] < b.lo[2]; });
  return column;
}

// Columns of every length round the scan's step of four, laid one after
// another as the sweep lays them, each followed by its sentinels; the one
// after the tested column covers everything, so a scan that ran past its
// column's end would keep some of it.
class ColumnScan : public ::testing::TestWithParam<std::size_t> {};

TEST_P(ColumnScan, KeepsWhatAPlainTestKeeps) {
  const std::size_t count = GetParam();
  ColumnLanes lanes;
  lanes.reserve(1);  // grown below: what a smaller use left must not matter
  lanes.put(0, {0, 0, 0}, {9, 9, 9}, 7, {1, 2, 3});
  for (std::uint64_t seed = 1; seed <= 20; ++seed) {
    const std::vector<Triangle> column = random_column(seed * 1000 + count, count);
    const Triangle everything{{-1, -1, -1}, {9, 9, 9}, {ColumnLanes::kUnshared, 100, 101}};
    const std::size_t first = 3;  // not a multiple of the step, as most columns start
    lanes.reserve(first + count + 2 * ColumnLanes::kPad + 4);
    for (std::size_t n = 0; n < count; ++n) {
      lanes.put(first + n, column[n].lo, column[n].hi, static_cast<std::uint32_t>(50 + n), column[n].corners);
    }
    lanes.end_column(first + count);
    for (std::size_t n = 0; n < 4; ++n) {
      lanes.put(first + count + ColumnLanes::kPad + n, everything.lo, everything.hi, 0, everything.corners);
    }
    lanes.end_column(first + count + ColumnLanes::kPad + 4);
    std::vector<std::size_t> kept(count + 1);
    for (std::size_t l = 0; l < count; ++l) {
      const std::size_t found = lanes.overlapping_after(first + l, kept.data());
      const std::vector<std::size_t> got(kept.begin(), kept.begin() + static_cast<std::ptrdiff_t>(found));
      EXPECT_EQ(got, expected_after(column, l, first)) << "seed " << seed << " place " << l;
      EXPECT_EQ(lanes.face(first + l), 50 + l);
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Lengths, ColumnScan, ::testing::Values(1, 2, 3, 4, 5, 8, 9, 13, 40),
                         [](const auto& info) { return std::to_string(info.param) + "_triangles"; });

}  // namespace
}  // namespace karvex::validity
