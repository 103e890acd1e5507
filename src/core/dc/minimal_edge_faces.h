#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

#include "dc/faces.h"
#include "dc/simplify.h"
#include "support/lattice_block.h"
#include "support/vec3.h"

namespace karvex {

class WorkerPool;

// Faces of a contouring tree whose cells have different sizes, on minimal
// edges (Ju et al. 2002, section 4.1): a recursion over cells, the faces
// between two neighbouring cells and the edges between four reaches every
// edge that is not split by a smaller cell round it, with the (up to four)
// cells round it. Such an edge's signs are those of the smallest of these
// cells (at its own cube edge). When they differ and all the cells have
// vertices, each cell gives the vertex of the group holding the edge's end
// below the level (or its only vertex), ordered to turn counter-clockwise
// round the edge's axis and reversed unless its lower end is below the
// level, as generate_faces orders them. A cell met twice (a larger cell on
// two sides of the edge) counts once: three distinct vertices make a
// triangle, four a quad split by choose_first_diagonal, fewer nothing.
// Edges on the cube's own faces make no faces. On a tree whose cells all
// have the same size round every sign-changing edge, the triangles are
// those of generate_faces (as a set). With a tile, only the edges whose
// lower end (on the finest lattice of max_depth) lies in it make faces.
// Single-threaded, in a fixed order.
std::vector<Triangle> minimal_edge_faces(const SimplifiedCells& cells,
                                         const std::vector<Vec3>& positions,
                                         const std::optional<LatticeBlock>& tile = std::nullopt,
                                         std::uint8_t max_depth = 0);

// The same triangles in the same order, the walk cut into pieces (the cells
// a few levels below the root, and the faces and edges between them) that
// run on the pool, their triangles joined in the walk's order: the result
// does not depend on the number of workers.
std::vector<Triangle> minimal_edge_faces(WorkerPool& pool, const SimplifiedCells& cells,
                                         const std::vector<Vec3>& positions,
                                         const std::optional<LatticeBlock>& tile = std::nullopt,
                                         std::uint8_t max_depth = 0);

// minimal_edge_faces before the quads are split: what the cells alone
// decide, for splitting at more than one set of vertex positions.
struct EdgePolygon {
  std::array<std::uint64_t, 4> vertices{};  // a triangle's first three
  bool quad = false;
  bool operator==(const EdgePolygon&) const = default;
};
std::vector<EdgePolygon> minimal_edge_polygons(WorkerPool& pool, const SimplifiedCells& cells,
                                               const std::optional<LatticeBlock>& tile = std::nullopt,
                                               std::uint8_t max_depth = 0);

// A piece of minimal_edge_polygons' walk: the whole walk inside the cell at
// `depth` and lattice coordinates `at` (at that depth), or (`inner`) only
// the faces and edges among its children. Its polygons depend on the
// cell's subtree alone.
struct EdgePiece {
  std::uint8_t depth = 0;
  bool inner = false;
  std::array<std::uint32_t, 3> at{0, 0, 0};
};

// minimal_edge_polygons (no tile) cut into the pieces `levels` below the
// root, in the walk's order: the internal cells at that depth, and each
// internal cell above it for the faces and edges among its children, after
// its children's pieces. Per piece, `reuse(piece, out)` may append the
// piece's polygons to `out` itself and return true (called on the pool,
// from several threads at once); otherwise the walk makes them. `pieces`
// gets the pieces and `starts` where each one's polygons start in the
// result (one more, the end). The same polygons in the same order as
// minimal_edge_polygons when every reuse appends what the walk would.
using EdgePieceReuse = std::function<bool(const EdgePiece&, std::vector<EdgePolygon>&)>;
std::vector<EdgePolygon> minimal_edge_polygons_by_piece(WorkerPool& pool,
                                                        const SimplifiedCells& cells,
                                                        unsigned levels,
                                                        const EdgePieceReuse& reuse,
                                                        std::vector<EdgePiece>& pieces,
                                                        std::vector<std::size_t>& starts);

// The triangles of the polygons, in order: a quad split by
// choose_first_diagonal at `positions`, as minimal_edge_faces splits it.
std::vector<Triangle> split_polygons(const std::vector<EdgePolygon>& polygons,
                                     const std::vector<Vec3>& positions);

}  // namespace karvex
