#include "dc/crossings.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <limits>
#include <span>

#include "dc/component_table.h"
#include "dc/shared_crossings.h"
#include "field/fd_gradients.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

// Cells per task of find_crossing_refs, and tasks between its reports.
constexpr std::size_t kCellsPerBlock = kPollBlock;
constexpr std::size_t kBlocksPerReport = 16;

// Eight bisection steps on n crossings (see locate_crossing_refs). point(k, t)
// gives the point of crossing k at edge parameter t, below_at_u(k) whether
// f_u < 0 for it. Returns the final brackets' lower ends in 1/256 units.
// Writing the midpoints and reading the values run on `pool` (each crossing
// on its own: the result does not depend on the worker count), as part of
// the open stage's work: no progress is reported from inside a step, and the
// run is polled between steps.
//
// The bracket [lo, hi] of a crossing after s steps is [a, a + 1] * 2^-s for an
// integer a < 2^s, so its midpoint t = (lo + hi) * 0.5 is exactly
// (2a + 1) * 2^-(s + 1): all three are dyadic and exact in a double, and a
// byte per crossing replaces two doubles. Nor is f_lo kept: lo moves only
// when the new value has the sign of f_lo, so (f_lo < 0) stays what it was
// at the start, (f_u < 0).
template <class Point, class BelowAtU>
std::vector<std::uint8_t> bisect(WorkerPool& pool, Field& field, std::size_t n, double iso_value,
                                 const Point& point, const BelowAtU& below_at_u) {
  std::vector<std::uint8_t> lo(n, 0);
  double half_width = 0.5;  // 2^-(s + 1) at step s
  for (int step = 0; step < 8; ++step, half_width *= 0.5) {
    if (step != 0) poll_run();
    // The midpoints go straight into the field's input, and the values are
    // read where the field returned them.
    evaluate_written_batch(
        field, n,
        [&](std::span<Vec3> out) {
          const RunMonitor::Suspended quiet;
          parallel_for(pool, n, [&](std::size_t k) {
            out[k] = point(k, static_cast<double>(2u * lo[k] + 1u) * half_width);
          });
        },
        [&](const EvalView& result) {
          // Reading value k for every k fails first at the end of a short array.
          if (result.values.size() < n) fail_index(result.values.size(), result.values.size());
          const RunMonitor::Suspended quiet;
          parallel_for(pool, n, [&](std::size_t k) {
            const double f = result.values[k] - iso_value;
            // Keep the half whose ends differ in sign: lo moves to the
            // midpoint while f has the sign of f_lo (NaN counts as not
            // negative, like every sign test here).
            const bool move_lo = (f < 0) == below_at_u(k);
            lo[k] = static_cast<std::uint8_t>(2u * lo[k] + (move_lo ? 1u : 0u));
          });
        });
  }
  return lo;
}

}  // namespace

CrossingRefs find_crossing_refs(WorkerPool& pool, const std::vector<SurfaceCell>& cells) {
  const std::size_t n = cells.size();
  if (n > std::numeric_limits<std::uint32_t>::max()) {
    fail("too many surface cells for 32-bit cell numbers");
  }
  // Two passes over blocks of cells: count each block's crossings, then
  // write each block's straight to its place in the result, which nothing
  // fills before. Cheaper than growing and joining per-task lists, since the
  // test is a table lookup and the list is the large part; and no per-cell
  // count or start is kept.
  const std::size_t blocks = (n + kCellsPerBlock - 1) / kCellsPerBlock;
  const auto block_end = [&](std::size_t b) { return std::min(n, (b + 1) * kCellsPerBlock); };
  std::vector<std::size_t> block_first(blocks + 1, 0);
  {
    const RunMonitor::Suspended quiet;
    parallel_for(pool, blocks, [&](std::size_t b) {
      std::size_t count = 0;
      for (std::size_t i = b * kCellsPerBlock; i < block_end(b); ++i) {
        count += std::size_t{crossing_count(cells[i].sign_mask)};
      }
      block_first[b + 1] = count;
    }, 1);
  }
  advance_stage(n);
  for (std::size_t b = 0; b < blocks; ++b) block_first[b + 1] += block_first[b];
  CrossingRefs crossings(block_first[blocks]);
  const auto write_block = [&](std::size_t b) {
    CrossingRef* out = crossings.data() + block_first[b];
    for (std::size_t i = b * kCellsPerBlock; i < block_end(b); ++i) {
      const std::uint8_t mask = cells[i].sign_mask;
      const std::uint16_t edges = crossing_edges(mask);
      for (std::uint8_t j = 0; j < CUBE_EDGES.size(); ++j) {
        if (!((edges >> j) & 1u)) continue;
        *out++ = crossing_of_edge(static_cast<std::uint32_t>(i), mask, j);
      }
    }
  };
  // A report of progress (and a poll) per group of blocks.
  for (std::size_t first = 0; first < blocks; first += kBlocksPerReport) {
    const std::size_t last = std::min(blocks, first + kBlocksPerReport);
    {
      const RunMonitor::Suspended quiet;
      parallel_for(pool, last - first, [&](std::size_t b) { write_block(first + b); }, 1);
    }
    advance_stage(std::min(n, last * kCellsPerBlock) - first * kCellsPerBlock);
  }
  return crossings;
}

std::vector<std::uint8_t> locate_crossing_refs(WorkerPool& pool, Field& field,
                                               const CrossingRefs& crossings,
                                               const SharedCrossings& shared,
                                               const std::vector<SurfaceCell>& cells,
                                               double iso_value) {
  return bisect(
      pool, field, shared.distinct_count(), iso_value,
      [&](std::size_t d, double t) {
        const CrossingRef& c = crossings[shared.first[d]];
        return crossing_point(cells[c.cell], c, t);
      },
      [&](std::size_t d) { return crossings[shared.first[d]].below_at_u; });
}

std::vector<std::uint8_t> locate_crossing_refs(Field& field,
                                               const CrossingRefs& crossings,
                                               const std::vector<SurfaceCell>& cells,
                                               double iso_value) {
  return bisect(
      global_pool(), field, crossings.size(), iso_value,
      [&](std::size_t k, double t) {
        return crossing_point(cells[crossings[k].cell], crossings[k], t);
      },
      [&](std::size_t k) { return crossings[k].below_at_u; });
}

Vec3 normal_from_unbounded_gradient(const Vec3& g) {
  const double m = std::max({std::abs(g.x), std::abs(g.y), std::abs(g.z)});
  // Scaled into [-1, 1], so that the squares below cannot overflow; the
  // largest component becomes +-1 and the length lies in [1, sqrt(3)]. An
  // infinite component outweighs every finite one: the direction is the
  // limit of g / |g| as those components grow without bound.
  const auto scaled = [m](double c) {
    if (std::isinf(m)) return std::isinf(c) ? std::copysign(1.0, c) : 0.0;
    return c / m;
  };
  const Vec3 s{scaled(g.x), scaled(g.y), scaled(g.z)};
  const double length = std::sqrt(s.x * s.x + s.y * s.y + s.z * s.z);
  return {s.x / length, s.y / length, s.z / length};
}

double gradient_step(const Octree& tree) {
  return (tree.size / static_cast<double>(pow2(tree.max_depth))) * 0.01;
}

}  // namespace karvex
