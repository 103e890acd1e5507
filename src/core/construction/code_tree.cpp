#include "construction/code_tree.h"

#include <algorithm>
#include <array>
#include <utility>

#include "pool/run_monitor.h"

namespace karvex {

namespace {

// The tree is assembled on the pool below this depth: 64 subtrees.
constexpr unsigned kSplitDepth = 2;

// One assembly: the tree whose blocks it writes, the codes and the sides.
class CodeTree {
 public:
  CodeTree(Octree& tree, const std::vector<std::uint64_t>& codes,
           const std::vector<std::uint8_t>& masks,
           const std::function<bool(const CornerKey&)>& below, WorkerPool& pool)
      : tree_(tree), codes_(codes), masks_(masks), below_(below), pool_(pool) {}

  // The whole tree, its blocks where one post-order assembly from the root
  // puts them: the subtrees of the cells at depth kSplitDepth (the parts)
  // are assembled on the pool, each into its own run of the block array
  // (counted first), and the levels above them last. So the tree is the
  // same whatever the workers, and the block array is allocated once.
  OctreeNode run() {
    const unsigned split = std::min<unsigned>(kSplitDepth, tree_.max_depth);
    const std::size_t parts = std::size_t{1} << (3 * split);
    const unsigned shift = 3 * (static_cast<unsigned>(tree_.max_depth) - split);
    Parts layout;
    // The codes of part p are [bounds[p], bounds[p + 1]).
    layout.bounds.resize(parts + 1);
    for (std::size_t p = 0; p <= parts; ++p) {
      layout.bounds[p] = static_cast<std::size_t>(
          std::lower_bound(codes_.begin(), codes_.end(), std::uint64_t{p},
                           [shift](std::uint64_t code, std::uint64_t part) {
                             return (code >> shift) < part;
                           }) -
          codes_.begin());
    }
    begin_stage("volume octree", 2 * parts);
    std::vector<std::size_t> counts(parts);
    pool_.run(parts, 1, [&](LoopRange& loop) {
      for (std::size_t p = loop.begin(); loop.keep_going(p); ++p) {
        counts[p] = block_count(layout.bounds[p], layout.bounds[p + 1], split);
      }
    });
    layout.first.assign(parts, 0);
    layout.end.assign(parts, 0);
    const std::size_t base = tree_.blocks.size();
    std::size_t next = base;
    place_parts(0, 0, split, counts, layout, next);
    tree_.blocks.resize(next);
    layout.roots.resize(parts);
    pool_.run(parts, 1, [&](LoopRange& loop) {
      for (std::size_t p = loop.begin(); loop.keep_going(p); ++p) {
        const auto at = decode_cell_code(p);
        const CellAddress cell{at[0], at[1], at[2], static_cast<std::uint8_t>(split)};
        std::size_t block = layout.first[p];
        layout.roots[p] = assemble(cell, layout.bounds[p], layout.bounds[p + 1], block);
      }
    });
    std::size_t top = base;
    return assemble_top({0, 0, 0, 0}, 0, split, layout, top);
  }

 private:
  // The node of `cell` over the codes [begin, end) (those within it): a
  // leaf at max_depth, Empty or Full without any (by the side of its first
  // corner, since no cell within it changes sign), else Internal. Its blocks
  // are written to tree_.blocks from `next` on, each after the blocks
  // beneath it (post-order), and `next` is moved past them.
  OctreeNode assemble(const CellAddress& cell, std::size_t begin, std::size_t end,
                      std::size_t& next) {
    if (begin == end) {
      const CornerKey corner = min_corner(cell, tree_.max_depth);
      return below_(corner) ? OctreeNode::full() : OctreeNode::empty();
    }
    if (cell.d == tree_.max_depth) {
      const auto record = static_cast<std::uint32_t>(begin);
      return OctreeNode::leaf(record, masks_[begin]);
    }
    const unsigned shift = 3 * (static_cast<unsigned>(tree_.max_depth) - cell.d - 1u);
    ChildBlock children;
    if (cell.d + 1u == tree_.max_depth) {
      // Finest children, one code each at most. Every child shares the
      // block's centre (its corner 7 - o) with every other, and a child
      // without a code has all its corners on one side, the centre's, which
      // a leaf sibling's mask holds (its signs agree with `below`): no call
      // of `below`, whose read of a volume's sample would miss the caches
      // at nearly every such node.
      std::array<bool, 8> leaf{};
      unsigned sibling = 0;
      for (std::size_t n = begin; n < end; ++n) {
        const auto o = static_cast<unsigned>(codes_[n] & 7u);
        children[o] = OctreeNode::leaf(static_cast<std::uint32_t>(n), masks_[n]);
        leaf[o] = true;
        sibling = o;
      }
      const bool centre_below = ((children[sibling].sign_mask >> (7u - sibling)) & 1u) != 0;
      for (unsigned o = 0; o < 8; ++o) {
        if (!leaf[o]) children[o] = centre_below ? OctreeNode::full() : OctreeNode::empty();
      }
    } else {
      std::size_t from = begin;
      for (unsigned o = 0; o < 8; ++o) {
        // The codes are sorted: the child's are the next run with its octant.
        std::size_t upto = from;
        while (upto < end && ((codes_[upto] >> shift) & 7u) == o) ++upto;
        children[o] = assemble(child_address(cell, o), from, upto, next);
        from = upto;
      }
    }
    tree_.blocks[next] = children;
    return OctreeNode::internal(static_cast<std::uint32_t>(next++));
  }

  // The blocks assemble() makes over the codes [begin, end) of a cell at
  // depth `depth`: one per cell above max_depth that holds a code.
  std::size_t block_count(std::size_t begin, std::size_t end, unsigned depth) const {
    std::size_t count = 0;
    for (unsigned d = depth; d < tree_.max_depth && begin != end; ++d) {
      const unsigned shift = 3 * (static_cast<unsigned>(tree_.max_depth) - d);
      count += 1;
      for (std::size_t n = begin + 1; n < end; ++n) {
        if ((codes_[n] >> shift) != (codes_[n - 1] >> shift)) ++count;
      }
    }
    return count;
  }

  // The parts: their codes, where their blocks go and their roots.
  struct Parts {
    std::vector<std::size_t> bounds;  // part p's codes: [bounds[p], bounds[p + 1])
    std::vector<std::size_t> first;   // its blocks: [first[p], end[p])
    std::vector<std::size_t> end;
    std::vector<OctreeNode> roots;
  };

  // Whether the cell numbered `part` (in code order) at `depth` holds codes.
  static bool holds_codes(const Parts& layout, unsigned depth, std::size_t part, unsigned split) {
    const std::size_t span = std::size_t{1} << (3 * (split - depth));
    return layout.bounds[part * span] != layout.bounds[(part + 1) * span];
  }

  // Where the blocks of the parts beneath the cell numbered `part` at
  // `depth` go, in post-order: each part's run, then the levels' blocks
  // above them. `next` is the first free block, moved past them.
  void place_parts(unsigned depth, std::size_t part, unsigned split,
                   const std::vector<std::size_t>& counts, Parts& layout,
                   std::size_t& next) const {
    if (depth == split) {
      layout.first[part] = next;
      next += counts[part];
      layout.end[part] = next;
      return;
    }
    if (!holds_codes(layout, depth, part, split)) return;
    for (unsigned o = 0; o < 8; ++o) place_parts(depth + 1, part * 8 + o, split, counts, layout, next);
    ++next;  // this cell's block
  }

  // The node of `cell` (numbered `part` at its depth, in code order) above
  // the parts: as assemble() makes it, its block where place_parts() left
  // room. `next` follows place_parts()'s count along the same walk.
  OctreeNode assemble_top(const CellAddress& cell, std::size_t part, unsigned split,
                          const Parts& layout, std::size_t& next) {
    if (cell.d == split) {
      next = layout.end[part];
      return layout.roots[part];
    }
    if (!holds_codes(layout, cell.d, part, split)) {
      std::size_t none = 0;  // no code beneath: no block either
      return assemble(cell, 0, 0, none);
    }
    ChildBlock children;
    for (unsigned o = 0; o < 8; ++o) {
      children[o] = assemble_top(child_address(cell, o), part * 8 + o, split, layout, next);
    }
    tree_.blocks[next] = children;
    return OctreeNode::internal(static_cast<std::uint32_t>(next++));
  }

  Octree& tree_;
  const std::vector<std::uint64_t>& codes_;
  const std::vector<std::uint8_t>& masks_;  // the codes' sign masks
  const std::function<bool(const CornerKey&)>& below_;
  WorkerPool& pool_;
};

}  // namespace

OctreeNode assemble_code_tree(Octree& tree, const std::vector<std::uint64_t>& codes,
                              const std::vector<std::uint8_t>& masks,
                              const std::function<bool(const CornerKey&)>& below,
                              WorkerPool& pool) {
  return CodeTree(tree, codes, masks, below, pool).run();
}

}  // namespace karvex
