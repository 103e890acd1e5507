#pragma once

#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "dc/component_table.h"
#include "dc/mesh.h"
#include "dc/surface_cells.h"
#include "pool/worker_pool.h"
#include "support/lattice_block.h"
#include "support/vec3.h"

namespace karvex {

// With `tile` set, only cells whose minimum corner (on the lattice of
// max_depth) lies in it make faces.
// The triangles round every sign-changing edge that starts at a surface
// cell's minimum corner (edge 4a, a = 0, 1, 2): the cell O and its three
// same-depth neighbours A (coordinate b - 1), B (c - 1) and C (both), b and c
// being the other two axes, each give one vertex, ordered into a quad that
// turns counter-clockwise round +a (reversed unless O's corner 0 is below
// the level), split into two triangles along the diagonal chosen by
// choose_first_diagonal. Each triangle's normal (q - p) x (r - p) points
// from below the level to at-or-above. Which corners are below is read from
// the cells' sign masks. No face is made when a neighbour
// lies outside the cube, is not a surface cell of the same depth, or has no
// vertex; triangles with a repeated vertex are dropped. Results are in cell
// order and within a cell in axis order; runs on `pool`.
std::vector<Triangle> generate_faces(WorkerPool& pool, const UnfilledVector<CellSigns>& cells,
                                     const CellLookup& lookup,
                                     std::span<const std::uint64_t> cell_first_vertex,
                                     const std::vector<Vec3>& positions,
                                     const std::optional<LatticeBlock>& tile = std::nullopt,
                                     std::uint8_t max_depth = 0);
// The same for cells in the order collect_surface_cells lists them, found
// by searching that order (WalkOrderFinder) with no index beside the list;
// in any other order through an index made here (build_cell_lookup).
// Progress: the cells twice, then as above.
std::vector<Triangle> generate_faces(WorkerPool& pool, const UnfilledVector<CellSigns>& cells,
                                     std::span<const std::uint64_t> cell_first_vertex,
                                     const std::vector<Vec3>& positions,
                                     const std::optional<LatticeBlock>& tile = std::nullopt,
                                     std::uint8_t max_depth = 0);
// The same for whole surface cells (their geometry is not read).
std::vector<Triangle> generate_faces(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                     const CellLookup& lookup,
                                     std::span<const std::uint64_t> cell_first_vertex,
                                     const std::vector<Vec3>& positions,
                                     const std::optional<LatticeBlock>& tile = std::nullopt,
                                     std::uint8_t max_depth = 0);

// How flat the two splits of the quad p0 p1 p2 p3 are: s1 for the split
// along p0-p2 (triangles p0 p1 p2 and p0 p2 p3), s2 for p1-p3 (p0 p1 p3 and
// p1 p2 p3), each the dot product z*z' + (x*x' + y*y') of the two unit
// triangle normals; a normal not longer than 1e-15 counts as zero.
struct QuadSplitScores {
  double s1 = 0.0;
  double s2 = 0.0;
};
QuadSplitScores quad_split_scores(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3);

// True when the quad is split along p0-p2 (s1 >= s2, so p0-p2 wins a tie),
// false for p1-p3 (also when a score is NaN).
bool choose_first_diagonal(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3);

}  // namespace karvex
