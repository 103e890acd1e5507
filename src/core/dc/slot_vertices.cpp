#include "dc/slot_vertices.h"

#include "octree/octree.h"
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
  // until the prefix sum turns counts into first numbers).
  out.cell_first_vertex.assign(n, 0);
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
    const VertexBox box = cell_box(cell);
    const std::uint64_t base = slots.vertex_base[i];
    const unsigned groups = slots.cell_components[i][8];
    for (unsigned j = 0; j < groups; ++j) {
      const auto& q = qefs[base + j];
      Vec3& position = out.positions[first + j];
      VertexBox& clamp = out.boxes[first + j];
      if (q.count == 0) {
        const double half = cell.cell_side * 0.5;
        position = {cell.cell_min.x + half, cell.cell_min.y + half, cell.cell_min.z + half};
        clamp = box;
        continue;
      }
      clamp = box;
      if (checked_at(slot_sharp, base + j)) {
        const double m = (cube_size / static_cast<double>(pow2(cell.address.d))) * 0.25;
        clamp.lo = {box.lo.x - m, box.lo.y - m, box.lo.z - m};
        clamp.hi = {box.hi.x + m, box.hi.y + m, box.hi.z + m};
      }
      // The box is checked in full before solving, as solve_vertices does.
      for (int axis = 0; axis < 3; ++axis) checked_clamp(0.0, clamp.lo[axis], clamp.hi[axis]);
      const Vec3 x = solve_qef(q);
      position = {checked_clamp(x.x, clamp.lo.x, clamp.hi.x),
                  checked_clamp(x.y, clamp.lo.y, clamp.hi.y),
                  checked_clamp(x.z, clamp.lo.z, clamp.hi.z)};
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
