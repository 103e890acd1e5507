// The triangles the fold test searches: every one whose box may reach a
// marked triangle's, so that the pairs found are the whole mesh's.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <random>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "dc/fold_candidates.h"

namespace karvex {
namespace {

bool boxes_overlap(const std::vector<Vec3>& p, const Triangle& s, const Triangle& t) {
  const auto lo = [&](const Triangle& u, double Vec3::*axis) {
    return std::min({p[u[0]].*axis, p[u[1]].*axis, p[u[2]].*axis});
  };
  const auto hi = [&](const Triangle& u, double Vec3::*axis) {
    return std::max({p[u[0]].*axis, p[u[1]].*axis, p[u[2]].*axis});
  };
  for (double Vec3::*axis : {&Vec3::x, &Vec3::y, &Vec3::z}) {
    if (hi(s, axis) < lo(t, axis) || hi(t, axis) < lo(s, axis)) return false;
  }
  return true;
}

// Small triangles scattered in a box, a share of them marked (some large),
// some touching exactly (a shared coordinate at a cube's boundary).
class FoldCandidates : public ::testing::TestWithParam<std::tuple<int, double>> {};

TEST_P(FoldCandidates, KeepEveryTriangleWhoseBoxMeetsAMarkedOne) {
  const auto [seed, marked_share] = GetParam();
  std::mt19937_64 rng(static_cast<std::uint64_t>(seed));
  std::uniform_real_distribution<double> place(-3.0, 5.0);
  std::uniform_real_distribution<double> small(-0.05, 0.05);
  std::vector<Vec3> positions;
  std::vector<Triangle> triangles;
  std::vector<std::uint8_t> marked;
  for (int t = 0; t < 600; ++t) {
    const bool mark = std::uniform_real_distribution<double>(0.0, 1.0)(rng) < marked_share;
    const double size = mark && t % 5 == 0 ? 8.0 : 1.0;
    // Snapped to a coarse lattice now and then: boxes that only touch.
    const auto snap = [&](double x) { return t % 7 == 0 ? std::round(x * 4.0) / 4.0 : x; };
    const Vec3 c{place(rng), place(rng), place(rng)};
    const std::uint64_t first = positions.size();
    for (int k = 0; k < 3; ++k) {
      positions.push_back({snap(c.x + size * small(rng)), snap(c.y + size * small(rng)),
                           snap(c.z + size * small(rng))});
    }
    triangles.push_back({first, first + 1, first + 2});
    marked.push_back(mark ? 1 : 0);
  }
  const std::vector<std::uint64_t> kept = fold_candidates(positions, triangles, marked);
  ASSERT_TRUE(std::is_sorted(kept.begin(), kept.end()));
  ASSERT_EQ(std::adjacent_find(kept.begin(), kept.end()), kept.end());
  const auto is_kept = [&](std::uint64_t t) {
    return std::binary_search(kept.begin(), kept.end(), t);
  };
  std::size_t needed = 0;
  for (std::uint64_t t = 0; t < triangles.size(); ++t) {
    bool near = marked[t] != 0;
    for (std::uint64_t m = 0; m < triangles.size() && !near; ++m) {
      near = marked[m] != 0 && boxes_overlap(positions, triangles[t], triangles[m]);
    }
    needed += near;
    if (near) {
      EXPECT_TRUE(is_kept(t)) << t;
    }
  }
  if (marked_share == 0.0) {
    EXPECT_TRUE(kept.empty());
  }
  // With few marked, most of the rest is left out.
  if (marked_share > 0.0 && marked_share < 0.1) {
    EXPECT_LT(kept.size(), 2 * needed + 30);
  }
}

INSTANTIATE_TEST_SUITE_P(SeedsAndShares, FoldCandidates,
                         ::testing::Combine(::testing::Values(1, 2, 3),
                                            ::testing::Values(0.0, 0.05, 0.15, 0.9)));

}  // namespace
}  // namespace karvex
