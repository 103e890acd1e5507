// Where the edge collapse places the vertex it keeps: off the surface along
// its normal so that its triangles straddle a curved surface, never beyond
// the limit, and not at all at sharp features or without normals.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dc/collapse_placement.h"
#include "support/fields.h"

namespace karvex {
namespace {

using testing::length;
using Fan = std::vector<std::pair<SurfaceVertex, SurfaceVertex>>;

Vec3 scaled(const Vec3& v, double s) { return {s * v.x, s * v.y, s * v.z}; }
Vec3 plus(const Vec3& a, const Vec3& b) { return {a.x + b.x, a.y + b.y, a.z + b.z}; }

// A vertex at the pole of the unit sphere and a ring of `count` neighbours
// `angle` radians down from it, on the sphere, with normals `sign` times the
// outward one (a field negative outside has them inward).
struct Cap {
  SurfaceVertex centre;
  Fan fan;
};

Cap cap(int count, double angle, double sign) {
  Cap out;
  out.centre = {{0, 0, 1}, {0, 0, sign}, 0.0};
  std::vector<SurfaceVertex> ring;
  for (int i = 0; i < count; ++i) {
    const double phi = 2.0 * M_PI * i / count;
    const Vec3 p{std::sin(angle) * std::cos(phi), std::sin(angle) * std::sin(phi), std::cos(angle)};
    ring.push_back({p, scaled(p, sign), 0.0});
  }
  for (int i = 0; i < count; ++i) out.fan.emplace_back(ring[i], ring[(i + 1) % count]);
  return out;
}

// The largest distance from the unit sphere of the centre moved by `offset`
// along its normal, its edges' midpoints and its triangles' centroids.
double worst(const Cap& c, double offset) {
  const Vec3 v = plus(c.centre.at, scaled(c.centre.normal, offset));
  double out = std::fabs(length(v) - 1.0);
  for (const auto& [p, q] : c.fan) {
    for (const Vec3& s : {scaled(plus(v, p.at), 0.5), scaled(plus(plus(v, p.at), q.at), 1.0 / 3)}) {
      out = std::max(out, std::fabs(length(s) - 1.0));
    }
  }
  return out;
}

class StraddlingOnASphere : public ::testing::TestWithParam<std::tuple<int, double, double>> {};

TEST_P(StraddlingOnASphere, MinimisesTheWorstDistanceOfTheFan) {
  const auto [count, angle, sign] = GetParam();
  const Cap c = cap(count, angle, sign);
  const double offset = straddling_offset(c.centre, c.fan, 1.0);
  // Outwards, whichever way the field's normal points: the chords sag inwards.
  EXPECT_GT(offset * sign, 0.0);
  // On the surface the whole sag counts. With the ring left on the surface
  // a centroid rises by a third of the centre's offset and a midpoint by a
  // half, so straddling leaves two thirds to three quarters of it; the
  // offset is the best one found by scanning (the model is exact to second
  // order on a sphere).
  const double before = worst(c, 0.0);
  EXPECT_LE(worst(c, offset), 0.8 * before);
  double scanned = INFINITY;
  for (int k = 0; k <= 2000; ++k) scanned = std::min(scanned, worst(c, sign * before * k / 1000.0));
  EXPECT_LE(worst(c, offset), 1.02 * scanned);
  // Clamped to the limit.
  EXPECT_DOUBLE_EQ(straddling_offset(c.centre, c.fan, 1e-6 * before), sign * 1e-6 * before);
}

INSTANTIATE_TEST_SUITE_P(Rings, StraddlingOnASphere,
                         ::testing::Combine(::testing::Values(5, 6, 8),
                                            ::testing::Values(0.05, 0.3),
                                            ::testing::Values(1.0, -1.0)));

TEST(StraddlingOffset, ZeroWhereTheCurvedModelDoesNotHold) {
  // A flat fan: no sag, no offset.
  Cap flat = cap(6, 0.2, 1.0);
  for (auto& [p, q] : flat.fan) {
    p.at.z = q.at.z = 1.0;
    p.normal = q.normal = {0, 0, 1};
  }
  EXPECT_EQ(straddling_offset(flat.centre, flat.fan, 1.0), 0.0);
  // A neighbour across a crease (its normal 60 degrees away): the vertex is
  // on a sharp feature and stays.
  Cap crease = cap(6, 0.2, 1.0);
  crease.fan[2].second.normal = {std::sin(M_PI / 3), 0, std::cos(M_PI / 3)};
  EXPECT_EQ(straddling_offset(crease.centre, crease.fan, 1.0), 0.0);
  // A normal the field could not give.
  Cap unknown = cap(6, 0.2, 1.0);
  unknown.fan[4].first.normal = {NAN, NAN, NAN};
  EXPECT_EQ(straddling_offset(unknown.centre, unknown.fan, 1.0), 0.0);
  unknown = cap(6, 0.2, 1.0);
  unknown.centre.normal = {NAN, NAN, NAN};
  EXPECT_EQ(straddling_offset(unknown.centre, unknown.fan, 1.0), 0.0);
}

TEST(StraddlingOffset, NeighboursAlreadyOffTheSurfaceCount) {
  // Neighbours placed outwards by more than the sag leave the centre less
  // to make up, or pull it inwards.
  const Cap c = cap(6, 0.3, 1.0);
  Cap moved = c;
  for (auto& [p, q] : moved.fan) p.offset = q.offset = 0.05;
  EXPECT_LT(straddling_offset(moved.centre, moved.fan, 1.0),
            straddling_offset(c.centre, c.fan, 1.0));
}

// Every pair scanned, as the minimax is defined: the first pair in index
// order among equal heights.
double minimax_by_every_pair(const std::vector<OffsetLine>& lines) {
  double best_height = -INFINITY;
  double best = NAN;
  for (const OffsetLine& i : lines) {
    for (const OffsetLine& j : lines) {
      const double h = (i.value * j.slope - j.value * i.slope) / (i.slope + j.slope);
      if (h > best_height) {
        best_height = h;
        best = -(i.value + j.value) / (i.slope + j.slope);
      }
    }
  }
  return best;
}

// Ties are the hard part: values drawn from a few levels (signed zeros
// among them) make many pairs meet at the same height, and the linear search
// must still pick the scan's pair, to the bit.
class MinimaxOffset : public ::testing::TestWithParam<std::tuple<int, int>> {};

TEST_P(MinimaxOffset, IsTheScanOfEveryPair) {
  const auto [count, levels] = GetParam();
  const double slopes[] = {1.0, 0.5, 1.0 / 3.0, 0.25, 0.2};
  std::uint64_t state = 0x9e3779b97f4a7c15ull * static_cast<std::uint64_t>(count * 31 + levels);
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<OffsetLine> lines;
    const int slope_count = trial % 5 == 4 ? 5 : 3;  // five slopes: the scan itself
    for (int k = 0; k < count; ++k) {
      const double level = static_cast<double>(next() % levels) - 0.5 * (levels - 1);
      const double value = level == 0.0 && next() % 2 ? -0.0 : 1e-4 * level / 3.0;
      lines.push_back({value, slopes[next() % slope_count]});
    }
    const double fast = minimax_offset(lines);
    const double scan = minimax_by_every_pair(lines);
    EXPECT_EQ(std::signbit(fast), std::signbit(scan));
    EXPECT_TRUE(fast == scan || (std::isnan(fast) && std::isnan(scan)))
        << "trial " << trial << ": " << fast << " against " << scan;
  }
}

INSTANTIATE_TEST_SUITE_P(FewAndManyLines, MinimaxOffset,
                         ::testing::Combine(::testing::Values(1, 2, 7, 31),
                                            ::testing::Values(2, 5, 1000)));

// straddling_offset groups its lines by slope as it makes them: its answer
// must still be the scan's over the lines it made (left in its scratch),
// with neighbours' offsets drawn from few levels so that pairs tie.
class StraddlingGrouped : public ::testing::TestWithParam<int> {};

TEST_P(StraddlingGrouped, IsTheScanOfTheLinesItMade) {
  const int levels = GetParam();
  std::uint64_t state = 0x2545f4914f6cdd1dull * static_cast<std::uint64_t>(levels);
  auto next = [&] {
    state = state * 6364136223846793005ull + 1442695040888963407ull;
    return state >> 33;
  };
  for (int trial = 0; trial < 100; ++trial) {
    Cap c = cap(3 + trial % 6, 0.05 + 0.01 * (trial % 7), trial % 2 ? 1.0 : -1.0);
    for (auto& [p, q] : c.fan) {
      p.offset = 1e-4 * static_cast<double>(next() % levels);
      q.offset = 1e-4 * static_cast<double>(next() % levels);
    }
    std::vector<OffsetLine> lines;
    const double grouped = straddling_offset(c.centre, c.fan, 1.0, lines);
    EXPECT_EQ(grouped, std::clamp(minimax_by_every_pair(lines), -1.0, 1.0)) << "trial " << trial;
  }
}

INSTANTIATE_TEST_SUITE_P(TiedAndDistinctOffsets, StraddlingGrouped, ::testing::Values(1, 2, 1000));

}  // namespace
}  // namespace karvex
