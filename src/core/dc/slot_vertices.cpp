#include "dc/slot_vertices.h"

#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

template <class Qefs>
EmittedVertices solve_and_number(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                 const VertexSlots& slots,
                                 const std::vector<std::uint8_t>& slot_sharp,
                                 const Qefs& qefs, double cube_size) {
  const std::size_t n = cells.size();
  EmittedVertices out;
  // Pass 1: per cell, how many vertices it gives (held in cell_first_vertex
  // until the prefix sum turns counts into first numbers); every cell's is
  // written there, so the array is not filled first.
  out.cell_first_vertex.resize(n);
  parallel_for(pool, n, [&](std::size_t i) {
    const std::uint64_t base = checked_at(slots.vertex_base, i);
    const unsigned groups = checked_at(slots.cell_components, i)[8];
    bool any_solved = false;
    for (unsigned j = 0; j < groups; ++j) any_solved |= checked_at(qefs, base + j).count > 0;
    out.cell_first_vertex[i] = any_solved ? groups : 0;
  });
  std::uint64_t total = 0;
  for (std::uint64_t& first : out.cell_first_vertex) {
    const std::uint64_t count = first;
    first = count == 0 ? kNoVertex : total;
    total += count;
  }
  out.positions.resize(total);
  out.boxes.resize(total);
  // Pass 2: the slots of the cells with vertices, solved and clamped as
  // solve_vertices does, an unsolved slot of such a cell at its centre.
  parallel_for(pool, n, [&](std::size_t i) {
    const std::uint64_t first = out.cell_first_vertex[i];
    if (first == kNoVertex) return;
    const SurfaceCell& cell = cells[i];
    const std::uint64_t base = slots.vertex_base[i];
    const unsigned groups = slots.cell_components[i][8];
    for (unsigned j = 0; j < groups; ++j) {
      const auto& q = qefs[base + j];
      place_slot_vertex(cell, q, q.count != 0 && checked_at(slot_sharp, base + j) != 0, cube_size,
                        out.positions[first + j], out.boxes[first + j]);
    }
  });
  advance_stage(slots.slot_count);
  return out;
}

}  // namespace

EmittedVertices solve_slot_vertices(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                    const VertexSlots& slots, std::vector<std::uint8_t> slot_sharp,
                                    std::vector<Qef> qefs, double cube_size) {
  return solve_and_number(pool, cells, slots, slot_sharp, qefs, cube_size);
}

EmittedVertices solve_slot_vertices(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                    const VertexSlots& slots, std::vector<std::uint8_t> slot_sharp,
                                    LargeVector<PlaneQef> qefs, double cube_size) {
  return solve_and_number(pool, cells, slots, slot_sharp, qefs, cube_size);
}

}  // namespace karvex
