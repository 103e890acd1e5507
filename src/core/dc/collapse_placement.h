#pragma once

#include <utility>
#include <vector>

#include "support/vec3.h"

namespace karvex {

// A vertex as the edge collapse places it: `at` where projection put it, on
// the surface; `normal` the field's unit gradient there (NaN when the field
// gives none); `offset` how far along `normal` it now stands (0 on the
// surface), so that it lies at at + offset * normal.
struct SurfaceVertex {
  Vec3 at;
  Vec3 normal;
  double offset = 0.0;
};

// Signed distance along `normal` from a vertex's own point on the surface,
// `offset`, to where it stands: the placement that makes the triangles of
// its fan straddle the surface instead of lying on one side of it.
//
// Vertices on the surface make every chord of a patch curved one way lie on
// its inner side, so the whole sag counts against the tolerance; quadric
// decimation (Garland and Heckbert 1997) puts each vertex at its quadric's
// minimum, off the surface by about half the sag, and its triangles cross
// the surface. Here the surface near `centre` is taken as curved like its
// normals: a chord (p, q) sags by about (n_q - n_p).(q - p) / 8 (exact on a
// sphere; positive where the chord's midpoint lies against the normal), and
// a triangle's centroid by 4/9 of its three chords' sags. With those, the
// signed distances of `centre`, the midpoints of its edges and the
// centroids of its triangles are linear in its offset, and the offset
// returned minimises the largest of their magnitudes, clamped to
// [-limit, limit].
//
// `fan` lists the fan's triangles by their two other vertices (any order,
// shared vertices repeated). The offset is 0 where any normal is unknown,
// and at a sharp feature (a normal of the fan more than about 37 degrees
// from the centre's), where the vertex sits on an edge or corner the
// contouring placed it on and the curved model does not hold.
double straddling_offset(const SurfaceVertex& centre,
                         const std::vector<std::pair<SurfaceVertex, SurfaceVertex>>& fan,
                         double limit);

// A signed distance predicted as value + slope * offset (slope > 0).
struct OffsetLine {
  double value;
  double slope;
};

// straddling_offset with `lines` as scratch (the caller's, reused across calls:
// the edge collapse asks once per candidate).
double straddling_offset(const SurfaceVertex& centre,
                         const std::vector<std::pair<SurfaceVertex, SurfaceVertex>>& fan,
                         double limit, std::vector<OffsetLine>& lines);

// The offset t that minimises max_i |value_i + slope_i t| over `lines`,
// unclamped: where some line i meets the negative of some line j, at the
// highest such meeting point, -(v_i + v_j) / (s_i + s_j), the first pair
// (i, j) in index order among equal heights. Lines of few distinct slopes
// (straddling_offset's have three) take time linear in their count; the
// answer is the same bits as the scan of every pair. Slopes must be
// positive. Not finite when the lines are empty or their values are not
// finite.
double minimax_offset(const std::vector<OffsetLine>& lines);

}  // namespace karvex
