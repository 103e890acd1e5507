#pragma once

// Giving each sheet of surface its own vertices and edges, for a mesh that
// is_one_sheet (sheets.h) rejected: where two sheets touch at a vertex or
// along an edge (cell faces with an ambiguous sign pattern, walls thinner
// than a cell), the repair after extraction first separates them here, then
// moves the copies apart (repair.h).
//
// Both steps sort each vertex's edges on the pool; the results are a
// function of the arrays alone, whatever the number of workers (the package's tests compare them, bit for
// bit, with a NumPy model of the same rules).

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <vector>

#include "validity/self_intersections.h"

namespace karvex::validity {

// A mesh made by one of the steps below: `vertices` rows of three
// coordinates (the input's first, then the new ones), `faces` rows of three
// vertex numbers, and how many vertices were added.
struct SplitMesh {
  std::vector<double> vertices;
  std::vector<std::int64_t> faces;
  std::size_t added = 0;
};

// One vertex per fan. The corners of the triangles at a vertex are joined
// into fans across the edges that continue one sheet (sheet links: an edge
// used once each way joins its two triangles; an edge used by more
// triangles, as often each way, pairs each triangle wound from its higher
// to its lower vertex with the next one counter-clockwise round the edge,
// the solid lying between them; unevenly used edges join nothing). The fan
// holding a vertex's first corner keeps the vertex; every other fan gets a
// copy at the same place. Copies are numbered after the input's vertices in
// order of (vertex, first corner of the fan); faces keep their order.
// Linear in the mesh apart from sorting each vertex's few edges.
SplitMesh split_sheets(const MeshView& mesh, WorkerPool& pool);

// What split_sheets changes, without copying the mesh: copy k (vertex
// mesh.vertex_count + k) is at the place of vertex originals[k], and corner
// corners[n] (3f + k, increasing) takes vertex taken[n]; every other corner
// keeps its vertex.
// `crowded` lists the directed edges (3f + k, increasing) of every edge
// used by more than two triangles. The split only renames vertices (each copy
// stands for one original), so an edge crowded after it is made of edges of
// this list: when none of them is (often there are none at all),
// part_shared_edges has nothing to do.
struct SheetCopies {
  std::vector<std::int64_t> originals;
  std::vector<std::int64_t> corners, taken;
  std::vector<std::int64_t> crowded;
};
SheetCopies sheet_copies(const MeshView& mesh, WorkerPool& pool);

// The same, looked for round the `broken` vertices alone (increasing and
// within the mesh, else an InvariantFailure). They must include every
// vertex whose star star_shape calls broken (more are allowed), as
// clean_check lists them: every other vertex's star is one fan with no edge
// in more than two triangles, so neither copies nor crowded edges lie
// there. Its tables hold the broken stars' corners and edges, not the whole
// mesh's.
SheetCopies sheet_copies_round(const MeshView& mesh, std::span<const std::int64_t> broken);

// Gives every sheet but one its own copy of an edge that several still use
// after split_sheets (a tunnel pinched to one edge). Round such an edge the
// triangles are paired as for the sheet links; every pair after the first,
// (a, b, x) and (b, a, y), is split at a new vertex m at the edge's
// midpoint into (a, m, x), (m, b, x) and (b, m, y), (m, a, y): the first
// half of each in place, the second appended. Edges are visited in order of
// (lower, higher) vertex; an edge with a triangle split earlier in a pass
// waits for the next pass, until no edge is crowded.
SplitMesh part_shared_edges(const MeshView& mesh, WorkerPool& pool);
// The same, or nothing when no edge is crowded (the mesh is then not copied).
std::optional<SplitMesh> parted_shared_edges(const MeshView& mesh, WorkerPool& pool);

}  // namespace karvex::validity
