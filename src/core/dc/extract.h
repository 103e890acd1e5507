#pragma once

#include <array>
#include <cstdint>
#include <vector>

#include "dc/stage_timing.h"
#include "field/field.h"
#include "octree/mod.h"
#include "support/vec3.h"

namespace karvex {

// The extracted mesh: vertices in output order and triangles of three vertex
// numbers (below vertices.size()) in winding order; each triangle's normal
// (q - p) x (r - p) points to where the field is at or above iso_value.
struct Mesh {
  std::vector<Vec3> vertices;
  std::vector<std::array<std::uint64_t, 3>> faces;
};

// Dual Contouring of the finished octree, keeping the largest connected
// component (or every piece: controls.keep_all). Field errors propagate
// unchanged; invariant failures (also those raised on worker threads) throw
// InvariantFailure on the calling thread; whatever the hooks' progress() or
// poll() throw propagates unchanged once the workers have stopped. The
// stages reported to the hooks are listed in extract.cpp.
Mesh extract_surface(const Octree& tree, Field& field, double angle_threshold_deg);
Mesh extract_surface(const Octree& tree, Field& field, double angle_threshold_deg,
                     const ExtractControls& controls);

}  // namespace karvex
