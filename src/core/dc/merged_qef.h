#pragma once

#include "dc/qef.h"
#include "dc/vertex_placement.h"
#include "support/vec3.h"

namespace karvex {

// Sums Qefs: the quadratic error function of a union of cells is the sum of
// theirs (Ju et al. 2002, section 4: simplification). Field by field, in
// the order of the calls.
void add_qef(Qef& into, const Qef& q);

// The minimiser of a merged Qef and its error.
struct MergedSolution {
  Vec3 position;
  // Sum over the planes of the squared distance from `position` (the pull
  // towards the crossing points is not counted); never negative. Its square
  // root bounds the distance from `position` to every one of the planes.
  double error = 0.0;
  unsigned rank = 0;  // directions the planes pin down (1 smooth, 2 crease, 3 corner)
};

// Relative size below which an eigenvalue of A^T A counts as zero: normals
// spread by less than about six degrees pin down one direction only.
inline constexpr double kMergedTruncation = 0.01;

// The same for a cell where a second face or edge holds only a few of the
// crossings (an oblique feature clipping a corner of the cell): its
// eigenvalue is that few's share of the largest, which kMergedTruncation
// would drop, leaving the vertex off those planes.
inline constexpr double kMergedFullTruncation = 1e-6;

// Minimises the planes of a Qef with count >= 1, as Ju et al. (2002) do for
// merged cells: from the mean of the crossing points, along the
// eigenvectors of A^T A whose eigenvalues are at least `truncation` times
// the largest (directions the planes leave free keep the mean), then
// clamps into `clamp`. The small pull of add_crossing is taken out first: on
// a large cell it would move a corner off its planes by more than any
// tolerance. Eigenvectors come from a fixed number of cyclic Jacobi sweeps,
// so the result is reproducible to the bit.
MergedSolution solve_merged_qef(const Qef& q, const VertexBox& clamp,
                                double truncation = kMergedTruncation);

}  // namespace karvex
