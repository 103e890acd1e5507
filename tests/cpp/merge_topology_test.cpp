// The checks simplification runs on its triangles: one fan per vertex, and
// the Euler characteristic and pieces of the whole.
#include <algorithm>
#include <cstdint>
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

}  // namespace
}  // namespace karvex
