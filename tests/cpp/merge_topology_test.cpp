// The checks simplification runs on its triangles: one fan per vertex, and
// the Euler characteristic and pieces of the whole.
#include <algorithm>
#include <cstdint>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "dc/merge_topology.h"

namespace karvex {
namespace {

// The boundary of a tetrahedron on vertices base .. base + 3, outward.
std::vector<Triangle> tetrahedron(std::uint64_t base) {
  return {{base + 0, base + 2, base + 1},
          {base + 0, base + 1, base + 3},
          {base + 1, base + 2, base + 3},
          {base + 2, base + 0, base + 3}};
}

TEST(MergeTopology, ClosedSurfacesAreFansWithTheirEulerCharacteristic) {
  std::vector<Triangle> two = tetrahedron(0);
  for (const Triangle& t : tetrahedron(4)) two.push_back(t);
  EXPECT_TRUE(nonmanifold_vertices(two, 8).empty());
  EXPECT_EQ(surface_topology(two, 8), (SurfaceTopology{4, 2}));
}

TEST(MergeTopology, AnOpenDiskIsOneFanAtItsRim) {
  // A fan of four triangles round vertex 0, open between 4 and 1.
  const std::vector<Triangle> fan{{0, 1, 2}, {0, 2, 3}, {0, 3, 4}};
  EXPECT_TRUE(nonmanifold_vertices(fan, 5).empty());
  EXPECT_EQ(surface_topology(fan, 5), (SurfaceTopology{1, 1}));
}

TEST(MergeTopology, TwoSolidsPinchedAtAVertexAreFound) {
  // The second tetrahedron's vertex 4 is the first's vertex 3: two cycles
  // round it. Only that vertex is at fault.
  std::vector<Triangle> pinched = tetrahedron(0);
  for (Triangle t : tetrahedron(3)) pinched.push_back(t);
  EXPECT_EQ(nonmanifold_vertices(pinched, 7), (std::vector<std::uint64_t>{3}));
  EXPECT_EQ(surface_topology(pinched, 7).pieces, 1u);
}

TEST(MergeTopology, AnEdgeOfThreeTrianglesOrAFlippedOneIsFound) {
  // Three triangles on edge (0, 1): 0 and 1 hold a link vertex twice.
  const std::vector<Triangle> book{{0, 1, 2}, {1, 0, 3}, {0, 1, 4}};
  const std::vector<std::uint64_t> bad = nonmanifold_vertices(book, 5);
  EXPECT_NE(std::find(bad.begin(), bad.end(), 0u), bad.end());
  EXPECT_NE(std::find(bad.begin(), bad.end(), 1u), bad.end());
  // A tetrahedron with one triangle turned: its edges run the same way twice.
  std::vector<Triangle> flipped = tetrahedron(0);
  flipped[0] = {0, 1, 2};
  EXPECT_FALSE(nonmanifold_vertices(flipped, 4).empty());
}

// A fan round vertex 0 with rim 1 .. n, broken one way near its start.
// Stars of a few corners and stars of many are told apart differently: the
// same faults must be reported of both.
struct BrokenFan {
  const char* fault;
  std::vector<std::uint64_t> bad;
};

class MergeTopologyFans
    : public ::testing::TestWithParam<std::tuple<std::uint64_t, BrokenFan>> {};

TEST_P(MergeTopologyFans, TheFirstFaultOfEachStarIsReported) {
  const auto& [n, broken] = GetParam();
  std::vector<Triangle> fan;
  for (std::uint64_t k = 1; k < n; ++k) fan.push_back({0, k, k + 1});
  const std::string fault = broken.fault;
  if (fault == "flipped") fan[1] = {0, 3, 2};
  if (fault == "doubled") fan.push_back(fan[1]);
  if (fault == "second fan") fan.push_back({0, n + 1, n + 2});
  EXPECT_EQ(nonmanifold_vertices(fan, n + 3), broken.bad);
}

INSTANTIATE_TEST_SUITE_P(
    SmallAndLargeStars, MergeTopologyFans,
    ::testing::Combine(::testing::Values(std::uint64_t{6}, std::uint64_t{40}),
                       ::testing::Values(BrokenFan{"none", {}},
                                         BrokenFan{"flipped", {0, 2, 3}},
                                         BrokenFan{"doubled", {0, 2, 3}},
                                         BrokenFan{"second fan", {0}})));

TEST(MergeTopology, AHandleChangesTheEulerCharacteristic) {
  // A torus of 3 x 3 quads (each split in two): characteristic 0.
  std::vector<Triangle> torus;
  const auto at = [](unsigned i, unsigned j) { return std::uint64_t{(i % 3) * 3 + (j % 3)}; };
  for (unsigned i = 0; i < 3; ++i) {
    for (unsigned j = 0; j < 3; ++j) {
      torus.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
      torus.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
  EXPECT_TRUE(nonmanifold_vertices(torus, 9).empty());
  EXPECT_EQ(surface_topology(torus, 9), (SurfaceTopology{0, 1}));
}

// What refuse_nonmanifold relies on to look only near the collapsed
// vertices: nonmanifold_vertices reports of a set of vertices (those sharing
// a triangle with a few chosen ones) the same from the triangles round the
// set and its neighbours as from the whole mesh. Torus grids of 6 x 6
// vertices with triangles turned over, removed, repeated and added at
// random, so that fans break every way.
TEST(MergeTopology, WhatIsReportedOfAVertexDependsOnlyOnTrianglesNearIt) {
  std::mt19937_64 rng(5);
  constexpr unsigned kSide = 6;
  constexpr std::uint64_t kCount = kSide * kSide;
  const auto at = [](unsigned i, unsigned j) {
    return std::uint64_t{(i % kSide) * kSide + (j % kSide)};
  };
  const auto of = [](const std::vector<Triangle>& triangles, auto in) {
    std::vector<std::uint8_t> out(kCount, 0);
    for (const Triangle& t : triangles) {
      if (in(t[0]) || in(t[1]) || in(t[2])) {
        for (const std::uint64_t v : t) out[v] = 1;
      }
    }
    return out;
  };
  unsigned reported = 0;
  for (int trial = 0; trial < 300; ++trial) {
    std::vector<Triangle> mesh;
    for (unsigned i = 0; i < kSide; ++i) {
      for (unsigned j = 0; j < kSide; ++j) {
        mesh.push_back({at(i, j), at(i + 1, j), at(i + 1, j + 1)});
        mesh.push_back({at(i, j), at(i + 1, j + 1), at(i, j + 1)});
      }
    }
    for (int change = 0; change < 1 + trial % 6; ++change) {
      Triangle& t = mesh[rng() % mesh.size()];
      switch (rng() % 4) {
        case 0: std::swap(t[0], t[1]); break;
        case 1: mesh.push_back(t); break;
        case 2: t = mesh.back(); mesh.pop_back(); break;
        default: mesh.push_back({rng() % kCount, rng() % kCount, rng() % kCount}); break;
      }
    }
    std::set<std::uint64_t> chosen{rng() % kCount, rng() % kCount};
    const auto near = of(mesh, [&](std::uint64_t v) { return chosen.contains(v); });
    const auto reads = of(mesh, [&](std::uint64_t v) { return near[v] != 0; });
    std::vector<Triangle> around;
    for (const Triangle& t : mesh) {
      if (reads[t[0]] || reads[t[1]] || reads[t[2]]) around.push_back(t);
    }
    const auto of_near = [&](const std::vector<std::uint64_t>& bad) {
      std::set<std::uint64_t> out;
      for (const std::uint64_t v : bad) {
        if (near[v]) out.insert(v);
      }
      return out;
    };
    const std::set<std::uint64_t> whole = of_near(nonmanifold_vertices(mesh, kCount));
    ASSERT_EQ(of_near(nonmanifold_vertices(around, kCount)), whole) << trial;
    reported += !whole.empty();
  }
  EXPECT_GT(reported, 50u);  // the fans near the chosen vertices broke often
}

// Euler characteristic and pieces as their definitions give them (a set of
// edges, a search over shared vertices), on broken torus grids with
// triangles repeated, turned over and reaching past the vertex count (whose
// edges to such a vertex are not counted).
TEST(MergeTopology, TopologyOfBrokenMeshesMatchesItsDefinition) {
  std::mt19937_64 rng(11);
  constexpr unsigned kSide = 5;
  constexpr std::uint64_t kCount = kSide * kSide;
  for (int trial = 0; trial < 200; ++trial) {
    std::vector<Triangle> mesh;
    for (unsigned i = 0; i < kSide; ++i) {
      for (unsigned j = 0; j < kSide; ++j) {
        if (rng() % 8 == 0) continue;
        const std::uint64_t a = i * kSide + j;
        const std::uint64_t b = ((i + 1) % kSide) * kSide + j;
        const std::uint64_t c = ((i + 1) % kSide) * kSide + (j + 1) % kSide;
        const std::uint64_t d = i * kSide + (j + 1) % kSide;
        mesh.push_back({a, b, c});
        mesh.push_back({a, c, d});
      }
    }
    for (int change = 0; change < trial % 5; ++change) {
      const Triangle t = mesh[rng() % mesh.size()];
      mesh.push_back(rng() % 2 ? Triangle{t[1], t[0], t[2]}
                               : Triangle{t[0], t[1], kCount + rng() % 3});
    }
    std::set<std::pair<std::uint64_t, std::uint64_t>> edges;
    std::vector<std::set<std::uint64_t>> next(kCount);
    for (const Triangle& t : mesh) {
      for (unsigned c = 0; c < 3; ++c) {
        const std::uint64_t a = t[c];
        const std::uint64_t b = t[(c + 1) % 3];
        if (a >= kCount || b >= kCount) continue;
        edges.insert({std::min(a, b), std::max(a, b)});
        next[a].insert(b);
        next[b].insert(a);
      }
    }
    std::int64_t used = 0;
    std::uint64_t pieces = 0;
    std::vector<bool> seen(kCount, false);
    for (std::uint64_t v = 0; v < kCount; ++v) {
      if (next[v].empty()) continue;
      ++used;
      if (seen[v]) continue;
      ++pieces;
      std::vector<std::uint64_t> stack{v};
      seen[v] = true;
      while (!stack.empty()) {
        const std::uint64_t x = stack.back();
        stack.pop_back();
        for (const std::uint64_t y : next[x]) {
          if (!seen[y]) {
            seen[y] = true;
            stack.push_back(y);
          }
        }
      }
    }
    const SurfaceTopology expected{
        used - static_cast<std::int64_t>(edges.size()) + static_cast<std::int64_t>(mesh.size()),
        pieces};
    ASSERT_EQ(surface_topology(mesh, kCount), expected) << trial;
  }
}

}  // namespace
}  // namespace karvex
