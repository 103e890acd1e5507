#include "balance/balance.h"

#include <cstdint>
#include <string>
#include <vector>

#include "balance/balance_marking.h"
#include "balance/balance_primitives.h"
#include "octree/pending_corners.h"
#include "pool/run_monitor.h"
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

// Face-balance passes until no leaf breaks a face rule. Each pass: mark on
// the tree as it is, sample the children's corners of every marked cell in
// one batch, then split the marked cells in marking order.
std::uint64_t balance_faces(Octree& tree, CornerCache& cache, Field& field) {
  std::uint64_t charge = 0;
  LeafSelection leaves;  // every leaf on the first pass
  std::vector<SubgridSlots> slots;
  for (unsigned pass = 1;; ++pass) {
    poll_run();
    const CellMarks marks = mark_face_imbalance(tree, leaves);
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
    const std::size_t blocks_before = tree.blocks.size();
    monitored_for(cells.size(), [&](std::size_t i) {
      balance_split(tree, cache, min_corner(cells[i], tree.max_depth), cells[i].d, slots[i]);
    });
    require_progress(tree, blocks_before, "face-balance");
    leaves = face_recheck(tree, marks.list());
  }
}

}  // namespace

std::uint64_t balance_octree(Octree& tree, CornerCache& cache, Field& field) {
  const std::uint64_t charge = balance_faces(tree, cache, field);
  // The face rules are not checked again afterwards: edge closure refines
  // coarse cells uniformly, which can leave face neighbours more than one
  // level apart.
  return charge + close_sign_changing_edges(tree, cache, field);
}

std::uint64_t close_sign_changing_edges(Octree& tree, CornerCache& cache, Field& field) {
  std::uint64_t charge = 0;
  LeafSelection leaves;  // every surface leaf on the first pass
  for (unsigned pass = 1;; ++pass) {
    poll_run();
    const EdgeMarks marks = mark_open_edges(tree, cache, leaves);
    if (marks.marks.empty()) return charge;
    const std::vector<CellAddress>& cells = marks.marks.list();
    begin_stage("edge closure pass " + std::to_string(pass), 2 * std::uint64_t{cells.size()});
    CornerBatch batch;
    monitored_for(cells.size(), [&](std::size_t i) {
      gather_refinement_corners(tree, cache, min_corner(cells[i], tree.max_depth), cells[i].d,
                                marks.targets[i], batch);
    });
    charge += sample_batch(field, cache, batch, tree.spacing());
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
