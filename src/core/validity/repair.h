#pragma once

// Relaxing folds: the vertices of intersecting and zero-area triangles move
// towards the mean of their neighbours, in growing steps, until the exact test
// of self_intersections.h finds none or the rounds run out.
//
// Each round the vertices to move are chosen from the bad triangles: the
// corners marked `first` if any, else the corners in the most bad triangles
// (the vertex a fold turns round). A triangle bad for more than kGrowAfter
// rounds moves all its corners; one bad for more than twice that moves a patch
// of rings round it, one ring more every four rounds. A vertex's step is a
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

struct RelaxOptions {
  int rounds = 80;
  // One flag per vertex, or null: vertices moved before the other corners of
  // their bad triangles (copies made for a second sheet and their originals).
  const std::uint8_t* first = nullptr;
  // With `bounded`, a vertex stops on the sphere of radius `max_move` round
  // its starting point (a simplified mesh keeps within its tolerance).
  bool bounded = false;
  double max_move = 0.0;
};

struct Relaxed {
  std::vector<double> vertices;  // 3 per vertex
  std::size_t moved = 0;         // vertices moved at least once
  std::size_t unresolved = 0;    // triangles still bad (0: none intersect, none of zero area)
};

Relaxed relax_folds(const MeshView& mesh, const RelaxOptions& options, WorkerPool& pool);

}  // namespace karvex::validity
