#include "construction/build.h"

#include <array>
#include <optional>
#include <cmath>
#include <string>
#include <utility>
#include <vector>

#include "balance/balance.h"
#include "construction/dense_volume_build.h"
#include "construction/split_criteria.h"
#include "construction/stencil_free_field.h"
#include "octree/corner_cache.h"
#include "octree/pending_corners.h"
#include "octree/split_cells.h"
#include "octree/subgrid.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/alloc_context.h"
#include "support/panic.h"

namespace karvex {

namespace {

constexpr double kPi = 3.141592653589793;
constexpr const char* kMissingInSplit = "corner not in cache during subdivision";

// A cell chosen for splitting, with the place of its node: entry `octant` of
// block `block`, or the root when the cell has depth 0. Blocks are never
// moved or removed, so the place stays valid while other cells are split.
// When the cell was made by a split of the run, the cache entries of its
// eight corners (corner order) are known from that split; otherwise
// corners[0] is CornerCache::kAbsent and they are looked up.
struct SplitTarget {
  CellAddress cell;
  std::uint32_t block = 0;
  std::uint8_t octant = 0;
  std::array<std::uint32_t, 8> corners{CornerCache::kAbsent};
};

// One construction run: the tree being built, the corner cache it samples
// through, and the running evaluation count. The cache lives exactly as long
// as the run.
class Builder {
 public:
  Builder(Field& field, const BBox& box, const MeshingOptions& options)
      : field_(field),
        tree_(make_octree(box, static_cast<std::uint8_t>(options.min_depth),
                          static_cast<std::uint8_t>(options.max_depth), options.level)),
        cache_(tree_.max_depth),
        h_(tree_.spacing()),
        // The product before the division, as the threshold is defined.
        cos_threshold_(std::cos(options.sharp_angle * kPi / 180.0)),
        find_small_(options.find_small),
        from_values_(options.lean_sampling),
        tile_(options.tile),
        pool_(options.run.pool != nullptr ? *options.run.pool : global_pool()) {
    const std::size_t side = static_cast<std::size_t>(pow2(tree_.min_depth)) + 1;
    cache_.reserve(side * side * side);
  }

  BuildResult run(bool balance) {
    set_work_stage("sampling the initial grid at level", tree_.min_depth);
    const std::size_t side = static_cast<std::size_t>(pow2(tree_.min_depth)) + 1;
    // Progress stages: "initial grid" (its points), "octree level L" and
    // "surface leaves pass k" (the cells split, twice: gathering their
    // corners and splitting), then the passes of balance/.
    begin_stage("initial grid", std::uint64_t{side} * side * side);
    evaluation_count_ += sample_initial_grid(tree_, field_, cache_);
    grid_ordered_ = cache_.size() == side * side * side;
    set_work_stage("assembling the uniform tree at level", tree_.min_depth);
    tree_.split_limit = tile_;
    tree_.root = assemble_uniform({0, 0, 0, 0});
    refine_by_criteria();
    if (balance) {
      if (tile_) {
        // Tiles of an adaptive run agree along their seams when every
        // surface leaf touching a seam is as fine as it gets: balancing near
        // a seam then starts from the same leaves in the tiles on both sides.
        set_work_stage("refining the seams' surface cells to level", tree_.max_depth);
        refine_leaves_where("seam leaves pass ", [&](const CellAddress& cell) {
          return tree_.may_split(cell) && tree_.on_seam(cell);
        });
      }
      set_work_stage("balancing");
      evaluation_count_ += balance_octree(tree_, cache_, field_, pool_);
    } else {
      set_work_stage("refining every surface cell to level", tree_.max_depth);
      refine_leaves_where("surface leaves pass ",
                          [&](const CellAddress& cell) { return tree_.may_split(cell); });
      // Cells across a sign-changing edge of a refined leaf must be as fine as
      // that leaf, or the mesh would have holes there.
      set_work_stage("closing sign-changing edges");
      evaluation_count_ += close_sign_changing_edges(tree_, cache_, field_, pool_);
    }
    end_stage();
    return {std::move(tree_), evaluation_count_};
  }

 private:
  std::array<const CornerSample*, 8> cell_samples(const CellAddress& cell,
                                                  const char* missing_message) const {
    std::array<const CornerSample*, 8> samples;
    for (unsigned i = 0; i < 8; ++i) {
      const auto it = cache_.find(cell_corner(cell, i, tree_.max_depth));
      if (it == cache_.end()) fail(missing_message);
      samples[i] = &it->second;
    }
    return samples;
  }

  // The samples of a min_depth cell read by grid position: the initial grid
  // went into the empty cache in order, so grid point (i, j, k) is entry
  // i + (n+1) * (j + (n+1) * k).
  std::array<const CornerSample*, 8> grid_samples(const CellAddress& cell) const {
    const std::size_t side = static_cast<std::size_t>(pow2(tree_.min_depth)) + 1;
    std::array<const CornerSample*, 8> samples;
    for (unsigned i = 0; i < 8; ++i) {
      const std::size_t entry =
          (cell.x + (i & 1u)) + side * ((cell.y + ((i >> 1) & 1u)) + side * (cell.z + (i >> 2)));
      samples[i] = &cache_.sample(static_cast<std::uint32_t>(entry));
    }
    return samples;
  }

  static CellAddress child_of(const CellAddress& cell, unsigned octant) {
    return {2 * cell.x + (octant & 1u), 2 * cell.y + ((octant >> 1) & 1u),
            2 * cell.z + ((octant >> 2) & 1u), static_cast<std::uint8_t>(cell.d + 1)};
  }

  // The uniform tree down to min_depth. Eight Empty (or eight Full) children
  // collapse into one Empty (Full) node without a block, so a region wholly on
  // one side of the surface becomes a single node as shallow as it allows.
  // Blocks are appended after all blocks beneath them (post-order).
  OctreeNode assemble_uniform(const CellAddress& cell) {
    if (cell.d == tree_.min_depth) {
      return make_node(
          tree_, grid_ordered_ ? grid_samples(cell) : cell_samples(cell, "corner not in cache"));
    }
    ChildBlock children;
    bool all_empty = true;
    bool all_full = true;
    for (unsigned o = 0; o < 8; ++o) {
      children[o] = assemble_uniform(child_of(cell, o));
      all_empty = all_empty && children[o].kind == NodeKind::Empty;
      all_full = all_full && children[o].kind == NodeKind::Full;
    }
    if (find_small_ && cell.d + 1 == tree_.min_depth && (all_empty || all_full) &&
        any_child_may_hold_surface(cell)) {
      return OctreeNode::internal(tree_.append_block(children));
    }
    if (all_empty) return OctreeNode::empty();
    if (all_full) return OctreeNode::full();
    return OctreeNode::internal(tree_.append_block(children));
  }

  // Whether a child (at min_depth) of `cell`, none of which changes sign,
  // could hold surface by the split test of cells without a sign change.
  bool any_child_may_hold_surface(const CellAddress& cell) const {
    double side = tree_.size;
    for (unsigned level = 0; level < tree_.min_depth; ++level) side *= 0.5;
    for (unsigned o = 0; o < 8; ++o) {
      const CellAddress child = child_of(cell, o);
      const auto samples =
          grid_ordered_ ? grid_samples(child) : cell_samples(child, "corner not in cache");
      if (homogeneous_cell_needs_split(samples, split_gradients(samples, side, from_values_),
                                       tree_.iso_value, side)) {
        return true;
      }
    }
    return false;
  }

  // Level by level from min_depth to max_depth - 1: decide every split of a
  // level before splitting any, so a level never sees its own new children.
  // The cells of a level are the children of the cells split at the level
  // before (the first level walks the uniform tree), so after the first
  // level no walk is needed; they come in the walk's order, since the split
  // cells did and children follow in octant order.
  void refine_by_criteria() {
    std::vector<SplitTarget> selected;
    double side = tree_.size;  // halved level by level, as a walk would carry it
    for (unsigned level = 0; level < tree_.min_depth; ++level) side *= 0.5;
    for (unsigned level = tree_.min_depth; level < tree_.max_depth; ++level) {
      set_work_stage("refining level", static_cast<int>(level));
      selected.clear();
      if (level == tree_.min_depth) {
        select_for_split(tree_.root, {{0, 0, 0, 0}}, level, side, selected);
      } else {
        selected = children_of_last_pass([&](const SplitTarget& /*child*/, const OctreeNode& node,
                                             const std::array<const CornerSample*, 8>& samples) {
          return needs_split(node, samples, side);
        });
      }
      keep_splittable(selected);
      if (selected.empty()) return;  // nothing deeper can be tested either
      begin_stage("octree level " + std::to_string(level), 2 * std::uint64_t{selected.size()});
      split_all(selected);
      side *= 0.5;
    }
  }

  // Drops the cells a tiled run leaves whole (those far from its tile).
  void keep_splittable(std::vector<SplitTarget>& targets) const {
    if (!tile_) return;
    std::erase_if(targets, [&](const SplitTarget& t) { return !tree_.may_split(t.cell); });
  }

  // The split test of a cell of side `side` at the level being refined.
  bool needs_split(const OctreeNode& node, const std::array<const CornerSample*, 8>& samples,
                   double side) const {
    const std::array<Vec3, 8> gradients = split_gradients(samples, side, from_values_);
    return node.kind == NodeKind::Leaf
               ? leaf_needs_split(gradients, cos_threshold_)
               : homogeneous_cell_needs_split(samples, gradients, tree_.iso_value, side);
  }

  void select_for_split(const OctreeNode& node, const SplitTarget& at, unsigned level,
                        double level_side, std::vector<SplitTarget>& selected) const {
    const CellAddress& cell = at.cell;
    if (node.is_internal()) {
      if (cell.d >= level) return;
      const ChildBlock& children = tree_.block(node.index);
      for (unsigned o = 0; o < 8; ++o) {
        select_for_split(children[o], {child_of(cell, o), node.index, static_cast<std::uint8_t>(o)},
                         level, level_side, selected);
      }
      return;
    }
    // Collapsed regions and cells left unsplit at their own level are not
    // tested again.
    if (cell.d != level) return;
    // The first level's cells are the uniform tree's, made from these samples.
    const auto samples =
        grid_ordered_ ? grid_samples(cell) : cell_samples(cell, "corner not in cache");
    const std::array<Vec3, 8> gradients = split_gradients(samples, level_side, from_values_);
    const bool split =
        node.kind == NodeKind::Leaf
            ? leaf_needs_split(gradients, cos_threshold_)
            : homogeneous_cell_needs_split(samples, gradients, tree_.iso_value, level_side);
    if (split) selected.push_back(at);
  }

  // Every Leaf shallower than max_depth for which wanted(cell) holds is split,
  // one level per repetition (a progress stage `stage` + its number), so all
  // such surface cells end at max_depth. After the first repetition the only
  // such leaves are children of the cells just split.
  template <class Wanted>
  void refine_leaves_where(const char* stage, Wanted&& wanted) {
    std::vector<SplitTarget> leaves;
    collect_shallow_leaves(tree_.root, {{0, 0, 0, 0}}, leaves);
    std::erase_if(leaves, [&](const SplitTarget& t) { return !wanted(t.cell); });
    for (unsigned pass = 1; !leaves.empty(); ++pass) {
      begin_stage(stage + std::to_string(pass), 2 * std::uint64_t{leaves.size()});
      split_all(leaves);
      leaves = children_of_last_pass(
          [&](const SplitTarget& child, const OctreeNode& node, const auto& /*samples*/) {
            return node.kind == NodeKind::Leaf && child.cell.d < tree_.max_depth &&
                   wanted(child.cell);
          });
    }
  }

  void collect_shallow_leaves(const OctreeNode& node, const SplitTarget& at,
                              std::vector<SplitTarget>& leaves) const {
    if (node.is_internal()) {
      const ChildBlock& children = tree_.block(node.index);
      for (unsigned o = 0; o < 8; ++o) {
        collect_shallow_leaves(
            children[o], {child_of(at.cell, o), node.index, static_cast<std::uint8_t>(o)}, leaves);
      }
    } else if (node.kind == NodeKind::Leaf && at.cell.d < tree_.max_depth) {
      leaves.push_back(at);
    }
  }

  // The children of the cells split by the last pass for which
  // keep(child, node, samples) holds, in that pass's order and octant order
  // within: the child as a split target (corner entries from the pass), its
  // node, and its eight corner samples. The tests run on the pool; their
  // results are joined in list order.
  template <class Keep>
  std::vector<SplitTarget> children_of_last_pass(Keep&& keep) const {
    // The tests are no stage of their own: they neither count towards the
    // open stage nor poll.
    const RunMonitor::Suspended quiet;
    return parallel_concat<SplitTarget>(
        pool_, last_pass_.size(), [&](std::size_t i, std::vector<SplitTarget>& out) {
          // The pass appended one block per split cell, in list order.
          const auto block = static_cast<std::uint32_t>(last_pass_first_block_ + i);
          const ChildBlock& children = tree_.block(block);
          const SubgridSlots& slots = slots_[i];
          for (unsigned o = 0; o < 8; ++o) {
            SplitTarget child{child_of(last_pass_[i].cell, o), block, static_cast<std::uint8_t>(o)};
            std::array<const CornerSample*, 8> samples;
            for (unsigned c = 0; c < 8; ++c) {
              child.corners[c] = slots[kSubgrid.child_corner[o][c]];
              samples[c] = &cache_.sample(child.corners[c]);
            }
            if (keep(child, children[o], samples)) out.push_back(child);
          }
        });
  }

  // One pass: gather the new corners of every cell, sample them as one batch,
  // then split the cells in list order. The list is kept as last_pass_;
  // `targets` is left holding the list before it (for the caller to reuse).
  void split_all(std::vector<SplitTarget>& targets) {
    slots_.resize(targets.size());
    {
      // Room for the samples as many as the last pass added per split, so
      // that sampling appends without growing the array piece by piece.
      cache_.reserve(cache_.size() + static_cast<std::size_t>(corners_per_split_ *
                                                              static_cast<double>(targets.size())));
      PendingCorners pass(tree_, cache_);
      // A split adds at most 19 corners; room reserved but not used costs no memory.
      pass.reserve(19 * targets.size());
      for (std::size_t i = 0; i < targets.size(); ++i) {
        if (i != 0 && i % kPollBlock == 0) advance_stage(kPollBlock);
        const SplitTarget& target = targets[i];
        const CornerKey corner = min_corner(target.cell, tree_.max_depth);
        if (target.corners[0] == CornerCache::kAbsent) {
          pass.gather_split_corners(corner, target.cell.d, slots_[i]);
        } else {
          pass.gather_split_corners(corner, target.cell.d, target.corners, slots_[i]);
        }
      }
      corners_per_split_ = static_cast<double>(pass.size()) / static_cast<double>(targets.size());
      evaluation_count_ += pass.sample(field_, h_);
    }
    last_pass_first_block_ = tree_.blocks.size();
    places_.resize(targets.size());
    for (std::size_t i = 0; i < targets.size(); ++i) {
      places_[i] = {targets[i].block, targets[i].octant, targets[i].cell.d == 0};
    }
    split_cells(tree_, cache_, {places_, slots_, /*recycle_records=*/true, kMissingInSplit}, pool_);
    last_pass_.swap(targets);
  }

  Field& field_;
  Octree tree_;
  CornerCache cache_;
  const double h_;
  const double cos_threshold_;
  const bool find_small_;  // keep min_depth cells that may hold surface apart
  // Corners without a gradient of the field's own (the field is seen through
  // StencilFreeField) take the split tests' gradients from their cell's values.
  const bool from_values_;
  const std::optional<LatticeBlock> tile_;  // set: split only cells near it
  WorkerPool& pool_;       // runs the per-cell work; the field is called on this thread only
  std::uint64_t evaluation_count_ = 0;
  bool grid_ordered_ = false;              // the cache holds exactly the initial grid, in order
  std::vector<SubgridSlots> slots_;        // sub-grid entries of the last pass's cells
  std::vector<SplitTarget> last_pass_;     // the cells the last pass split
  std::vector<NodePlace> places_;          // their node places
  std::size_t last_pass_first_block_ = 0;  // the block of its first cell
  double corners_per_split_ = 12.0;        // new corners per split in the last pass
};

}  // namespace

BuildResult build_octree(Field& field, const BBox& box, const MeshingOptions& options) {
  // Names the work for the report of an allocation failure; each phase of
  // the run names its stage.
  const TaskScope task("building the octree", static_cast<int>(options.max_depth));
  // A volume whose samples are the finest lattice's points needs no
  // sampling level by level: its surface cells are read off the samples.
  if (auto* volume = dynamic_cast<VolumeField*>(&field);
      volume != nullptr && !options.adaptive && !options.tile) {
    if (auto tree = build_dense_volume_octree(*volume, box, options)) {
      const std::uint64_t corners = 8 * tree->leaf_count();
      return {std::move(*tree), corners};
    }
  }
  set_work_stage("reserving the corner cache for the initial grid at level",
                 static_cast<int>(options.min_depth));
  if (options.lean_sampling) {
    StencilFreeField stencil_free(field);
    return Builder(stencil_free, box, options).run(options.adaptive);
  }
  return Builder(field, box, options).run(options.adaptive);
}

}  // namespace karvex
