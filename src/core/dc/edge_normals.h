#pragma once

#include <cstdint>
#include <span>
#include <vector>

#include "field/field.h"
#include "support/vec3.h"

namespace karvex {

// A located crossing whose normal is still to be estimated: its point, its
// edge (p_v - p_u, along one axis), and what its root finding left: the
// slope df/dt across its final bracket and the value (field minus iso_value) at
// the point on that bracket's secant; a NaN slope when there is none.
struct EdgeNormalQuery {
  Vec3 point;
  Vec3 edge;
  double slope = 0.0;
  double value = 0.0;
};

// Gradients at the queried crossings, one field call for all of them, its
// points in query order. A crossing with a slope takes two points: the
// component along its edge is the slope over the edge's length, and the two
// across it forward differences p + h * e_j against the secant's value at p
// (the bracket is at most 1/512 of the edge wide, so that value is the
// field's to the bracket's width squared). Without a slope it takes the four
// points of the regular tetrahedron round p (estimate_gradients_tetrahedral's
// form). Both are exact for linear fields; on smooth ones the error is of
// order h times the second derivatives. Gradients the call returns are
// ignored; too few values fail with the index-out-of-bounds invariant
// failure; no queries make no call. `samples` receives the points asked.
std::vector<Vec3> estimate_edge_normals(Field& field, std::span<const EdgeNormalQuery> queries,
                                        double h, double iso_value, std::uint64_t& samples);

}  // namespace karvex
