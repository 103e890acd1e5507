#include <cmath>
#include <limits>
#include <numbers>
#include <string>
#include <vector>

#include <gtest/gtest.h>

#include "dc/projection.h"
#include "dc/qef.h"
#include "dc/vertex_placement.h"
#include "fields.h"
#include "pool/worker_pool.h"
#include "reference_crossings.h"
#include "support/panic.h"

namespace karvex {
namespace {

using testing::accumulate_qefs;
using testing::EdgeCrossing;
using testing::FunctionField;
using testing::mark_sharp_slots;

// Unit cells at depth 2 of a cube of size 4, so the sharp margin is 0.25.
SurfaceCell cell_at(Vec3 min, std::uint8_t mask) {
  SurfaceCell cell;
  cell.address.d = 2;
  cell.cell_min = min;
  cell.cell_side = 1.0;
  cell.sign_mask = mask;
  return cell;
}

struct Hermite {
  std::vector<EdgeCrossing> crossings;
  std::vector<Vec3> points;
  std::vector<Vec3> normals;
  Hermite& add(std::uint64_t cell, std::uint8_t component, Vec3 p, Vec3 n) {
    EdgeCrossing c;
    c.cell = cell;
    c.component = component;
    crossings.push_back(c);
    points.push_back(p);
    normals.push_back(n);
    return *this;
  }
};

Vec3 solve_one_cell(const Hermite& h) {
  const std::vector<SurfaceCell> cells{cell_at({0, 0, 0}, 1)};
  const VertexSlots slots = assign_vertex_slots(cells);
  const auto jobs = make_solve_jobs(cells, slots, {0}, 4.0);
  WorkerPool pool(1);
  const auto solutions =
      solve_vertices(pool, jobs, accumulate_qefs(h.crossings, h.points, h.normals, slots));
  EXPECT_TRUE(solutions[0].solved);
  return solutions[0].position;
}

TEST(VertexSolve, PlaneGivesTheMeanAndThreePlanesTheirCorner) {
  Hermite plane;
  plane.add(0, 0, {0.1, 0.2, 0.3}, {0, 0, 1}).add(0, 0, {0.7, 0.2, 0.3}, {0, 0, 1});
  plane.add(0, 0, {0.4, 0.9, 0.3}, {0, 0, 1});
  const Vec3 mean = solve_one_cell(plane);
  EXPECT_NEAR(mean.x, 0.4, 1e-12);
  EXPECT_NEAR(mean.y, 1.3 / 3.0, 1e-12);
  EXPECT_NEAR(mean.z, 0.3, 1e-12);

  Hermite corner;  // the planes x, y, z = 0.6, two crossings each
  corner.add(0, 0, {0.6, 0.1, 0.2}, {1, 0, 0}).add(0, 0, {0.6, 0.3, 0.0}, {1, 0, 0});
  corner.add(0, 0, {0.2, 0.6, 0.1}, {0, 1, 0}).add(0, 0, {0.0, 0.6, 0.4}, {0, 1, 0});
  corner.add(0, 0, {0.1, 0.4, 0.6}, {0, 0, 1}).add(0, 0, {0.3, 0.2, 0.6}, {0, 0, 1});
  const Vec3 x = solve_one_cell(corner);
  // Only the 1e-4 pull towards the points, all below the corner, moves it.
  for (int axis = 0; axis < 3; ++axis) {
    EXPECT_NEAR(x[axis], 0.6, 1e-3);
    EXPECT_LT(x[axis], 0.6);
  }
}

TEST(VertexSolve, SharpSlotsGetAQuarterCellMoreRoom) {
  const double deg = std::numbers::pi / 180;
  Hermite h;
  h.add(0, 0, {}, {1, 0, 0}).add(0, 0, {}, {std::cos(45 * deg), std::sin(45 * deg), 0});
  h.add(1, 0, {}, {1, 0, 0}).add(1, 0, {}, {std::cos(20 * deg), std::sin(20 * deg), 0});
  h.add(2, 0, {}, {1, 0, 0}).add(2, 1, {}, {0, 1, 0});  // 90 degrees, but different groups
  const std::vector<SurfaceCell> cells{cell_at({0, 0, 0}, 1), cell_at({1, 0, 0}, 1),
                                       cell_at({2, 0, 0}, 6)};
  const VertexSlots slots = assign_vertex_slots(cells);
  const auto sharp = mark_sharp_slots(h.crossings, h.normals, slots, std::cos(30 * deg));
  EXPECT_EQ(sharp, (std::vector<std::uint8_t>{1, 0, 0, 0}));

  const auto jobs = make_solve_jobs(cells, slots, sharp, 4.0);
  ASSERT_EQ(jobs.size(), 4u);
  EXPECT_EQ(jobs[0].clamp.lo, (Vec3{-0.25, -0.25, -0.25}));
  EXPECT_EQ(jobs[0].clamp.hi, (Vec3{1.25, 1.25, 1.25}));
  EXPECT_EQ(jobs[1].clamp.lo, (Vec3{1, 0, 0}));
  EXPECT_EQ(jobs[3].slot, 3u);
  EXPECT_EQ(jobs[3].cell.hi, (Vec3{3, 1, 1}));
}

TEST(VertexSolve, UnsolvedWithoutCrossingsAndBoxesChecked) {
  Qef q;
  q.count = 1;
  q.a00 = q.a11 = q.a22 = 1;
  std::vector<VertexSolveJob> jobs(3);
  for (std::uint64_t i = 0; i < 3; ++i) jobs[i].slot = i;
  jobs[0].clamp = {{1, 1, 1}, {0, 0, 0}};  // no crossings: the box is never looked at
  jobs[1].clamp = {{0, 0, 0}, {1, 1, 1}};
  jobs[2].clamp = {{0, 2, 0}, {1, 1, std::numeric_limits<double>::quiet_NaN()}};  // y first
  WorkerPool pool(2);
  try {
    solve_vertices(pool, jobs, {Qef{}, q, q});
    FAIL();
  } catch (const InvariantFailure& e) {
    EXPECT_EQ(std::string(e.what()), "min > max, or either was NaN. min = 2.0, max = 1.0");
  }
  jobs.pop_back();
  const auto solutions = solve_vertices(pool, jobs, {Qef{}, q});
  EXPECT_FALSE(solutions[0].solved);
  EXPECT_TRUE(solutions[1].solved);
}

TEST(EmitVertices, UnsolvedSlotsOfAVertexCellSitAtTheCentre) {
  const std::vector<SurfaceCell> cells{cell_at({0, 0, 0}, 6), cell_at({1, 0, 0}, 1),
                                       cell_at({2, 0, 0}, 1)};
  std::vector<VertexSolution> solutions(4);
  solutions[0] = {true, {0.2, 0.3, 0.4}, {{-1, -1, -1}, {2, 2, 2}}};
  solutions[3] = {true, {2.5, 0.5, 0.5}, {{2, 0, 0}, {3, 1, 1}}};
  const EmittedVertices out = emit_vertices(cells, assign_vertex_slots(cells), solutions);
  EXPECT_EQ(out.cell_first_vertex, (UnfilledVector<std::uint64_t>{0, kNoVertex, 2}));
  EXPECT_EQ(out.positions, (std::vector<Vec3>{{0.2, 0.3, 0.4}, {0.5, 0.5, 0.5}, {2.5, 0.5, 0.5}}));
  EXPECT_EQ(out.boxes[0].lo, (Vec3{-1, -1, -1}));
  EXPECT_EQ(out.boxes[1].hi, (Vec3{1, 1, 1}));  // the unsolved slot gets the cell's box
}

TEST(ProjectVertices, NewtonStepsStayInTheirBoxes) {
  const Octree tree = make_octree(BBox{{0, 0, 0}, {4, 4, 4}}, 0, 4, 0.0);
  WorkerPool pool(2);
  const VertexBox unit{{0, 0, 0}, {1, 1, 1}};
  // Exact gradients: onto x = 0.25 in one step unless the box stops it; three calls.
  FunctionField plane([](const Vec3& p) { return p.x - 0.25; },
                      [](const Vec3&) { return Vec3{1, 0, 0}; });
  std::vector<Vec3> positions{{0.75, 0.5, 0.5}, {0.75, 0.5, 0.5}};
  project_vertices(pool, plane, positions, {unit, {{0.4, 0, 0}, {1, 1, 1}}}, tree);
  EXPECT_EQ(positions, (std::vector<Vec3>{{0.25, 0.5, 0.5}, {0.4, 0.5, 0.5}}));
  EXPECT_EQ(plane.batch_sizes, (std::vector<std::size_t>{2, 2, 2}));

  // A vanishing gradient leaves the vertex exactly in place, even outside its box.
  FunctionField flat([](const Vec3&) { return 1.0; },
                     [](const Vec3&) { return Vec3{1e-11, 0, 0}; });
  positions = {{2, 2, 2}};
  project_vertices(pool, flat, positions, {unit}, tree);
  EXPECT_EQ(positions[0], (Vec3{2, 2, 2}));

  // No gradients: one value call, one finite-difference call, one step.
  FunctionField values_only([](const Vec3& p) { return p.x - 0.25; });
  positions = {{0.75, 0.5, 0.5}};
  project_vertices(pool, values_only, positions, {unit}, tree);
  EXPECT_EQ(values_only.batch_sizes, (std::vector<std::size_t>{1, 6}));
  EXPECT_NEAR(positions[0].x, 0.25, 1e-12);

  EXPECT_THROW(project_vertices(pool, plane, positions, {{{0, 1, 0}, {1, 0, 1}}}, tree),
               InvariantFailure);
}

}  // namespace
}  // namespace karvex
