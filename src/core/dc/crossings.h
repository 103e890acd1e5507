#pragma once

#include <cmath>
#include <cstdint>
#include <vector>

#include "dc/surface_cells.h"
#include "field/field.h"
#include "octree/mod.h"
#include "pool/worker_pool.h"
#include "support/bbox.h"
#include "support/vec3.h"

namespace karvex {

// A sign-changing cube edge of one surface cell. An edge shared by several
// cells gives one crossing per cell; crossings are never merged.
struct EdgeCrossing {
  Vec3 p_u;                    // position of the edge's lower corner u
  Vec3 p_v;                    // position of its upper corner v
  double f_u = 0.0;            // values[u] - iso_value
  std::uint64_t cell = 0;      // cell index
  std::uint8_t edge = 0;       // 0..11, numbered as in CUBE_EDGES
  std::uint8_t component = 0;  // group, in the cell's row, of the endpoint whose mask bit is set
};

// The same crossing in 8 bytes instead of 72: its cell, edge and group. The
// corners, the value at u and so every point on the edge follow from the
// cell (crossing_point). Extraction keeps millions of crossings through
// several passes over them, and their memory traffic is what those passes
// cost.
struct CrossingRef {
  std::uint32_t cell = 0;
  std::uint8_t edge = 0;
  std::uint8_t component = 0;
  bool below_at_u = false;  // f_u < 0: the bisection's sign test, kept at hand
};

// Every sign-changing edge of every cell, ordered by cell index and within a
// cell by edge number: the crossing order of every later array. An edge
// crosses when (values[u] < iso_value) differs from (values[v] < iso_value);
// a NaN value counts as not below. Runs on `pool`. More than 2^32 - 1 cells
// is an invariant failure.
std::vector<CrossingRef> find_crossing_refs(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                            double iso_value);

// The same crossings in full.
std::vector<EdgeCrossing> find_crossings(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                         double iso_value);

// The point at parameter t of the edge from p_u to p_v: (p_v - p_u) * t + p_u
// per axis, in that order.
inline Vec3 edge_point(const Vec3& p_u, const Vec3& p_v, double t) {
  return {(p_v.x - p_u.x) * t + p_u.x, (p_v.y - p_u.y) * t + p_u.y, (p_v.z - p_u.z) * t + p_u.z};
}

// The point at parameter t of a crossing's edge, its corners placed from the
// cell as find_crossings places them.
inline Vec3 crossing_point(const SurfaceCell& cell, const CrossingRef& c, double t) {
  const CubeEdge& e = CUBE_EDGES[c.edge];
  return edge_point(cell.corner(e.u), cell.corner(e.v), t);
}

// Locates the surface on every crossing by eight bisection steps, each one
// field call with all crossings in order; starts at the midpoint and returns
// the midpoint of the final interval (1/256 of the edge), which is not
// evaluated. Field errors propagate; too few values fail with the
// index-out-of-bounds invariant failure.
std::vector<Vec3> locate_crossings(Field& field, const std::vector<EdgeCrossing>& crossings,
                                   double iso_value);

// The same bisection for crossings given by reference (found with the same
// iso_value). Returns, per crossing,
// the final bracket's lower end in units of 1/256 of the edge: the located
// point is crossing_point(cell, c, located_parameter(lower end)).
std::vector<std::uint8_t> locate_crossing_refs(Field& field,
                                               const std::vector<CrossingRef>& crossings,
                                               const std::vector<SurfaceCell>& cells,
                                               double iso_value);

// The edge parameter of the located point: the midpoint of the final bracket
// [lower, lower + 1] / 256, exactly as (lo + hi) * 0.5 computes it.
inline double located_parameter(std::uint8_t lower) {
  return static_cast<double>(2u * lower + 1u) * (1.0 / 512.0);
}

// Unit normals at the located points: one field call whose values are
// unused; its gradients if it returned any, else central differences with
// step (size / 2^max_depth) * 0.01. A gradient no longer than 1e-12 (or NaN)
// gives (0, 0, 1). Too few gradient rows fail with the index-out-of-bounds
// invariant failure.
std::vector<Vec3> crossing_normals(Field& field, const std::vector<Vec3>& points,
                                   const Octree& tree);

// The unit normal of one gradient, as crossing_normals makes it.
inline Vec3 normal_from_gradient(const Vec3& g) {
  const double length = std::sqrt(g.x * g.x + g.y * g.y + g.z * g.z);
  return length > 1e-12 ? Vec3{g.x / length, g.y / length, g.z / length} : Vec3{0.0, 0.0, 1.0};
}

// The finite-difference step of extraction: (size / 2^max_depth) * 0.01,
// 2^max_depth formed as a 32-bit unsigned integer.
double gradient_step(const Octree& tree);

}  // namespace karvex
