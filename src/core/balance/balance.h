#pragma once

#include <cstdint>

#include "field/field.h"
#include "octree/corner_cache.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"

namespace karvex {

// Face-balance passes, then edge-closure passes, one sampling batch per pass.
// Returns the evaluations charged by its batches. Each pass is a progress
// stage, "balancing pass k" or "edge closure pass k", counting its marked
// cells twice (gathering corners, splitting). The per-cell work (examining
// leaves, walking the cells to refine, making children) runs on `pool`; the
// field is called on the calling thread only, and batches, tree and count
// are the same for any number of workers.
std::uint64_t balance_octree(Octree& tree, CornerCache& cache, Field& field,
                             WorkerPool& pool = global_pool());

// The edge-closure passes alone: refines every cell that shares a
// sign-changing edge with a surface leaf down to that leaf's depth. Used at
// the end of balancing and after surface leaves are refined to max_depth.
std::uint64_t close_sign_changing_edges(Octree& tree, CornerCache& cache, Field& field,
                                        WorkerPool& pool = global_pool());

}  // namespace karvex
