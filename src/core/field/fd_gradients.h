#pragma once

#include <span>
#include <vector>

#include "field/field.h"
#include "support/vec3.h"

namespace karvex {

// Central-difference gradients of the field at `points`, with step h, from one
// field call on the 6N stencil points (+x, -x, +y, -y, +z, -z of each point,
// in point order). Gradients returned by that call are ignored. k = 0.5 / h is
// formed once and each difference multiplied by it. Fewer than 6N returned
// values fail with the index-out-of-bounds invariant failure; an empty input
// makes no call.
std::vector<Vec3> estimate_gradients(Field& field, std::span<const Vec3> points, double h);

// Gradients from the regular tetrahedron round each point: one field call on
// the 4N points p + h * e_i (in point order, e_i = (1, -1, -1), (-1, -1, 1),
// (-1, 1, -1), (1, 1, 1)), and g = (sum_i f_i e_i) * (0.25 / h). Since the
// e_i sum to zero and sum_i e_i e_i^T = 4 I, the estimate is exact for linear
// fields; on smooth ones the pure second derivatives cancel and the mixed
// ones leave an error h * (H_yz, H_xz, H_xy) + O(h^2): with the extraction's
// step, a hundredth of a cell, a negligible turn of the normal, at two
// thirds of the central differences' points. Gradients returned by the call are ignored;
// too few values fail as above; an empty input makes no call.
std::vector<Vec3> estimate_gradients_tetrahedral(Field& field, std::span<const Vec3> points,
                                                 double h);

}  // namespace karvex
