#pragma once

// A uniform grid of cubes over the box of a mesh's vertices, for bucketing
// triangles by their bounding boxes. Points map to cells clamped into the
// grid: a vertex moved after the grid was chosen may round an ulp (or more)
// past the box, and clamping keeps the map monotone, so a box's first and
// last cells still bound the cells it covers.

#include <algorithm>
#include <array>
#include <cmath>
#include <cstddef>
#include <cstdint>

#include "validity/self_intersections.h"

namespace karvex::validity {

struct ClampedGrid {
  using Cell = std::array<std::int64_t, 3>;

  std::array<double, 3> origin{};  // the lowest corner of the vertices' box
  std::array<double, 3> top{};     // its highest corner
  double size = 1.0;               // a cell's side
  Cell dims{1, 1, 1};              // cells per axis

  // The grid over the box of `mesh`'s vertices (at least one), one cell.
  static ClampedGrid around(const MeshView& mesh) {
    ClampedGrid grid;
    for (int a = 0; a < 3; ++a) grid.origin[a] = grid.top[a] = mesh.vertices[a];
    for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
      for (int a = 0; a < 3; ++a) {
        grid.origin[a] = std::min(grid.origin[a], mesh.vertices[3 * v + a]);
        grid.top[a] = std::max(grid.top[a], mesh.vertices[3 * v + a]);
      }
    }
    return grid;
  }

  // The box's longest side.
  double extent() const {
    double extent = 0.0;
    for (int a = 0; a < 3; ++a) extent = std::max(extent, top[a] - origin[a]);
    return extent;
  }

  // Cells of side `side`, as many per axis as cover the box.
  void set_size(double side) {
    size = side;
    for (int a = 0; a < 3; ++a) dims[a] = static_cast<std::int64_t>(std::floor((top[a] - origin[a]) / size)) + 1;
  }

  double cell_count() const {
    return static_cast<double>(dims[0]) * static_cast<double>(dims[1]) * static_cast<double>(dims[2]);
  }

  // The cell holding p, clamped into the grid. Below 1 the quotient's
  // floor is at most 0; from 1 on it is the quotient cut towards zero, so no
  // call into the maths library is needed (this runs per vertex and per
  // triangle corner in every scan of a mesh).
  Cell cell_of(const std::array<double, 3>& p) const {
    Cell c;
    for (int a = 0; a < 3; ++a) {
      const double q = (p[a] - origin[a]) / size;
      c[a] = q < 1.0 ? 0 : std::min(static_cast<std::int64_t>(std::min(q, 9.0e15)), dims[a] - 1);
    }
    return c;
  }

  // The cell's number, x slowest.
  std::uint64_t index(const Cell& c) const {
    return (static_cast<std::uint64_t>(c[0]) * static_cast<std::uint64_t>(dims[1]) + static_cast<std::uint64_t>(c[1])) *
               static_cast<std::uint64_t>(dims[2]) +
           static_cast<std::uint64_t>(c[2]);
  }
};

}  // namespace karvex::validity
