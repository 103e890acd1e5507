#pragma once

#include <cstdint>
#include <vector>

#include "dc/component_table.h"
#include "dc/crossings.h"
#include "dc/qef.h"
#include "dc/surface_cells.h"
#include "field/field.h"
#include "octree/mod.h"

namespace karvex {

// What the Hermite data of the crossings (located points and normals) gives
// the vertex slots: one Qef per slot, and its sharp flag.
struct SlotQefs {
  std::vector<Qef> qefs;
  std::vector<std::uint8_t> sharp;
};

// crossing_normals, accumulate_qefs and mark_sharp_slots in one pass, for
// crossings given by reference with their located brackets
// (locate_crossing_refs). The field is called as crossing_normals calls it,
// on the located points in crossing order (written straight into its input);
// its gradients, or central differences when it returns none, give the
// normals, which are added to the slots' Qefs in crossing order and compared
// within each cell for the sharp flags as they come. No array of points or
// normals is kept: with millions of crossings they would be most of the
// memory traffic. Same failures as the three functions. The crossings and
// brackets are taken by value (moved in by the driver), so they are freed
// when it returns.
SlotQefs accumulate_hermite_data(Field& field, std::vector<CrossingRef> crossings,
                                 std::vector<std::uint8_t> located,
                                 const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                                 const Octree& tree, double cos_threshold);

}  // namespace karvex
