#include <algorithm>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/component_table.h"
#include "dc/faces.h"
#include "dc/vertex_placement.h"
#include "fields.h"
#include "pool/worker_pool.h"
#include "stand_in_vertices.h"

namespace karvex {
namespace {

struct QuadCase {
  Vec3 p0, p1, p2, p3;
  double s1, s2;
  bool first_diagonal;
};

class QuadSplit : public ::testing::TestWithParam<QuadCase> {};

TEST_P(QuadSplit, ScoresAndChoice) {
  const QuadCase& c = GetParam();
  const QuadSplitScores scores = quad_split_scores(c.p0, c.p1, c.p2, c.p3);
  EXPECT_EQ(scores.s1, c.s1);
  EXPECT_EQ(scores.s2, c.s2);
  EXPECT_EQ(choose_first_diagonal(c.p0, c.p1, c.p2, c.p3), c.first_diagonal);
}

constexpr double kHigh = 0.5773502691896258;
constexpr double kLow = 0.4999999999999999;

// clang-format off
INSTANTIATE_TEST_SUITE_P(Quads, QuadSplit, ::testing::Values(
    // A flat square ties at exactly 1: the split along p0-p2 wins.
    QuadCase{{0, 0, 0}, {1, 0, 0}, {1, 1, 0}, {0, 1, 0}, 1.0, 1.0, true},
    QuadCase{{0, 0, 0}, {1, 0, 1}, {1, 1, 0}, {0, 1, 0}, kHigh, kLow, true},
    QuadCase{{0, 0, 0}, {1, 0, 0}, {1, 1, 1}, {0, 1, 0}, kLow, kHigh, false},
    // Four points on a line: every normal counts as zero (not NaN), a tie.
    QuadCase{{0, 0, 0}, {1, 0, 0}, {2, 0, 0}, {3, 0, 0}, 0.0, 0.0, true}));
// clang-format on

// Unit cells addressed at depth 2, each with its vertices (when it has any)
// near its centre.
struct Scene {
  std::vector<SurfaceCell> cells;
  std::vector<std::uint64_t> first;
  std::vector<Vec3> positions;

  void add(CellAddress a, std::uint8_t mask, bool with_vertex = true) {
    SurfaceCell c;
    c.address = a;
    c.sign_mask = mask;
    c.cell_min = {double(a.x), double(a.y), double(a.z)};
    c.cell_side = 1.0;
    cells.push_back(c);
    first.push_back(with_vertex ? positions.size() : kNoVertex);
    if (!with_vertex) return;
    for (unsigned j = 0; j < COMPONENT_TABLE[mask][8]; ++j) {
      positions.push_back({a.x + 0.5 + 0.1 * j, a.y + 0.5, a.z + 0.5});
    }
  }

  std::vector<Triangle> faces() const {
    WorkerPool pool(2);
    return generate_faces(pool, cells, build_cell_lookup(cells), first,
                          positions);
  }
};

bool uses(const Triangle& t, std::uint64_t v) {
  return std::find(t.begin(), t.end(), v) != t.end();
}

TEST(GenerateFaces, GroupsPickTheVertexOfTheEdge) {
  Scene s;
  s.add({1, 1, 1, 2}, 6);  // corners 1 and 2 below: vertex 0 for corner 1, 1 for corner 2
  // Round its x-edge: (1,0,1), (1,1,0), (1,0,0); round its y-edge: (0,1,1), (0,1,0).
  for (CellAddress a : {CellAddress{1, 0, 1, 2}, CellAddress{1, 1, 0, 2}, CellAddress{1, 0, 0, 2},
                        CellAddress{0, 1, 1, 2}, CellAddress{0, 1, 0, 2}}) {
    s.add(a, 1);
  }
  const auto faces = s.faces();
  ASSERT_EQ(faces.size(), 4u);  // two per axis, x then y; z does not change sign
  // Each quad holds O's vertex in one or both of its triangles.
  const auto quad_uses = [&](int first, std::uint64_t v) {
    return uses(faces[first], v) || uses(faces[first + 1], v);
  };
  EXPECT_TRUE(quad_uses(0, 0) && !quad_uses(0, 1));
  EXPECT_TRUE(quad_uses(2, 1) && !quad_uses(2, 0));
}

TEST(GenerateFaces, NoFaceWithoutFourSameDepthNeighboursWithVertices) {
  // Mask 51: the y = 0 corners below, so only the y-edge changes sign; its
  // neighbours differ in x and z.
  const std::vector<CellAddress> around{{0, 1, 1, 2}, {1, 1, 0, 2}, {0, 1, 0, 2}};
  Scene complete;
  complete.add({1, 1, 1, 2}, 51);
  for (CellAddress a : around) complete.add(a, 51);
  EXPECT_EQ(complete.faces().size(), 2u);

  Scene coarser;  // A is covered by a cell one level up
  coarser.add({1, 1, 1, 2}, 51);
  coarser.add({0, 0, 0, 1}, 51);
  coarser.add({1, 1, 0, 2}, 51);
  coarser.add({0, 1, 0, 2}, 51);
  EXPECT_TRUE(coarser.faces().empty());

  Scene without_vertex;
  without_vertex.add({1, 1, 1, 2}, 51);
  without_vertex.add(around[0], 51);
  without_vertex.add(around[1], 51, false);
  without_vertex.add(around[2], 51);
  EXPECT_TRUE(without_vertex.faces().empty());
}

// The faces are made a block of cells at a time, each block's lists appended
// while the next block's are made. A closed surface of many blocks gives
// every edge of its triangles once each way (no block lost, none appended
// twice), and the same list for any pool, with the index or the walk order.
TEST(GenerateFaces, ManyBlocksCloseUpAlikeOnAnyPool) {
  testing::FunctionField shape = testing::sphere({0.02, -0.03, 0.01}, 0.8, false);
  MeshingOptions options;
  options.min_depth = 3;
  options.max_depth = 8;
  const Octree tree = build_octree(shape, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
  const std::vector<SurfaceCell> cells = collect_surface_cells(tree);
  // More than five blocks of 16 tasks of 2048 cells.
  ASSERT_GT(cells.size(), std::size_t{5} * 16 * 2048);
  testing::StandInVertices vertices = testing::stand_in_vertices(cells);
  std::vector<std::uint64_t>& first = vertices.first;
  const std::vector<Vec3>& positions = vertices.positions;
  const UnfilledVector<CellSigns> signs = cell_signs(cells);
  std::vector<Triangle> faces;
  {
    WorkerPool pool(1);
    faces = generate_faces(pool, signs, first, positions);
  }
  // Every directed edge once, and its reverse: the edges sorted, and sorted
  // again reversed, are the same list without repeats.
  std::vector<std::pair<std::uint64_t, std::uint64_t>> edges, reversed;
  for (const Triangle& t : faces) {
    for (unsigned k = 0; k < 3; ++k) {
      edges.emplace_back(t[k], t[(k + 1) % 3]);
      reversed.emplace_back(t[(k + 1) % 3], t[k]);
    }
  }
  std::sort(edges.begin(), edges.end());
  std::sort(reversed.begin(), reversed.end());
  EXPECT_EQ(std::adjacent_find(edges.begin(), edges.end()), edges.end());
  EXPECT_EQ(edges, reversed);
  for (const std::size_t workers : {2, 3}) {
    WorkerPool pool(workers);
    EXPECT_EQ(generate_faces(pool, signs, first, positions), faces) << workers;
    EXPECT_EQ(generate_faces(pool, signs, build_cell_lookup(signs), first, positions), faces)
        << workers;
  }
}

}  // namespace
}  // namespace karvex
