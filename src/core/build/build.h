#pragma once

#include <cstdint>

#include "field/field.h"
#include "octree/mod.h"
#include "pool/worker_pool.h"
#include "support/bbox.h"

namespace karvex {

struct BuildOptions {
  std::uint8_t min_depth = 3;
  std::uint8_t max_depth = 7;
  // true: balance after refinement; false: refine every surface leaf to
  // max_depth (followed by the edge-closure passes).
  bool balance = false;
  double iso_value = 0.0;
  double angle_threshold_deg = 30.0;
  // true: a min_depth cell without a sign change is kept apart from its
  // collapsed neighbours when its samples cannot rule the surface out
  // (homogeneous_cell_needs_split), so that refinement tests it: a feature
  // between the samples of the initial grid is then found. false: regions of
  // the initial grid wholly on one side collapse untested.
  bool find_small = false;
  // The pool that runs the per-cell work of construction and balancing
  // (null: the process-wide pool). The field is only ever called on the
  // calling thread, and the result is the same for any number of workers.
  WorkerPool* pool = nullptr;
};

struct BuildResult {
  Octree octree;
  std::uint64_t evaluation_count = 0;
};

// Builds the octree of `field` over the cube of `box`: initial grid at
// min_depth, uniform tree with collapse, criterion-driven refinement level by
// level, then either refinement of surface leaves or balancing. Field errors
// propagate unchanged; invariant failures throw InvariantFailure. Depths must
// satisfy min_depth <= max_depth <= 31 (callers validate).
BuildResult build_octree(Field& field, const BBox& box, const BuildOptions& options);

}  // namespace karvex
