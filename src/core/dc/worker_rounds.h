#pragma once

// Rounds of searches run block by block on the pool's workers, for a field
// that samples on the workers (Field::sample_on_worker): each block of
// searches takes all its rounds on one worker, the open searches' points
// sampled in one call per round, with its points, values and gradients on
// that worker's stack. Every search sees the answers to its own points
// alone, so it ends where rounds over every search would end it.

#include <algorithm>
#include <array>
#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "field/field.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {

// What the rounds took: the points sampled, and the most rounds any block ran.
struct WorkerRoundsCount {
  std::uint64_t samples = 0;
  int rounds = 0;
};

// Runs searches 0..n-1 for at most max_rounds rounds, Block searches to a
// block: point_of(i) is search i's next point, take(i, value, gradient)
// takes its answer and returns whether the search goes on.
template <std::size_t Block, class PointOf, class Take>
WorkerRoundsCount rounds_on_workers(WorkerPool& pool, Field& field, std::size_t n, int max_rounds,
                                    const PointOf& point_of, const Take& take) {
  const std::size_t blocks = (n + Block - 1) / Block;
  std::vector<std::uint64_t> block_samples(blocks, 0);
  std::vector<std::uint8_t> block_rounds(blocks, 0);
  const RunMonitor::Suspended quiet;
  parallel_for(pool, blocks, [&](std::size_t b) {
    std::array<std::uint32_t, Block> active;
    std::array<Vec3, Block> points;
    std::array<double, Block> values;
    std::array<Vec3, Block> gradients;
    const std::size_t first = b * Block;
    std::size_t m = std::min(Block, n - first);
    for (std::size_t k = 0; k < m; ++k) active[k] = static_cast<std::uint32_t>(first + k);
    int round = 0;
    for (; round < max_rounds && m != 0; ++round) {
      for (std::size_t k = 0; k < m; ++k) points[k] = point_of(active[k]);
      if (!field.sample_on_worker(std::span(points.data(), m), std::span(values.data(), m),
                                  std::span(gradients.data(), m))) {
        fail("a field stopped answering on the pool's workers");
      }
      block_samples[b] += m;
      std::size_t kept = 0;
      for (std::size_t k = 0; k < m; ++k) {
        const std::uint32_t i = active[k];
        if (take(i, values[k], gradients[k])) active[kept++] = i;
      }
      m = kept;
    }
    block_rounds[b] = static_cast<std::uint8_t>(round);
  }, 1);
  WorkerRoundsCount count;
  for (std::size_t b = 0; b < blocks; ++b) {
    count.samples += block_samples[b];
    count.rounds = std::max<int>(count.rounds, block_rounds[b]);
  }
  return count;
}

}  // namespace karvex
