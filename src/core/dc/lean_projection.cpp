#include "dc/lean_projection.h"

#include <algorithm>
#include <cmath>
#include <numeric>
#include <span>

#include "dc/crossings.h"
#include "dc/worker_rounds.h"
#include "field/fd_gradients.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

constexpr int kNewtonRounds = 3;
constexpr int kSecantRounds = 6;

double dot(const Vec3& a, const Vec3& b) { return (a.x * b.x + a.y * b.y) + a.z * b.z; }

Vec3 clamped(const Vec3& p, const VertexBox& box) {
  return {checked_clamp(p.x, box.lo.x, box.hi.x), checked_clamp(p.y, box.lo.y, box.hi.y),
          checked_clamp(p.z, box.lo.z, box.hi.z)};
}

double distance(const Vec3& a, const Vec3& b) {
  const Vec3 d{a.x - b.x, a.y - b.y, a.z - b.z};
  return std::sqrt(dot(d, d));
}

// The search on one vertex's line origin + s * dir (values only).
struct LineSearch {
  Vec3 origin;
  Vec3 dir;              // unit
  double slope = 0.0;    // the guide's length: df/ds estimated
  double s_prev = 0.0, f_prev = 0.0;
  double s = 0.0, f = 0.0;  // the last sample
  double best_s = 0.0, best_f = 0.0;
  double next = 0.0;     // the parameter to sample next
  bool done = false;
  bool final_unsampled = false;  // ends at `next`, the short last step
};

// Samples the field at the listed positions; `take(k, value, gradient or
// null)` consumes sample k. One field call; returns whether it gave
// gradients.
template <class At, class Take>
bool sample(WorkerPool& pool, Field& field, std::size_t m, const At& at, const Take& take) {
  bool with_gradients = false;
  evaluate_written_batch(
      field, m,
      [&](std::span<Vec3> to) {
        const RunMonitor::Suspended quiet;
        parallel_for(pool, m, [&](std::size_t k) { to[k] = at(k); });
      },
      [&](const EvalView& result) {
        with_gradients = result.gradients.has_value();
        if (result.values.size() < m) fail_index(result.values.size(), result.values.size());
        if (result.gradients && result.gradients->size() < m) {
          fail_index(result.gradients->size(), result.gradients->size());
        }
        const RunMonitor::Suspended quiet;
        parallel_for(pool, m, [&](std::size_t k) {
          if (result.gradients) {
            const Vec3 g = (*result.gradients)[k];
            take(k, result.values[k], &g);
          } else {
            take(k, result.values[k], nullptr);
          }
        });
      });
  return with_gradients;
}

void keep_open(std::vector<std::uint32_t>& active, const auto& open) {
  std::size_t kept = 0;
  for (std::uint32_t i : active) {
    if (open(i)) active[kept++] = i;
  }
  active.resize(kept);
}

// One Newton step of a vertex from the field's value (minus the level) and
// gradient at its position: moves it to the clamped foot of the step and
// returns whether it stays open, the same test in every round.
bool newton_step(Vec3& position, const VertexBox& box, double f, const Vec3& grad,
                 double tolerance, double stop_step) {
  const double q = dot(grad, grad);
  const double t = f / q;
  if (!(q > 1e-20) || std::isinf(q) || std::isinf(t) || std::abs(f) <= tolerance * std::sqrt(q)) {
    return false;
  }
  const Vec3 before = position;
  position = clamped({before.x - t * grad.x, before.y - t * grad.y, before.z - t * grad.z}, box);
  return !(distance(position, before) <= stop_step);
}

// Vertices per block of a field that samples on the workers: a block takes
// all its Newton rounds on one worker.
constexpr std::size_t kVertexBlock = 256;

// project_span's Newton rounds for a field that samples on the workers
// (always with gradients): each block of vertices runs its own rounds. A
// vertex takes the same steps as in rounds over every vertex, each answer
// depending on its point alone.
ProjectionCount project_span_on_workers(WorkerPool& pool, Field& field, std::span<Vec3> positions,
                                        std::span<const VertexBox> boxes, double iso,
                                        double tolerance, double stop_step) {
  const auto point_of = [&](std::uint32_t i) { return positions[i]; };
  const auto take = [&](std::uint32_t i, double value, const Vec3& gradient) {
    return newton_step(positions[i], boxes[i], value - iso, gradient, tolerance, stop_step);
  };
  const WorkerRoundsCount done = rounds_on_workers<kVertexBlock>(
      pool, field, positions.size(), kNewtonRounds, point_of, take);
  return {done.samples, done.rounds};
}

// project_vertices_lean on the vertices in `positions` (their boxes and
// guides alongside).
ProjectionCount project_span(WorkerPool& pool, Field& field, std::span<Vec3> positions,
                             std::span<const VertexBox> boxes, std::span<Vec3> guides,
                             const Octree& tree) {
  ProjectionCount count;
  const std::size_t n = positions.size();
  if (n == 0) return count;
  if (boxes.size() < n) fail_index(boxes.size(), boxes.size());
  if (guides.size() < n) fail_index(guides.size(), guides.size());
  const double iso = tree.iso_value;
  const double tolerance = 1e-10 * tree.size;
  // A step this short is taken without sampling its end: it moves the
  // vertex by no more than the tolerance (a step across a crease of the
  // field can leave it as far from the surface as the step is long).
  const double stop_step = tolerance;
  if (samples_on_worker(field)) {
    return project_span_on_workers(pool, field, positions, boxes, iso, tolerance, stop_step);
  }

  // Round one: every vertex, values and perhaps gradients.
  std::vector<double> first(n);
  std::vector<std::uint8_t> open(n, 1);
  const bool analytic = sample(
      pool, field, n, [&](std::size_t i) { return positions[i]; },
      [&](std::size_t i, double value, const Vec3* g) {
        first[i] = value - iso;
        if (g == nullptr) return;
        const double q = dot(*g, *g);
        if (!(q > 1e-20) || std::abs(first[i]) <= tolerance * std::sqrt(q)) {
          open[i] = 0;
          return;
        }
        const Vec3 before = positions[i];
        const double t = first[i] / q;
        if (std::isinf(q) || std::isinf(t)) {
          open[i] = 0;  // an unbounded slope: the vertex is as close as it can tell
          return;
        }
        const Vec3 p = clamped({before.x - t * g->x, before.y - t * g->y, before.z - t * g->z},
                               boxes[i]);
        positions[i] = p;
        if (distance(p, before) <= stop_step) open[i] = 0;
      });
  count.samples += n;
  count.rounds = 1;
  std::vector<std::uint32_t> active(n);
  std::iota(active.begin(), active.end(), std::uint32_t{0});
  keep_open(active, [&](std::uint32_t i) { return open[i] != 0; });

  if (analytic) {
    for (int round = 1; round < kNewtonRounds && !active.empty(); ++round) {
      poll_run();
      sample(
          pool, field, active.size(), [&](std::size_t k) { return positions[active[k]]; },
          [&](std::size_t k, double value, const Vec3* g) {
            const std::uint32_t i = active[k];
            const Vec3 grad = g ? *g : Vec3{0.0, 0.0, 0.0};
            if (!newton_step(positions[i], boxes[i], value - iso, grad, tolerance, stop_step)) {
              open[i] = 0;
            }
          });
      count.samples += active.size();
      ++count.rounds;
      keep_open(active, [&](std::uint32_t i) { return open[i] != 0; });
    }
    return count;
  }

  // Values only: vertices with a zero sample are done; the others need a
  // line, from their guide or the tetrahedral estimate.
  keep_open(active, [&](std::uint32_t i) { return first[i] != 0.0; });
  std::vector<std::uint32_t> unguided;
  for (std::uint32_t i : active) {
    const Vec3& g = guides[i];
    const double q = dot(g, g);
    if (!(q > 1e-20) || std::isinf(q)) unguided.push_back(i);
  }
  if (!unguided.empty()) {
    std::vector<Vec3> points(unguided.size());
    for (std::size_t k = 0; k < unguided.size(); ++k) points[k] = positions[unguided[k]];
    const std::vector<Vec3> estimated =
        estimate_gradients_tetrahedral(field, points, gradient_step(tree));
    for (std::size_t k = 0; k < unguided.size(); ++k) guides[unguided[k]] = estimated[k];
    count.samples += 4 * unguided.size();
  }
  std::vector<LineSearch> line(n);
  keep_open(active, [&](std::uint32_t i) {
    const Vec3& g = guides[i];
    const double q = dot(g, g);
    if (!(q > 1e-20) || std::isinf(q) || !std::isfinite(first[i])) return false;
    LineSearch& ls = line[i];
    ls.slope = std::sqrt(q);
    ls.dir = {g.x / ls.slope, g.y / ls.slope, g.z / ls.slope};
    ls.origin = positions[i];
    ls.f = ls.best_f = first[i];
    if (std::abs(ls.f) <= tolerance * ls.slope) return false;
    ls.next = -ls.f / ls.slope;
    return true;
  });
  const auto at = [&](std::uint32_t i, double s) {
    const LineSearch& ls = line[i];
    return clamped({ls.origin.x + s * ls.dir.x, ls.origin.y + s * ls.dir.y,
                    ls.origin.z + s * ls.dir.z},
                   boxes[i]);
  };
  for (int round = 0; round < kSecantRounds && !active.empty(); ++round) {
    poll_run();
    sample(
        pool, field, active.size(), [&](std::size_t k) { return at(active[k], line[active[k]].next); },
        [&](std::size_t k, double value, const Vec3*) {
          LineSearch& ls = line[active[k]];
          ls.s_prev = ls.s;
          ls.f_prev = ls.f;
          ls.s = ls.next;
          ls.f = value - iso;
          if (std::abs(ls.f) < std::abs(ls.best_f)) {  // false for NaN
            ls.best_f = ls.f;
            ls.best_s = ls.s;
          }
          if (std::abs(ls.f) <= tolerance * ls.slope || ls.f == ls.f_prev) {
            ls.done = true;
            return;
          }
          const double step = -ls.f * ((ls.s - ls.s_prev) / (ls.f - ls.f_prev));
          if (!std::isfinite(step)) {
            ls.done = true;
            return;
          }
          ls.next = ls.s + step;
          if (std::abs(step) <= stop_step) {
            ls.done = true;
            ls.final_unsampled = true;
          }
        });
    count.samples += active.size();
    ++count.rounds;
    keep_open(active, [&](std::uint32_t i) { return !line[i].done; });
  }
  parallel_for(pool, n, [&](std::size_t i) {
    const LineSearch& ls = line[i];
    if (ls.slope == 0.0) return;  // no line: the vertex stays
    positions[i] = at(static_cast<std::uint32_t>(i), ls.final_unsampled ? ls.next : ls.best_s);
  });
  return count;
}

}  // namespace

ProjectionCount project_vertices_lean(WorkerPool& pool, Field& field, std::vector<Vec3>& positions,
                                      std::vector<VertexBox> boxes, UnfilledVector<Vec3> guides,
                                      const Octree& tree) {
  return project_span(pool, field, positions, boxes, guides, tree);
}

ProjectionCount project_vertices_lean_in_slices(WorkerPool& pool, Field& field,
                                                std::vector<Vec3>& positions,
                                                const SliceBoxes& boxes, UnfilledVector<Vec3> guides,
                                                const Octree& tree, std::size_t slice) {
  const std::size_t n = positions.size();
  if (!guides.empty() && guides.size() < n) fail_index(guides.size(), guides.size());
  ProjectionCount count;
  std::vector<VertexBox> slice_boxes;
  std::vector<Vec3> zero_guides;
  for (std::size_t first = 0; first < n; first += slice) {
    if (first != 0) poll_run();
    const std::size_t m = std::min(slice, n - first);
    slice_boxes.resize(m);
    boxes(first, slice_boxes);
    std::span<Vec3> slice_guides;
    if (guides.empty()) {
      zero_guides.assign(m, Vec3{0.0, 0.0, 0.0});
      slice_guides = zero_guides;
    } else {
      slice_guides = std::span<Vec3>(guides).subspan(first, m);
    }
    const ProjectionCount part = project_span(
        pool, field, std::span<Vec3>(positions).subspan(first, m), slice_boxes, slice_guides, tree);
    count.samples += part.samples;
    count.rounds = std::max(count.rounds, part.rounds);
  }
  return count;
}

}  // namespace karvex
