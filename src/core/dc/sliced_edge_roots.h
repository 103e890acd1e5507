#pragma once

#include <cstddef>
#include <span>
#include <vector>

#include "dc/crossings.h"
#include "dc/edge_roots.h"
#include "dc/shared_crossings.h"
#include "dc/surface_cells.h"
#include "field/field.h"
#include "pool/worker_pool.h"

namespace karvex {

// Distinct crossings searched together: one slice's searches and field
// batches are a few megabytes, and a batch this size stays in a volume
// field's held buffers from one call to the next.
inline constexpr std::size_t kRootSlice = std::size_t{1} << 14;

// locate_edge_roots for a pointwise field (Field::pointwise), a slice of
// `slice` (at least 1) distinct crossings at a time: each slice's searches
// run to the end (their rounds are field calls of that slice's points
// alone), and the crossings a search leaves without a gradient take the
// normal accumulate_hermite_roots would give them (estimate_edge_normals,
// step h, one call per slice), so no search record or batch exists for the
// whole surface. `edges` holds each distinct crossing's first crossing
// (first_crossing_refs), of `cells`, which are placed a slice at a time
// (a NumberedCells over their addresses holds no geometry per cell). A field that answers each point on its
// own gives the same bits as locate_edge_roots followed by that estimate.
// Returns every distinct crossing's parameter and gradient with
// has_gradient set (slope and value left empty) and sampled_gradients;
// `samples` counts the root search's points. Stored corner `values` are
// reduced to each search's two starting values and freed before the first
// field call; values read by lattice point are read a slice at a time.
// Errors as for locate_edge_roots.
EdgeRoots locate_edge_roots_in_slices(WorkerPool& pool, Field& field,
                                      std::span<const CrossingRef> edges,
                                      const NumberedCells& cells,
                                      CellCornerValues values, double iso_value,
                                      double h, std::size_t slice = kRootSlice);

}  // namespace karvex
