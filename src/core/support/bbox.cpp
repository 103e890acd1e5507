#include "support/bbox.h"

#include <cmath>

#include "support/panic.h"

namespace karvex {

Cube cube_from_box(const BBox& box) {
  const double ex = box.max.x - box.min.x;
  const double ey = box.max.y - box.min.y;
  const double ez = box.max.z - box.min.z;
  // fmax ignores a NaN operand, so a NaN extent loses to any number.
  const double size = std::fmax(std::fmax(ex, ey), ez);
  Cube cube;
  cube.size = size;
  cube.origin.x = (box.min.x + box.max.x) * 0.5 - 0.5 * size;
  cube.origin.y = (box.min.y + box.max.y) * 0.5 - 0.5 * size;
  cube.origin.z = (box.min.z + box.max.z) * 0.5 - 0.5 * size;
  return cube;
}

const CubeEdge& cube_edge(std::size_t edge) {
  if (edge >= CUBE_EDGES.size()) fail_index(CUBE_EDGES.size(), edge);
  return CUBE_EDGES[edge];
}

}  // namespace karvex
