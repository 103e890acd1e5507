#pragma once

// The part of a mesh that relaxing its folds can reach, copied out with its
// own numbering: the triangles whose boxes touch the marked cells of a coarse
// grid over the mesh. The relaxation's tables (rings, stars, the local test's
// boxes and grid) are built over this copy, so they cost what the folds need,
// not what the mesh holds.
//
// A triangle joins the region when its box at the starting positions touches
// a marked cell; marks are only ever added, and the caller moves only
// vertices of the region. Two facts follow, and repair.cpp relies on both:
// * a vertex whose starting position lies in a marked cell is open: every
//   triangle using it is in the region (each such box holds that position),
//   so its ring and star are complete and it may move;
// * a triangle outside the region has not moved and its box touches no
//   marked cell, so it overlaps no box whose cells are all marked: a moved
//   triangle whose box is covered needs testing against the region alone.
// Cells come from a monotone map of positions (clamped to the grid), so
// boxes that overlap share a cell.
//
// Local numbers are handed out in the order triangles join (in increasing
// mesh order within one growth) and never change.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

#include "validity/clamped_grid.h"
#include "validity/self_intersections.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

struct Span {
  std::array<double, 3> lo, hi;
};

class FoldRegion {
 public:
  // `mesh` is borrowed and must not change while the region lives: its
  // positions are the starting ones. Throws std::length_error for meshes of
  // 2^32 - 1 vertices or more (local numbers are 32-bit in the map).
  FoldRegion(const MeshView& mesh, WorkerPool& pool);

  // Marks the cells of each span, widened by a margin of cells unless
  // `widen` is false, and adds the triangles that touch them. Returns
  // whether any triangle was added.
  bool grow(const std::vector<Span>& spans, bool widen = true);
  // The first growth, round the starting boxes of the mesh's triangles
  // `faces` (increasing, without repeats): returns their local numbers.
  std::vector<std::int64_t> start_round(const std::vector<std::int64_t>& faces);

  // Whether every cell of `span` is marked.
  bool covers(const Span& span) const;
  // Whether local vertex v is open (see above).
  bool open(std::int64_t v) const;

  // The region as a mesh of local numbers over positions(), which start as
  // the mesh's and are the caller's to move. Valid until the next grow().
  const MeshView& view() const { return view_; }
  double* positions() { return positions_.data(); }
  std::int64_t mesh_vertex(std::int64_t v) const { return mesh_vertices_[static_cast<std::size_t>(v)]; }
  std::int64_t mesh_face(std::int64_t f) const { return mesh_faces_[static_cast<std::size_t>(f)]; }
  std::size_t vertex_count() const { return mesh_vertices_.size(); }
  std::size_t face_count() const { return mesh_faces_.size(); }
  // The starting box of a triangle of the mesh (not local).
  Span mesh_face_span(std::int64_t face) const;

 private:
  using Cell = ClampedGrid::Cell;
  // Calls visit(cell index) for the cells from `first` to `last`, until it
  // returns false.
  template <typename Visit>
  void for_each_cell(const Cell& first, const Cell& last, Visit&& visit) const;

  const MeshView& mesh_;
  WorkerPool& pool_;

  // The grid, and per cell 0 (unmarked), kMarked or kNew (marked by the
  // running grow()).
  ClampedGrid grid_;
  std::vector<std::uint8_t> cells_;
  // Blocks of kBlockCells^3 cells, 1 where a cell is kNew: a triangle whose
  // cells lie in unflagged blocks touches no new cell, which a growth's scan
  // of the mesh then learns from this table (small enough for the cache)
  // instead of from the cells.
  static constexpr std::int64_t kBlockCells = 4;
  Cell block_dims_{1, 1, 1};
  std::vector<std::uint8_t> blocks_;
  // The number of the block at block coordinates (x, y, z), x slowest.
  std::uint64_t block_index(std::int64_t x, std::int64_t y, std::int64_t z) const {
    const auto row = static_cast<std::uint64_t>(x) * static_cast<std::uint64_t>(block_dims_[1]) +
                     static_cast<std::uint64_t>(y);
    return row * static_cast<std::uint64_t>(block_dims_[2]) + static_cast<std::uint64_t>(z);
  }

  // Per mesh vertex, its cell at its starting position, made by the first
  // growth when every axis has at most 2^8 cells (small_vertex_cells_) or
  // 2^16 (vertex_cells_); the positions and the grid never change, so later
  // growths reuse it.
  std::vector<std::array<std::uint8_t, 3>> small_vertex_cells_;
  std::vector<std::array<std::uint16_t, 3>> vertex_cells_;
  // The triangles a growth adds, found from the vertices' cells in `at`
  // (made on first use); `visit` as in grow().
  template <typename Axis, typename Visit>
  std::vector<std::int64_t> scan_by_vertex_cells(std::vector<std::array<Axis, 3>>& at, Visit& visit);

  std::vector<std::uint32_t> local_;  // per mesh vertex: its local number, or kNone
  std::vector<std::int64_t> mesh_vertices_, mesh_faces_;  // per local vertex / triangle: its mesh number
  std::vector<double> positions_;                          // 3 per local vertex
  std::vector<std::int64_t> faces_;                        // 3 local corners per local triangle
  MeshView view_;
};

// The triangles of `named` (increasing, without repeats) of zero area, and
// both triangles of every pair meeting improperly with one of them, in
// increasing order: what the whole-mesh test with `named` as its subset finds
// (self_intersections.h), tested over the region round them alone.
std::vector<std::int64_t> bad_faces_near(const MeshView& mesh, const std::vector<std::int64_t>& named,
                                         WorkerPool& pool);

}  // namespace karvex::validity
