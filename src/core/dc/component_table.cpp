#include "dc/component_table.h"

#include "pool/run_monitor.h"

namespace karvex {

VertexSlots assign_vertex_slots(const std::vector<SurfaceCell>& cells) {
  VertexSlots slots;
  slots.cell_components.reserve(cells.size());
  slots.vertex_base.reserve(cells.size());
  monitored_for(cells.size(), [&](std::size_t i) {
    const ComponentRow& row = COMPONENT_TABLE[cells[i].sign_mask];
    slots.cell_components.push_back(row);
    slots.vertex_base.push_back(slots.slot_count);
    slots.slot_count += row[8];
  });
  return slots;
}

}  // namespace karvex
