#include "dc/crossing_vertices.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <optional>

#include "dc/component_table.h"
#include "dc/qef.h"
#include "dc/slot_vertices.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

// Cells solved between two reports of progress (and polls of the run).
constexpr std::size_t kCellsPerReport = 16 * kPollBlock;

// Cells numbered per task of the pool before the vertices are solved.
constexpr std::size_t kCellsPerBlock = std::size_t{1} << 15;

// A cell has at most four groups (a slot each) and twelve crossings.
constexpr unsigned kMaxGroups = 4;

}  // namespace

CrossingVertices solve_crossing_vertices(WorkerPool& pool, EdgeRoots roots,
                                         SharedCrossings shared,
                                         const UnfilledVector<CellSigns>& cells,
                                         const Vec3& origin, double cube_size,
                                         double cos_threshold, bool with_guides) {
  const std::size_t n = cells.size();
  const std::size_t distinct = shared.distinct_count();
  if (roots.t.size() != distinct) fail_index(roots.t.size(), distinct);
  if (roots.gradients.size() != distinct) fail_index(roots.gradients.size(), distinct);
  CrossingVertices out;
  const CellPlacer placed(origin, cube_size);
  // Where each cell's crossings begin (listed cell by cell, a cell's edges
  // in edge order), and its first vertex: a cell with crossings has a
  // solved slot, so gives its group count of vertices. Counted per block of
  // cells on the pool, the blocks' starts summed in order, then written per
  // block: integers, the same for any worker count. The arrays are written
  // in full by those loops, not filled first.
  const std::size_t blocks = (n + kCellsPerBlock - 1) / kCellsPerBlock;
  std::vector<std::uint64_t> block_crossings(blocks + 1, 0);
  std::vector<std::uint64_t> block_vertices(blocks + 1, 0);
  // Progress counts the cells solved, not these loops.
  std::optional<RunMonitor::Suspended> quiet(std::in_place);
  parallel_for(pool, blocks, [&](std::size_t b) {
    std::uint64_t crossings = 0;
    std::uint64_t vertices = 0;
    for (std::size_t i = b * kCellsPerBlock; i < std::min(n, (b + 1) * kCellsPerBlock); ++i) {
      const unsigned count = crossing_count(cells[i].sign_mask);
      crossings += count;
      if (count != 0) vertices += COMPONENT_TABLE[cells[i].sign_mask][8];
    }
    block_crossings[b + 1] = crossings;
    block_vertices[b + 1] = vertices;
  }, 1);
  for (std::size_t b = 0; b < blocks; ++b) {
    block_crossings[b + 1] += block_crossings[b];
    block_vertices[b + 1] += block_vertices[b];
  }
  // 32-bit starts, as the crossings' numbers are.
  UnfilledVector<std::uint32_t> crossing_begin(n + 1);
  crossing_begin[0] = 0;
  out.cell_first_vertex.resize(n);
  parallel_for(pool, blocks, [&](std::size_t b) {
    std::uint32_t crossing = static_cast<std::uint32_t>(block_crossings[b]);
    std::uint64_t vertex = block_vertices[b];
    for (std::size_t i = b * kCellsPerBlock; i < std::min(n, (b + 1) * kCellsPerBlock); ++i) {
      const unsigned count = crossing_count(cells[i].sign_mask);
      crossing += count;
      crossing_begin[i + 1] = crossing;
      out.cell_first_vertex[i] = count == 0 ? kNoVertex : vertex;
      if (count != 0) vertex += COMPONENT_TABLE[cells[i].sign_mask][8];
    }
  }, 1);
  quiet.reset();
  if (shared.distinct_of.size() != crossing_begin[n]) {
    fail_index(shared.distinct_of.size(), crossing_begin[n]);
  }
  // Without guides a crossing's gradient serves only for its unit normal,
  // which every cell around the crossing reads again: made once per distinct
  // crossing, in place, on the pool.
  if (!with_guides) {
    const RunMonitor::Suspended quiet_normals;
    parallel_for(pool, distinct, [&](std::size_t d) {
      roots.gradients[d] = normal_from_gradient(roots.gradients[d]);
    });
  }
  const std::uint64_t total = block_vertices[blocks];
  out.positions.resize(total);
  out.vertex_cell.resize(total);
  out.sharp.resize(total);
  if (with_guides) out.guides.resize(total);
  const auto solve_cell = [&](std::size_t i) {
    const std::uint64_t first = out.cell_first_vertex[i];
    if (first == kNoVertex) return;
    const std::size_t begin = crossing_begin[i];
    const std::size_t count = crossing_begin[i + 1] - begin;
    if (count > 12) fail("a surface cell with more than twelve crossings");
    const SurfaceCell cell = placed(cells[i]);
    const unsigned groups = COMPONENT_TABLE[cells[i].sign_mask][8];
    if (groups > kMaxGroups) fail_index(kMaxGroups, groups);
    std::array<PlaneQef, kMaxGroups> qefs{};
    std::array<Vec3, kMaxGroups> sums{};
    std::array<bool, kMaxGroups> sharp{};
    std::array<Vec3, 12> normals;
    std::array<std::uint8_t, 12> components;
    // The crossings into their slots in crossing order, as the Hermite data
    // gathers them: the cell's sign-changing edges, listed as
    // find_crossing_refs lists them.
    const ComponentRow& row = COMPONENT_TABLE[cell.sign_mask];
    const std::uint16_t edges = crossing_edges(cell.sign_mask);
    std::size_t k = 0;
    for (std::uint8_t j = 0; j < CUBE_EDGES.size(); ++j) {
      if (!((edges >> j) & 1u)) continue;
      const CubeEdge& e = CUBE_EDGES[j];
      const bool below_u = ((cell.sign_mask >> e.u) & 1u) != 0;
      const CrossingRef c{static_cast<std::uint32_t>(i), j, row[below_u ? e.u : e.v], below_u};
      components[k] = c.component;
      const std::uint32_t d = shared.distinct_of[begin + k];
      if (d >= distinct) fail_index(distinct, d);
      const Vec3 g = roots.gradients[d];
      normals[k] = with_guides ? normal_from_gradient(g) : g;
      if (c.component >= groups) fail_index(groups, c.component);
      add_crossing(qefs[c.component], crossing_point(cell, c, roots.t[d]), normals[k]);
      if (with_guides) {
        Vec3& sum = sums[c.component];
        sum = {sum.x + g.x, sum.y + g.y, sum.z + g.z};
      }
      ++k;
    }
    // A slot is sharp when two of its normals disagree.
    for (std::size_t a = 0; a < count; ++a) {
      const std::uint8_t component = components[a];
      if (sharp[component]) continue;
      for (std::size_t b = a + 1; b < count; ++b) {
        if (components[b] != component) continue;
        if (normals_disagree(normals[a], normals[b], cos_threshold)) {
          sharp[component] = true;
          break;
        }
      }
    }
    for (unsigned j = 0; j < groups; ++j) {
      VertexBox clamp;
      place_slot_vertex(cell, qefs[j], sharp[j], cube_size, out.positions[first + j], clamp);
      out.vertex_cell[first + j] = static_cast<std::uint32_t>(i);
      out.sharp[first + j] = qefs[j].count != 0 && sharp[j];
      if (!with_guides) continue;
      Vec3 guide = sums[j];
      const double weight = qefs[j].count;
      if (weight > 0) guide = {guide.x / weight, guide.y / weight, guide.z / weight};
      out.guides[first + j] = guide;
    }
  };
  for (std::size_t first = 0; first < n; first += kCellsPerReport) {
    const std::size_t last = std::min(n, first + kCellsPerReport);
    {
      const RunMonitor::Suspended quiet;
      parallel_for(pool, last - first, [&](std::size_t i) { solve_cell(first + i); });
    }
    advance_stage(last - first);
  }
  return out;
}

void vertex_boxes(const CrossingVertices& vertices, const UnfilledVector<CellSigns>& cells,
                  const Vec3& origin, double cube_size, std::size_t first,
                  std::span<VertexBox> out) {
  const CellPlacer placed(origin, cube_size);
  for (std::size_t k = 0; k < out.size(); ++k) {
    const std::size_t v = first + k;
    const SurfaceCell cell = placed(checked_at(cells, checked_at(vertices.vertex_cell, v)));
    out[k] = slot_clamp_box(cell, vertices.sharp[v] != 0, cube_size);
  }
}

}  // namespace karvex
