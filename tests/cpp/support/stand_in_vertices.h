#pragma once

// Vertices standing in for the solved ones in the faces' tests: each surface
// cell gets as many vertices as its sign pattern has components, at distinct
// points near its first corner, so that triangles can be told apart and
// compared; where exactly they sit does not matter to the faces.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/surface_cells.h"
#include "support/vec3.h"

namespace karvex::testing {

struct StandInVertices {
  std::vector<std::uint64_t> first;  // each cell's first vertex
  std::vector<Vec3> positions;
};

inline StandInVertices stand_in_vertices(const std::vector<SurfaceCell>& cells) {
  StandInVertices out;
  out.first.resize(cells.size());
  for (std::size_t i = 0; i < cells.size(); ++i) {
    out.first[i] = out.positions.size();
    for (unsigned j = 0; j < COMPONENT_TABLE[cells[i].sign_mask][8]; ++j) {
      const Vec3 c = cells[i].corner(0);
      out.positions.push_back({c.x + 0.1 * j, c.y + 0.01 * double(i % 7), c.z});
    }
  }
  return out;
}

}  // namespace karvex::testing
