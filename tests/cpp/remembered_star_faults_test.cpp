// The star faults carried from pass to pass: a star is told again when one
// of its polygons, then or now, has a vertex that came or went.
#include <algorithm>
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "dc/cell_pass_changes.h"
#include "dc/merge_topology.h"
#include "dc/remembered_star_faults.h"

namespace karvex {
namespace {

VertexKey key(std::uint64_t a) { return {a, a * 7 + 1}; }

std::vector<StarFault> by_vertex(std::vector<StarFault> faults) {
  std::sort(faults.begin(), faults.end(), [](const StarFault& a, const StarFault& b) {
    return a.vertex < b.vertex;
  });
  return faults;
}

TEST(RememberedStarFaults, QuadWithANewCornerChangesTheStarsOfAllFour) {
  const CellAddress collapsed{1, 2, 3, 2};
  // Vertices a, b, d (keys 10, 11, 13) and the collapsed cell's c (key 12).
  SimplifiedCells first;
  first.keys = {key(10), key(11), key(13), key(12)};
  first.merged.push_back({collapsed, 0.5, 3, {}, 0});
  CellPassChanges changes;
  RememberedStarFaults stars;
  MergeRefusals refused;
  changes.advance(first, refused);
  const std::vector<EdgePolygon> before{{{0, 1, 2, 0}, false}, {{3, 0, 2, 0}, false}};
  const std::vector<Triangle> before_triangles{{0, 1, 2}, {3, 0, 2}};
  EXPECT_EQ(by_vertex(stars.faults(before, before_triangles, changes)),
            star_faults(before_triangles));

  // The cell refused: c leaves, its child's vertex e (key 14) comes in
  // between; the quad (e, a, b, d) split along a-d gives triangle (a, b, d)
  // again, without e, and b's star (never next to c) now holds that corner
  // twice.
  refused.insert(collapsed);
  SimplifiedCells second;
  second.keys = {key(10), key(11), key(14), key(13)};
  changes.advance(second, refused);
  const std::vector<EdgePolygon> after{{{0, 1, 3, 0}, false}, {{2, 0, 1, 3}, true}};
  const std::vector<Triangle> after_triangles{{0, 1, 3}, {2, 0, 3}, {0, 1, 3}};
  const std::vector<StarFault> whole = star_faults(after_triangles);
  ASSERT_TRUE(std::any_of(whole.begin(), whole.end(),
                          [](const StarFault& f) { return f.vertex == 1; }));
  EXPECT_EQ(by_vertex(stars.faults(after, after_triangles, changes)), whole);
}

}  // namespace
}  // namespace karvex
