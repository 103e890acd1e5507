#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "dc/cell_corner_values.h"
#include "dc/crossings.h"
#include "dc/surface_cells.h"
#include "pool/worker_pool.h"
#include "support/unfilled_allocator.h"

namespace karvex {

// Which crossings are the same crossing seen from different cells. A
// sign-changing lattice edge belongs to up to four surface cells of its
// depth, and each of them lists it as a crossing of its own; locating the
// surface on it and taking its normal needs doing only once.
//
// Two crossings share when their edges' endpoints are the same doubles, bit
// for bit (each placed from its own cell: SurfaceCell::corner), and their
// values at the start of the edge are the same double. Then every point the
// bisection asks for, and the located point, are the same doubles for both,
// so a field whose value at a point does not depend on the rest of the batch
// gives both the same answers: sharing changes no result. Endpoints that
// differ in the last bit (cell corners placed by rounded sums) do not share.
//
// The distinct crossings are numbered in the order of their first crossing
// in crossing order, so the numbering depends neither on hashing nor on the
// number of workers.
struct SharedCrossings {
  UnfilledVector<std::uint32_t> distinct_of;  // per crossing: the number of its distinct crossing
  UnfilledVector<std::uint32_t> first;        // per distinct crossing: its first crossing

  std::size_t distinct_count() const { return first.size(); }
};

// Finds the sharing among `crossings` (find_crossing_refs over `cells`, in
// its order; `values` their corner values) by looking up, for each cell,
// the other cells of its depth around its crossings' edges (`lookup` over
// `cells`). Values read by lattice point are the same for the same corner
// and are not compared. Runs on `pool`. More than 2^32 - 1 crossings, or
// crossings that are not one per sign-changing edge of each cell's mask in
// that order, are invariant failures.
SharedCrossings share_crossings(WorkerPool& pool, const CrossingRefs& crossings,
                                const std::vector<SurfaceCell>& cells,
                                const CellCornerValues& values, const CellLookup& lookup);

// The same sharing without the list of crossings: their order is that of
// find_crossing_refs over `cells`, which the cells' masks give. For callers
// that need only the distinct crossings' first crossings (below), and spare
// the list of every crossing at the stage's peak.
SharedCrossings share_crossings(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                const CellCornerValues& values, const CellLookup& lookup);

// The same from the cells' addresses and masks (`placer` places them again,
// the same bits), with `lookup` over them: the list with geometry can be
// freed before the index and the sharing are made.
SharedCrossings share_crossings(WorkerPool& pool, const UnfilledVector<CellSigns>& signs,
                                const CellPlacer& placer, const CellCornerValues& values,
                                const CellLookup& lookup);

// Per distinct crossing, its first crossing (crossings[shared.first[d]]):
// what locating the distinct crossings reads, 8 bytes each, so that the
// list of every crossing can be freed first. Made on `pool`.
UnfilledVector<CrossingRef> first_crossing_refs(WorkerPool& pool, const CrossingRefs& crossings,
                                                const SharedCrossings& shared);

// The same made from the cells (`shared` found over find_crossing_refs'
// order for them), the same crossings bit for bit.
UnfilledVector<CrossingRef> first_crossing_refs(WorkerPool& pool,
                                                const std::vector<SurfaceCell>& cells,
                                                const SharedCrossings& shared);
UnfilledVector<CrossingRef> first_crossing_refs(WorkerPool& pool, const UnfilledVector<CellSigns>& signs,
                                                const SharedCrossings& shared);

// No sharing: every crossing its own distinct crossing, in order. For
// callers (tests, plain forms) that locate every crossing on its own.
SharedCrossings unshared_crossings(std::size_t count);

}  // namespace karvex
