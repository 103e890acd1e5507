#pragma once

// The plain forms of the Hermite stages of extraction, for tests only. The
// production path (dc/crossings.h, dc/hermite.h) keeps crossings by
// reference, brackets as bytes and folds normals, quadratic error functions
// and sharp flags into one pass; these keep every crossing in full and every
// intermediate array, one stage per function, so that tests can check each
// stage alone and compare the fast path against them result for result and
// field call for field call.

#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/qef.h"
#include "dc/surface_cells.h"
#include "field/field.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/vec3.h"

namespace karvex::testing {

// A sign-changing cube edge of one surface cell, in full. An edge shared by
// several cells gives one crossing per cell; crossings are never merged.
struct EdgeCrossing {
  Vec3 p_u;                    // position of the edge's lower corner u
  Vec3 p_v;                    // position of its upper corner v
  double f_u = 0.0;            // values[u] - iso_value
  std::uint64_t cell = 0;      // cell index
  std::uint8_t edge = 0;       // 0..11, numbered as in CUBE_EDGES
  std::uint8_t component = 0;  // group, in the cell's row, of the endpoint whose mask bit is set
};

// The crossings of find_crossing_refs, in the same order, in full.
std::vector<EdgeCrossing> find_crossings(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                         const std::vector<CornerValues>& values,
                                         double iso_value);

// Locates the surface on every crossing by eight bisection steps, each one
// field call with all crossings in order: bracket [lo, hi] = [0, 1], midpoint
// t = (lo + hi) * 0.5, keep the half whose ends differ in sign (NaN counts as
// not below). Returns the midpoint of the final bracket, not evaluated. Too
// few values fail with the index-out-of-bounds invariant failure.
std::vector<Vec3> locate_crossings(Field& field, const std::vector<EdgeCrossing>& crossings,
                                   double iso_value);

// Unit normals at the located points: one field call whose values are
// unused; its gradients if it returned any, else central differences with
// step gradient_step(tree). Short gradients fail with the
// index-out-of-bounds invariant failure at the first missing row.
std::vector<Vec3> crossing_normals(Field& field, const std::vector<Vec3>& points,
                                   const Octree& tree);

// One Qef per slot, each crossing added (add_crossing) to the slot of its
// cell and group in crossing order. Short points or normals, or a group
// beyond its cell's group count, fail with the index-out-of-bounds
// invariant failure.
std::vector<Qef> accumulate_qefs(const std::vector<EdgeCrossing>& crossings,
                                 const std::vector<Vec3>& points, const std::vector<Vec3>& normals,
                                 const VertexSlots& slots);

// 1 for a slot two of whose crossing normals disagree (normals_disagree),
// else 0. Expects the crossings grouped by cell.
std::vector<std::uint8_t> mark_sharp_slots(const std::vector<EdgeCrossing>& crossings,
                                           const std::vector<Vec3>& normals,
                                           const VertexSlots& slots, double cos_threshold);

}  // namespace karvex::testing
