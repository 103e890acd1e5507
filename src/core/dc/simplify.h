#pragma once

#include <array>
#include <cstdint>
#include <unordered_map>
#include <unordered_set>
#include <vector>

#include "dc/component_table.h"
#include "dc/hermite.h"
#include "dc/mesh.h"
#include "dc/surface_cells.h"
#include "dc/vertex_placement.h"
#include "octree/octree.h"
#include "pool/worker_pool.h"
#include "support/vec3.h"

namespace karvex {

// A node of the contouring tree that simplification leaves: the octree with
// collapsed cells as leaves.
enum class ContourKind : std::uint8_t {
  Internal,  // `index` names a block of eight children
  Uniform,   // no surface, no vertex; `mask` is 0 or 255 (or any mask of a
             // leaf that extraction does not take: one shallower than min_depth)
  Cell,      // a cell with vertices: leaf or collapsed; `mask` its corner signs
};

struct ContourNode {
  ContourKind kind = ContourKind::Uniform;
  std::uint8_t mask = 0;    // bit i set: corner i below the level
  std::uint64_t index = 0;  // Internal: block; Cell: its first vertex (group j: index + j)
  // A collapsed cell: one vertex whatever groups `mask` has (a straight
  // feature can leave corners below the level that touch only diagonally).
  bool one_vertex = false;
};

using ContourBlock = std::array<ContourNode, 8>;

// A collapsed cell as the merge test left it: where its vertex is and the
// surface points it stands for (its children's vertices), so that the merge
// can be checked against the field afterwards.
struct MergedCell {
  CellAddress address;
  double side = 0.0;
  std::uint64_t vertex = 0;  // index into SimplifiedCells::positions
  std::array<Vec3, 8> samples{};
  unsigned sample_count = 0;
};

// Cells that must not be collapsed (they failed the check against the field).
using MergeRefusals = std::unordered_set<CellAddress, CellAddressHash>;

// The simplified cells and their vertices, numbered in walk order (depth
// first, octant order) and within a leaf in group order.
struct SimplifiedCells {
  ContourNode root;
  std::vector<ContourBlock> blocks;
  std::vector<Vec3> positions;
  std::vector<VertexBox> boxes;       // the box each vertex is kept in when projected
  std::uint64_t collapsed_count = 0;  // cells made by collapsing
  std::vector<MergedCell> merged;     // one per collapsed cell, in vertex order
  std::vector<VertexKey> keys;        // per vertex, its cell and group (dc/vertex_keys.h)
  // `positions` are already where project_vertices puts them in `boxes`
  // (the checks of simplify_within_tolerance projected them).
  bool projected = false;
  // When `projected`: the triangles minimal_edge_faces makes of these cells
  // at `positions` (without a tile), which the last check made there.
  std::vector<Triangle> triangles;
};

// Where a subtree kept whole (an internal node of the contouring tree, its
// block last) put its part of a collapse: blocks [first_block, its own],
// vertices [first_vertex, end_vertex), collapsed cells [first_merged,
// end_merged), and how many surface cells it walked.
struct SubtreeSpan {
  std::uint64_t first_block = 0;
  std::uint64_t first_vertex = 0;
  std::uint64_t end_vertex = 0;
  std::uint64_t first_merged = 0;
  std::uint64_t end_merged = 0;
  std::uint64_t cells = 0;
};

// What one collapse of the cells learnt that a later one with the same
// inputs (tree, cells, Qefs, solutions, tolerance, `oblique`) and more
// refusals finds again: each leaf's noise floor and, per cell tried, whether
// its merged Qef solves within the tolerance and where. Both depend only on
// the cell's subtree, which a cell is tried with only when nothing in it was
// refused, so reusing them gives the same bits. Empty to begin with; filled
// by simplify_cells.
struct CollapseMemo {
  struct Merge {
    bool within = false;
    Vec3 position;
  };
  std::vector<double> floors;  // per surface cell; NaN until solved
  std::unordered_map<CellAddress, Merge, CellAddressHash> merges;
  // The last collapse as it made it, the spans of its blocks and the
  // refusals it had: a subtree it kept whole and that holds no refusal
  // since is the same subtree again (subtree_spans.h).
  SimplifiedCells last;
  std::vector<SubtreeSpan> spans;  // per block of `last`
  MergeRefusals seen;
  bool has_last = false;
};

// Octree simplification (Ju et al. 2002, section 4). Bottom-up, a cell of
// depth 1 or deeper whose children are all leaves or collapsed cells is
// collapsed into one cell with one vertex when
//  - its signs pass Ju's test: its sign configuration is manifold (the
//    corners below the level form one group along cube edges and so do the
//    others), and the signs at the midpoints of its edges and faces and at
//    its centre each agree with one of the corners of that edge, face or
//    cube. With `oblique` any signs pass (a feature crossing the cell
//    obliquely fails Ju's test, though one vertex explains it): the
//    triangles are then checked by simplify_within_tolerance
//    (merge_topology.h);
//  - the sum of its children's Qefs, minimised in its box (solve_merged_qef;
//    the box grown by a quarter side when the planes pin down a crease or a
//    corner, and every direction they pin down at all tried when that
//    fails), has error at most tolerance^2 plus its leaves' noise floor
//    (each leaf's least error near its cell, which normals estimated across
//    a crease leave; 0 without `oblique`): the vertex then lies within
//    `tolerance` of every tangent plane at the crossings of the cell but
//    for what the leaves themselves miss by.
// A merged vertex is kept within `tolerance` of its solved position along
// each axis when projected onto the surface (simplify_within_tolerance
// widens that by what its children's vertices are off).
// A leaf with several vertex groups offers their Qefs summed when
// `oblique` (without, it is kept with every cell above it); a cell in
// `refused` is never collapsed (its children may still be).
// Cells left as they are keep the vertices of vertex_placement (solved
// slots; the centre of the cell for an unsolved one). A tolerance of 0 or
// less (or NaN) collapses nothing. `qefs` and `sharp` are
// the hermite stage's, by slot; `solutions` those of solve_vertices.
SimplifiedCells simplify_cells(const Octree& tree, const std::vector<SurfaceCell>& cells,
                               const VertexSlots& slots, const std::vector<Qef>& qefs,
                               const std::vector<VertexSolution>& solutions, double tolerance,
                               const MergeRefusals* refused = nullptr, bool oblique = true,
                               CollapseMemo* memo = nullptr);

// True when the sign configuration `mask` is manifold in the sense above.
bool manifold_mask(std::uint8_t mask);

// The topological safety test of a cell from the signs of the 3x3x3 grid of
// its children's corners, point (i, j, k) in 0..2 at bit i + 3 j + 9 k of
// `below`: every edge midpoint, face centre and the cube centre agrees in
// sign with one of the corners of its edge, face or cube.
bool midpoints_agree(std::uint32_t below);

}  // namespace karvex
