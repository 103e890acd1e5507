// The edge collapse after the octree collapse: the mesh stays a closed,
// oriented 2-manifold of the same genus, and the tolerance holds both ways.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <numbers>
#include <random>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dc/collapse_queue.h"
#include "dc/edge_collapse.h"
#include "dc/fan_distance.h"
#include "support/fields.h"
#include "support/mesh_check.h"

namespace karvex {
namespace {

using testing::check_mesh;
using testing::length;

// An icosahedron split `levels` times, its vertices on the unit sphere.
Mesh icosphere(int levels) {
  const double t = (1.0 + std::sqrt(5.0)) / 2.0;
  Mesh m;
  m.vertices = {{-1, t, 0}, {1, t, 0}, {-1, -t, 0}, {1, -t, 0}, {0, -1, t}, {0, 1, t},
                {0, -1, -t}, {0, 1, -t}, {t, 0, -1}, {t, 0, 1}, {-t, 0, -1}, {-t, 0, 1}};
  m.faces = {{0, 11, 5}, {0, 5, 1},  {0, 1, 7},   {0, 7, 10}, {0, 10, 11}, {1, 5, 9}, {5, 11, 4},
             {11, 10, 2}, {10, 7, 6}, {7, 1, 8}, {3, 9, 4},  {3, 4, 2},   {3, 2, 6}, {3, 6, 8},
             {3, 8, 9},  {4, 9, 5},  {2, 4, 11}, {6, 2, 10}, {8, 6, 7},   {9, 8, 1}};
  auto unit = [](Vec3 p) {
    const double l = length(p);
    return Vec3{p.x / l, p.y / l, p.z / l};
  };
  for (Vec3& p : m.vertices) p = unit(p);
  for (int level = 0; level < levels; ++level) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, std::uint64_t> middle;
    auto mid = [&](std::uint64_t a, std::uint64_t b) {
      const auto key = std::minmax(a, b);
      const auto found = middle.find(key);
      if (found != middle.end()) return found->second;
      const Vec3& p = m.vertices[a];
      const Vec3& q = m.vertices[b];
      m.vertices.push_back(unit({p.x + q.x, p.y + q.y, p.z + q.z}));
      return middle[key] = m.vertices.size() - 1;
    };
    std::vector<Triangle> finer;
    for (const Triangle& f : m.faces) {
      const std::uint64_t ab = mid(f[0], f[1]), bc = mid(f[1], f[2]), ca = mid(f[2], f[0]);
      finer.insert(finer.end(), {{f[0], ab, ca}, {ab, f[1], bc}, {ca, bc, f[2]}, {ab, bc, ca}});
    }
    m.faces = std::move(finer);
  }
  return m;
}

WorkerPool& pool() {
  static WorkerPool workers(2);
  return workers;
}

double distance_to_mesh(const Vec3& p, const Mesh& m) {
  double best = INFINITY;
  for (const Triangle& f : m.faces) {
    best = std::min(best, point_triangle_distance(p, m.vertices[f[0]], m.vertices[f[1]],
                                                  m.vertices[f[2]]));
  }
  return best;
}

// The tolerance, and the length up to which edges are sampled at their
// midpoints alone (0: every edge at its quarters too).
class EdgeCollapseOnASphere : public ::testing::TestWithParam<std::pair<double, double>> {};

TEST_P(EdgeCollapseOnASphere, StaysAClosedSphereWithinTheToleranceBothWays) {
  const auto [tolerance, midpoint_only] = GetParam();
  const Mesh fine = icosphere(5);  // 20,480 triangles, edges about 0.03
  testing::FunctionField field = testing::sphere({0, 0, 0}, 1.0);
  Mesh coarse = fine;
  const EdgeCollapseCounts counts = collapse_edges(pool(), field, 0.0, 1e-4, coarse.vertices,
                                                   coarse.faces, tolerance, nullptr, 0.0,
                                                   midpoint_only);
  const testing::MeshCheck check = check_mesh(coarse);
  EXPECT_TRUE(check.indices_valid && check.degenerate_free && check.closed && check.oriented);
  EXPECT_EQ(check.euler, 2);
  EXPECT_GT(check.signed_volume, 0.0);
  EXPECT_EQ(coarse.faces.size() + 2 * counts.collapsed, fine.faces.size());
  // A chord of the unit sphere of length l sags by about l^2 / 8: edges of
  // sqrt(8 tolerance) fit, about 0.13 and 0.28 here against 0.03 before.
  EXPECT_LT(coarse.faces.size(), fine.faces.size() / (tolerance < 3e-3 ? 4 : 16));
  // Every sample of the fine mesh lies within the tolerance of the coarse one.
  for (const Vec3& p : fine.vertices) EXPECT_LE(distance_to_mesh(p, coarse), tolerance);
  // Every coarse triangle's centroid lies within the tolerance of the sphere,
  // on either side (the fine mesh's own lie within 3e-4).
  for (const Triangle& f : coarse.faces) {
    const Vec3& a = coarse.vertices[f[0]];
    const Vec3& b = coarse.vertices[f[1]];
    const Vec3& c = coarse.vertices[f[2]];
    EXPECT_LE(std::fabs(1.0 - length({(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3,
                                      (a.z + b.z + c.z) / 3})),
              tolerance);
  }
  // The vertices kept are placed outwards, so that their triangles' chords
  // straddle the sphere, by at most half the tolerance; most have moved.
  std::vector<std::uint8_t> used(coarse.vertices.size(), 0);
  for (const Triangle& f : coarse.faces) {
    for (const std::uint64_t v : f) used[v] = 1;
  }
  std::size_t off = 0;
  std::size_t kept = 0;
  for (std::size_t v = 0; v < used.size(); ++v) {
    if (!used[v]) continue;
    const double r = length(coarse.vertices[v]);
    EXPECT_GE(r, 1.0 - 1e-12);
    EXPECT_LE(r, 1.0 + 0.5 * tolerance + 1e-12);
    ++kept;
    off += r > 1.0 + 1e-9;
  }
  EXPECT_GT(2 * off, kept);
}

INSTANTIATE_TEST_SUITE_P(Tolerances, EdgeCollapseOnASphere,
                         ::testing::Values(std::pair{2e-3, 0.0}, std::pair{1e-2, 0.0},
                                           std::pair{2e-3, 0.05}, std::pair{1e-2, 0.05}));

// A torus about z (radii `major` and `minor`) as a grid of `around` by
// `across` quads, each split in two, facing outwards; its vertices on it.
Mesh torus_grid(double major, double minor, std::uint64_t around, std::uint64_t across) {
  Mesh m;
  for (std::uint64_t i = 0; i < around; ++i) {
    const double u = 2.0 * std::numbers::pi * static_cast<double>(i) / static_cast<double>(around);
    for (std::uint64_t j = 0; j < across; ++j) {
      const double v = 2.0 * std::numbers::pi * static_cast<double>(j) / static_cast<double>(across);
      const double ring = major + minor * std::cos(v);
      m.vertices.push_back({ring * std::cos(u), ring * std::sin(u), minor * std::sin(v)});
    }
  }
  auto at = [&](std::uint64_t i, std::uint64_t j) { return (i % around) * across + j % across; };
  for (std::uint64_t i = 0; i < around; ++i) {
    for (std::uint64_t j = 0; j < across; ++j) {
      m.faces.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
      m.faces.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
  return m;
}

// A surface curved both ways and saddle-shaped on its inner side: vertices
// that have taken in their neighbours' collapses keep many points of the
// mesh they started from, and their further collapses are mostly refused
// (some by a point remembered from an earlier refusal). What is left keeps
// the genus and the tolerance both ways.
class EdgeCollapseOnATorus : public ::testing::TestWithParam<double> {};

TEST_P(EdgeCollapseOnATorus, KeepsItsGenusWithinTheToleranceBothWays) {
  const double tolerance = GetParam();
  const Mesh fine = torus_grid(1.0, 0.4, 192, 64);  // 24,576 triangles, edges about 0.04
  testing::FunctionField field = testing::torus(1.0, 0.4);
  Mesh coarse = fine;
  const EdgeCollapseCounts counts =
      collapse_edges(pool(), field, 0.0, 1e-4, coarse.vertices, coarse.faces, tolerance);
  const testing::MeshCheck check = check_mesh(coarse);
  EXPECT_TRUE(check.indices_valid && check.degenerate_free && check.closed && check.oriented);
  EXPECT_EQ(check.euler, 0);
  EXPECT_GT(check.signed_volume, 0.0);
  EXPECT_EQ(coarse.faces.size() + 2 * counts.collapsed, fine.faces.size());
  EXPECT_LT(coarse.faces.size(), fine.faces.size() / 3);
  // The mesh it started from lies within the tolerance of what is left
  // (every fifth vertex, for time), and what is left within the tolerance
  // of the torus at its triangles' centroids.
  for (std::size_t v = 0; v < fine.vertices.size(); v += 5) {
    EXPECT_LE(distance_to_mesh(fine.vertices[v], coarse), tolerance);
  }
  for (const Triangle& f : coarse.faces) {
    const Vec3& a = coarse.vertices[f[0]];
    const Vec3& b = coarse.vertices[f[1]];
    const Vec3& c = coarse.vertices[f[2]];
    const Vec3 centroid{(a.x + b.x + c.x) / 3, (a.y + b.y + c.y) / 3, (a.z + b.z + c.z) / 3};
    const double ring = std::hypot(centroid.x, centroid.y) - 1.0;
    EXPECT_LE(std::fabs(std::hypot(ring, centroid.z) - 0.4), tolerance);
  }
}

INSTANTIATE_TEST_SUITE_P(Tolerances, EdgeCollapseOnATorus, ::testing::Values(2e-3, 1e-2));

TEST(EdgeCollapse, ShortEdgesSampledAtTheirMidpointsAloneCostFewerPoints) {
  std::array<std::size_t, 2> points{};
  std::array<std::uint64_t, 2> collapsed{};
  for (int k = 0; k < 2; ++k) {
    Mesh m = icosphere(4);  // edges about 0.06
    testing::FunctionField field = testing::sphere({0, 0, 0}, 1.0);
    collapsed[k] = collapse_edges(pool(), field, 0.0, 1e-4, m.vertices, m.faces, 2e-3, nullptr,
                                  0.0, k == 0 ? 0.0 : 0.1)
                       .collapsed;
    for (const std::size_t n : field.batch_sizes) points[k] += n;
  }
  // A sphere is a quadratic along every chord: the same decisions.
  EXPECT_EQ(collapsed[1], collapsed[0]);
  EXPECT_LT(4 * points[1], 3 * points[0]);
}

TEST(EdgeCollapse, ATinyToleranceKeepsEveryTriangleInOrder) {
  Mesh m = icosphere(2);
  const std::vector<Triangle> before = m.faces;
  testing::FunctionField field = testing::sphere({0, 0, 0}, 1.0);
  EXPECT_EQ(collapse_edges(pool(), field, 0.0, 1e-4, m.vertices, m.faces, 1e-9).collapsed, 0u);
  EXPECT_EQ(m.faces, before);
}

TEST(EdgeCollapse, TheLinkConditionStopsAtATetrahedron) {
  // An octahedron with any tolerance: each collapse keeps a closed
  // 2-manifold, down to the tetrahedron, whose every edge has a third common
  // neighbour (and whose vertices have three triangles). The sphere is off
  // centre: at its centre (a midpoint of the octahedron) no gradient tells a
  // distance, and a collapse sampled there is refused.
  // The corners are moved off the axes: collapsing a regular octahedron
  // leaves coplanar triangles that overlap, which the pass rightly refuses.
  Mesh m{{{1, 0.1, 0.05}, {-0.9, 0.05, -0.1}, {0.08, 1.1, 0.02}, {-0.05, -0.95, 0.1},
          {0.1, -0.07, 1.05}, {-0.04, 0.06, -1}},
         {{0, 2, 4}, {2, 1, 4}, {1, 3, 4}, {3, 0, 4}, {2, 0, 5}, {1, 2, 5}, {3, 1, 5},
          {0, 3, 5}}};
  testing::FunctionField field = testing::sphere({0.05, 0.07, 0.03}, 1.0);
  collapse_edges(pool(), field, 0.0, 1e-4, m.vertices, m.faces, 100.0);
  const testing::MeshCheck check = check_mesh(m);
  EXPECT_TRUE(check.closed && check.oriented && check.degenerate_free);
  EXPECT_EQ(check.euler, 2);
  EXPECT_EQ(m.faces.size(), 4u);
}

TEST(EdgeCollapse, AnOpenRimNeverMoves) {
  // Half the sphere (the triangles with a centroid above the equator): the
  // vertices of its rim keep their triangles' edges on the rim.
  Mesh m = icosphere(3);
  std::vector<Triangle> upper;
  for (const Triangle& f : m.faces) {
    if (m.vertices[f[0]].z + m.vertices[f[1]].z + m.vertices[f[2]].z > 0) upper.push_back(f);
  }
  m.faces = upper;
  auto rim = [](const std::vector<Triangle>& faces) {
    std::map<std::pair<std::uint64_t, std::uint64_t>, int> count;
    for (const Triangle& f : faces) {
      for (int k = 0; k < 3; ++k) ++count[std::minmax(f[k], f[(k + 1) % 3])];
    }
    std::vector<std::pair<std::uint64_t, std::uint64_t>> out;
    for (const auto& [edge, n] : count) {
      if (n == 1) out.push_back(edge);
    }
    return out;
  };
  const auto before = rim(m.faces);
  testing::FunctionField field = testing::sphere({0, 0, 0}, 1.0);
  EXPECT_GT(collapse_edges(pool(), field, 0.0, 1e-4, m.vertices, m.faces, 1e-2).collapsed, 0u);
  EXPECT_EQ(rim(m.faces), before);
}

TEST(EdgeCollapse, APinchedVertexStaysWithItsTrianglesAndTheRestCollapses) {
  // Two spheres touching at one vertex, which is two fans: the triangles
  // round it stay as they are (the validity pass mends it), both spheres
  // are collapsed elsewhere, the same with one worker as with two.
  const Mesh one = icosphere(4);
  const Vec3 p = one.vertices[0];
  Mesh two = one;
  const std::uint64_t n = one.vertices.size();
  for (const Vec3& q : one.vertices) {
    two.vertices.push_back({2 * p.x - q.x, 2 * p.y - q.y, 2 * p.z - q.z});
  }
  for (const Triangle& f : one.faces) {
    // Reflected through p, so wound the other way; its copy of p is p.
    Triangle g{f[0] + n, f[2] + n, f[1] + n};
    for (std::uint64_t& v : g) {
      if (v == n) v = 0;
    }
    two.faces.push_back(g);
  }
  const Vec3 far{2 * p.x, 2 * p.y, 2 * p.z};
  auto distance = [&](const Vec3& q) {
    return std::min(length(q) - 1.0, length({q.x - far.x, q.y - far.y, q.z - far.z}) - 1.0);
  };
  auto gradient = [&](const Vec3& q) {
    const Vec3 c = length(q) <= length({q.x - far.x, q.y - far.y, q.z - far.z}) ? Vec3{} : far;
    const Vec3 d{q.x - c.x, q.y - c.y, q.z - c.z};
    const double l = length(d);
    return Vec3{d.x / l, d.y / l, d.z / l};
  };
  auto around_pinch = [](const std::vector<Triangle>& faces) {
    std::vector<Triangle> out;
    for (const Triangle& f : faces) {
      if (f[0] == 0 || f[1] == 0 || f[2] == 0) out.push_back(f);
    }
    return out;
  };
  std::vector<std::vector<Triangle>> results;
  for (const unsigned workers : {1u, 2u}) {
    WorkerPool local(workers);
    testing::FunctionField field(distance, gradient);
    Mesh m = two;
    const EdgeCollapseCounts counts =
        collapse_edges(local, field, 0.0, 1e-4, m.vertices, m.faces, 1e-2);
    EXPECT_EQ(m.faces.size() + 2 * counts.collapsed, two.faces.size());
    EXPECT_EQ(around_pinch(m.faces), around_pinch(two.faces));
    // Both spheres lost most of their triangles.
    std::size_t on_first = 0;
    for (const Triangle& f : m.faces) on_first += f[0] < n && f[1] < n && f[2] < n;
    EXPECT_LT(on_first, one.faces.size() / 4);
    EXPECT_LT(m.faces.size() - on_first, one.faces.size() / 4);
    const testing::MeshCheck check = check_mesh(m);
    EXPECT_TRUE(check.indices_valid && check.degenerate_free && check.closed && check.oriented);
    EXPECT_EQ(check.euler, 3);  // two spheres less the shared vertex
    results.push_back(m.faces);
  }
  EXPECT_EQ(results[0], results[1]);
}

TEST(EdgeCollapse, TheQueueGivesLeastCostFirstTiesByVertexPairNanLast) {
  // Pushed in a shuffled order, with a NaN cost (a degenerate quadric) that
  // must neither break the heap nor come first; compacting keeps the order.
  const std::vector<CollapseCandidate> sorted = {
      {0.0, 1, 2, 0, 0}, {0.0, 1, 3, 0, 0}, {0.0, 2, 1, 0, 0}, {0.5, 0, 9, 0, 0},
      {0.5, 4, 1, 0, 0}, {2.0, 3, 3, 1, 0}, {INFINITY, 0, 1, 0, 0}, {NAN, 5, 6, 0, 0}};
  std::vector<std::size_t> order(sorted.size());
  for (std::size_t i = 0; i < order.size(); ++i) order[i] = i;
  std::mt19937_64 rng(3);
  // Seeded (sorted once) or pushed (the heap), or half of each: the same order.
  for (const int seeded : {0, 4, 8}) {
    for (const bool compact : {false, true}) {
      std::shuffle(order.begin(), order.end(), rng);
      CollapseQueue queue;
      for (int k = 0; k < seeded; ++k) queue.seed(sorted[order[k]]);
      queue.seal();
      for (std::size_t k = seeded; k < order.size(); ++k) queue.push(sorted[order[k]]);
      queue.push({1.0, 7, 7, 0, 0});  // stale: dropped by the compaction
      if (compact) queue.compact(0, [](const CollapseCandidate& c) { return c.a != 7; });
      // Three popped and given back, twice over (a batch's put-off entries).
      for (int round = 0; round < 2; ++round) {
        std::vector<CollapseCandidate> put_off;
        for (int k = 0; k < 3; ++k) put_off.push_back(queue.pop());
        queue.give_back(put_off);
      }
      std::vector<std::pair<std::uint32_t, std::uint32_t>> popped;
      while (!queue.empty()) {
        const CollapseCandidate c = queue.pop();
        popped.emplace_back(c.a, c.b);
      }
      std::vector<std::pair<std::uint32_t, std::uint32_t>> expected;
      for (const CollapseCandidate& c : sorted) {
        expected.emplace_back(c.a, c.b);
        if (!compact && c.cost == 0.5 && c.a == 4) expected.emplace_back(7, 7);
      }
      EXPECT_EQ(popped, expected) << (compact ? "compacted" : "as pushed") << ", seeded "
                                  << seeded;
    }
  }
}

TEST(EdgeCollapse, PointTriangleDistanceMatchesDenseSampling) {
  std::mt19937_64 rng(5);
  std::uniform_real_distribution<double> u(-1.0, 1.0);
  auto point = [&] { return Vec3{u(rng), u(rng), u(rng)}; };
  for (int trial = 0; trial < 200; ++trial) {
    const Vec3 a = point(), b = point(), c = point(), p = point();
    double sampled = INFINITY;
    constexpr int n = 200;
    for (int i = 0; i <= n; ++i) {
      for (int j = 0; i + j <= n; ++j) {
        const double s = double(i) / n, t = double(j) / n;
        const Vec3 q{a.x + s * (b.x - a.x) + t * (c.x - a.x), a.y + s * (b.y - a.y) + t * (c.y - a.y),
                     a.z + s * (b.z - a.z) + t * (c.z - a.z)};
        sampled = std::min(sampled, length({p.x - q.x, p.y - q.y, p.z - q.z}));
      }
    }
    const double exact = point_triangle_distance(p, a, b, c);
    EXPECT_LE(exact, sampled + 1e-12);
    EXPECT_GE(exact, sampled - 0.02);  // the sampling grid is 1/200 of edges up to 3.5
  }
  // A degenerate triangle (a segment) answers as the segment.
  EXPECT_DOUBLE_EQ(point_triangle_distance({0, 1, 0}, {-1, 0, 0}, {1, 0, 0}, {0, 0, 0}), 1.0);
}

}  // namespace
}  // namespace karvex
