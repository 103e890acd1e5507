#include "balance/balance.h"

#include <cstdint>
#include <string>
#include <vector>

#include "balance/balance_marking.h"
#include "balance/balance_primitives.h"
#include "octree/pending_corners.h"
#include "octree/split_cells.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/panic.h"

namespace karvex {

namespace {

// Each pass must split something, or the loop around it would never end. The
// rules guarantee it (every mark names a leaf shallower than max_depth); this
// turns a broken guarantee into a failure instead of a hang.
void require_progress(const Octree& tree, std::size_t blocks_before, const char* pass) {
  if (tree.blocks.size() == blocks_before) {
    fail(std::string(pass) + " pass marked cells but split none");
  }
}

// The place of a marked cell's node. Fails as balance_split does for a cell
// at the deepest level or one that a coarser leaf covers.
NodePlace place_of(const Octree& tree, const CellAddress& cell) {
  if (cell.d >= tree.max_depth) fail("balance subdivision of a cell at the deepest level");
  if (cell.d == 0) return {0, 0, true};
  const CellAddress parent{cell.x >> 1, cell.y >> 1, cell.z >> 1,
                           static_cast<std::uint8_t>(cell.d - 1)};
  const DescentResult reached = descend_to(tree, parent);
  if (reached.level != parent.d || !reached.node.is_internal()) {
    fail("balance subdivision of a cell that a coarser leaf covers");
  }
  const auto octant = static_cast<std::uint8_t>((cell.x & 1u) | ((cell.y & 1u) << 1) |
                                                ((cell.z & 1u) << 2));
  return {reached.node.index, octant, false};
}

// Face-balance passes until no leaf breaks a face rule. Each pass: mark on
// the tree as it is, sample the children's corners of every marked cell in
// one batch, then split the marked cells in marking order.
std::uint64_t balance_faces(Octree& tree, CornerCache& cache, Field& field, WorkerPool& pool) {
  std::uint64_t charge = 0;
  LeafSelection leaves;  // every leaf on the first pass
  std::vector<SubgridSlots> slots;
  for (unsigned pass = 1;; ++pass) {
    poll_run();
    const CellMarks marks = mark_face_imbalance(tree, leaves, pool);
    if (marks.empty()) return charge;
    const std::vector<CellAddress>& cells = marks.list();
    begin_stage("balancing pass " + std::to_string(pass), 2 * std::uint64_t{cells.size()});
    // The new corners go straight into the cache's index, as in
    // construction; each split then reads its samples at the noted entries.
    slots.resize(cells.size());
    {
      PendingCorners pass(tree, cache);
      pass.reserve(19 * cells.size());
      monitored_for(cells.size(), [&](std::size_t i) {
        pass.gather_split_corners(min_corner(cells[i], tree.max_depth), cells[i].d, slots[i]);
      });
      // A field error leaves here, before any cell of the pass is split.
      charge += pass.sample(field, tree.spacing());
    }
    // The splits of balance_split, in marking order, with the per-cell work
    // on the pool.
    const std::size_t blocks_before = tree.blocks.size();
    std::vector<NodePlace> places;
    {
      const RunMonitor::Suspended quiet;  // the splits count, not this
      places = parallel_map<NodePlace>(pool, cells.size(),
                                       [&](std::size_t i) { return place_of(tree, cells[i]); });
    }
    split_cells(tree, cache,
                {places, slots, /*recycle_records=*/false,
                 "corner not in cache during balance subdivision"},
                pool);
    require_progress(tree, blocks_before, "face-balance");
    leaves = face_recheck(tree, marks.list());
  }
}

}  // namespace

std::uint64_t balance_octree(Octree& tree, CornerCache& cache, Field& field, WorkerPool& pool) {
  const std::uint64_t charge = balance_faces(tree, cache, field, pool);
  // The face rules are not checked again afterwards: edge closure refines
  // coarse cells uniformly, which can leave face neighbours more than one
  // level apart.
  return charge + close_sign_changing_edges(tree, cache, field, pool);
}

std::uint64_t close_sign_changing_edges(Octree& tree, CornerCache& cache, Field& field,
                                        WorkerPool& pool) {
  std::uint64_t charge = 0;
  LeafSelection leaves;  // every surface leaf on the first pass
  for (unsigned pass = 1;; ++pass) {
    poll_run();
    const EdgeMarks marks = mark_open_edges(tree, cache, leaves, pool);
    if (marks.marks.empty()) return charge;
    const std::vector<CellAddress>& cells = marks.marks.list();
    begin_stage("edge closure pass " + std::to_string(pass), 2 * std::uint64_t{cells.size()});
    // The cells' walks run on the pool; their candidates are taken in
    // marking order, the shared ones deduplicated, as gathering cell by cell
    // (gather_refinement_corners) would take them. A pass can gather tens of
    // millions of points: the candidates and the set are freed before the
    // field is called, so that only the batch's keys stay (their positions
    // are written straight into the field's input).
    std::vector<CornerKey> keys;
    {
      const std::vector<CornerCandidate> candidates = parallel_concat<CornerCandidate>(
          pool, cells.size(), [&](std::size_t i, std::vector<CornerCandidate>& out) {
            refinement_candidates(tree, cache, min_corner(cells[i], tree.max_depth), cells[i].d,
                                  marks.targets[i], out);
          });
      // Room for every candidate: pages never written cost no memory.
      keys.reserve(candidates.size());
      CornerKeySet gathered;
      for (const CornerCandidate& c : candidates) {
        if (c.boundary && !gathered.insert(c.key)) continue;
        keys.push_back(c.key);
      }
    }
    charge += sample_keys(field, cache, keys, tree, tree.spacing());
    std::vector<CornerKey>().swap(keys);
    const std::size_t blocks_before = tree.blocks.size();
    monitored_for(cells.size(), [&](std::size_t i) {
      refine_to_depth(tree, cache, min_corner(cells[i], tree.max_depth), cells[i].d,
                      marks.targets[i]);
    });
    require_progress(tree, blocks_before, "edge-closure");
    leaves = edge_recheck(tree, marks);
  }
}

}  // namespace karvex
