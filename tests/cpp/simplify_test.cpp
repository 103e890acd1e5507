// Simplification: collapse of cells by merged quadratic error with the
// topological safety test, and faces on minimal edges across cells of
// different sizes.
#include <algorithm>
#include <array>
#include <cmath>
#include <cstdint>
#include <map>
#include <string_view>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/extract.h"
#include "dc/faces.h"
#include "dc/hermite.h"
#include "dc/merge_check.h"
#include "dc/merged_qef.h"
#include "dc/merge_topology.h"
#include "dc/minimal_edge_faces.h"
#include "dc/remembered_polygons.h"
#include "dc/remembered_star_faults.h"
#include "dc/simplify.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "fields.h"
#include "mesh_check.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"

namespace karvex {
namespace {

using testing::FunctionField;

Octree build(Field& field, std::uint8_t max_depth, bool adaptive, std::uint8_t min_depth = 3) {
  MeshingOptions options;
  options.min_depth = min_depth;
  options.max_depth = max_depth;
  options.adaptive = adaptive;
  return build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options).octree;
}

Mesh simplified(Field& field, const Octree& tree, double tolerance) {
  MeshingOptions controls;
  controls.simplify = tolerance;
  return extract_surface(tree, field, controls);
}

std::vector<Triangle> sorted(std::vector<Triangle> t) {
  std::sort(t.begin(), t.end());
  return t;
}

// The stages before simplification, run as extraction runs them: surface
// cells, vertex slots, Hermite data and the cells' vertex solutions.
struct SolvedCells {
  std::vector<SurfaceCell> cells;
  VertexSlots slots;
  SlotQefs hermite;
  std::vector<VertexSolution> solutions;
};

SolvedCells solve_cells(Field& field, const Octree& tree, WorkerPool& pool) {
  std::vector<CornerValues> values;
  SolvedCells out{collect_surface_cells(tree, values), {}, {}, {}};
  out.slots = assign_vertex_slots(out.cells);
  auto refs = find_crossing_refs(pool, out.cells);
  auto located = locate_crossing_refs(field, refs, out.cells, tree.iso_value);
  out.hermite = accumulate_hermite_data(field, std::move(refs), std::move(located), out.cells,
                                        out.slots, tree,
                                        std::cos(30.0 * 3.141592653589793 / 180.0));
  out.solutions = solve_vertices(
      pool, make_solve_jobs(out.cells, out.slots, out.hermite.sharp, tree.size), out.hermite.qefs);
  return out;
}

// The shapes of the face tests: a sphere (0), a torus (1) and a box (2).
FunctionField test_shape(int shape) {
  return shape == 0   ? testing::sphere({0.03, -0.01, 0.02}, 0.6)
         : shape == 1 ? testing::torus(0.5, 0.2)
                      : testing::box({0.01, 0.02, -0.03}, {0.5, 0.4, 0.3});
}

// A shape the collapse is run on again with more refusals. Creases across
// cells (a box bitten by a ball, shape 0; a gyroid's saddles, shape 1) give
// leaves a noise floor that decides some merges; shape 2 is a smooth torus.
struct RefusedShape {
  explicit RefusedShape(int shape)
      : field(shape == 0   ? testing::bitten_box()
              : shape == 1 ? testing::gyroid()
                           : test_shape(1)),
        tree(build(field, 6, true)),
        solved(solve_cells(field, tree, pool)) {}
  // The cells collapsed at `tolerance`, oblique merges allowed, with
  // `refused` and, when given, `memo`.
  SimplifiedCells collapse(double tolerance, const MergeRefusals& refused,
                           CollapseMemo* memo = nullptr) const {
    const auto& [cells, slots, hermite, solutions] = solved;
    return simplify_cells(tree, cells, slots, hermite.qefs, solutions, tolerance, &refused, true,
                          memo);
  }
  FunctionField field;
  Octree tree;
  WorkerPool pool{2};
  SolvedCells solved;
};

// Without collapsing, faces on minimal edges are exactly the faces of
// generate_faces, which needs same-size cells round every edge.
class MinimalEdgesMatchUniformFaces : public ::testing::TestWithParam<std::pair<int, bool>> {};

TEST_P(MinimalEdgesMatchUniformFaces, SameTriangles) {
  const auto [shape, adaptive] = GetParam();
  FunctionField field = test_shape(shape);
  const Octree tree = build(field, 6, adaptive);
  WorkerPool pool(2);
  const auto [cells, slots, hermite, solutions] = solve_cells(field, tree, pool);
  const auto lookup = build_cell_lookup(cells);
  const EmittedVertices emitted = emit_vertices(cells, slots, solutions);
  const auto uniform = generate_faces(pool, cells, lookup, emitted.cell_first_vertex,
                                      emitted.positions);

  const SimplifiedCells kept = simplify_cells(tree, cells, slots, hermite.qefs, solutions, 0.0);
  EXPECT_EQ(kept.collapsed_count, 0u);
  ASSERT_EQ(kept.positions, emitted.positions);
  const auto minimal = minimal_edge_faces(kept, kept.positions);
  ASSERT_GT(uniform.size(), 100u);
  EXPECT_EQ(sorted(minimal), sorted(uniform));
}

INSTANTIATE_TEST_SUITE_P(ShapesAndModes, MinimalEdgesMatchUniformFaces,
                         ::testing::Values(std::pair{0, true}, std::pair{0, false},
                                           std::pair{1, true}, std::pair{2, true},
                                           std::pair{2, false}));

// The checked collapse hands the face stage the triangles its last check
// made: those minimal_edge_faces makes of its cells at its projected
// vertices, bit for bit.
class CheckedCollapseTriangles : public ::testing::TestWithParam<int> {};

TEST_P(CheckedCollapseTriangles, AreTheFacesOfItsCells) {
  const int shape = GetParam();
  FunctionField field = test_shape(shape);
  const Octree tree = build(field, 6, false);
  WorkerPool pool(2);
  const auto [cells, slots, hermite, solutions] = solve_cells(field, tree, pool);
  const SimplifiedCells checked = simplify_within_tolerance(pool, field, tree, cells, slots,
                                                            hermite.qefs, solutions, 1e-3);
  ASSERT_TRUE(checked.projected);
  ASSERT_GT(checked.collapsed_count, 0u);
  const std::vector<Triangle> serial = minimal_edge_faces(checked, checked.positions);
  EXPECT_EQ(checked.triangles, serial);
  // The walk cut into pieces on the pool: the same triangles in the same
  // order for any number of workers.
  for (const std::size_t workers : {1u, 3u}) {
    WorkerPool other(workers);
    EXPECT_EQ(minimal_edge_faces(other, checked, checked.positions), serial) << workers;
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, CheckedCollapseTriangles, ::testing::Values(0, 1, 2));

// A memo carries the leaves' noise floors and the merges' outcomes from one
// collapse to the next with more refusals: the collapse it gives is the one
// a fresh collapse gives, bit for bit.
class CollapseMemoChangesNothing : public ::testing::TestWithParam<std::pair<int, double>> {};

TEST_P(CollapseMemoChangesNothing, SameCellsAndVertices) {
  const auto [shape, tolerance] = GetParam();
  const RefusedShape shaped(shape);
  MergeRefusals refused;
  CollapseMemo memo;
  const SimplifiedCells first = shaped.collapse(tolerance, refused, &memo);
  ASSERT_GT(first.merged.size(), 2u);
  for (std::size_t m = 0; m < first.merged.size(); m += 3) refused.insert(first.merged[m].address);
  const SimplifiedCells memoized = shaped.collapse(tolerance, refused, &memo);
  const SimplifiedCells fresh = shaped.collapse(tolerance, refused);
  EXPECT_EQ(memoized.positions, fresh.positions);
  EXPECT_EQ(memoized.keys, fresh.keys);
  ASSERT_EQ(memoized.merged.size(), fresh.merged.size());
  for (std::size_t m = 0; m < fresh.merged.size(); ++m) {
    EXPECT_EQ(memoized.merged[m].address, fresh.merged[m].address);
    EXPECT_EQ(memoized.merged[m].sample_count, fresh.merged[m].sample_count);
  }
  EXPECT_EQ(minimal_edge_faces(memoized, memoized.positions),
            minimal_edge_faces(fresh, fresh.positions));
}

INSTANTIATE_TEST_SUITE_P(ShapesAndTolerances, CollapseMemoChangesNothing,
                         ::testing::Values(std::pair{0, 1e-3}, std::pair{0, 1e-2},
                                           std::pair{1, 1e-2}, std::pair{2, 1e-4}));

// Each collapse with a memo takes over the subtrees the last one kept whole
// and that hold no refusal since, renumbered: every pass, and one after
// refusals were dropped (nothing is taken over then), is what a fresh
// collapse makes of the same refusals, block for block and bit for bit.
class TakenOverSubtrees : public ::testing::TestWithParam<std::pair<int, double>> {};

void expect_same_collapse(const SimplifiedCells& got, const SimplifiedCells& fresh) {
  const auto node = [](const ContourNode& n) {
    return std::tuple{n.kind, n.mask, n.index, n.one_vertex};
  };
  EXPECT_EQ(node(got.root), node(fresh.root));
  ASSERT_EQ(got.blocks.size(), fresh.blocks.size());
  for (std::size_t b = 0; b < fresh.blocks.size(); ++b) {
    for (unsigned o = 0; o < 8; ++o) {
      ASSERT_EQ(node(got.blocks[b][o]), node(fresh.blocks[b][o])) << "block " << b << " child " << o;
    }
  }
  EXPECT_EQ(got.positions, fresh.positions);
  EXPECT_EQ(got.keys, fresh.keys);
  ASSERT_EQ(got.boxes.size(), fresh.boxes.size());
  for (std::size_t v = 0; v < fresh.boxes.size(); ++v) {
    ASSERT_TRUE(got.boxes[v].lo == fresh.boxes[v].lo && got.boxes[v].hi == fresh.boxes[v].hi)
        << "vertex " << v;
  }
  EXPECT_EQ(got.collapsed_count, fresh.collapsed_count);
  ASSERT_EQ(got.merged.size(), fresh.merged.size());
  for (std::size_t m = 0; m < fresh.merged.size(); ++m) {
    const MergedCell& a = got.merged[m];
    const MergedCell& b = fresh.merged[m];
    ASSERT_TRUE(a.address == b.address && a.side == b.side && a.vertex == b.vertex &&
                a.sample_count == b.sample_count && a.samples == b.samples)
        << "collapsed cell " << m;
  }
}

TEST_P(TakenOverSubtrees, SameAsAFreshCollapse) {
  const auto [shape, tolerance] = GetParam();
  const RefusedShape shaped(shape);
  MergeRefusals refused;
  CollapseMemo memo;
  const auto collapse = [&](const MergeRefusals& with, CollapseMemo* m) {
    return shaped.collapse(tolerance, with, m);
  };
  // What the field checks remember a pass by (passed_checks.h): a collapsed
  // cell's vertex and children's vertices, and the point at each vertex
  // key, the same in every pass.
  std::map<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint8_t>,
           std::pair<Vec3, std::array<Vec3, 8>>>
      cell_points;
  std::map<VertexKey, Vec3> key_points;
  std::size_t passes = 0;
  for (unsigned pass = 0; pass < 6; ++pass) {
    SimplifiedCells simplified = collapse(refused, &memo);
    SCOPED_TRACE(::testing::Message() << "pass " << pass);
    expect_same_collapse(simplified, collapse(refused, nullptr));
    if (simplified.merged.empty()) break;
    ++passes;
    for (const MergedCell& cell : simplified.merged) {
      const auto [at, fresh] = cell_points.try_emplace(
          std::tuple{cell.address.x, cell.address.y, cell.address.z, cell.address.d},
          simplified.positions[cell.vertex], cell.samples);
      EXPECT_TRUE(fresh || (at->second.first == simplified.positions[cell.vertex] &&
                            at->second.second == cell.samples));
    }
    for (std::size_t v = 0; v < simplified.keys.size(); ++v) {
      const auto [at, fresh] = key_points.try_emplace(simplified.keys[v], simplified.positions[v]);
      EXPECT_TRUE(fresh || at->second == simplified.positions[v]) << "vertex " << v;
    }
    // The checks write the boxes of what they return: the memo's copy must
    // not follow.
    for (VertexBox& box : simplified.boxes) box = {{0, 0, 0}, {0, 0, 0}};
    // A few collapsed cells refused per pass, spread over the tree, and a
    // cell kept whole above one of them.
    for (std::size_t m = pass; m < simplified.merged.size(); m += 7) {
      refused.insert(simplified.merged[m].address);
    }
    const CellAddress& a = simplified.merged.front().address;
    if (a.d > 1) refused.insert({a.x >> 1, a.y >> 1, a.z >> 1, static_cast<std::uint8_t>(a.d - 1)});
  }
  EXPECT_GE(passes, 3u);
  // Refusals dropped: the memo's last collapse is no guide then.
  MergeRefusals fewer;
  for (const CellAddress& a : refused) {
    if (a.d % 2 == 0) fewer.insert(a);
  }
  expect_same_collapse(collapse(fewer, &memo), collapse(fewer, nullptr));
}

INSTANTIATE_TEST_SUITE_P(ShapesAndTolerances, TakenOverSubtrees,
                         ::testing::Values(std::pair{0, 1e-2}, std::pair{1, 1e-3},
                                           std::pair{1, 1e-2}, std::pair{2, 1e-3}));

// The passes of the checked collapse redo the face walk and the star faults
// only where refusals changed the cells: each pass gets what walking the
// whole tree and telling every star give, with some refusals reaching the
// depth of the walk's pieces and some stars faulty.
class RememberedPasses : public ::testing::TestWithParam<std::pair<int, double>> {};

TEST_P(RememberedPasses, SameAsTheWholeWalk) {
  const auto [shape, tolerance] = GetParam();
  RefusedShape shaped(shape);
  const Octree& tree = shaped.tree;
  WorkerPool& pool = shaped.pool;
  const auto& [cells, slots, hermite, solutions] = shaped.solved;
  MergeRefusals refused;
  CollapseMemo memo;
  CellPassChanges changes;
  RememberedPolygons walked;
  RememberedStarFaults stars;
  const auto by_vertex = [](std::vector<StarFault> faults) {
    std::sort(faults.begin(), faults.end(), [](const StarFault& a, const StarFault& b) {
      return std::pair{a.vertex, a.far_end} < std::pair{b.vertex, b.far_end};
    });
    return faults;
  };
  std::size_t faulty = 0;
  for (unsigned pass = 0; pass < 6; ++pass) {
    const SimplifiedCells simplified = simplify_cells(tree, cells, slots, hermite.qefs, solutions,
                                                      tolerance, &refused, true, &memo);
    if (simplified.merged.empty()) break;
    SCOPED_TRACE(::testing::Message() << "pass " << pass);
    changes.advance(simplified, refused);
    const std::vector<EdgePolygon> polygons = walked.polygons(pool, simplified, changes);
    ASSERT_EQ(polygons, minimal_edge_polygons(pool, simplified));
    const std::vector<Triangle> triangles = split_polygons(polygons, simplified.positions);
    const std::vector<StarFault> whole = star_faults(triangles);
    EXPECT_EQ(by_vertex(stars.faults(polygons, triangles, changes)), whole);
    faulty += whole.size();
    // A fifth of the collapsed cells refused per pass.
    for (std::size_t m = pass % 3; m < simplified.merged.size(); m += 5) {
      refused.insert(simplified.merged[m].address);
    }
  }
  if (shape == 0) {
    EXPECT_GT(faulty, 0u);
  }
}

INSTANTIATE_TEST_SUITE_P(ShapesAndTolerances, RememberedPasses,
                         ::testing::Values(std::pair{0, 1e-2}, std::pair{1, 1e-2},
                                           std::pair{2, 1e-3}));

// Closed shapes stay closed, oriented and of the same genus at every
// tolerance, and coarser tolerances give fewer triangles.
struct ClosedCase {
  int shape;
  int euler;
};

class SimplifiedClosed : public ::testing::TestWithParam<ClosedCase> {};

TEST_P(SimplifiedClosed, ClosedOrientedSameGenus) {
  const ClosedCase c = GetParam();
  FunctionField field = c.shape == 0   ? testing::sphere({0.03, -0.01, 0.02}, 0.6)
                        : c.shape == 1 ? testing::torus(0.5, 0.2)
                        : c.shape == 2
                            ? testing::two_spheres({-0.4, 0, 0}, 0.35, {0.4, 0.05, 0}, 0.35)
                        : c.shape == 3 ? testing::bitten_box()
                                       : testing::box({0.01, 0.02, -0.03}, {0.5, 0.4, 0.3});
  for (const bool adaptive : {true, false}) {
    const Octree tree = build(field, 6, adaptive);
    std::size_t previous = extract_surface(tree, field).faces.size();
    for (const double tolerance : {1e-4, 1e-3, 1e-2}) {
      const Mesh mesh = simplified(field, tree, tolerance);
      const auto check = testing::check_mesh(mesh);
      SCOPED_TRACE(::testing::Message() << "adaptive " << adaptive << " tolerance " << tolerance);
      EXPECT_TRUE(check.indices_valid && check.degenerate_free);
      EXPECT_TRUE(check.closed);
      EXPECT_TRUE(check.oriented);
      EXPECT_EQ(check.euler, c.euler);
      EXPECT_GT(check.signed_volume, 0.0);
      EXPECT_LE(mesh.faces.size(), previous);
      previous = mesh.faces.size();
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Shapes, SimplifiedClosed,
                         ::testing::Values(ClosedCase{0, 2}, ClosedCase{1, 0}, ClosedCase{2, 2},
                                           ClosedCase{3, 2}, ClosedCase{4, 2}));

// Counts polls; the poll numbered `stop_at` (from 1; 0 never) throws.
class PollCounter final : public RunHooks {
 public:
  struct Stop {};
  explicit PollCounter(std::uint64_t stop_at) : stop_at_(stop_at) {}
  void progress(std::string_view, std::uint64_t, std::uint64_t) override {}
  void poll() override {
    if (++polls == stop_at_) throw Stop();
  }
  std::uint64_t polls = 0;

 private:
  std::uint64_t stop_at_;
};

// The collapse and the faces on minimal edges are serial walks of the whole
// tree: both poll the caller as they go (so Ctrl-C ends them promptly), a
// throwing poll ends them, and polling changes nothing they produce.
TEST(Simplify, WalksPollTheCaller) {
  FunctionField field = testing::sphere({0.03, -0.01, 0.02}, 0.6);
  const Octree tree = build(field, 7, false);
  WorkerPool pool(1);
  const auto [cells, slots, hermite, solutions] = solve_cells(field, tree, pool);
  const auto simplify = [&] {
    return simplify_cells(tree, cells, slots, hermite.qefs, solutions, 1e-3);
  };
  const SimplifiedCells quiet = simplify();
  const auto quiet_faces = minimal_edge_faces(quiet, quiet.positions);

  PollCounter counting(0);
  {
    RunMonitor monitor(&counting);
    const SimplifiedCells polled = simplify();
    const std::uint64_t simplify_polls = counting.polls;
    EXPECT_GT(simplify_polls, 0u);
    EXPECT_EQ(polled.positions, quiet.positions);
    EXPECT_EQ(minimal_edge_faces(polled, polled.positions), quiet_faces);
    EXPECT_GT(counting.polls, simplify_polls);
  }
  PollCounter stopping(1);
  RunMonitor monitor(&stopping);
  EXPECT_THROW(simplify(), PollCounter::Stop);
}

// Planes have no error: an axis-aligned box collapses to a handful of cells
// whose vertices sit on its corners, edges and faces.
TEST(Simplify, BoxCollapsesToFewTrianglesOnItsFaces) {
  const Vec3 half{0.5, 0.4, 0.3};
  FunctionField field = testing::box({0.01, 0.02, -0.03}, half);
  const Octree tree = build(field, 7, true);
  const Mesh full = extract_surface(tree, field);
  const Mesh mesh = simplified(field, tree, 2e-4);
  const auto check = testing::check_mesh(mesh);
  EXPECT_TRUE(check.closed && check.oriented);
  EXPECT_EQ(check.euler, 2);
  EXPECT_LT(mesh.faces.size() * 50, full.faces.size());
  const double volume = 8 * half.x * half.y * half.z;
  EXPECT_NEAR(check.signed_volume, volume, 0.01 * volume);
  // Every vertex on the box surface.
  for (const Vec3& v : mesh.vertices) {
    const double q[3] = {std::fabs(v.x - 0.01) - half.x, std::fabs(v.y - 0.02) - half.y,
                         std::fabs(v.z + 0.03) - half.z};
    const double outside = std::max({q[0], q[1], q[2]});
    EXPECT_NEAR(outside, 0.0, 1e-6);
  }
}

// A slab much thinner than the coarse cells: collapsing a cell holding both
// sheets would join them into one, which the safety test refuses, whatever
// the tolerance.
TEST(Simplify, TwoCloseSheetsAreNeverJoined) {
  FunctionField field = testing::box({0.013, -0.021, 0.0171}, {0.6, 0.55, 0.02});
  const Octree tree = build(field, 7, true);
  const Mesh mesh = simplified(field, tree, 1.0);
  const auto check = testing::check_mesh(mesh);
  EXPECT_TRUE(check.closed && check.oriented);
  EXPECT_EQ(check.euler, 2);
  const double volume = 8 * 0.6 * 0.55 * 0.02;
  EXPECT_NEAR(check.signed_volume, volume, 0.05 * volume);
}

TEST(Simplify, ManifoldMasks) {
  EXPECT_FALSE(manifold_mask(0));
  EXPECT_FALSE(manifold_mask(255));
  EXPECT_TRUE(manifold_mask(0b00000001));   // one corner
  EXPECT_TRUE(manifold_mask(0b00001111));   // a face
  EXPECT_FALSE(manifold_mask(0b00001001));  // two corners across a face
  EXPECT_FALSE(manifold_mask(0b10000001));  // across the cube
  EXPECT_FALSE(manifold_mask(0b01111110));  // the same, the other way round
  EXPECT_TRUE(manifold_mask(0b11111110));   // all but one corner
}

// The 3x3x3 grid: bit i + 3j + 9k.
std::uint32_t grid_bit(unsigned i, unsigned j, unsigned k) { return 1u << (i + 3 * j + 9 * k); }

TEST(Simplify, MidpointTest) {
  std::uint32_t all = (1u << 27) - 1;
  EXPECT_TRUE(midpoints_agree(0));
  EXPECT_TRUE(midpoints_agree(all));
  // Only the centre below: a bubble the corners cannot see.
  EXPECT_FALSE(midpoints_agree(grid_bit(1, 1, 1)));
  EXPECT_FALSE(midpoints_agree(all & ~grid_bit(1, 1, 1)));
  // Only an edge midpoint below.
  EXPECT_FALSE(midpoints_agree(grid_bit(1, 0, 0)));
  // Only a face centre below.
  EXPECT_FALSE(midpoints_agree(grid_bit(1, 1, 0)));
  // The half space x < 1 (points with i = 0 below, i = 1 on the plane counted above).
  std::uint32_t half = 0;
  for (unsigned j = 0; j < 3; ++j) {
    for (unsigned k = 0; k < 3; ++k) half |= grid_bit(0, j, k);
  }
  EXPECT_TRUE(midpoints_agree(half));
  // A corner and its edge midpoint below: the edge agrees with one end.
  EXPECT_TRUE(midpoints_agree(grid_bit(0, 0, 0) | grid_bit(1, 0, 0)));
}

// The merged solve: three perpendicular planes give their corner whatever
// the number of crossings on each; one plane leaves the mean of the points
// along it.
TEST(MergedQef, CornerOfThreePlanesAndMeanOnOnePlane) {
  Qef corner;
  const Vec3 c{0.3, -0.2, 0.1};
  for (int i = 0; i < 5; ++i) add_crossing(corner, {c.x, c.y + 0.1 * i, c.z - 0.05 * i}, {1, 0, 0});
  for (int i = 0; i < 3; ++i) add_crossing(corner, {c.x - 0.2 * i, c.y, c.z + 0.01 * i}, {0, 1, 0});
  for (int i = 0; i < 7; ++i) add_crossing(corner, {c.x + 0.01 * i, c.y - 0.1 * i, c.z}, {0, 0, 1});
  const VertexBox box{{-1, -1, -1}, {1, 1, 1}};
  const MergedSolution s = solve_merged_qef(corner, box);
  EXPECT_EQ(s.rank, 3u);
  EXPECT_NEAR(s.position.x, c.x, 1e-12);
  EXPECT_NEAR(s.position.y, c.y, 1e-12);
  EXPECT_NEAR(s.position.z, c.z, 1e-12);
  EXPECT_LT(s.error, 1e-12);

  Qef plane;
  add_crossing(plane, {0.1, 0.2, 0.5}, {0, 0, 1});
  add_crossing(plane, {0.3, 0.0, 0.5}, {0, 0, 1});
  const MergedSolution p = solve_merged_qef(plane, box);
  EXPECT_EQ(p.rank, 1u);
  EXPECT_NEAR(p.position.x, 0.2, 1e-12);
  EXPECT_NEAR(p.position.y, 0.1, 1e-12);
  EXPECT_NEAR(p.position.z, 0.5, 1e-12);

  // Two parallel planes 0.2 apart: the vertex between them, the error the
  // sum of squared distances.
  Qef slab;
  add_crossing(slab, {0, 0, 0.1}, {0, 0, 1});
  add_crossing(slab, {0, 0, -0.1}, {0, 0, 1});
  const MergedSolution m = solve_merged_qef(slab, box);
  EXPECT_NEAR(m.position.z, 0.0, 1e-12);
  EXPECT_NEAR(m.error, 0.02, 1e-12);
}

}  // namespace
}  // namespace karvex
