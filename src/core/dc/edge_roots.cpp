#include "dc/edge_roots.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <numeric>
#include <span>

#include "dc/worker_rounds.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

constexpr double kNaN = std::numeric_limits<double>::quiet_NaN();

// A slope this close to a root means the Newton step lands within a quarter
// of the tolerance: the sample is taken as the located point.
constexpr double kNewtonStop = kRootTolerance * 0.25;

// Rounds after which a search still open (only a field whose values defy
// every sign test gets there) takes its bracket's midpoint: bisection alone
// closes the bracket in nine, and a round without halving is followed by one.
constexpr int kMaxRounds = 64;

// Anderson-Bjorck's factor for the end that stays while the other end is
// replaced a second time in a row: 1 - f_new / f_replaced, or 1/2 (Illinois)
// when that is not positive.
double retained_scale(double f_new, double f_replaced) {
  const double m = 1.0 - f_new / f_replaced;
  return m > 0.0 ? m : 0.5;
}

}  // namespace

EdgeRootSearch EdgeRootSearch::start(double fa, double fb) {
  EdgeRootSearch s;
  s.fa = fa;
  s.fb = fb;
  s.ra = fa;
  s.rb = fb;
  s.below_a = fa < 0;
  s.newton = kNaN;
  return s;
}

double EdgeRootSearch::propose() const {
  const double width = b - a;
  const double guard = kRootTolerance * 0.5;
  double x;
  if (stalls >= 2) {
    x = a + width * 0.5;
  } else if (newton > a && newton < b) {  // false for NaN
    x = newton;
  } else if (std::isfinite(fa) && std::isfinite(fb) && fa != fb) {
    x = a - fa * (width / (fb - fa));
  } else {
    x = a + width * 0.5;
  }
  // The bracket is wider than 2 * guard while the search is open.
  if (!(x >= a + guard)) x = a + guard;
  if (x > b - guard) x = b - guard;
  return x;
}

void EdgeRootSearch::take(double x, double f, double slope) {
  t = x;
  if (f == 0.0) {
    done = true;
    hit_zero = true;
    return;
  }
  const bool with_slope = std::isfinite(slope) && slope != 0.0;
  if ((f < 0) == below_a) {
    if (side == -1) fb *= retained_scale(f, fa);
    a = x;
    fa = f;
    ra = f;
    side = -1;
  } else {
    if (side == +1) fa *= retained_scale(f, fb);
    b = x;
    fb = f;
    rb = f;
    side = +1;
  }
  newton = kNaN;
  if (with_slope) {
    const double step = f / slope;
    if (std::abs(step) <= kNewtonStop) {
      done = true;  // the sample is the located point, its gradient the normal
      return;
    }
    newton = x - step;
  }
  const double width = b - a;
  if (width <= 0.5 * reference) {
    reference = width;
    stalls = 0;
  } else if (stalls < 2) {
    ++stalls;
  }
  if (width <= kRootTolerance) {
    done = true;
    // With slopes the last sample (an end of the bracket) is kept for its
    // gradient; otherwise the regula falsi point of the final bracket.
    if (!with_slope) {
      const double x_rf = a - fa * (width / (fb - fa));
      t = (x_rf >= a && x_rf <= b) ? x_rf : a + width * 0.5;
    }
  }
}

bool EdgeRootSearch::slope_at_located(double& slope, double& value) const {
  if (!done) return false;
  const double width = b - a;
  if (!(width > 0.0)) return false;
  if (!hit_zero) {
    if (width > kRootTolerance) return false;
    slope = (rb - ra) / width;
    value = ra + (t - a) * slope;
    return std::isfinite(slope) && std::isfinite(value);
  }
  if (!(t > a && t < b)) return false;
  const double left = -ra / (t - a);
  const double right = rb / (b - t);
  if (!(std::abs(left - right) <= 1e-6 * std::max(std::abs(left), std::abs(right)))) return false;
  slope = (left * (b - t) + right * (t - a)) / width;
  value = 0.0;
  return std::isfinite(slope);
}

EdgeRootSearch start_edge_search(const CrossingRef& c, const std::vector<SurfaceCell>& cells,
                                 const CellCornerValues& values, double iso_value) {
  const SurfaceCell& cell = checked_at(cells, c.cell);
  const CubeEdge& e = CUBE_EDGES[c.edge];
  return EdgeRootSearch::start(values.at(cell, c.cell, e.u) - iso_value,
                               values.at(cell, c.cell, e.v) - iso_value);
}

namespace {

// Takes a search's sample: the value there and, when the field gave one,
// the gradient, whose slope along the edge steers the next proposal.
template <class EdgeOf>
[[gnu::always_inline]] inline void take_root_sample(const EdgeOf& edge_of,
                                                    const std::vector<SurfaceCell>& cells,
                                                    std::span<EdgeRootSearch> search,
                                                    std::uint32_t i, double value,
                                                    const Vec3* gradient, double iso_value,
                                                    std::span<Vec3> gradients,
                                                    std::span<std::uint8_t> has_gradient) {
  double slope = kNaN;
  if (gradient != nullptr) {
    const Vec3 g = *gradient;
    const CrossingRef& c = edge_of(i);
    const SurfaceCell& cell = cells[c.cell];
    const CubeEdge& e = CUBE_EDGES[c.edge];
    const Vec3 p_u = cell.corner(e.u);
    const Vec3 p_v = cell.corner(e.v);
    slope = (g.x * (p_v.x - p_u.x) + g.y * (p_v.y - p_u.y)) + g.z * (p_v.z - p_u.z);
    gradients[i] = g;
    has_gradient[i] = 1;
  } else {
    has_gradient[i] = 0;
  }
  // The search has not moved since it proposed the point: the same
  // parameter again, not stored between the two passes.
  search[i].take(search[i].propose(), value - iso_value, slope);
}

// Searches per block of a field that samples on the workers: a block runs
// its rounds on one worker, its points, values and gradients (about 60
// bytes a search) in that worker's cache.
constexpr std::size_t kSearchBlock = 256;

// root_rounds for a field that samples on the workers: each block of
// searches runs its own rounds. A search sees the same proposals and
// answers as in a round of every search (each answer depends on its point
// alone), so the results are the same bits; only the grouping of the calls
// differs.
template <class EdgeOf>
std::uint64_t root_rounds_on_workers(WorkerPool& pool, Field& field, const EdgeOf& edge_of,
                                     const std::vector<SurfaceCell>& cells,
                                     std::span<EdgeRootSearch> search, double iso_value,
                                     std::span<Vec3> gradients,
                                     std::span<std::uint8_t> has_gradient) {
  const auto point_of = [&](std::uint32_t i) {
    return crossing_point(cells[edge_of(i).cell], edge_of(i), search[i].propose());
  };
  const auto take = [&](std::uint32_t i, double value, const Vec3& gradient) {
    take_root_sample(edge_of, cells, search, i, value, &gradient, iso_value, gradients,
                     has_gradient);
    return !search[i].done;
  };
  return rounds_on_workers<kSearchBlock>(pool, field, search.size(), kMaxRounds, point_of, take)
      .samples;
}

// run_root_rounds with search i on crossing edge_of(i).
template <class EdgeOf>
std::uint64_t root_rounds(WorkerPool& pool, Field& field, const EdgeOf& edge_of,
                          const std::vector<SurfaceCell>& cells, std::span<EdgeRootSearch> search,
                          double iso_value, std::span<Vec3> gradients,
                          std::span<std::uint8_t> has_gradient) {
  if (samples_on_worker(field)) {
    return root_rounds_on_workers(pool, field, edge_of, cells, search, iso_value, gradients,
                                  has_gradient);
  }
  const std::size_t n = search.size();
  std::uint64_t samples = 0;
  std::vector<std::uint32_t> active(n);
  std::iota(active.begin(), active.end(), std::uint32_t{0});
  for (int round = 0; !active.empty() && round < kMaxRounds; ++round) {
    if (round != 0) poll_run();
    const std::size_t m = active.size();
    evaluate_written_batch(
        field, m,
        [&](std::span<Vec3> to) {
          const RunMonitor::Suspended quiet;
          parallel_for(pool, m, [&](std::size_t k) {
            const std::uint32_t i = active[k];
            to[k] = crossing_point(cells[edge_of(i).cell], edge_of(i), search[i].propose());
          });
        },
        [&](const EvalView& result) {
          if (result.values.size() < m) fail_index(result.values.size(), result.values.size());
          if (result.gradients && result.gradients->size() < m) {
            fail_index(result.gradients->size(), result.gradients->size());
          }
          const RunMonitor::Suspended quiet;
          parallel_for(pool, m, [&](std::size_t k) {
            const std::uint32_t i = active[k];
            if (result.gradients) {
              const Vec3 g = (*result.gradients)[k];
              take_root_sample(edge_of, cells, search, i, result.values[k], &g, iso_value,
                               gradients, has_gradient);
            } else {
              take_root_sample(edge_of, cells, search, i, result.values[k], nullptr, iso_value,
                               gradients, has_gradient);
            }
          });
        });
    samples += m;
    std::size_t kept = 0;
    for (std::size_t k = 0; k < m; ++k) {
      if (!search[active[k]].done) active[kept++] = active[k];
    }
    active.resize(kept);
  }
  return samples;
}

}  // namespace

std::uint64_t run_root_rounds(WorkerPool& pool, Field& field, std::span<const CrossingRef> edges,
                              const std::vector<SurfaceCell>& cells,
                              std::span<EdgeRootSearch> search, double iso_value,
                              std::span<Vec3> gradients, std::span<std::uint8_t> has_gradient) {
  if (edges.size() < search.size()) fail_index(edges.size(), search.size());
  const auto edge_of = [&](std::size_t i) -> const CrossingRef& { return edges[i]; };
  return root_rounds(pool, field, edge_of, cells, search, iso_value, gradients, has_gradient);
}

void finish_root(const EdgeRootSearch& s, double& t, std::uint8_t& has_gradient, double& slope,
                 double& value) {
  t = s.done ? s.located() : s.a + (s.b - s.a) * 0.5;
  // A gradient belongs to the located point only when it was sampled there.
  if (!s.done) has_gradient = 0;
  slope = kNaN;
  value = kNaN;
  if (has_gradient || !s.slope_at_located(slope, value)) slope = value = kNaN;
}

EdgeNormalQuery edge_normal_query(const SurfaceCell& cell, const CrossingRef& c, double t,
                                  double slope, double value) {
  const CubeEdge& e = CUBE_EDGES[c.edge];
  const Vec3 p_u = cell.corner(e.u);
  const Vec3 p_v = cell.corner(e.v);
  return {crossing_point(cell, c, t), {p_v.x - p_u.x, p_v.y - p_u.y, p_v.z - p_u.z}, slope, value};
}

EdgeRoots locate_edge_roots(WorkerPool& pool, Field& field,
                            const CrossingRefs& crossings,
                            const SharedCrossings& shared, const std::vector<SurfaceCell>& cells,
                            CellCornerValues values, double iso_value) {
  const std::size_t n = shared.distinct_count();
  std::vector<EdgeRootSearch> search = parallel_map<EdgeRootSearch>(pool, n, [&](std::size_t d) {
    return start_edge_search(crossings[shared.first[d]], cells, values, iso_value);
  });
  values = CellCornerValues();
  EdgeRoots out;
  out.gradients.resize(n);
  out.has_gradient.assign(n, 0);
  const auto edge_of = [&](std::size_t d) -> const CrossingRef& {
    return crossings[shared.first[d]];
  };
  out.samples = root_rounds(pool, field, edge_of, cells, search, iso_value, out.gradients,
                            out.has_gradient);
  out.t.resize(n);
  out.slope.resize(n);
  out.value.resize(n);
  // Each crossing's results from its own search alone: on the pool.
  const RunMonitor::Suspended quiet;
  parallel_for(pool, n, [&](std::size_t d) {
    finish_root(search[d], out.t[d], out.has_gradient[d], out.slope[d], out.value[d]);
  });
  return out;
}

}  // namespace karvex
