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
                                      const std::vector<SurfaceCell>& cells,
                                      CellCornerValues values, double iso_value,
                                      double h, std::size_t slice) {
  const std::size_t n = edges.size();
  const auto start = [&](std::size_t d) {
    return start_edge_search(edges[d], cells, values, iso_value);
  };
  // Stored values (64 bytes per cell) are reduced to each search's starting
  // values (field minus level at its edge's ends, 16 bytes per distinct
  // crossing); values read by lattice point cost nothing to keep, and are
  // read as each slice starts.
  std::vector<std::array<double, 2>> ends;
  if (!values.by_lattice_point()) {
    ends = parallel_map<std::array<double, 2>>(pool, n, [&](std::size_t d) {
      const EdgeRootSearch s = start(d);
      return std::array<double, 2>{s.ra, s.rb};
    });
    values = CellCornerValues();
  }
  EdgeRoots out;
  out.t.resize(n);
  out.gradients.resize(n);
  out.has_gradient.assign(n, 1);
  std::vector<EdgeRootSearch> search;
  std::vector<std::uint8_t> sampled;
  std::vector<double> slope, value;
  std::vector<EdgeNormalQuery> queries;
  std::vector<std::size_t> missing;
  for (std::size_t first = 0; first < n; first += slice) {
    if (first != 0) poll_run();
    const std::size_t m = std::min(slice, n - first);
    search.resize(m);
    sampled.assign(m, 0);
    slope.resize(m);
    value.resize(m);
    {
      const RunMonitor::Suspended quiet;
      parallel_for(pool, m, [&](std::size_t i) {
        search[i] = ends.empty() ? start(first + i)
                                 : EdgeRootSearch::start(ends[first + i][0], ends[first + i][1]);
      });
    }
    const std::span<Vec3> gradients = std::span<Vec3>(out.gradients).subspan(first, m);
    out.samples += run_root_rounds(pool, field, edges.subspan(first, m), cells, search,
                                   iso_value, gradients, sampled);
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
      const CrossingRef& c = edges[first + i];
      missing.push_back(i);
      queries.push_back(edge_normal_query(cells[c.cell], c, out.t[first + i], slope[i], value[i]));
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
