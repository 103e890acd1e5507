// The exact orientation predicates on configurations whose sign is known by
// construction (points a few ulps off a line or plane, where plain floating
// point often gets it wrong), at scales 2^-400 to 2^100, and the
// self-intersection test on the smallest meshes that show each case.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <string>
#include <tuple>
#include <vector>

#include "pool/worker_pool.h"
#include "validity/predicates.h"
#include "validity/self_intersections.h"

namespace karvex::validity {
namespace {

int sign(long long x) { return (x > 0) - (x < 0); }

class ScaledPredicates : public ::testing::TestWithParam<int> {
 protected:
  double s(double x) const { return std::ldexp(x, GetParam()); }  // exact: a power of two
};

// Points (0.5 + i ulp, 0.5 + j ulp) against the line y = x through (12, 12)
// and (24, 24): det = 12 (p.y - p.x), so the sign is that of j - i.
TEST_P(ScaledPredicates, Orient2dNearALine) {
  const double ulp = std::ldexp(1.0, -53);
  for (int i = -4; i <= 4; ++i) {
    for (int j = -4; j <= 4; ++j) {
      const Point2 p{s(0.5 + i * ulp), s(0.5 + j * ulp)};
      EXPECT_EQ(orient2d(p, {s(12), s(12)}, {s(24), s(24)}), sign(j - i)) << i << " " << j;
    }
  }
}

// The plane z = x + y through (24, 0, 24), (0, 24, 24) and the origin; the
// point (0.5 + i u, 0.5 + j u, 1 + 2k u) with u = 2^-53 lies off it by
// (2k - i - j) u, so the sign is fixed by 2k - i - j (the side calibrated on
// a point far above).
TEST_P(ScaledPredicates, Orient3dNearAPlane) {
  const double u = std::ldexp(1.0, -53);
  const Point3 a{s(24), s(0), s(24)}, b{s(0), s(24), s(24)}, c{0, 0, 0};
  const int above = orient3d(a, b, c, {0, 0, s(10)});
  ASSERT_NE(above, 0);
  for (int i = -3; i <= 3; ++i) {
    for (int j = -3; j <= 3; ++j) {
      for (int k = -3; k <= 3; ++k) {
        const Point3 d{s(0.5 + i * u), s(0.5 + j * u), s(1 + 2 * k * u)};
        EXPECT_EQ(orient3d(a, b, c, d), above * sign(2 * k - i - j)) << i << " " << j << " " << k;
      }
    }
  }
}

// Orientation flips with an odd permutation and is zero for a repeated point.
TEST_P(ScaledPredicates, Orient3dIsAlternating) {
  const Point3 a{s(0.1), s(0.7), s(-0.3)}, b{s(1.3), s(-0.2), s(0.4)}, c{s(-0.6), s(0.9), s(1.1)};
  const Point3 d{s(0.2), s(0.2), s(0.2)};
  const int base = orient3d(a, b, c, d);
  EXPECT_NE(base, 0);
  EXPECT_EQ(orient3d(b, a, c, d), -base);
  EXPECT_EQ(orient3d(a, c, b, d), -base);
  EXPECT_EQ(orient3d(a, b, d, c), -base);
  EXPECT_EQ(orient3d(a, b, c, a), 0);
}

// 2^-100 and 2^100 are about 1e-30 and 1e30; 2^-400 makes the floating
// filter's products underflow, so the exact path decides.
INSTANTIATE_TEST_SUITE_P(Scales, ScaledPredicates, ::testing::Values(-400, -100, 0, 100));

// Two triangles as a mesh; the test's one candidate pair.
struct Pair {
  std::vector<double> vertices;
  std::vector<std::int64_t> faces;

  SelfIntersections check() const {
    MeshView view{vertices.data(), vertices.size() / 3, faces.data(), faces.size() / 3};
    return find_self_intersections(view, nullptr, global_pool());
  }
};

struct PairCase {
  const char* name;
  Pair mesh;
  bool meets;
};

class TrianglePairs : public ::testing::TestWithParam<PairCase> {};

TEST_P(TrianglePairs, DecidedExactly) {
  const auto found = GetParam().mesh.check();
  EXPECT_EQ(found.pairs.size(), GetParam().meets ? 1u : 0u);
}

const double kUp = std::nextafter(0.25, 1.0);
const double kDown = std::nextafter(0.25, 0.0);

INSTANTIATE_TEST_SUITE_P(
    Cases, TrianglePairs,
    ::testing::Values(
        // no shared vertex
        PairCase{"pierced", {{0, 0, 0, 2, 0, 0, 0, 2, 0, 0.5, 0.5, -1, 0.5, 0.5, 1, 3, 3, 0}, {0, 1, 2, 3, 4, 5}}, true},
        PairCase{"apart", {{0, 0, 0, 2, 0, 0, 0, 2, 0, 0.5, 0.5, 0.5, 0.5, 0.6, 1, 3, 3, 1}, {0, 1, 2, 3, 4, 5}}, false},
        // a vertex exactly on the slanted plane x + y + z = 1 touches it; one
        // ulp up it crosses, one ulp down it misses
        PairCase{"touching", {{1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5, 0.25, 0.25, 0.5, 0.25, -1, 0.4, 0.2, -1}, {0, 1, 2, 3, 4, 5}}, true},
        PairCase{"ulp_through", {{1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5, 0.25, kUp, 0.5, 0.25, -1, 0.4, 0.2, -1}, {0, 1, 2, 3, 4, 5}}, true},
        PairCase{"ulp_short", {{1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5, 0.25, kDown, 0.5, 0.25, -1, 0.4, 0.2, -1}, {0, 1, 2, 3, 4, 5}}, false},
        PairCase{"coplanar_overlap", {{0, 0, 0, 2, 0, 0, 0, 2, 0, 0.5, 0.5, 0, 3, 0.5, 0, 0.5, 3, 0}, {0, 1, 2, 3, 4, 5}}, true},
        PairCase{"coplanar_apart", {{0, 0, 0, 1, 0, 0, 0, 1, 0, 1, 1, 0, 2, 1, 0, 1, 2, 0}, {0, 1, 2, 3, 4, 5}}, false},
        // one shared vertex: a fan of two (fine) and a triangle folded through
        PairCase{"fan", {{0, 0, 0, 1, 0, 0, 0, 1, 0, -1, 0, 0, 0, -1, 0.5}, {0, 1, 2, 0, 3, 4}}, false},
        PairCase{"vertex_fold", {{0, 0, 0, 2, 0, 0, 0, 2, 0, 1, 1, -1, 0.2, 0.2, 1}, {0, 1, 2, 0, 3, 4}}, true},
        // an upright triangle at the vertex (its projection a segment) cutting
        // through; a nearly coplanar one a few ulps across the slanted plane
        // (the filter undecided, the wedges overlapping) and wholly above it
        PairCase{"vertex_upright", {{0, 0, 0, 2, 0, 0, 0, 2, 0, 1, 1, -1, 1, 1, 1}, {0, 1, 2, 0, 3, 4}}, true},
        PairCase{"vertex_ulp_across",
                 {{1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5, 0.25, kUp, 0.25, 0.5, kDown}, {0, 1, 2, 0, 3, 4}}, true},
        PairCase{"vertex_ulp_above",
                 {{1, 0, 0, 0, 1, 0, 0, 0, 1, 0.5, 0.25, kUp, 0.25, 0.5, kUp}, {0, 1, 2, 0, 3, 4}}, false},
        // a shared edge: a bent hinge (fine), a flap folded flat onto its
        // neighbour (overlap), a flat continuation (fine)
        PairCase{"hinge", {{0, 0, 0, 1, 0, 0, 0, 1, 0, 0, -1, 1}, {0, 1, 2, 1, 0, 3}}, false},
        PairCase{"folded_flap", {{0, 0, 0, 1, 0, 0, 0, 1, 0, 0.5, 0.5, 0}, {0, 1, 2, 1, 0, 3}}, true},
        PairCase{"flat_neighbour", {{0, 0, 0, 1, 0, 0, 0, 1, 0, 0.5, -1, 0}, {0, 1, 2, 1, 0, 3}}, false}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(SelfIntersections, ZeroAreaAndRepeatedTrianglesAreMarkedAndLeftOut) {
  // A sliver with three collinear corners lying across a triangle, and a
  // triangle with a repeated index: neither takes part in the pairs.
  const Pair mesh{{0, 0, 0, 2, 0, 0, 0, 2, 0, 0.5, 0.5, -1, 0.5, 0.5, 0, 0.5, 0.5, 1},
                  {0, 1, 2, 3, 4, 5, 3, 3, 4}};
  const auto found = mesh.check();
  EXPECT_TRUE(found.pairs.empty());
  EXPECT_EQ(found.zero_area, (std::vector<std::uint8_t>{0, 1, 0}));
}

TEST(SelfIntersections, SubsetLimitsThePairs) {
  // Three triangles pierced by one rod: pairs (0, 3), (1, 3), (2, 3) all
  // meet; with only triangle 1 marked, only its pair is reported.
  std::vector<double> v;
  std::vector<std::int64_t> f;
  for (int layer = 0; layer < 3; ++layer) {
    const double z = layer;
    v.insert(v.end(), {0, 0, z, 2, 0, z, 0, 2, z});
    f.insert(f.end(), {3 * layer, 3 * layer + 1, 3 * layer + 2});
  }
  v.insert(v.end(), {0.5, 0.5, -1, 0.5, 0.6, 3, 0.6, 0.5, 3});
  f.insert(f.end(), {9, 10, 11});
  const MeshView view{v.data(), v.size() / 3, f.data(), f.size() / 3};
  const auto all = find_self_intersections(view, nullptr, global_pool());
  EXPECT_EQ(all.pairs, (std::vector<FacePair>{{0, 3}, {1, 3}, {2, 3}}));
  const std::vector<std::uint8_t> subset{0, 1, 0, 0};
  const auto some = find_self_intersections(view, subset.data(), global_pool());
  EXPECT_EQ(some.pairs, (std::vector<FacePair>{{1, 3}}));
}

// Scenes whose candidate pairs stress the search: triangles of very
// different sizes (some spanning most of the scene), corners drawn from a
// small pool (many shared vertices and edges), upright triangles whose boxes
// are flat in x or y, and coplanar triangles on an axis-aligned and on a
// slanted plane.
struct Scene {
  std::vector<double> vertices;
  std::vector<std::int64_t> faces;
};

Scene random_scene(int kind) {
  Scene scene;
  std::uint64_t state = 777 + kind;
  auto uniform = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-53;
  };
  const int pool = 300;
  for (int p = 0; p < pool; ++p) {
    double x = uniform(), y = uniform(), z = uniform();
    if (kind == 2) z = 0.25;                  // an axis-aligned plane
    if (kind == 3) z = 1.0 - x - y;           // a slanted plane (rounded: nearly coplanar)
    if (kind == 1 && p % 3 == 0) y = 0.5;     // upright triangles in the plane y = 1/2
    scene.vertices.insert(scene.vertices.end(), {x, y, z});
  }
  for (int t = 0; t < 500; ++t) {
    if (kind == 0) {
      // small triangles of their own, and now and then a large one
      const double size = t % 25 == 0 ? 0.9 : 0.1;
      const double x = uniform(), y = uniform(), z = uniform();
      const auto first = static_cast<std::int64_t>(scene.vertices.size() / 3);
      for (int k = 0; k < 3; ++k) {
        scene.vertices.insert(scene.vertices.end(), {x + size * uniform(), y + size * uniform(), z + size * uniform()});
      }
      scene.faces.insert(scene.faces.end(), {first, first + 1, first + 2});
    } else {
      // in the upright scene every other triangle has all corners in y = 1/2
      auto pick = [&] {
        const auto p = static_cast<std::int64_t>(uniform() * pool);
        return kind == 1 && t % 2 == 0 ? 3 * (p / 3) : p;
      };
      const std::int64_t a = pick(), b = pick(), c = pick();
      scene.faces.insert(scene.faces.end(), {a, b, c});
    }
  }
  return scene;
}

// Where a scene sits: coordinates scaled, then offset. The search keeps its
// boxes in single precision relative to the scene's middle; far from the
// origin, beyond the floats' range or below their normal range, it must
// still find every pair.
struct Placement {
  const char* name;
  double scale, offset;
};

class CandidateSearch : public ::testing::TestWithParam<std::tuple<int, Placement>> {};

// The pairs found are exactly those that the pair test accepts among all
// pairs of usable triangles, with and without a subset.
TEST_P(CandidateSearch, FindsWhatEveryPairWouldFind) {
  const auto& [kind, placement] = GetParam();
  Scene scene = random_scene(kind);
  for (double& x : scene.vertices) x = x * placement.scale + placement.offset;
  const MeshView view{scene.vertices.data(), scene.vertices.size() / 3, scene.faces.data(), scene.faces.size() / 3};
  const std::vector<std::int8_t> axes = plane_axes(view, global_pool());
  std::vector<std::uint8_t> subset(view.face_count);
  for (std::size_t f = 0; f < subset.size(); ++f) subset[f] = f % 7 == 0;
  std::vector<FacePair> every, marked;
  for (std::int64_t i = 0; i < static_cast<std::int64_t>(view.face_count); ++i) {
    for (std::int64_t j = i + 1; j < static_cast<std::int64_t>(view.face_count); ++j) {
      if (axes[i] < 0 || axes[j] < 0 || !triangles_meet(view, axes, i, j)) continue;
      every.push_back({i, j});
      if (subset[i] || subset[j]) marked.push_back({i, j});
    }
  }
  EXPECT_GT(every.size(), 20u);
  EXPECT_EQ(find_self_intersections(view, nullptr, global_pool()).pairs, every);
  EXPECT_EQ(find_self_intersections(view, subset.data(), global_pool()).pairs, marked);
  // Each slice is ordered on whichever worker takes it (ties in z abound in
  // the planar scenes): the same pairs on one worker and on four.
  WorkerPool one(1), four(4);
  EXPECT_EQ(find_self_intersections(view, nullptr, one).pairs, every);
  EXPECT_EQ(find_self_intersections(view, nullptr, four).pairs, every);
}

INSTANTIATE_TEST_SUITE_P(Scenes, CandidateSearch,
                         ::testing::Combine(::testing::Values(0, 1, 2, 3),
                                            ::testing::Values(Placement{"unit", 1.0, 0.0},
                                                              Placement{"far", 1.0, -3.0e6},
                                                              Placement{"huge", 1.0e39, 0.0},
                                                              Placement{"tiny", 1.0e-40, 0.0})),
                         [](const auto& info) {
                           return "kind" + std::to_string(std::get<0>(info.param)) + "_" +
                                  std::get<1>(info.param).name;
                         });

// A soup of `count` random triangles in a unit box, each within `size` of a
// random corner, numbered 3t, 3t+1, 3t+2 (v and f are appended to).
void random_soup(std::uint64_t state, std::int64_t count, double size, std::vector<double>& v,
                 std::vector<std::int64_t>& f) {
  auto uniform = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-53;
  };
  for (std::int64_t t = 0; t < count; ++t) {
    const double x = uniform(), y = uniform(), z = uniform();
    for (int k = 0; k < 3; ++k) v.insert(v.end(), {x + size * uniform(), y + size * uniform(), z + size * uniform()});
    f.insert(f.end(), {3 * t, 3 * t + 1, 3 * t + 2});
  }
}

TEST(SelfIntersections, SameResultOnAnyNumberOfWorkers) {
  // Small random triangles: many crossing pairs, spread over many grid cells.
  std::vector<double> v;
  std::vector<std::int64_t> f;
  random_soup(12345, 3000, 0.1, v, f);
  const MeshView view{v.data(), v.size() / 3, f.data(), f.size() / 3};
  WorkerPool one(1), four(4);
  const auto serial = find_self_intersections(view, nullptr, one);
  const auto parallel = find_self_intersections(view, nullptr, four);
  EXPECT_GT(serial.pairs.size(), 10u);
  EXPECT_EQ(serial.pairs, parallel.pairs);
}

// A soup of several ranges of the set-up's loops with a crossing pair
// appended: a subset marking only the last triangle still has the pair
// tested; zero-area triangles (a corner at another's place) are flagged in
// the first, middle and last ranges, and the last alone makes the mesh bad.
class SoupRanges : public ::testing::TestWithParam<std::size_t> {};

TEST_P(SoupRanges, FlagsAndMarksSeenInEveryRange) {
  std::vector<double> v;
  std::vector<std::int64_t> f;
  const std::int64_t n = 40000;
  random_soup(99, n, 0.001, v, f);
  v.insert(v.end(), {3, 3, 3, 5, 3, 3, 3, 5, 3, 3.5, 3.5, 2, 3.5, 3.6, 4, 3.6, 3.5, 4});
  f.insert(f.end(), {3 * n, 3 * n + 1, 3 * n + 2, 3 * n + 3, 3 * n + 4, 3 * n + 5});
  WorkerPool pool(GetParam());
  std::vector<std::uint8_t> last(f.size() / 3, 0);
  last.back() = 1;
  EXPECT_EQ(find_self_intersections({v.data(), v.size() / 3, f.data(), f.size() / 3}, last.data(), pool).pairs,
            (std::vector<FacePair>{{n, n + 1}}));
  v.resize(9 * n);
  f.resize(3 * n);
  const MeshView soup{v.data(), v.size() / 3, f.data(), f.size() / 3};
  std::copy_n(&v[9 * (n - 1)], 3, &v[9 * (n - 1) + 6]);
  EXPECT_TRUE(has_bad_triangles(soup, pool));
  std::vector<std::uint8_t> flat(soup.face_count, 0);
  for (std::int64_t t : {std::int64_t{5}, n / 2, n - 1}) {
    std::copy_n(&v[9 * t], 3, &v[9 * t + 6]);
    flat[static_cast<std::size_t>(t)] = 1;
  }
  EXPECT_EQ(find_self_intersections(soup, nullptr, pool).zero_area, flat);
}

INSTANTIATE_TEST_SUITE_P(Workers, SoupRanges, ::testing::Values(1, 2, 4));

// A soup large enough that the search's set-up cuts it into several chunks
// of triangles (the slices are dealt chunk by chunk and must come out in
// triangle order): the pairs found are those that a plain sweep in x over
// the exact boxes accepts.
TEST(SelfIntersections, ChunkedSetUpFindsWhatASweepInXWouldFind) {
  std::vector<double> v;
  std::vector<std::int64_t> f;
  const std::int64_t count = 40000;
  random_soup(4242, count, 0.03, v, f);
  const MeshView view{v.data(), v.size() / 3, f.data(), f.size() / 3};
  const std::vector<std::int8_t> axes = plane_axes(view, global_pool());
  auto bound = [&](std::int64_t t, int axis, bool high) {
    const double a = v[9 * t + axis], b = v[9 * t + 3 + axis], c = v[9 * t + 6 + axis];
    return high ? std::max({a, b, c}) : std::min({a, b, c});
  };
  std::vector<std::int64_t> order(count);
  for (std::int64_t t = 0; t < count; ++t) order[t] = t;
  std::sort(order.begin(), order.end(), [&](auto i, auto j) { return bound(i, 0, false) < bound(j, 0, false); });
  std::vector<FacePair> expected;
  for (std::size_t n = 0; n < order.size(); ++n) {
    const std::int64_t i = order[n];
    for (std::size_t m = n + 1; m < order.size() && bound(order[m], 0, false) <= bound(i, 0, true); ++m) {
      const std::int64_t j = order[m];
      if (bound(i, 1, false) > bound(j, 1, true) || bound(j, 1, false) > bound(i, 1, true) ||
          bound(i, 2, false) > bound(j, 2, true) || bound(j, 2, false) > bound(i, 2, true)) {
        continue;
      }
      const std::int64_t low = std::min(i, j), high = std::max(i, j);
      if (triangles_meet(view, axes, low, high)) expected.push_back({low, high});
    }
  }
  std::sort(expected.begin(), expected.end());
  EXPECT_GT(expected.size(), 100u);
  WorkerPool one(1), four(4);
  EXPECT_EQ(find_self_intersections(view, nullptr, one).pairs, expected);
  EXPECT_EQ(find_self_intersections(view, nullptr, four).pairs, expected);
}

}  // namespace
}  // namespace karvex::validity
