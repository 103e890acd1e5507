#pragma once

#include <cstdint>
#include <vector>

#include "dc/surface_cells.h"
#include "eval/field.h"
#include "octree/mod.h"
#include "pool/worker_pool.h"
#include "vec3.h"

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

// Every sign-changing edge of every cell, ordered by cell index and within a
// cell by edge number: the crossing order of every later array. An edge
// crosses when (values[u] < iso_value) differs from (values[v] < iso_value);
// a NaN value counts as not below. Runs on `pool`.
std::vector<EdgeCrossing> find_crossings(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                         double iso_value);

// Locates the surface on every crossing by eight bisection steps, each one
// field call with all crossings in order; starts at the midpoint and returns
// the midpoint of the final interval (1/256 of the edge), which is not
// evaluated. Field errors propagate; too few values fail with the
// index-out-of-bounds invariant failure.
std::vector<Vec3> locate_crossings(Field& field, const std::vector<EdgeCrossing>& crossings,
                                   double iso_value);

// Unit normals at the located points: one field call whose values are
// unused; its gradients if it returned any, else central differences with
// step (size / 2^max_depth) * 0.01. A gradient no longer than 1e-12 (or NaN)
// gives (0, 0, 1). Too few gradient rows fail with the index-out-of-bounds
// invariant failure.
std::vector<Vec3> crossing_normals(Field& field, const std::vector<Vec3>& points,
                                   const Octree& tree);

// The finite-difference step of extraction: (size / 2^max_depth) * 0.01,
// 2^max_depth formed as a 32-bit unsigned integer.
double gradient_step(const Octree& tree);

}  // namespace karvex
