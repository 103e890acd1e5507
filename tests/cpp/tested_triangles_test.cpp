// The fold test's memory of searched triangles: a triangle is known by its
// corners' keys in order, whatever numbers a later pass gives its vertices.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "dc/tested_triangles.h"

namespace karvex {
namespace {

VertexKey key(std::uint64_t a) { return {a, a * 7 + 1}; }

TEST(TestedTriangles, EveryTriangleIsUnseenBeforeASearch) {
  TestedTriangles tested;
  EXPECT_FALSE(tested.any());
  const std::vector<VertexKey> keys{key(1), key(2), key(3)};
  EXPECT_EQ(tested.unseen(keys, {{0, 1, 2}, {2, 1, 0}}), (std::vector<std::uint8_t>{1, 1}));
}

TEST(TestedTriangles, KnowsTrianglesByTheirKeysNotTheirVertexNumbers) {
  TestedTriangles tested;
  tested.remember({key(10), key(11), key(12), key(13)}, {{0, 1, 2}, {1, 3, 2}});
  ASSERT_TRUE(tested.any());
  // The next pass numbers the vertices anew and adds one (key 14).
  const std::vector<VertexKey> keys{key(14), key(13), key(12), key(11), key(10)};
  const std::vector<Triangle> triangles{
      {4, 3, 2},  // keys 10 11 12: seen
      {3, 1, 2},  // keys 11 13 12: seen
      {3, 2, 4},  // keys 11 12 10: the first with its corners rotated, unseen
      {0, 1, 2},  // a new vertex
      {4, 2, 3},  // keys 10 12 11: reversed, another triangle
  };
  EXPECT_EQ(tested.unseen(keys, triangles), (std::vector<std::uint8_t>{0, 0, 1, 1, 1}));
  // A search forgets the one before it.
  tested.remember(keys, {{0, 1, 2}});
  EXPECT_EQ(tested.unseen(keys, triangles), (std::vector<std::uint8_t>{1, 1, 1, 0, 1}));
}

}  // namespace
}  // namespace karvex
