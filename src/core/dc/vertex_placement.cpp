#include "dc/vertex_placement.h"

#include "octree/octree.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

std::vector<VertexSolveJob> make_solve_jobs(const std::vector<SurfaceCell>& cells,
                                            const VertexSlots& slots,
                                            std::vector<std::uint8_t> slot_sharp,
                                            double cube_size) {
  std::vector<VertexSolveJob> jobs;
  jobs.reserve(slots.slot_count);
  monitored_for(cells.size(), [&](std::size_t i) {
    const SurfaceCell& cell = cells[i];
    const VertexBox box = cell_box(cell);
    const std::uint64_t base = checked_at(slots.vertex_base, i);
    const unsigned groups = checked_at(slots.cell_components, i)[8];
    for (unsigned j = 0; j < groups; ++j) {
      const std::uint64_t slot = base + j;
      VertexBox clamp = box;
      if (checked_at(slot_sharp, slot)) {
        const double m = (cube_size / static_cast<double>(pow2(cell.address.d))) * 0.25;
        clamp.lo = {box.lo.x - m, box.lo.y - m, box.lo.z - m};
        clamp.hi = {box.hi.x + m, box.hi.y + m, box.hi.z + m};
      }
      jobs.push_back({slot, box, clamp});
    }
  });
  return jobs;
}

std::vector<VertexSolution> solve_vertices(WorkerPool& pool, std::vector<VertexSolveJob> jobs,
                                           std::vector<Qef> qefs) {
  return parallel_map<VertexSolution>(pool, jobs.size(), [&](std::size_t i) {
    const VertexSolveJob& job = jobs[i];
    const Qef& q = checked_at(qefs, job.slot);
    VertexSolution solution;
    if (q.count == 0) return solution;
    const VertexBox& c = job.clamp;
    // The box is checked in full before solving, so that a bad box fails
    // the same way whatever the solution turns out to be.
    for (int axis = 0; axis < 3; ++axis) checked_clamp(0.0, c.lo[axis], c.hi[axis]);
    const Vec3 x = solve_qef(q);
    solution.solved = true;
    solution.position = {checked_clamp(x.x, c.lo.x, c.hi.x), checked_clamp(x.y, c.lo.y, c.hi.y),
                         checked_clamp(x.z, c.lo.z, c.hi.z)};
    solution.clamp = c;
    return solution;
  });
}

EmittedVertices emit_vertices(const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                              std::vector<VertexSolution> solutions) {
  EmittedVertices out;
  out.cell_first_vertex.assign(cells.size(), kNoVertex);
  out.positions.reserve(solutions.size());
  out.boxes.reserve(solutions.size());
  monitored_for(cells.size(), [&](std::size_t i) {
    const std::uint64_t first = out.positions.size();
    if (append_cell_vertices(cells[i], checked_at(slots.vertex_base, i),
                             checked_at(slots.cell_components, i)[8], solutions, out.positions,
                             out.boxes)) {
      out.cell_first_vertex[i] = first;
    }
  });
  return out;
}

bool append_cell_vertices(const SurfaceCell& cell, std::uint64_t base, unsigned groups,
                          const std::vector<VertexSolution>& solutions,
                          std::vector<Vec3>& positions, std::vector<VertexBox>& boxes) {
  bool any_solved = false;
  for (unsigned j = 0; j < groups; ++j) any_solved |= checked_at(solutions, base + j).solved;
  if (!any_solved) return false;
  for (unsigned j = 0; j < groups; ++j) {
    const VertexSolution& s = solutions[base + j];
    if (s.solved) {
      positions.push_back(s.position);
      boxes.push_back(s.clamp);
    } else {
      const double half = cell.cell_side * 0.5;
      positions.push_back({cell.cell_min.x + half, cell.cell_min.y + half, cell.cell_min.z + half});
      boxes.push_back(cell_box(cell));
    }
  }
  return true;
}

}  // namespace karvex
