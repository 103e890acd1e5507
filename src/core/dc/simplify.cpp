#include "dc/simplify.h"

#include <cmath>
#include <limits>

#include "dc/merged_qef.h"
#include "dc/subtree_spans.h"
#include "dc/vertex_keys.h"
#include "pool/run_monitor.h"
#include "support/panic.h"

namespace karvex {

namespace {

// What a subtree offers its parent.
struct Candidate {
  enum class Kind : std::uint8_t {
    Fixed,    // final: `node` is its contouring node; the parent cannot collapse
    Uniform,  // no surface below; `mask` 0 or 255
    Leaf,     // a surface leaf with one vertex: cell `cell`, Qef `qef`
    Merged,   // a collapsed cell: `qef`, `position`, `samples`
  };
  Kind kind = Kind::Uniform;
  std::uint8_t mask = 0;
  ContourNode node;
  std::uint64_t cell = 0;
  Qef qef;
  Vec3 position;  // Merged: its vertex; Leaf: the leaf's solved vertex
  CellAddress address;  // Merged: the collapsed cell
  double side = 0.0;
  // Merged: its children's vertices, in Simplifier::samples_ (kept apart:
  // every internal node makes eight candidates, and few of them merge).
  std::size_t samples = 0;
  // Leaf: the least error its own planes allow anywhere near the cell (the
  // noise of normals estimated across a crease); Merged: its leaves' sum.
  // Solved only when a merge above needs it (`floor_known`): most merges
  // pass on their error alone.
  double floor = 0.0;
  bool floor_known = false;
  std::uint64_t first_cell = 0;  // Merged: the first surface cell of its subtree
};

// The vertices of a collapsed cell's children, in child order.
struct ChildVertices {
  std::array<Vec3, 8> points{};
  unsigned count = 0;
};

// Per child octant and corner mask: the points of the 3x3x3 grid of a
// cell's children's corners that the mask puts below the level, point
// (i, j, k) at bit i + 3 j + 9 k.
constexpr std::array<std::array<std::uint32_t, 256>, 8> kGridBits = [] {
  std::array<std::array<std::uint32_t, 256>, 8> table{};
  for (unsigned o = 0; o < 8; ++o) {
    for (unsigned mask = 0; mask < 256; ++mask) {
      for (unsigned k = 0; k < 8; ++k) {
        if (!((mask >> k) & 1u)) continue;
        const unsigned i = (o & 1u) + (k & 1u);
        const unsigned j = ((o >> 1) & 1u) + ((k >> 1) & 1u);
        const unsigned l = (o >> 2) + (k >> 2);
        table[o][mask] |= 1u << (i + 3 * j + 9 * l);
      }
    }
  }
  return table;
}();

VertexBox box_of(const Vec3& lo, double side) {
  return {lo, {lo.x + side, lo.y + side, lo.z + side}};
}

class Simplifier {
 public:
  Simplifier(const Octree& tree, const std::vector<SurfaceCell>& cells, const VertexSlots& slots,
             const std::vector<Qef>& qefs, const std::vector<VertexSolution>& solutions,
             double tolerance, const MergeRefusals* refused, bool oblique, CollapseMemo* memo)
      : tree_(tree),
        cells_(cells),
        slots_(slots),
        qefs_(qefs),
        solutions_(solutions),
        tolerance_(tolerance > 0.0 ? tolerance : 0.0),
        squared_tolerance_(tolerance_ * tolerance_),
        refused_(refused),
        oblique_(oblique),
        memo_(memo) {
    if (memo_ != nullptr && memo_->floors.size() != cells_.size()) {
      memo_->floors.assign(cells_.size(), std::numeric_limits<double>::quiet_NaN());
      memo_->has_last = false;
    }
    // The last collapse's subtrees are taken over where no refusal since
    // lies in them (no refusals at all count as none).
    static const MergeRefusals kNone;
    if (memo_ != nullptr && memo_->has_last &&
        refused_since(memo_->seen, refused_ != nullptr ? *refused_ : kNone, touched_)) {
      last_ = &memo_->last;
    }
  }

  SimplifiedCells run() {
    Candidate root;
    visit(tree_.root, {0, 0, 0, 0}, tree_.origin, tree_.size, root,
          last_ != nullptr ? &last_->root : nullptr);
    out_.root = finalize(root);
    if (next_cell_ != cells_.size()) fail("simplification walked a different set of cells");
    if (spans_.size() != out_.blocks.size()) fail("simplification lost a block's span");
    if (memo_ != nullptr) {
      memo_->last = out_;
      memo_->spans = std::move(spans_);
      memo_->seen = refused_ != nullptr ? *refused_ : MergeRefusals{};
      memo_->has_last = true;
    }
    return std::move(out_);
  }

 private:
  // What the subtree at `node` offers its parent, written into `c`, which
  // is as Candidate{} leaves it (the candidates are large: they are made
  // in place rather than copied up the tree). `before` is the last
  // collapse's node at this cell, when there is one to take over from.
  void visit(const OctreeNode& node, const CellAddress& address, const Vec3& cell_min,
             double side, Candidate& c, const ContourNode* before) {
    // The walk is serial and may take seconds on a deep tree: let the caller
    // end the run (Ctrl-C) between nodes. Polling changes no result.
    if (++visited_ % kPollBlock == 0) poll_run();
    switch (node.kind) {
      case NodeKind::Empty:
        c.mask = 0;
        return;
      case NodeKind::Full:
        c.mask = 255;
        return;
      case NodeKind::Leaf:
        leaf(node, address, c);
        return;
      case NodeKind::Internal:
        break;
    }
    const bool kept_before = before != nullptr && before->kind == ContourKind::Internal;
    if (kept_before && !touched_.contains(address)) {
      // Kept whole last time, and nothing in it refused since: the same
      // subtree again.
      next_cell_ += append_kept_subtree(*last_, memo_->spans, before->index, out_, spans_);
      c.kind = Candidate::Kind::Fixed;
      c.node = {ContourKind::Internal, 0, out_.blocks.size() - 1};
      return;
    }
    const ChildBlock& block = tree_.block(node.index);
    const double half = side * 0.5;
    const std::uint64_t first_cell = next_cell_;
    const std::uint64_t first_block = out_.blocks.size();
    const std::uint64_t first_vertex = out_.positions.size();
    const std::uint64_t first_merged = out_.merged.size();
    std::array<Candidate, 8> children;
    for (unsigned o = 0; o < 8; ++o) {
      visit(block[o], child_address(address, o), child_min(cell_min, half, o), half, children[o],
            kept_before ? &last_->blocks[before->index][o] : nullptr);
    }
    combine(children, block, first_cell, address, cell_min, side, c);
    if (c.kind == Candidate::Kind::Fixed) {
      // combine() kept the children: its block is the last.
      spans_.push_back({first_block, first_vertex, out_.positions.size(), first_merged,
                        out_.merged.size(), next_cell_ - first_cell});
    }
  }

  void leaf(const OctreeNode& node, const CellAddress& address, Candidate& c) {
    c.mask = tree_.leaf_mask(node);
    // A leaf extraction does not take has no vertex and ends collapsing.
    if (address.d < tree_.min_depth || c.mask == 0 || c.mask == 255) {
      c.kind = Candidate::Kind::Fixed;
      c.node = {ContourKind::Uniform, c.mask, 0};
      return;
    }
    const std::uint64_t index = next_cell_++;
    if (index >= cells_.size() || !(cells_[index].address == address)) {
      fail("simplification walked a different set of cells");
    }
    const ComponentRow& row = checked_at(slots_.cell_components, index);
    const std::uint64_t slot = checked_at(slots_.vertex_base, index);
    // A leaf with several vertex groups (a feature crossing it obliquely
    // leaves corners that touch only diagonally) offers their Qefs summed:
    // its parent merges them into one vertex or keeps the leaf as it is.
    bool solved = row[8] == 1 || (oblique_ && row[8] > 1);
    if (!oblique_) solved = solved && manifold_mask(c.mask);
    for (unsigned j = 0; j < row[8]; ++j) solved = solved && checked_at(qefs_, slot + j).count > 0;
    if (solved) {
      c.kind = Candidate::Kind::Leaf;
      c.cell = index;
      for (unsigned j = 0; j < row[8]; ++j) add_qef(c.qef, qefs_[slot + j]);
      c.position = checked_at(solutions_, slot).position;
      if (memo_ != nullptr && !std::isnan(memo_->floors[index])) {
        c.floor = memo_->floors[index];
        c.floor_known = true;
      }
      return;
    }
    c.kind = Candidate::Kind::Fixed;
    c.node = finalize_leaf(index);
  }

  // `c` as visit() has it.
  // `block` holds the children's nodes, `first_cell` the first surface cell
  // of the subtree.
  void combine(std::array<Candidate, 8>& children, const ChildBlock& block,
               std::uint64_t first_cell, const CellAddress& address, const Vec3& cell_min,
               double side, Candidate& c) {
    // The root has no faces round it: never collapsed. A tolerance of 0 or
    // less collapses nothing. A tiled run keeps the cells on its seams, which
    // the tile on the other side makes too.
    bool blocked = address.d == 0 || !(squared_tolerance_ > 0.0) ||
                   (refused_ != nullptr && refused_->contains(address)) || tree_.on_seam(address);
    bool all_uniform = true;
    for (const Candidate& child : children) {
      blocked = blocked || child.kind == Candidate::Kind::Fixed;
      all_uniform = all_uniform && child.kind == Candidate::Kind::Uniform;
    }
    if (!blocked) {
      // The signs of the 3x3x3 grid of the children's corners.
      std::uint32_t below = 0;
      for (unsigned o = 0; o < 8; ++o) below |= kGridBits[o][children[o].mask];
      std::uint8_t mask = 0;
      for (unsigned k = 0; k < 8; ++k) {
        const unsigned point = 2 * (k & 1u) + 6 * ((k >> 1) & 1u) + 18 * (k >> 2);
        if ((below >> point) & 1u) mask |= static_cast<std::uint8_t>(1u << k);
      }
      if (all_uniform && (below == 0 || below == (1u << 27) - 1)) {
        c.mask = mask;
        return;
      }
      if (!all_uniform && ((manifold_mask(mask) && midpoints_agree(below)) || oblique_)) {
        // merge() writes `c` only when it merges.
        Candidate& merged = c;
        if (merge(children, block, mask, address, cell_min, side, merged)) {
          merged.first_cell = first_cell;
          merged.address = address;
          merged.side = side;
          merged.samples = samples_.size();
          ChildVertices& vertices = samples_.emplace_back();
          for (const Candidate& child : children) {
            if (child.kind != Candidate::Kind::Uniform) {
              vertices.points[vertices.count++] = child.position;
            }
          }
          return;
        }
      }
    }
    ContourBlock kept;
    for (unsigned o = 0; o < 8; ++o) kept[o] = finalize(children[o]);
    out_.blocks.push_back(kept);
    c.kind = Candidate::Kind::Fixed;
    c.node = {ContourKind::Internal, 0, out_.blocks.size() - 1};
  }

  // The noise floor of surface cell `index`: its planes' least error in its
  // cell grown by a quarter side, every direction they pin down at all.
  // Solved once per memo.
  double leaf_floor(std::uint64_t index) {
    if (!oblique_ || !(squared_tolerance_ > 0.0)) return 0.0;
    if (memo_ == nullptr) return solve_leaf_floor(index);
    double& floor = memo_->floors[index];
    if (std::isnan(floor)) floor = solve_leaf_floor(index);
    return floor;
  }

  double solve_leaf_floor(std::uint64_t index) const {
    const SurfaceCell& cell = checked_at(cells_, index);
    const std::uint64_t slot = checked_at(slots_.vertex_base, index);
    // The leaf's Qef as leaf() offers it: its groups' summed.
    Qef qef;
    for (unsigned j = 0; j < slots_.cell_components[index][8]; ++j) add_qef(qef, qefs_[slot + j]);
    const double side = cell.cell_side;
    const double m = 0.25 * side;
    const Vec3 lo{cell.cell_min.x - m, cell.cell_min.y - m, cell.cell_min.z - m};
    const VertexBox box{lo, {lo.x + side + 2 * m, lo.y + side + 2 * m, lo.z + side + 2 * m}};
    return solve_merged_qef(qef, box, kMergedFullTruncation).error;
  }

  // The noise floor of the subtree at `node`, inside a collapsed cell (its
  // leaves are surface cells, numbered from `cell` on in walk order, and
  // uniform nodes), added up as the collapse adds it: per internal node
  // its children's in child order, skipping those without surface. False
  // when the subtree has no surface.
  bool subtree_floor(const OctreeNode& node, std::uint64_t& cell, double& floor) {
    switch (node.kind) {
      case NodeKind::Empty:
      case NodeKind::Full:
        return false;
      case NodeKind::Leaf:
        floor = leaf_floor(cell++);
        return true;
      case NodeKind::Internal:
        break;
    }
    const ChildBlock& block = tree_.block(node.index);
    double sum = 0.0;
    bool any = false;
    for (const OctreeNode& child : block) {
      double child_floor = 0.0;
      if (subtree_floor(child, cell, child_floor)) {
        sum += child_floor;
        any = true;
      }
    }
    floor = sum;
    return any;
  }

  // The children's noise floors added up in child order (uniform children
  // carry none), solving those not known yet when `solve`; NaN when one is
  // not known and `solve` is false.
  double children_floor(std::array<Candidate, 8>& children, const ChildBlock& block,
                        bool solve) {
    double floor = 0.0;
    for (unsigned o = 0; o < 8; ++o) {
      Candidate& child = children[o];
      if (child.kind == Candidate::Kind::Uniform) continue;
      if (!child.floor_known) {
        if (!solve) return std::numeric_limits<double>::quiet_NaN();
        if (child.kind == Candidate::Kind::Leaf) {
          child.floor = leaf_floor(child.cell);
        } else {
          std::uint64_t cell = child.first_cell;
          child.floor = 0.0;
          subtree_floor(block[o], cell, child.floor);
        }
        child.floor_known = true;
      }
      floor += child.floor;
    }
    return floor;
  }

  // The children's error functions added up, in child order (uniform
  // children carry none).
  static Qef sum_children(const std::array<Candidate, 8>& children) {
    Qef sum;
    for (const Candidate& child : children) {
      if (child.kind != Candidate::Kind::Uniform) add_qef(sum, child.qef);
    }
    return sum;
  }

  // try_merge, or what it found the first time this cell was tried.
  bool merge(std::array<Candidate, 8>& children, const ChildBlock& block, std::uint8_t mask,
             const CellAddress& address, const Vec3& cell_min, double side, Candidate& merged) {
    if (memo_ == nullptr) return try_merge(children, block, mask, cell_min, side, merged);
    const auto [it, fresh] = memo_->merges.try_emplace(address);
    if (fresh) {
      it->second.within = try_merge(children, block, mask, cell_min, side, merged);
      if (it->second.within) it->second.position = merged.position;
      return it->second.within;
    }
    if (!it->second.within) return false;
    accept(sum_children(children), children_floor(children, block, false), mask,
           it->second.position, merged);
    return true;
  }

  bool try_merge(std::array<Candidate, 8>& children, const ChildBlock& block, std::uint8_t mask,
                 const Vec3& cell_min, double side, Candidate& merged) {
    const Qef sum = sum_children(children);
    // The leaves' own noise is no error of the merge. The floor is never
    // negative: an error within the tolerance alone is within, whatever the
    // floor, which is solved only when an error passes the tolerance.
    double floor = children_floor(children, block, false);
    const auto within = [&](double error) {
      if (error <= squared_tolerance_) return true;
      if (std::isnan(floor)) floor = children_floor(children, block, true);
      return error <= squared_tolerance_ + floor;
    };
    if (sum.count == 0) return false;
    VertexBox box = box_of(cell_min, side);
    MergedSolution solution = solve_merged_qef(sum, box);
    if (solution.rank >= 2) {
      // A crease or corner just outside the cell can still be reached, as
      // for a sharp slot of a leaf.
      const double m = side * 0.25;
      box.lo = {box.lo.x - m, box.lo.y - m, box.lo.z - m};
      box.hi = {box.hi.x + m, box.hi.y + m, box.hi.z + m};
      solution = solve_merged_qef(sum, box);
    }
    if (!within(solution.error)) {
      // A face or edge that only a few crossings stand for counts too:
      // every direction the planes pin down at all. And the corner or edge
      // they meet in may lie beyond the cell (its crossings reach into the
      // cell, the feature does not): the box grown by a whole side. The
      // field check and the fold check of the triangles confirm the vertex.
      const VertexBox grown{{cell_min.x - side, cell_min.y - side, cell_min.z - side},
                            {cell_min.x + 2 * side, cell_min.y + 2 * side, cell_min.z + 2 * side}};
      const MergedSolution full = solve_merged_qef(sum, grown, kMergedFullTruncation);
      if (full.error < solution.error) solution = full;
    }
    if (!within(solution.error)) return false;
    accept(sum, floor, mask, solution.position, merged);
    return true;
  }

  // `merged` made the collapsed cell of Qef `sum` with its vertex at
  // `position`; `floor` NaN when not known yet.
  void accept(const Qef& sum, double floor, std::uint8_t mask, const Vec3& position,
              Candidate& merged) const {
    merged.kind = Candidate::Kind::Merged;
    merged.mask = mask;
    merged.qef = sum;
    merged.floor_known = !std::isnan(floor);
    merged.floor = merged.floor_known ? floor : 0.0;
    merged.position = position;
  }

  ContourNode finalize(const Candidate& c) {
    switch (c.kind) {
      case Candidate::Kind::Fixed:
        return c.node;
      case Candidate::Kind::Uniform:
        return {ContourKind::Uniform, c.mask, 0};
      case Candidate::Kind::Leaf:
        return finalize_leaf(c.cell);
      case Candidate::Kind::Merged:
        break;
    }
    const std::uint64_t first = out_.positions.size();
    const Vec3& p = c.position;
    out_.positions.push_back(p);
    // Projection may move the vertex by the tolerance along each axis, no
    // further: within the whole cell, a coarse cell's Newton steps could
    // reach another part of the surface.
    out_.boxes.push_back({{p.x - tolerance_, p.y - tolerance_, p.z - tolerance_},
                          {p.x + tolerance_, p.y + tolerance_, p.z + tolerance_}});
    ++out_.collapsed_count;
    out_.keys.push_back(vertex_key(c.address, 0));
    const ChildVertices& vertices = checked_at(samples_, c.samples);
    out_.merged.push_back({c.address, c.side, first, vertices.points, vertices.count});
    return {ContourKind::Cell, c.mask, first, true};
  }

  // The vertices of a leaf left as it is, as emit_vertices gives them.
  ContourNode finalize_leaf(std::uint64_t index) {
    const SurfaceCell& cell = cells_[index];
    const std::uint64_t first = out_.positions.size();
    if (!append_cell_vertices(cell, checked_at(slots_.vertex_base, index),
                              checked_at(slots_.cell_components, index)[8], solutions_,
                              out_.positions, out_.boxes)) {
      return {ContourKind::Uniform, cell.sign_mask, 0};
    }
    for (std::uint64_t group = 0; first + group < out_.positions.size(); ++group) {
      out_.keys.push_back(vertex_key(cell.address, group));
    }
    return {ContourKind::Cell, cell.sign_mask, first};
  }

  const Octree& tree_;
  const std::vector<SurfaceCell>& cells_;
  const VertexSlots& slots_;
  const std::vector<Qef>& qefs_;
  const std::vector<VertexSolution>& solutions_;
  const double tolerance_;
  const double squared_tolerance_;
  const MergeRefusals* refused_;
  const bool oblique_;
  CollapseMemo* memo_;
  std::uint64_t next_cell_ = 0;
  std::uint64_t visited_ = 0;  // nodes visited, for polling
  std::vector<ChildVertices> samples_;  // per merge made, its children's vertices
  SimplifiedCells out_;
  std::vector<SubtreeSpan> spans_;  // per block of out_
  // The last collapse, when its subtrees may be taken over, and the cells
  // with refusals since in them or below them.
  const SimplifiedCells* last_ = nullptr;
  MergeRefusals touched_;
};

bool bit(std::uint32_t below, unsigned i, unsigned j, unsigned k) {
  return (below >> (i + 3 * j + 9 * k)) & 1u;
}

}  // namespace

bool manifold_mask(std::uint8_t mask) {
  return COMPONENT_TABLE[mask][8] == 1 && COMPONENT_TABLE[255u - mask][8] == 1;
}

bool midpoints_agree(std::uint32_t below) {
  // Point (i, j, k) with coordinate `axis` set to `along` and the other two
  // to u and w (in increasing axis order).
  const auto at = [&](unsigned axis, unsigned along, unsigned u, unsigned w) {
    if (axis == 0) return bit(below, along, u, w);
    if (axis == 1) return bit(below, u, along, w);
    return bit(below, u, w, along);
  };
  for (unsigned axis = 0; axis < 3; ++axis) {
    for (unsigned u = 0; u <= 2; u += 2) {
      for (unsigned w = 0; w <= 2; w += 2) {
        // The edge along `axis` at (u, w).
        const bool mid = at(axis, 1, u, w);
        if (mid != at(axis, 0, u, w) && mid != at(axis, 2, u, w)) return false;
      }
    }
    for (unsigned side = 0; side <= 2; side += 2) {
      // The face across `axis` at `side`.
      const bool centre = at(axis, side, 1, 1);
      bool agrees = false;
      for (unsigned u = 0; u <= 2; u += 2) {
        for (unsigned w = 0; w <= 2; w += 2) agrees = agrees || at(axis, side, u, w) == centre;
      }
      if (!agrees) return false;
    }
  }
  const bool centre = bit(below, 1, 1, 1);
  for (unsigned k = 0; k < 8; ++k) {
    if (bit(below, 2 * (k & 1u), 2 * ((k >> 1) & 1u), 2 * (k >> 2)) == centre) return true;
  }
  return false;
}

SimplifiedCells simplify_cells(const Octree& tree, const std::vector<SurfaceCell>& cells,
                               const VertexSlots& slots, const std::vector<Qef>& qefs,
                               const std::vector<VertexSolution>& solutions, double tolerance,
                               const MergeRefusals* refused, bool oblique, CollapseMemo* memo) {
  return Simplifier(tree, cells, slots, qefs, solutions, tolerance, refused, oblique, memo).run();
}

}  // namespace karvex
