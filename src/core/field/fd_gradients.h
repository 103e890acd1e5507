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

}  // namespace karvex
