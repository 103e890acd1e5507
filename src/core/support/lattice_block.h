#pragma once

#include <array>
#include <cstdint>

namespace karvex {

// A box of cells of the finest lattice: the cells (x, y, z) at max_depth
// with lo[a] <= coordinate a < hi[a] on every axis. A tiled run meshes one
// such block of the cube (its tile) at a time.
struct LatticeBlock {
  std::array<std::int64_t, 3> lo{0, 0, 0};
  std::array<std::int64_t, 3> hi{0, 0, 0};
};

// A cell is refined in a tile's run as in the whole cube's when it lies
// within this many cells of its own size of the tile: the faces round a
// tile's edges use the vertices of the cells one below it on each axis, edge
// closure reaches one cell further across sign-changing edges, and balancing
// a cell reacts to neighbours about its own size away, so at every depth the
// cells near the tile see the neighbours the whole run gives them.
inline constexpr std::int64_t kTileMargin = 2;

// Whether the cell (x, y, z) at depth d (max_depth - d = shift), grown by
// `margin` cells of its size on every side, meets the block.
inline bool cell_meets_block(const LatticeBlock& block, std::int64_t margin, std::uint32_t x,
                             std::uint32_t y, std::uint32_t z, unsigned shift) {
  const std::array<std::int64_t, 3> cell{x, y, z};
  for (unsigned a = 0; a < 3; ++a) {
    const std::int64_t low = (cell[a] - margin) * (std::int64_t{1} << shift);
    const std::int64_t high = (cell[a] + 1 + margin) * (std::int64_t{1} << shift);
    if (high <= block.lo[a] || low >= block.hi[a]) return false;
  }
  return true;
}

// Whether the cell (x, y, z) at depth d (max_depth - d = shift), taken
// closed, meets a seam of the partition the block belongs to: a plane at a
// multiple of the block's side on some axis, strictly inside the cube of
// `cube_cells` finest cells per side. Every tile of a partition finds the
// same seams, so a rule on them is the same in every tile's run.
inline bool cell_touches_seam(const LatticeBlock& block, std::int64_t cube_cells, std::uint32_t x,
                              std::uint32_t y, std::uint32_t z, unsigned shift) {
  const std::array<std::int64_t, 3> cell{x, y, z};
  for (unsigned a = 0; a < 3; ++a) {
    const std::int64_t side = block.hi[a] - block.lo[a];
    if (side <= 0 || side >= cube_cells) continue;
    const std::int64_t low = cell[a] << shift;
    const std::int64_t high = (cell[a] + 1) << shift;
    // The first seam at or above the cell's lower face.
    std::int64_t seam = (low + side - 1) / side * side;
    if (seam == 0) seam = side;
    if (seam <= high && seam < cube_cells) return true;
  }
  return false;
}

// Whether the cell's minimum corner, on the finest lattice, lies in the
// block: the cell owns the three edges leaving that corner in + directions.
inline bool block_owns_cell(const LatticeBlock& block, std::uint32_t x, std::uint32_t y,
                            std::uint32_t z, unsigned shift) {
  const std::array<std::int64_t, 3> cell{x, y, z};
  for (unsigned a = 0; a < 3; ++a) {
    const std::int64_t corner = cell[a] << shift;
    if (corner < block.lo[a] || corner >= block.hi[a]) return false;
  }
  return true;
}

}  // namespace karvex
