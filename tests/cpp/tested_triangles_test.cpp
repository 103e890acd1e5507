// The fold test's memory of searched triangles: a triangle is known by its
// corners' keys in order, whatever numbers a later pass gives its vertices.
#include <cstdint>
#include <vector>

#include <gtest/gtest.h>

#include "dc/tested_triangles.h"
#include "dc/vertex_keys.h"

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

// A refused cell's vertex leaves its place in the key order and its
// children's enter there; triangles between vertices on either side are
// still found, told the refusals or not.
TEST(TestedTriangles, FindsTrianglesAcrossARefusedCell) {
  const CellAddress refused_cell{2, 2, 2, 3};
  const auto leaf = [](std::uint32_t x) { return vertex_key({x, 0, 0, 5}, 0); };
  const VertexKey gone = vertex_key(refused_cell, 0);
  const std::vector<VertexKey> before{leaf(1), gone, leaf(2), leaf(3)};
  const std::vector<VertexKey> after{leaf(1), leaf(8), leaf(9), leaf(2), leaf(3)};
  const std::vector<Triangle> triangles{
      {0, 3, 4},  // keys 1 2 3: seen
      {0, 1, 3},  // a child of the refused cell
      {4, 3, 0},  // keys 3 2 1: another triangle
  };
  const MergeRefusals refused{refused_cell};
  for (const MergeRefusals* told : {&refused, static_cast<const MergeRefusals*>(nullptr)}) {
    TestedTriangles tested;
    tested.remember(before, {{0, 2, 3}, {0, 1, 2}, {1, 2, 3}});
    EXPECT_EQ(tested.unseen(after, triangles, told), (std::vector<std::uint8_t>{0, 1, 1}));
  }
}

}  // namespace
}  // namespace karvex
