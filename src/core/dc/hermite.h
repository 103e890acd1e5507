#pragma once

#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/edge_roots.h"
#include "dc/qef.h"
#include "dc/shared_crossings.h"
#include "dc/surface_cells.h"
#include "field/field.h"
#include "octree/large_block_allocator.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"

namespace karvex {

// What the Hermite data of the crossings (located points and normals) gives
// the vertex slots: one Qef per slot, and its sharp flag.
struct SlotQefs {
  std::vector<Qef> qefs;              // empty when plane_qefs are filled instead
  // Filled by accumulate_hermite_roots for solving only; a large block of
  // its own, returned to the system when freed (not kept in the heap for
  // the stages after it).
  LargeVector<PlaneQef> plane_qefs;
  std::vector<std::uint8_t> sharp;
  // Per slot, the sum of its crossings' gradients (unnormalised): filled by
  // accumulate_hermite_roots only, for projection along it.
  std::vector<Vec3> gradient_sums;
};

// The Hermite data of the crossings given by reference with their located
// brackets (locate_crossing_refs), gathered into the slots in one pass. One
// field call on the located points in crossing order (written straight into
// its input), whose values are unused; its gradients, or central
// differences with step gradient_step(tree) when it returns none, give the
// unit normals (normal_from_gradient). Each normal and its point are added
// to the Qef of the crossing's slot in crossing order, and compared with the
// earlier normals of the same cell and group for the sharp flag
// (normals_disagree with cos_threshold). No array of points or normals is
// kept: with millions of crossings they would be most of the memory traffic.
// tests/cpp/support/reference_crossings.h holds the plain forms, one array
// per stage, that the tests compare this against.
//
// Field errors propagate. Too few gradient rows, or a crossing group beyond
// its cell's group count, fail with the index-out-of-bounds invariant
// failure. The crossings and brackets are taken by value (moved in by the
// driver), so they are freed when it returns.
SlotQefs accumulate_hermite_data(Field& field, CrossingRefs crossings,
                                 std::vector<std::uint8_t> located,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const Octree& tree, double cos_threshold);

// The same for crossings that share (shared_crossings.h), with `located`
// holding one lower end per distinct crossing (the shared form of
// locate_crossing_refs): the field call, and the central differences, take
// one point per distinct crossing, in their order; every crossing still adds
// its own point and its distinct crossing's normal to its slot, in crossing
// order, so the Qefs and sharp flags are those of the form above. Too few
// gradient rows fail at the first missing row's number, counting distinct
// crossings. The points are written, and the cells' crossings gathered, on
// `pool` (each cell's slots in crossing order, so the Qefs do not depend on
// the worker count).
SlotQefs accumulate_hermite_data(WorkerPool& pool, Field& field, CrossingRefs crossings,
                                 std::vector<std::uint8_t> located, SharedCrossings shared,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const Octree& tree, double cos_threshold);

// For the distinct crossings of `roots` (locate_edge_roots) whose has_gradient
// is clear, the gradient of estimate_edge_normals (step gradient_step(tree),
// one field call on those crossings in order: two points each across the
// edge where the root finding left a narrow bracket, else the tetrahedron),
// their flags then set. No call when every crossing has its gradient.
void complete_edge_normals(WorkerPool& pool, Field& field, const CrossingRefs& crossings,
                           const SharedCrossings& shared, const std::vector<SurfaceCell>& cells,
                           const Octree& tree, EdgeRoots& roots);

// The same for crossings located by locate_edge_roots: each crossing's point
// is at its distinct crossing's parameter; its normal is that of the
// gradient the last root-finding sample returned there, or, for the distinct
// crossings without one, of estimate_edge_normals (step gradient_step(tree),
// one field call on those crossings in order: two points each across the
// edge where the root finding left a narrow bracket, else the tetrahedron).
// Also fills gradient_sums. With `planes_only` (the vertices are solved,
// nothing is simplified) plane_qefs are filled instead of qefs, with the
// same bits in their fields.
SlotQefs accumulate_hermite_roots(WorkerPool& pool, Field& field,
                                  CrossingRefs crossings, EdgeRoots roots,
                                  SharedCrossings shared, const std::vector<SurfaceCell>& cells,
                                  const VertexSlots& slots, const Octree& tree,
                                  double cos_threshold, bool planes_only);

}  // namespace karvex
