#pragma once

#include <cstdint>
#include <vector>

#include "dc/mesh.h"
#include "support/vec3.h"

namespace karvex {

// The triangles a search for pairs that meet needs when only pairs with a
// marked triangle count: the marked ones and every other whose closed
// bounding box may overlap a marked one's. Two triangles that meet share a
// point, so their boxes overlap: the pairs found among these are those found
// in the whole mesh. Boxes are filed in a grid of cubes as wide as the
// widest marked box; a box is kept when it reaches a cube a marked box
// reaches (the cube of a shared point is one). Returns the kept triangles'
// numbers in increasing order, or every triangle's when the marked ones are
// a quarter of the mesh or more or the grid cannot be made (then filtering
// saves little).
std::vector<std::uint64_t> fold_candidates(const std::vector<Vec3>& positions,
                                           const std::vector<Triangle>& triangles,
                                           const std::vector<std::uint8_t>& marked);

}  // namespace karvex
