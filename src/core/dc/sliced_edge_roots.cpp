#include "dc/sliced_edge_roots.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <span>

#include "dc/edge_normals.h"
#include "pool/run_monitor.h"

namespace karvex {

EdgeRoots locate_edge_roots_in_slices(WorkerPool& pool, Field& field,
                                      std::span<const CrossingRef> edges,
                                      const NumberedCells& cells,
                                      CellCornerValues values, double iso_value,
                                      double h, std::size_t slice) {
  const std::size_t n = edges.size();
  // The search of distinct crossing d, whose cell is `cell`.
  const auto start = [&](std::size_t d, const SurfaceCell& cell) {
    const CrossingRef& c = edges[d];
    const CubeEdge& e = CUBE_EDGES[c.edge];
    return EdgeRootSearch::start(values.at(cell, c.cell, e.u) - iso_value,
                                 values.at(cell, c.cell, e.v) - iso_value);
  };
  // Stored values (64 bytes per cell) are reduced to each search's starting
  // values (field minus level at its edge's ends, 16 bytes per distinct
  // crossing); values read by lattice point cost nothing to keep, and are
  // read as each slice starts.
  std::vector<std::array<double, 2>> ends;
  if (!values.by_lattice_point()) {
    ends = parallel_map<std::array<double, 2>>(pool, n, [&](std::size_t d) {
      const EdgeRootSearch s = start(d, cells(edges[d].cell));
      return std::array<double, 2>{s.ra, s.rb};
    });
    values = CellCornerValues();
  }
  EdgeRoots out;
  out.t.resize(n);
  out.gradients.resize(n);
  out.has_gradient.assign(n, 1);
  // A slice's cells, one per distinct crossing, and its crossings renumbered
  // to them.
  std::vector<SurfaceCell> slice_cells;
  std::vector<CrossingRef> slice_edges;
  std::vector<EdgeRootSearch> search;
  std::vector<std::uint8_t> sampled;
  std::vector<double> slope, value;
  std::vector<EdgeNormalQuery> queries;
  std::vector<std::size_t> missing;
  // Crossings ahead whose ends are asked for early: read by lattice point,
  // neighbouring crossings' ends lie planes of samples apart.
  constexpr std::size_t kAhead = 8;
  for (std::size_t first = 0; first < n; first += slice) {
    if (first != 0) poll_run();
    const std::size_t m = std::min(slice, n - first);
    search.resize(m);
    slice_cells.resize(m);
    slice_edges.resize(m);
    sampled.assign(m, 0);
    slope.resize(m);
    value.resize(m);
    {
      const RunMonitor::Suspended quiet;
      parallel_for(pool, m, [&](std::size_t i) {
        if (ends.empty() && i + kAhead < m) {
          const CrossingRef& next = edges[first + i + kAhead];
          const SurfaceCell cell = cells(next.cell);
          values.prefetch(cell, CUBE_EDGES[next.edge].u);
          values.prefetch(cell, CUBE_EDGES[next.edge].v);
        }
        CrossingRef c = edges[first + i];
        slice_cells[i] = cells(c.cell);
        search[i] = ends.empty() ? start(first + i, slice_cells[i])
                                 : EdgeRootSearch::start(ends[first + i][0], ends[first + i][1]);
        c.cell = static_cast<std::uint32_t>(i);
        slice_edges[i] = c;
      });
    }
    const std::span<Vec3> gradients = std::span<Vec3>(out.gradients).subspan(first, m);
    out.samples += run_root_rounds(pool, field, slice_edges, slice_cells, search, iso_value,
                                   gradients, sampled);
    // Every search samples in the first round: its flag says whether that
    // round's answer had gradients.
    out.sampled_gradients = out.sampled_gradients || sampled[0] != 0;
    {
      const RunMonitor::Suspended quiet;
      parallel_for(pool, m, [&](std::size_t i) {
        finish_root(search[i], out.t[first + i], sampled[i], slope[i], value[i]);
      });
    }
    // The located points without a sampled gradient, as the Hermite data
    // would query them, in order.
    missing.clear();
    queries.clear();
    for (std::size_t i = 0; i < m; ++i) {
      if (sampled[i]) continue;
      missing.push_back(i);
      queries.push_back(edge_normal_query(slice_cells[i], slice_edges[i], out.t[first + i],
                                          slope[i], value[i]));
    }
    if (!queries.empty()) {
      std::uint64_t normal_samples = 0;
      const std::vector<Vec3> estimated =
          estimate_edge_normals(field, queries, h, iso_value, normal_samples);
      for (std::size_t j = 0; j < missing.size(); ++j) gradients[missing[j]] = estimated[j];
    }
  }
  return out;
}

}  // namespace karvex
