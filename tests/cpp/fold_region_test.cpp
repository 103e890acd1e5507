// The region round folds against its contract, and the relaxation built on
// it against the whole-mesh exact test, on crumpled sheets large enough for
// the region to be a small part of the mesh and to have to grow.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <set>
#include <vector>

#include "crumpled_sheet.h"
#include "pool/worker_pool.h"
#include "validity/fold_region.h"
#include "validity/repair.h"
#include "validity/self_intersections.h"

namespace karvex::validity {
namespace {

// Triangles bad by the whole-mesh test: zero area, or in a meeting pair.
std::size_t bad_count(const MeshView& mesh) {
  const SelfIntersections found = find_self_intersections(mesh, nullptr, global_pool());
  std::set<std::int64_t> bad;
  for (std::size_t f = 0; f < found.zero_area.size(); ++f) {
    if (found.zero_area[f]) bad.insert(static_cast<std::int64_t>(f));
  }
  for (const FacePair& pair : found.pairs) bad.insert(pair.begin(), pair.end());
  return bad.size();
}

bool overlap(const Span& a, const Span& b) {
  for (int k = 0; k < 3; ++k) {
    if (a.hi[k] < b.lo[k] || b.hi[k] < a.lo[k]) return false;
  }
  return true;
}

class RegionGrowth : public ::testing::TestWithParam<int> {};

// After each growth: an open vertex has every triangle using it in the
// region, and a triangle outside overlaps no covered box. The sheet's side
// in cells picks how each vertex's cell is kept: a byte an axis up to 256
// cells, two bytes above.
TEST_P(RegionGrowth, HoldsEveryTriangleAnOpenVertexOrACoveredBoxCanMeet) {
  const Sheet sheet = crumpled_sheet(GetParam(), 0.2, 0.2, 0.0, 1.0, 7);
  const MeshView mesh = sheet.view();
  WorkerPool pool(3);
  FoldRegion region(mesh, pool);
  const std::vector<Span> seeds{{{10.2, 10.7, -0.1}, {10.2, 10.7, -0.1}},
                                {{30.0, 40.0, -1.0}, {33.5, 41.0, 1.0}},
                                {{58.0, 0.0, 0.0}, {70.0, 2.0, 0.0}}};  // reaching past the sheet
  std::size_t before = 0;
  for (const Span& seed : seeds) {
    EXPECT_TRUE(region.grow({seed}));
    EXPECT_GT(region.face_count(), before);
    EXPECT_LT(region.face_count(), mesh.face_count / 4);
    before = region.face_count();
    EXPECT_FALSE(region.grow({seed}));  // marked already
    std::vector<std::uint8_t> in(mesh.face_count, 0);
    for (std::size_t f = 0; f < region.face_count(); ++f) {
      const std::int64_t g = region.mesh_face(static_cast<std::int64_t>(f));
      EXPECT_FALSE(in[static_cast<std::size_t>(g)]) << "triangle " << g << " joined twice";
      in[static_cast<std::size_t>(g)] = 1;
      for (int k = 0; k < 3; ++k) {
        // Local corners name the same vertices, at the same positions.
        const std::int64_t local = region.view().faces[3 * f + k];
        EXPECT_EQ(region.mesh_vertex(local), mesh.faces[3 * g + k]);
        EXPECT_EQ(region.view().vertices[3 * local], mesh.vertices[3 * mesh.faces[3 * g + k]]);
      }
    }
    std::vector<std::uint8_t> open(mesh.vertex_count, 0);
    for (std::size_t v = 0; v < region.vertex_count(); ++v) {
      if (region.open(static_cast<std::int64_t>(v))) open[static_cast<std::size_t>(region.mesh_vertex(static_cast<std::int64_t>(v)))] = 1;
    }
    std::size_t opened = 0;
    for (std::uint8_t o : open) opened += o;
    EXPECT_GT(opened, 0u);
    for (std::size_t g = 0; g < mesh.face_count; ++g) {
      if (in[g]) continue;
      for (int k = 0; k < 3; ++k) EXPECT_FALSE(open[static_cast<std::size_t>(mesh.faces[3 * g + k])]);
      const Span box = region.mesh_face_span(static_cast<std::int64_t>(g));
      for (const Span& s : seeds) {
        if (region.covers(s)) {
          EXPECT_FALSE(overlap(box, s)) << "triangle " << g;
        }
      }
    }
  }
}

INSTANTIATE_TEST_SUITE_P(SheetSides, RegionGrowth, ::testing::Values(60, 400));

// A growth in the middle of a long triangle's box, many cells from each of
// its corners (so in a block of cells none of them lies in): the triangle
// joins, as its box touches a new cell. Small triangles along x set the
// cells' size; the long one runs across all of them, above them in y.
TEST(FoldRegion, JoinsATriangleWhoseBoxAloneTouchesTheGrowth) {
  std::vector<double> v;
  std::vector<std::int64_t> f;
  for (int k = 0; k < 64; ++k) {
    const auto base = static_cast<std::int64_t>(v.size() / 3);
    v.insert(v.end(), {k + 0.0, 0.0, 0.0, k + 1.0, 0.0, 0.0, k + 0.0, 1.0, 0.0});
    f.insert(f.end(), {base, base + 1, base + 2});
  }
  const auto base = static_cast<std::int64_t>(v.size() / 3);
  v.insert(v.end(), {0.0, 20.0, 0.0, 64.0, 20.0, 0.0, 0.0, 30.0, 0.5});
  f.insert(f.end(), {base, base + 1, base + 2});
  const MeshView mesh{v.data(), v.size() / 3, f.data(), f.size() / 3};
  WorkerPool pool(2);
  FoldRegion region(mesh, pool);
  EXPECT_TRUE(region.grow({Span{{31.5, 24.0, 0.1}, {31.5, 24.0, 0.1}}}, false));
  ASSERT_EQ(region.face_count(), 1u);
  EXPECT_EQ(region.mesh_face(0), 64);
}

struct Folds {
  int n;
  double jitter, crumple, radius, stretch;
  bool bounded;
};

class RelaxInRegion : public ::testing::TestWithParam<Folds> {};

// Scattered slight folds over the whole sheet, and a crumpled patch that
// takes rings of smoothing (the region grows with it), also where the
// triangles beside it are long: the relaxation
// reports exactly what the whole-mesh test finds afterwards, moves nothing
// far from a fold, and gives the same bits on 1 and 4 workers and with the
// triangles numbered backwards.
TEST_P(RelaxInRegion, ReportsWhatTheWholeMeshTestFinds) {
  const Folds folds = GetParam();
  const Sheet sheet = crumpled_sheet(folds.n, folds.jitter, folds.crumple, folds.radius, folds.stretch, 11);
  const MeshView mesh = sheet.view();
  ASSERT_GT(bad_count(mesh), 20u);
  RelaxOptions options;
  options.bounded = folds.bounded;
  options.max_move = 0.3;
  WorkerPool one(1), four(4);
  const Relaxed relaxed = relax_folds(mesh, options, one);
  EXPECT_EQ(relax_folds(mesh, options, four).vertices, relaxed.vertices);
  const MeshView after{relaxed.vertices.data(), mesh.vertex_count, mesh.faces, mesh.face_count};
  EXPECT_EQ(relaxed.unresolved, bad_count(after));
  if (!folds.bounded) {
    EXPECT_EQ(relaxed.unresolved, 0u);
  }
  std::size_t moved = 0;
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
    moved += !std::equal(relaxed.vertices.begin() + 3 * v, relaxed.vertices.begin() + 3 * v + 3, sheet.v.begin() + 3 * v);
  }
  EXPECT_EQ(moved, relaxed.moved);
  EXPECT_LT(moved, mesh.vertex_count / 10);

  std::vector<std::int64_t> backwards;
  for (std::size_t t = mesh.face_count; t-- > 0;) {
    backwards.insert(backwards.end(), sheet.f.begin() + 3 * t, sheet.f.begin() + 3 * t + 3);
  }
  const Relaxed reordered = relax_folds(MeshView{mesh.vertices, mesh.vertex_count, backwards.data(), mesh.face_count}, options, four);
  EXPECT_EQ(reordered.vertices, relaxed.vertices);
  EXPECT_EQ(reordered.unresolved, relaxed.unresolved);
}

INSTANTIATE_TEST_SUITE_P(Sheets, RelaxInRegion,
                         ::testing::Values(Folds{100, 0.75, 0.75, 0.0, 1.0, false}, Folds{100, 0.5, 6.0, 5.0, 1.0, false},
                                           Folds{100, 0.5, 6.0, 5.0, 1.0, true}, Folds{100, 0.5, 4.0, 4.0, 8.0, true}));

}  // namespace
}  // namespace karvex::validity
