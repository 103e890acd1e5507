#include "dc/walk_order_finder.h"

#include <algorithm>
#include <vector>

#include "pool/run_monitor.h"

namespace karvex {

namespace {

constexpr std::size_t kCheckBlock = std::size_t{1} << 16;

}  // namespace

bool WalkOrderFinder::usable(WorkerPool& pool, const UnfilledVector<CellSigns>& cells) {
  const std::size_t n = cells.size();
  const std::size_t blocks = (n + kCheckBlock - 1) / kCheckBlock;
  std::vector<std::uint8_t> ordered(blocks, 0);
  const RunMonitor::Suspended quiet;
  parallel_for(pool, blocks, [&](std::size_t b) {
    const std::size_t begin = b * kCheckBlock;
    const std::size_t end = std::min(n, begin + kCheckBlock);
    // Each block also checks the seam with the cell before it.
    const std::size_t from = begin > 0 ? begin - 1 : 0;
    std::uint64_t last = 0;
    for (std::size_t i = from; i < end; ++i) {
      const CellAddress& a = cells[i].address;
      if (a.d > kMaxDepth || ((std::uint64_t{a.x} | a.y | a.z) >> a.d) != 0) return;
      const std::uint64_t at = code(a);
      if (i > from && !(last < at)) return;
      last = at;
    }
    ordered[b] = 1;
  }, 1);
  return std::all_of(ordered.begin(), ordered.end(), [](std::uint8_t ok) { return ok != 0; });
}

}  // namespace karvex
