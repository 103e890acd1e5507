#pragma once

// The octree model: lattice and cell addresses, node records, the tree that
// owns them, and its traversals. Construction (construction/), balancing (balance/)
// and extraction (dc/) all work on this. (The stem "mod" is historic: read
// it as "the octree module".)

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "octree/chunked_array.h"
#include "octree/lattice_values.h"
#include "support/bbox.h"
#include "support/flat_hash.h"
#include "support/lattice_block.h"
#include "support/vec3.h"

namespace karvex {

// Shifts and powers of two on the lattice take the shift modulo 32, so that
// out-of-range depths give meaningless addresses rather than undefined
// behaviour. Callers validate depths (0 <= min_depth <= max_depth <= 31).
inline std::uint32_t shl(std::uint32_t value, unsigned shift) { return value << (shift & 31u); }
inline std::uint32_t pow2(unsigned exponent) { return shl(1u, exponent); }

// A point of the lattice of depth max_depth.
struct CornerKey {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t z = 0;
  friend bool operator==(const CornerKey&, const CornerKey&) = default;
};

// World position of a lattice point of spacing h: i*h + origin per axis, in
// that order. The one formula behind Octree::position, for code that places
// lattice points without the tree at hand.
inline Vec3 lattice_position(const Vec3& origin, const CornerKey& key, double h) {
  return {static_cast<double>(key.x) * h + origin.x, static_cast<double>(key.y) * h + origin.y,
          static_cast<double>(key.z) * h + origin.z};
}

// A cell: level coordinates on the lattice of its own depth, and the depth.
struct CellAddress {
  std::uint32_t x = 0;
  std::uint32_t y = 0;
  std::uint32_t z = 0;
  std::uint8_t d = 0;
  friend bool operator==(const CellAddress&, const CellAddress&) = default;
};

// The child of `address` in octant c = bx + 2*by + 4*bz.
inline CellAddress child_address(const CellAddress& address, unsigned c) {
  return {2 * address.x + (c & 1u), 2 * address.y + ((c >> 1) & 1u),
          2 * address.z + ((c >> 2) & 1u), static_cast<std::uint8_t>(address.d + 1)};
}

// The minimum corner of the child in octant c of the cell whose minimum
// corner is `cell_min`, given half that cell's side: cell_min + half along
// each axis the octant's bit sets (one addition per such axis, none else).
inline Vec3 child_min(const Vec3& cell_min, double half, unsigned c) {
  return {cell_min.x + ((c & 1u) ? half : 0.0), cell_min.y + (((c >> 1) & 1u) ? half : 0.0),
          cell_min.z + (((c >> 2) & 1u) ? half : 0.0)};
}

// Hash of a lattice point: each coordinate times its own odd 64-bit constant,
// the products combined, and the high half folded onto the low half (tables
// of power-of-two size index by the low bits; folding makes them depend on
// every bit of every coordinate, coarse lattice points included, whose low
// coordinate bits are all zero). A handful of instructions: the key sets of
// balancing passes hash every corner they gather.
struct CornerKeyHash {
  std::size_t operator()(const CornerKey& k) const {
    const std::uint64_t h = std::uint64_t(k.x) * 0x9e3779b97f4a7c15ULL ^
                            std::uint64_t(k.y) * 0xc2b2ae3d27d4eb4fULL ^
                            std::uint64_t(k.z) * 0x165667b19e3779f9ULL;
    return h ^ (h >> 32);
  }
};

struct CellAddressHash {
  std::size_t operator()(const CellAddress& c) const {
    return mix64((std::uint64_t(c.x) | (std::uint64_t(c.y) << 32)) ^
                 mix64(std::uint64_t(c.z) | (std::uint64_t(c.d) << 32)));
  }
};

enum class NodeKind : std::uint8_t { Internal, Empty, Full, Leaf };

// Corner values on both sides of iso_value. Bit i of sign_mask is set exactly
// when corner value i is below iso_value (NaN counts as not below); a Leaf
// made from samples never has mask 0 or 255. The corner gradients are not
// copied here: only construction's split test reads them, and it reads them
// from the corner cache, which holds them while the tree is being built.
// Keeping them out makes a record 72 bytes instead of 264, and a deep tree
// holds millions of records.
struct LeafData {
  std::array<double, 8> values{};  // raw field values, corner order
  std::uint8_t sign_mask = 0;
};
static_assert(sizeof(LeafData) == 72, "a leaf record is its eight values and its mask");

// A fixed-size node record. `index` names the node's ChildBlock in
// Octree::blocks (Internal) or its record in Octree::leaves (Leaf); Empty and
// Full carry nothing. A Leaf also keeps a copy of its record's sign_mask in
// what would otherwise be padding: balancing and extraction walk millions of
// nodes asking only whether each is a surface leaf, and the record (72
// bytes, elsewhere in memory) would cost a cache miss per node.
struct OctreeNode {
  NodeKind kind = NodeKind::Empty;
  std::uint8_t sign_mask = 0;  // Leaf: equal to its record's sign_mask; else 0
  std::uint32_t index = 0;

  static OctreeNode internal(std::uint32_t block) { return {NodeKind::Internal, 0, block}; }
  static OctreeNode empty() { return {NodeKind::Empty, 0, 0}; }
  static OctreeNode full() { return {NodeKind::Full, 0, 0}; }
  static OctreeNode leaf(std::uint32_t record, std::uint8_t mask) {
    return {NodeKind::Leaf, mask, record};
  }
  bool is_internal() const { return kind == NodeKind::Internal; }
  // A Leaf whose mask is neither 0 nor 255.
  bool is_surface_leaf() const {
    return kind == NodeKind::Leaf && sign_mask != 0 && sign_mask != 255;
  }
};
static_assert(sizeof(OctreeNode) == 8, "the mask must fit in the padding of a node");

// The eight children of one cell, by octant c = bx + 2*by + 4*bz.
using ChildBlock = std::array<OctreeNode, 8>;

struct OctreeStats {
  std::uint64_t leaf_count = 0;
  std::uint64_t internal_count = 0;
  std::uint64_t empty_count = 0;
  std::uint64_t full_count = 0;
  std::uint8_t max_leaf_depth = 0;
  std::uint64_t evaluation_count = 0;
};

// The octree over the cube derived from the caller's box. Blocks and leaf
// records are only ever appended, so stored indices stay valid.
struct Octree {
  OctreeNode root;
  std::vector<ChildBlock> blocks;
  // Leaf records in chunks: a deep tree holds hundreds of megabytes of them,
  // and chunked growth never copies them.
  ChunkedArray<LeafData, 12> leaves;
  Vec3 origin;
  double size = 0.0;
  // The caller's box the cube was made from (make_octree sets it).
  std::optional<BBox> box;
  double iso_value = 0.0;
  std::uint8_t min_depth = 0;
  std::uint8_t max_depth = 0;
  // Set: only cells within kTileMargin cells of their size of this block
  // are split.
  std::optional<LatticeBlock> split_limit;
  // Set by a construction that keeps no leaf records (`leaves` stays
  // empty): a Leaf node then carries its mask alone, and its corner values
  // are this function's at its cell's corners, read again by whoever needs
  // them. The dense volume build makes such trees, whose values are the
  // volume's own samples. Called from several workers at once.
  LatticeValues lattice_value;
  // The Leaf nodes of such a tree.
  std::uint64_t recordless_leaves = 0;
  // Set by a construction that found every surface leaf at max_depth
  // before assembling the nodes above them (the dense volume build): those
  // leaves as cell codes (the coordinates' bits interleaved, x lowest), in
  // the order a depth-first walk lists them, and their sign masks. The
  // extraction reads the surface cells from these instead of walking the
  // tree. Whoever changes the leaves afterwards must clear them.
  std::vector<std::uint64_t> finest_leaf_codes;
  std::vector<std::uint8_t> finest_leaf_masks;
  // Set by such a construction when the options it was given extract from
  // the listed leaves alone (no simplification, lean sampling): no nodes
  // are assembled above the leaves, so `root` and `blocks` hold nothing,
  // and only such an extraction may read the tree.
  bool leaves_only = false;

  // Whether the leaves keep records with their corner values.
  bool has_leaf_records() const { return !lattice_value; }
  // Whether finest_leaf_codes lists every Leaf node of a tree without
  // records, with a mask each.
  bool lists_finest_leaves() const {
    return lattice_value && finest_leaf_codes.size() == recordless_leaves &&
           finest_leaf_masks.size() == finest_leaf_codes.size();
  }
  // The number of Leaf nodes with a record, or of every Leaf node of a tree
  // without records.
  std::uint64_t leaf_count() const { return lattice_value ? recordless_leaves : leaves.size(); }
  // The sign mask of a Leaf node: its record's, or the node's own copy in a
  // tree without records.
  std::uint8_t leaf_mask(const OctreeNode& node) const {
    return lattice_value ? node.sign_mask : leaf(node).sign_mask;
  }

  // Whether construction and balancing may split `cell`.
  bool may_split(const CellAddress& cell) const {
    return !split_limit ||
           cell_meets_block(*split_limit, kTileMargin, cell.x, cell.y, cell.z,
                            static_cast<unsigned>(max_depth) - cell.d);
  }

  // Whether `cell` touches a seam of the tiling whose tile is split_limit
  // (a tiled run's cells there stay as both tiles beside the seam make them).
  bool on_seam(const CellAddress& cell) const {
    return split_limit &&
           cell_touches_seam(*split_limit, std::int64_t{1} << max_depth, cell.x, cell.y, cell.z,
                             static_cast<unsigned>(max_depth) - cell.d);
  }

  // Lattice spacing size / 2^max_depth (2^max_depth formed as uint32).
  double spacing() const { return size / static_cast<double>(pow2(max_depth)); }

  // World position of a lattice point: i*h + origin per axis, in that order.
  // The one formula used by every construction routine, so that a shared
  // corner has bit-identical coordinates wherever it is computed.
  Vec3 position(const CornerKey& key) const { return position(key, spacing()); }
  // The same with the spacing h = spacing() computed once by the caller, for
  // loops over millions of keys.
  Vec3 position(const CornerKey& key, double h) const { return lattice_position(origin, key, h); }

  // Bounds-checked access (an index beyond the end is an invariant failure).
  // Inline: tree walks call them at every step.
  const ChildBlock& block(std::uint32_t index) const {
    if (index >= blocks.size()) fail_block_index(index);
    return blocks[index];
  }
  ChildBlock& block(std::uint32_t index) {
    if (index >= blocks.size()) fail_block_index(index);
    return blocks[index];
  }
  const LeafData& leaf(const OctreeNode& node) const;

  // The child of an Internal node in octant 0..7 (checked: a node that is not
  // Internal, or an octant above 7, is an invariant failure).
  const OctreeNode& child(const OctreeNode& node, unsigned octant) const;

  // Appends a block and returns its index.
  std::uint32_t append_block(const ChildBlock& children);
  // A Leaf whose mask is neither 0 nor 255.
  bool is_surface_leaf(const OctreeNode& node) const { return node.is_surface_leaf(); }

 private:
  [[noreturn]] void fail_block_index(std::uint32_t index) const;
};

// Octree with the cube of `box` and the given depths and level; no nodes yet
// beyond an Empty root.
Octree make_octree(const BBox& box, std::uint8_t min_depth, std::uint8_t max_depth,
                   double iso_value);

// Minimum corner of a cell: (x << s, y << s, z << s), s = max_depth - d.
// Inline: extraction asks for corners per crossing.
inline CornerKey min_corner(const CellAddress& cell, std::uint8_t max_depth) {
  const unsigned s = static_cast<unsigned>(max_depth) - cell.d;
  return {shl(cell.x, s), shl(cell.y, s), shl(cell.z, s)};
}

// Corner i (= dx + 2*dy + 4*dz) of a cell: ((x+dx) << s, (y+dy) << s, (z+dz) << s).
inline CornerKey cell_corner(const CellAddress& cell, unsigned corner, std::uint8_t max_depth) {
  const unsigned s = static_cast<unsigned>(max_depth) - cell.d;
  return {shl(cell.x + (corner & 1u), s), shl(cell.y + ((corner >> 1) & 1u), s),
          shl(cell.z + ((corner >> 2) & 1u), s)};
}

// Counts the nodes, depth-first from the root; evaluation_count is left 0.
OctreeStats count_nodes(const Octree& tree);

}  // namespace karvex
