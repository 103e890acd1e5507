#pragma once

// The bad triangles of a mesh whose vertices move between tests: those of
// zero area or in an intersecting pair, first over the whole mesh, then only
// among the triangles a caller names (the ones round moved vertices).
//
// The re-tests keep a grid of every triangle's bounding box from the first
// of them. Triangles that moved since are left out of it and bucketed again
// at each re-test, on their own; when they are more than an eighth of the
// mesh the grid is built again. A re-test thus costs about the named
// triangles' neighbourhoods, not the mesh.

#include <array>
#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "validity/clamped_grid.h"
#include "validity/self_intersections.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

class LocalTest {
 public:
  // `mesh` is borrowed; its vertices may change between calls. Every vertex
  // stays inside the bounding box of the vertices it has at the first
  // re-test (moves towards neighbours' means do).
  LocalTest(const MeshView& mesh, WorkerPool& pool);

  // Every zero-area triangle and every triangle in an intersecting pair, in
  // increasing order.
  std::vector<std::int64_t> bad_faces();

  // The same, testing only `faces` (increasing, without repeats) and the
  // pairs with one of them. Exact when every other triangle is unchanged
  // since it was last tested and found good.
  std::vector<std::int64_t> bad_faces_among(const std::vector<std::int64_t>& faces);

 private:
  using Cell = ClampedGrid::Cell;
  // A cell kept per triangle in 12 bytes: the grid has at most 2^20 + 1
  // cells per axis (its side is at least 2^-20 of the extent).
  using NarrowCell = std::array<std::int32_t, 3>;
  struct Box {
    std::array<double, 3> lo, hi;
  };

  void start();
  void update(std::int64_t face);
  void build_static();
  // Calls visit(key) for the cells of triangle f's box.
  template <typename Visit>
  void for_each_cell(std::size_t f, Visit&& visit) const;

  const MeshView& mesh_;
  WorkerPool& pool_;
  bool started_ = false;

  // Per triangle: its plane axis (plane_axes), box and first and last cells.
  std::vector<std::int8_t> axes_;
  std::vector<Box> boxes_;
  std::vector<NarrowCell> firsts_, lasts_;

  // The grid of the triangles' boxes; a cell's key is its index.
  ClampedGrid grid_;

  // (cell key, triangle) of the triangles unmoved since the grid was built,
  // and of those moved since, each sorted. Where keys and triangles fit in
  // 32 bits each, the unmoved ones are kept as one word each (key high,
  // triangle low) in static_words_, which sorts as the pairs would;
  // otherwise as pairs in static_.
  bool narrow_ = false;
  std::vector<std::uint64_t> static_words_;
  std::vector<std::pair<std::uint64_t, std::int64_t>> static_, moved_;
  std::vector<std::uint8_t> stale_;       // per triangle: moved since the grid was built
  std::vector<std::int64_t> stale_list_;  // those triangles
  std::vector<std::uint8_t> named_;       // per triangle: named in the current re-test
};

}  // namespace karvex::validity
