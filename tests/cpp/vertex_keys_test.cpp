// The keys of a tile run's vertices: one per vertex, no two alike within a
// tile, and a vertex both tiles of a seam make keyed alike in both.
#include <cmath>
#include <cstdint>
#include <map>
#include <optional>
#include <tuple>
#include <utility>
#include <vector>

#include <gtest/gtest.h>

#include "construction/build.h"
#include "dc/extract.h"
#include "dc/vertex_keys.h"
#include "fields.h"

namespace karvex {
namespace {

using testing::FunctionField;

// A shell thinner than a finest cell (depth 5 on [-1, 1]: cells 0.0625
// wide), so that many cells hold two vertices, one per sheet.
FunctionField thin_shell() {
  return FunctionField([](const Vec3& p) { return std::abs(testing::length(p) - 0.55) - 0.012; });
}

Mesh tile_run(bool adaptive, double simplify, const std::optional<LatticeBlock>& tile) {
  FunctionField field = thin_shell();
  MeshingOptions options;
  options.min_depth = 2;
  options.max_depth = 5;
  options.adaptive = adaptive;
  options.simplify = simplify;
  options.keep_all = true;
  options.find_small = true;
  options.lean_sampling = true;
  options.tile = tile;
  BuildResult built = build_octree(field, BBox{{-1, -1, -1}, {1, 1, 1}}, options);
  return extract_surface(std::move(built.octree), field, options);
}

std::map<VertexKey, Vec3> keyed(const Mesh& mesh) {
  std::map<VertexKey, Vec3> by_key;
  for (std::size_t v = 0; v < mesh.vertices.size(); ++v) {
    by_key.emplace(mesh.vertex_keys[v], mesh.vertices[v]);
  }
  return by_key;
}

class TileKeys : public ::testing::TestWithParam<std::tuple<bool, double>> {};

TEST_P(TileKeys, UniqueInATileAndAlikeAcrossItsSeam) {
  const auto [adaptive, simplify] = GetParam();
  const Mesh low = tile_run(adaptive, simplify, LatticeBlock{{0, 0, 0}, {16, 32, 32}});
  const Mesh high = tile_run(adaptive, simplify, LatticeBlock{{16, 0, 0}, {32, 32, 32}});
  std::size_t shared = 0;
  for (const Mesh* mesh : {&low, &high}) {
    ASSERT_FALSE(mesh->faces.empty());
    ASSERT_EQ(mesh->vertex_keys.size(), mesh->vertices.size());
    const std::map<VertexKey, Vec3> by_key = keyed(*mesh);
    EXPECT_EQ(by_key.size(), mesh->vertices.size()) << "two vertices of one tile share a key";
  }
  const std::map<VertexKey, Vec3> high_keys = keyed(high);
  for (const auto& [key, position] : keyed(low)) {
    const auto other = high_keys.find(key);
    if (other == high_keys.end()) continue;
    ++shared;
    // The same vertex, computed by the same operations in both runs.
    EXPECT_EQ(position.x, other->second.x);
    EXPECT_EQ(position.y, other->second.y);
    EXPECT_EQ(position.z, other->second.z);
  }
  // Cells holding a second sheet's vertex: their vertices differ only by group.
  std::size_t second_sheets = 0;
  for (const VertexKey& key : low.vertex_keys) second_sheets += (key[1] >> 40) > 0;
  EXPECT_GT(shared, 0u);
  EXPECT_GT(second_sheets, 0u);
}

INSTANTIATE_TEST_SUITE_P(Modes, TileKeys,
                         ::testing::Values(std::tuple{false, 0.0}, std::tuple{true, 0.0},
                                           std::tuple{true, 0.005}));

TEST(TileKeys, OnlyTileRunsCarryKeys) {
  EXPECT_TRUE(tile_run(false, 0.0, std::nullopt).vertex_keys.empty());
}

// The fold test's memory reads a key's cell back to tell a refused cell's
// vertex from a new one: every field must come back whole, whatever group.
TEST(TileKeys, KeyCellUndoesTheKey) {
  for (const CellAddress& cell : {CellAddress{0, 0, 0, 0}, CellAddress{1, 2, 3, 4},
                                  CellAddress{0x7fffffffu, 5, 0x7ffffffeu, 31}}) {
    for (std::uint64_t group = 0; group < 4; ++group) {
      EXPECT_EQ(key_cell(vertex_key(cell, group)), cell);
    }
  }
}

}  // namespace
}  // namespace karvex
