#pragma once

// Relaxing folds: the vertices of intersecting and zero-area triangles move
// towards the mean of their neighbours, in growing steps, until the exact test
// of self_intersections.h finds none or the rounds run out.
//
// Each round the vertices to move are chosen from the bad triangles: the
// corners marked `first` if any, else the corners in the most bad triangles
// (the vertex a fold turns round). A triangle bad for more than kGrowAfter
// rounds moves all its corners; one bad for more than twice that moves a patch
// of rings round it, one ring more every four rounds (not when the moves are
// bounded: see RelaxOptions). A vertex's step is a
// fraction of the way to its neighbours' mean, growing with the rounds its
// worst bad triangle has been bad. Only triangles round a moved vertex are
// tested again.
//
// The means are sums over each vertex's directed edges in the order of the
// mesh's corners (all heads, then all tails), so the result is the same for
// every worker count and every run.

#include <cstddef>
#include <cstdint>
#include <vector>

#include "validity/self_intersections.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

// Rounds in a row without fewer bad triangles after which a bounded
// relaxation gives up: long enough for every step size and for all corners
// of a stubborn triangle to have moved, and patches of a few rings.
inline constexpr int kBoundedStall = 16;

struct RelaxOptions {
  int rounds = 80;
  // One flag per vertex, or null: vertices moved before the other corners of
  // their bad triangles (copies made for a second sheet and their originals).
  const std::uint8_t* first = nullptr;
  // With `bounded`, a vertex stops on the sphere of radius `max_move` round
  // its starting point (a simplified mesh keeps within its tolerance). A
  // triangle still bad after 2 * kGrowAfter rounds (all its corners moved
  // for kGrowAfter of them) is set aside instead of smoothed in a patch,
  // and the rounds end once only such triangles are bad, or once
  // kBoundedStall rounds in a row have left no fewer bad triangles than
  // before: folds the bound cannot undo (two sheets crossing by more than
  // `max_move`, as a contoured mesh's own folds do) keep their vertices
  // pinned on their spheres, and every further round would test them again
  // for nothing. Those folds then come back as they were: the corners of
  // the triangles left bad, and every vertex joined to them through moved
  // vertices, keep their starting positions (and do not count as moved),
  // so that the caller's relaxation without the bound repairs them as it
  // repairs the same folds of a mesh that never had one.
  bool bounded = false;
  double max_move = 0.0;
};

struct RelaxStats {
  std::size_t moved = 0;       // vertices moved at least once
  std::size_t unresolved = 0;  // triangles still bad (0: none intersect, none of zero area)
  int rounds = 0;              // rounds taken
  // The vertices whose final positions differ from their starting ones, in
  // increasing order (those moved at least once, less any that came back):
  // a caller need not compare every vertex to find them.
  std::vector<std::int64_t> changed;
  std::vector<double> starts;  // 3 per vertex of `changed`: where it started
};

struct Relaxed : RelaxStats {
  std::vector<double> vertices;  // 3 per vertex
};

Relaxed relax_folds(const MeshView& mesh, const RelaxOptions& options, WorkerPool& pool);

// The same, writing the moved vertices' positions to `out` (3 per vertex,
// holding a copy of the mesh's positions, or the mesh's positions
// themselves: they are read only before `out` is written); the others are
// left as they are. Beyond the mesh and `out`, its memory is set by the
// region round the folds (fold_region.h), nothing when there are none.
RelaxStats relax_folds_into(const MeshView& mesh, const RelaxOptions& options, WorkerPool& pool, double* out);

// relax_folds_into in two steps, for a caller that makes `out` only once
// the first has freed its tables (they and a copy of the positions are
// then never held at once): the bad triangles of the whole mesh, in
// increasing order, and the relaxation starting from them. `certified`, when
// given, holds one flag per vertex, set only where embedded_stars would set
// it (clear flags cost only time): the stars are then not chained again.
std::vector<std::int64_t> all_bad_faces(const MeshView& mesh, WorkerPool& pool,
                                        const std::vector<std::uint8_t>* certified = nullptr);
RelaxStats relax_folds_from(const MeshView& mesh, std::vector<std::int64_t> bad, const RelaxOptions& options,
                            WorkerPool& pool, double* out);

}  // namespace karvex::validity
