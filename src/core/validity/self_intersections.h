#pragma once

// Which triangles of a mesh have zero area, and which pairs of triangles meet
// other than at the vertices and the edge they share, decided with the exact
// predicates of predicates.h, never a tolerance.
//
// Candidate pairs are triangles whose closed bounding boxes overlap, found
// per slice of square columns over x and y about 2.5 times the median
// triangle's width, swept in z within each column; only one slice's entries
// exist at a time per worker, so the memory beyond the mesh is about one list of
// triangles per slice, a flag per vertex and per triangle and a
// single-precision copy of the vertices. Boxes are in single precision
// (rounded monotonically: overlapping boxes still overlap, and the exact
// tests decide), computed where they are read from that copy. Pairs sharing
// a vertex that embedded_stars.h certifies (the triangles round it plainly
// embedded: nearly every vertex of a smooth mesh) are dropped in the sweep,
// from the corner numbers kept with each box.
// Each other pair is first offered cheap verdicts (the floating-point filter
// putting one triangle on one side of the other's plane, or their
// projections apart), then classified by the number of vertices it shares:
//
// * none: they meet iff an edge of one meets the other (closed sets). The
//   intersection of two triangles is convex; its extreme points lie on the
//   boundary of one of them, so on an edge of one inside the other.
// * one, v: they meet beyond v iff the edge of either opposite v meets the
//   other. Near v both are their wedges; along a ray from v inside both, the
//   shorter of the two intervals ends on its triangle's opposite edge, inside
//   the other triangle.
// * two (an edge): they overlap iff they are coplanar with the third
//   vertices on the same side of the edge.
// * three: the same triangle twice.
//
// Triangles with a repeated index or zero area take no part in the pairs.
// The pair tests run on the worker pool; the result does not depend on the
// number of workers.

#include <array>
#include <cstddef>
#include <cstdint>
#include <vector>

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

// A triangle mesh borrowed from its owner: `vertex_count` rows of three
// finite coordinates and `face_count` rows of three vertex numbers, each in
// [0, vertex_count).
struct MeshView {
  const double* vertices = nullptr;
  std::size_t vertex_count = 0;
  const std::int64_t* faces = nullptr;
  std::size_t face_count = 0;
};

using FacePair = std::array<std::int64_t, 2>;

struct SelfIntersections {
  // Pairs (i < j) of triangles that meet improperly, in increasing order.
  std::vector<FacePair> pairs;
  // Per triangle: 1 for three distinct but collinear (or equal) corners.
  std::vector<std::uint8_t> zero_area;
};

// Whether a triangle uses a vertex twice.
bool has_repeated_index(const MeshView& mesh, std::size_t face);

// Per triangle, an axis whose dropping projects it to a triangle of nonzero
// area (its normal's largest component tried first), or -1 when there is
// none (zero area, or a repeated index).
std::vector<std::int8_t> plane_axes(const MeshView& mesh, WorkerPool& pool);
std::int8_t plane_axis(const MeshView& mesh, std::size_t face);

// Whether triangles i and j (both with axes[.] >= 0 from plane_axes, i != j)
// meet other than at the vertices and the edge they share.
bool triangles_meet(const MeshView& mesh, const std::vector<std::int8_t>& axes, std::int64_t i, std::int64_t j);

// The zero-area triangles and the improperly meeting pairs of `mesh`. With
// `subset` (one flag per triangle, or null for all), only pairs with at
// least one flagged triangle are tested. `certified`, when given, must be
// what embedded_stars(mesh, pool) returns (a caller that has chained the
// stars already, clean_check.h); otherwise it is computed here. Given, it
// also spares the projection axes of the triangles at certified vertices
// until a pair test needs one.
SelfIntersections find_self_intersections(const MeshView& mesh, const std::uint8_t* subset,
                                          WorkerPool& pool,
                                          const std::vector<std::uint8_t>* certified = nullptr);

// The bad triangles of a result: every zero-area triangle and both of every
// pair, in increasing order, without repeats.
std::vector<std::int64_t> bad_faces_of(const SelfIntersections& found);

// Whether find_self_intersections(mesh, nullptr, pool, certified) would find
// any zero-area triangle or pair; stops at the first one known, so a mesh
// with bad triangles costs about the set-up of the test. The answer does not
// depend on the number of workers.
bool has_bad_triangles(const MeshView& mesh, WorkerPool& pool,
                       const std::vector<std::uint8_t>* certified = nullptr);

}  // namespace karvex::validity
