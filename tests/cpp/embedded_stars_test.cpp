// The shape of a vertex's star (one fan, open or closed, or broken), which
// vertices embedded_stars certifies (the smallest stars that show each
// refusal), and that the self-intersection test, which skips the pairs at
// certified vertices, still finds exactly what testing every pair finds on
// closed meshes with folds; clean_check, which chains each star once for
// the one-sheet verdict and the certificate, agrees with both tests.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <numbers>
#include <string>
#include <utility>
#include <vector>

#include "pool/worker_pool.h"
#include "validity/clean_check.h"
#include "validity/embedded_stars.h"
#include "validity/repair.h"
#include "validity/self_intersections.h"
#include "validity/sheets.h"
#include "validity/vertex_stars.h"

namespace karvex::validity {
namespace {

struct Star {
  std::vector<double> vertices;
  std::vector<std::int64_t> faces;

  MeshView view() const { return {vertices.data(), vertices.size() / 3, faces.data(), faces.size() / 3}; }
};

// Vertex 0 at the origin and `count` neighbours at the given angles (turns
// of 2 pi), radii 1 + r k and heights z(k), joined to it by triangles
// (0, k, k + 1), the last back to the first unless `open`.
template <typename Height>
Star fan(int count, double turns, double r, Height z, bool open = false) {
  Star star{{0, 0, 0}, {}};
  for (int k = 0; k < count; ++k) {
    const double angle = 2 * std::numbers::pi * turns * k / count;
    star.vertices.insert(star.vertices.end(), {(1 + r * k) * std::cos(angle), (1 + r * k) * std::sin(angle), z(k)});
  }
  for (int k = 0; k < count - (open ? 1 : 0); ++k) star.faces.insert(star.faces.end(), {0, 1 + k, 1 + (k + 1) % count});
  return star;
}

struct StarCase {
  const char* name;
  Star star;
  bool certified;  // vertex 0
};

class Stars : public ::testing::TestWithParam<StarCase> {};

TEST_P(Stars, CentreCertifiedOnlyWhenEmbedded) {
  const auto stars = embedded_stars(GetParam().star.view(), global_pool());
  EXPECT_EQ(stars[0] != 0, GetParam().certified);
}

// The one chaining per star of clean_check gives what the one-sheet test
// and the certificate give on their own, and the self-intersection test's
// result when the mesh is one sheet.
void expect_clean_check_agrees(const MeshView& view) {
  const StarVerdicts verdicts = star_verdicts(view, global_pool());
  const CleanCheck check = clean_check(view, global_pool());
  EXPECT_EQ(verdicts.one_sheet, is_one_sheet(view, global_pool()));
  EXPECT_EQ(check.one_sheet, verdicts.one_sheet);
  if (!verdicts.one_sheet) return;
  EXPECT_EQ(verdicts.embedded, embedded_stars(view, global_pool()));
  const SelfIntersections alone = find_self_intersections(view, nullptr, global_pool());
  const bool any_zero_area = std::find(alone.zero_area.begin(), alone.zero_area.end(), 1) != alone.zero_area.end();
  EXPECT_EQ(check.bad, !alone.pairs.empty() || any_zero_area);
}

TEST_P(Stars, CleanCheckAgrees) { expect_clean_check_agrees(GetParam().star.view()); }

Star with_faces(Star star, std::vector<std::int64_t> faces) {
  star.faces.insert(star.faces.end(), faces.begin(), faces.end());
  return star;
}

INSTANTIATE_TEST_SUITE_P(
    Cases, Stars,
    ::testing::Values(
        StarCase{"flat", fan(6, 1, 0, [](int) { return 0.0; }), true},
        StarCase{"cone", fan(7, 1, 0.05, [](int k) { return 0.3 + 0.01 * k; }), true},
        StarCase{"saddle", fan(8, 1, 0, [](int k) { return k % 2 ? 0.4 : -0.4; }), true},
        // wedges of 120 degrees each, going twice round (a flat double cover)
        StarCase{"twice_round", fan(6, 2, 0.1, [](int) { return 0.0; }), false},
        StarCase{"open", fan(6, 0.8, 0, [](int) { return 0.0; }, true), false},
        // one neighbour pulled back past the next: one wedge turns the other way
        StarCase{"folded", [] {
                   Star s = fan(6, 1, 0, [](int) { return 0.1; });
                   s.vertices[3 * 2 + 0] = std::cos(2.6);
                   s.vertices[3 * 2 + 1] = std::sin(2.6);
                   return s;
                 }(), false},
        StarCase{"upright_wedges", [] {
                   Star s = fan(6, 1, 0, [](int) { return 0.0; });
                   s.vertices[3 * 2 + 0] = 0;  // a neighbour straight above the centre
                   s.vertices[3 * 2 + 1] = 0;
                   s.vertices[3 * 2 + 2] = 0.5;
                   return s;
                 }(), false},
        // a second fan at the same vertex: two cones touching at their apex
        StarCase{"two_fans", [] {
                   Star s = fan(4, 1, 0, [](int) { return 1.0; });
                   for (int k = 0; k < 4; ++k) {
                     const double a = std::numbers::pi / 2 * k;
                     s.vertices.insert(s.vertices.end(), {std::cos(a), std::sin(a), -1.0});
                   }
                   return with_faces(s, {0, 6, 5, 0, 7, 6, 0, 8, 7, 0, 5, 8});
                 }(), false},
        StarCase{"repeated_index", with_faces(fan(5, 1, 0, [](int) { return 0.2; }), {0, 0, 3}), false},
        StarCase{"same_triangle_twice", with_faces(fan(5, 1, 0, [](int) { return 0.2; }), {0, 1, 2}), false}),
    [](const auto& info) { return std::string(info.param.name); });

struct ShapeCase {
  const char* name;
  Star star;
  StarShape shape;  // of vertex 0
};

class Shapes : public ::testing::TestWithParam<ShapeCase> {};

TEST_P(Shapes, CleanCheckAgrees) { expect_clean_check_agrees(GetParam().star.view()); }

TEST_P(Shapes, OfVertexZero) {
  const Star& star = GetParam().star;
  const VertexFaces rows = vertex_faces(star.view());
  StarChain chain;
  EXPECT_EQ(star_shape(star.view(), 0, rows.items.data() + rows.starts[0], rows.starts[1] - rows.starts[0], chain),
            GetParam().shape);
}

// The rows by vertex: each vertex's triangles in increasing order, a
// triangle with a repeated index listed once per corner, vertices in no
// triangle (first, between, last) with empty rows.
TEST(VertexFaces, ListEachVertexsTrianglesInOrder) {
  const std::vector<std::int64_t> faces = {2, 3, 4, 4, 3, 2, 5, 2, 2, 3, 5, 4, 1, 5, 3};
  const std::vector<double> vertices(3 * 7, 0.0);
  const MeshView mesh{vertices.data(), 7, faces.data(), faces.size() / 3};
  const VertexFaces rows = vertex_faces(mesh);
  const std::vector<std::vector<std::uint32_t>> expected = {{}, {4}, {0, 1, 2, 2}, {0, 1, 3, 4}, {0, 1, 3}, {2, 3, 4}, {}};
  ASSERT_EQ(rows.starts.size(), expected.size() + 1);
  EXPECT_EQ(rows.starts.front(), 0u);
  EXPECT_EQ(rows.starts.back(), faces.size());
  for (std::size_t v = 0; v < expected.size(); ++v) {
    const std::vector<std::uint32_t> row(rows.items.begin() + static_cast<std::ptrdiff_t>(rows.starts[v]),
                                         rows.items.begin() + static_cast<std::ptrdiff_t>(rows.starts[v + 1]));
    EXPECT_EQ(row, expected[v]) << "vertex " << v;
  }
}

// `extra` more vertices after those of `star`.
Star with_vertices(Star star, int extra) {
  for (int k = 0; k < extra; ++k) star.vertices.insert(star.vertices.end(), {0.1 * k, -1.0, 0.5});
  return star;
}

const auto kFlat = [](int) { return 0.0; };

const std::vector<ShapeCase> kShapeCases = {
        ShapeCase{"closed", fan(5, 1, 0, kFlat), StarShape::kClosed},
        ShapeCase{"open", fan(5, 0.7, 0, kFlat, true), StarShape::kOpen},
        ShapeCase{"one_triangle", fan(2, 0.3, 0, kFlat, true), StarShape::kOpen},
        // a closed fan and an open one at the same vertex
        ShapeCase{"cycle_and_chain", with_faces(with_vertices(fan(4, 1, 0, kFlat), 4), {0, 6, 7, 0, 7, 8}),
                  StarShape::kBroken},
        ShapeCase{"two_chains", with_faces(with_vertices(fan(4, 0.7, 0, kFlat, true), 4), {0, 5, 6, 0, 7, 8}),
                  StarShape::kBroken},
        // a third triangle on the edge 0-1
        ShapeCase{"crowded_edge", with_faces(with_vertices(fan(4, 1, 0, kFlat), 1), {0, 5, 1}), StarShape::kBroken},
        ShapeCase{"turned_neighbour", [] {
                    Star s = fan(4, 1, 0, kFlat);
                    std::swap(s.faces[4], s.faces[5]);  // (0, 3, 2): the edge 0-3 used twice from 0
                    return s;
                  }(), StarShape::kBroken},
        ShapeCase{"repeated_index", with_faces(fan(5, 1, 0, kFlat), {0, 0, 3}), StarShape::kBroken},
        // every wedge followed, in two cycles
        ShapeCase{"two_cycles", with_faces(with_vertices(fan(3, 1, 0, kFlat), 3), {0, 4, 5, 0, 5, 6, 0, 6, 4}),
                  StarShape::kBroken},
        // every wedge followed, a cycle and a wedge running into it (two ending
        // at 2), the walk starting on the cycle or on the wedge into it
        ShapeCase{"into_cycle", with_faces(with_vertices(fan(3, 1, 0, kFlat), 1), {0, 4, 2}), StarShape::kBroken},
        ShapeCase{"into_cycle_first", [] {
                    Star s = with_vertices(fan(3, 1, 0, kFlat), 1);
                    s.faces.insert(s.faces.begin(), {0, 4, 2});
                    return s;
                  }(), StarShape::kBroken},
        // the most wedges compared pairwise, then stars chained through the
        // table of wedge starts, broken ones too
        ShapeCase{"largest_listed", fan(16, 1, 0, kFlat), StarShape::kClosed},
        ShapeCase{"many_closed", fan(40, 1, 0, kFlat), StarShape::kClosed},
        ShapeCase{"many_open", fan(40, 0.9, 0, kFlat, true), StarShape::kOpen},
        ShapeCase{"many_crowded_edge", with_faces(with_vertices(fan(40, 1, 0, kFlat), 1), {0, 41, 1}),
                  StarShape::kBroken},
        ShapeCase{"many_turned_neighbour", [] {
                    Star s = fan(40, 1, 0, kFlat);
                    std::swap(s.faces[4], s.faces[5]);
                    return s;
                  }(), StarShape::kBroken}};

INSTANTIATE_TEST_SUITE_P(Cases, Shapes, ::testing::ValuesIn(kShapeCases),
                         [](const auto& info) { return std::string(info.param.name); });

// One chain for stars of every size, in turn and again: nothing a star
// leaves in it may change the next one's shape.
TEST(StarChain, ReusedForStarsOfEverySize) {
  StarChain chain;
  for (int pass = 0; pass < 2; ++pass) {
    for (const ShapeCase& c : kShapeCases) {
      const VertexFaces rows = vertex_faces(c.star.view());
      EXPECT_EQ(star_shape(c.star.view(), 0, rows.items.data() + rows.starts[0], rows.starts[1] - rows.starts[0], chain),
                c.shape)
          << c.name << ", pass " << pass;
    }
  }
}

// A closed latitude-longitude sphere (poles included), its vertices moved
// by up to `jitter` of the spacing in random directions.
Star jittered_sphere(int rows, int columns, double jitter, std::uint64_t seed) {
  std::uint64_t state = seed;
  auto uniform = [&] {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
  };
  const double spacing = std::numbers::pi / rows;
  Star s;
  auto add = [&](double x, double y, double z) {
    const double step = jitter * spacing;
    s.vertices.insert(s.vertices.end(), {x + step * uniform(), y + step * uniform(), z + step * uniform()});
  };
  add(0, 0, 1);
  for (int i = 1; i < rows; ++i) {
    for (int j = 0; j < columns; ++j) {
      const double theta = spacing * i, phi = 2 * std::numbers::pi * j / columns;
      add(std::sin(theta) * std::cos(phi), std::sin(theta) * std::sin(phi), std::cos(theta));
    }
  }
  add(0, 0, -1);
  const auto ring = [&](int i, int j) { return static_cast<std::int64_t>(1 + (i - 1) * columns + (j % columns)); };
  const auto south = static_cast<std::int64_t>(s.vertices.size() / 3 - 1);
  for (int j = 0; j < columns; ++j) {
    s.faces.insert(s.faces.end(), {0, ring(1, j), ring(1, j + 1)});
    for (int i = 1; i + 1 < rows; ++i) {
      s.faces.insert(s.faces.end(), {ring(i, j), ring(i + 1, j), ring(i + 1, j + 1)});
      s.faces.insert(s.faces.end(), {ring(i, j), ring(i + 1, j + 1), ring(i, j + 1)});
    }
    s.faces.insert(s.faces.end(), {south, ring(rows - 1, j + 1), ring(rows - 1, j)});
  }
  return s;
}

class FoldedSpheres : public ::testing::TestWithParam<double> {};

// From smooth (every vertex certified, no pair) to badly folded (few
// certified, many pairs), the pairs are those of testing every pair.
TEST_P(FoldedSpheres, PairsAsFromEveryPair) {
  const Star sphere = jittered_sphere(14, 24, GetParam(), 99);
  const MeshView view = sphere.view();
  const auto stars = embedded_stars(view, global_pool());
  const std::vector<std::int8_t> axes = plane_axes(view, global_pool());
  std::vector<FacePair> every;
  for (std::int64_t i = 0; i < static_cast<std::int64_t>(view.face_count); ++i) {
    for (std::int64_t j = i + 1; j < static_cast<std::int64_t>(view.face_count); ++j) {
      if (axes[i] >= 0 && axes[j] >= 0 && triangles_meet(view, axes, i, j)) every.push_back({i, j});
    }
  }
  std::size_t certified = 0;
  for (std::uint8_t s : stars) certified += s;
  if (GetParam() == 0.0) {
    EXPECT_EQ(certified, view.vertex_count);
    EXPECT_TRUE(every.empty());
  } else if (GetParam() >= 1.0) {
    EXPECT_LT(certified, view.vertex_count);
    EXPECT_GT(every.size(), 20u);
  }
  EXPECT_EQ(find_self_intersections(view, nullptr, global_pool()).pairs, every);
  // Given the certificates, the triangles at certified vertices get their
  // projection axes only when a pair test asks: the same pairs.
  EXPECT_EQ(find_self_intersections(view, nullptr, global_pool(), &stars).pairs, every);
  const CleanCheck check = clean_check(view, global_pool());
  EXPECT_TRUE(check.one_sheet);
  EXPECT_EQ(check.bad, !every.empty());
  // Listed, the bad triangles are the ones the relaxation would find itself.
  const CleanCheck listed = clean_check(view, global_pool(), true);
  EXPECT_EQ(listed.bad, check.bad);
  EXPECT_EQ(listed.bad_faces, all_bad_faces(view, global_pool()));
}

INSTANTIATE_TEST_SUITE_P(Jitter, FoldedSpheres, ::testing::Values(0.0, 0.3, 1.0, 2.5));

}  // namespace
}  // namespace karvex::validity
