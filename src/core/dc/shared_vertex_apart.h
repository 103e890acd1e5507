#pragma once

#include <array>

#include "support/vec3.h"

namespace karvex {

// Whether two triangles that share the vertex `v` and no other certainly
// meet nowhere else: a plane through v has the other corners of one
// (`p`) strictly on one side and those of the other (`q`) strictly on the
// other side, so that each triangle but v lies in its open half. The
// planes tried hold the sum of the two normals (`p_normal`, `q_normal`,
// any length, the same way round as a mesh's are) and a direction between
// an edge of each from v: the plane across the facing edges that parts
// triangles lying side by side on a surface, however it curves (the case
// their own planes do not settle). Any normals leave the answer sound:
// each side is judged with a margin a thousand times the rounding of the
// heights, so true is a proof; false decides nothing (no such plane was
// found, or a NaN).
bool apart_but_at(const Vec3& v, const std::array<Vec3, 2>& p, const Vec3& p_normal,
                  const std::array<Vec3, 2>& q, const Vec3& q_normal);

}  // namespace karvex
