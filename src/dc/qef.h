#pragma once

#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "vec3.h"

namespace karvex {

// Quadratic error function of one vertex slot (Ju et al. 2002, dual
// contouring of Hermite data): the normal equations A^T A x = A^T b of the
// tangent planes n . x = n . p at its crossings, each plane with weight 1,
// plus a pull of weight 1e-4 towards every crossing point, which keeps the
// matrix positive definite once count >= 1.
struct Qef {
  double a00 = 0.0, a01 = 0.0, a02 = 0.0, a11 = 0.0, a12 = 0.0, a22 = 0.0;  // upper triangle
  double b0 = 0.0, b1 = 0.0, b2 = 0.0;
  std::uint32_t count = 0;  // crossings added
};

// One Qef per slot, each crossing added to the slot of its cell and group
// in crossing order (so the sums are reproducible). Fewer points or normals
// than crossings, or a crossing group beyond its cell's group count, fail
// with the index-out-of-bounds invariant failure.
std::vector<Qef> accumulate_qefs(const std::vector<EdgeCrossing>& crossings,
                                 const std::vector<Vec3>& points, const std::vector<Vec3>& normals,
                                 const VertexSlots& slots);

// 1 for a slot two of whose crossing normals have a dot product below
// `cos_threshold` (a NaN product does not count), else 0. Expects the
// crossings in crossing order (grouped by cell).
std::vector<std::uint8_t> mark_sharp_slots(const std::vector<EdgeCrossing>& crossings,
                                           const std::vector<Vec3>& normals,
                                           const VertexSlots& slots, double cos_threshold);

// Solves A x = b of a Qef with count >= 1 by elimination without pivoting,
// in a fixed order of operations; no truncation, no fallback.
Vec3 solve_qef(const Qef& q);

}  // namespace karvex
