#pragma once

#include <cstdint>

#include "field/field.h"
#include "octree/octree.h"
#include "support/bbox.h"
#include "support/meshing_options.h"

namespace karvex {

struct BuildResult {
  Octree octree;
  std::uint64_t evaluation_count = 0;
};

// Builds the octree of `field` over the cube of `box`: initial grid at
// min_depth, uniform tree with collapse, criterion-driven refinement level by
// level, then either refinement of surface leaves or balancing
// (options.adaptive). Reads min_depth, max_depth, level, sharp_angle,
// adaptive, find_small and run.pool; the per-cell work runs on that pool and
// the field is only ever called on the calling thread, so the result is the
// same for any number of workers. Field errors propagate unchanged;
// invariant failures throw InvariantFailure. The options must pass
// check_meshing_options (callers check).
BuildResult build_octree(Field& field, const BBox& box, const MeshingOptions& options);

}  // namespace karvex
