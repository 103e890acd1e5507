#pragma once

#include <cstdint>
#include <limits>
#include <vector>

#include "dc/component_table.h"
#include "dc/qef.h"
#include "dc/surface_cells.h"
#include "pool/worker_pool.h"
#include "support/unfilled_allocator.h"
#include "support/vec3.h"

namespace karvex {

// An axis-aligned box that bounds every later move of a vertex.
struct VertexBox {
  Vec3 lo;
  Vec3 hi;
};

// A surface cell's own box.
inline VertexBox cell_box(const SurfaceCell& cell) {
  return {cell.cell_min,
          {cell.cell_min.x + cell.cell_side, cell.cell_min.y + cell.cell_side,
           cell.cell_min.z + cell.cell_side}};
}

// The placement of one slot: its cell's box and the box its solution is
// clamped to (the cell's box, or for a sharp slot the box grown by a quarter
// of the cell side on every side, so that a corner or crease just outside
// the cell can still be reached).
struct VertexSolveJob {
  std::uint64_t slot = 0;
  VertexBox cell;
  VertexBox clamp;
};

struct VertexSolution {
  bool solved = false;  // false: no crossing reached the slot; the rest is meaningless
  Vec3 position;
  VertexBox clamp;
};

// One job per slot, in slot order. `cube_size` is the octree's size; the
// sharp margin is (cube_size / 2^d) * 0.25 with 2^d a 32-bit unsigned.
// `slot_sharp` and, below, the jobs, Qefs and solutions are taken by value:
// the driver moves in the arrays each stage is the last to read.
std::vector<VertexSolveJob> make_solve_jobs(const std::vector<SurfaceCell>& cells,
                                            const VertexSlots& slots,
                                            std::vector<std::uint8_t> slot_sharp, double cube_size);

// Solves every job on `pool`, results in job order. A job whose Qef has no
// crossing is unsolved. Otherwise its clamp box is checked x, y, z (lo > hi
// or a NaN bound is the invariant failure "min > max, or either was NaN.
// min = {}, max = {}"), the Qef is solved and each coordinate clamped into
// the box (a NaN coordinate stays NaN).
std::vector<VertexSolution> solve_vertices(WorkerPool& pool, std::vector<VertexSolveJob> jobs,
                                           std::vector<Qef> qefs);

// Marks a cell that has no output vertex.
inline constexpr std::uint64_t kNoVertex = std::numeric_limits<std::uint64_t>::max();

// The output vertices, numbered in cell order and within a cell in group order.
struct EmittedVertices {
  std::vector<Vec3> positions;
  std::vector<VertexBox> boxes;
  // Per cell: the number of its first vertex (group j is first + j), or
  // kNoVertex when none of its slots was solved.
  UnfilledVector<std::uint64_t> cell_first_vertex;
};

// Numbers the vertices of every cell with at least one solved slot. A solved
// slot gives its position and clamp box; an unsolved slot of such a cell
// gives the cell centre (cell_min + cell_side * 0.5) and the cell's box.
// `solutions` are indexed by slot.
EmittedVertices emit_vertices(const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
                              std::vector<VertexSolution> solutions);

// Appends the vertices of surface cell `cell`, whose slots are base ..
// base + groups - 1 of `solutions`, to `positions` and `boxes` as
// emit_vertices numbers them. Appends nothing and returns false when none of
// its slots was solved. A slot beyond `solutions` is an invariant failure.
bool append_cell_vertices(const SurfaceCell& cell, std::uint64_t base, unsigned groups,
                          const std::vector<VertexSolution>& solutions,
                          std::vector<Vec3>& positions, std::vector<VertexBox>& boxes);

}  // namespace karvex
