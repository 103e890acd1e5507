// The sheet split and the parting of shared edges on many pairs of
// tetrahedra sharing an edge (enough vertices for the pool to cut the work),
// on one and four workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "pool/worker_pool.h"
#include "support/panic.h"
#include "validity/clean_check.h"
#include "validity/repair.h"
#include "validity/sheet_split.h"
#include "validity/sheets.h"

namespace karvex::validity {
namespace {

struct Mesh {
  std::vector<double> v;
  std::vector<std::int64_t> f;
  MeshView view() const { return {v.data(), v.size() / 3, f.data(), f.size() / 3}; }
};

// `count` pairs of closed tetrahedra, each pair sharing the edge from its
// first vertex to its fourth, spread along x.
Mesh tetrahedron_pairs(int count) {
  const double corners[6][3] = {{0, 0, 0}, {1, 0, 0}, {0, 1, 0}, {0, 0, 1}, {0, -1, 0}, {-1, 0, 0}};
  const std::int64_t faces[8][3] = {{0, 2, 1}, {0, 1, 3}, {0, 3, 2}, {1, 2, 3},
                                    {0, 4, 5}, {0, 5, 3}, {0, 3, 4}, {5, 4, 3}};
  Mesh mesh;
  for (int k = 0; k < count; ++k) {
    const auto base = static_cast<std::int64_t>(mesh.v.size() / 3);
    for (const auto& c : corners) mesh.v.insert(mesh.v.end(), {c[0] + 3.0 * k, c[1], c[2]});
    for (const auto& t : faces) mesh.f.insert(mesh.f.end(), {base + t[0], base + t[1], base + t[2]});
  }
  return mesh;
}

TEST(SheetSplit, CopiesEachSharedVertexOnceOnAnyNumberOfWorkers) {
  const Mesh mesh = tetrahedron_pairs(1500);
  WorkerPool one(1), four(4);
  const SplitMesh a = split_sheets(mesh.view(), one);
  const SplitMesh b = split_sheets(mesh.view(), four);
  EXPECT_EQ(a.vertices, b.vertices);
  EXPECT_EQ(a.faces, b.faces);
  ASSERT_EQ(a.added, 2u * 1500u);  // both ends of every shared edge
  // The first copies are those of the first pair's shared vertices, at their place.
  const std::size_t n = mesh.v.size() / 3;
  EXPECT_EQ(std::vector<double>(a.vertices.begin() + 3 * n, a.vertices.begin() + 3 * n + 6),
            (std::vector<double>{0, 0, 0, 0, 0, 1}));
  EXPECT_TRUE(is_one_sheet({a.vertices.data(), a.vertices.size() / 3, a.faces.data(), a.faces.size() / 3}, global_pool()));
}

// The split round the broken stars alone, as clean_check lists them, or
// round more vertices, gives the whole mesh's copies; a list out of order is
// a caller's fault.
TEST(SheetSplit, RoundTheBrokenStarsGivesTheWholeMeshsCopies) {
  const Mesh mesh = tetrahedron_pairs(1500);
  const SheetCopies whole = sheet_copies(mesh.view(), global_pool());
  const StarVerdicts stars = star_verdicts(mesh.view(), global_pool(), true);
  ASSERT_FALSE(stars.one_sheet);
  ASSERT_EQ(stars.broken.size(), 2u * 1500u);  // both ends of every shared edge
  std::vector<std::int64_t> every(mesh.v.size() / 3);
  for (std::size_t v = 0; v < every.size(); ++v) every[v] = static_cast<std::int64_t>(v);
  for (const std::vector<std::int64_t>& listed : {stars.broken, every}) {
    const SheetCopies round = sheet_copies_round(mesh.view(), listed);
    EXPECT_EQ(round.originals, whole.originals);
    EXPECT_EQ(round.corners, whole.corners);
    EXPECT_EQ(round.taken, whole.taken);
    EXPECT_EQ(round.crowded, whole.crowded);
  }
  EXPECT_THROW(sheet_copies_round(mesh.view(), std::vector<std::int64_t>{3, 0}), InvariantFailure);
  EXPECT_EQ(star_verdicts(tetrahedron_pairs(1).view(), global_pool(), true).broken.size(), 2u);
}

// The unbroken stars' certificates still hold on the split mesh (its copies
// uncertified): the same bad triangles as chaining its stars anew.
TEST(SheetSplit, LeavesTheUnbrokenStarsCertified) {
  Mesh mesh = tetrahedron_pairs(1500);
  // Sheared, so that no corner's star projects onto a line.
  for (std::size_t v = 0; v < mesh.v.size(); v += 3) {
    const double x = mesh.v[v], y = mesh.v[v + 1], z = mesh.v[v + 2];
    mesh.v[v] = x + 0.31 * y + 0.17 * z;
    mesh.v[v + 1] = 0.11 * x + y + 0.23 * z;
    mesh.v[v + 2] = 0.07 * x + 0.13 * y + z;
  }
  const StarVerdicts stars = star_verdicts(mesh.view(), global_pool(), true);
  const SplitMesh split = split_sheets(mesh.view(), global_pool());
  const MeshView split_view{split.vertices.data(), split.vertices.size() / 3, split.faces.data(),
                            split.faces.size() / 3};
  std::vector<std::uint8_t> certified = stars.embedded;
  certified.resize(split_view.vertex_count, 0);
  EXPECT_GT(std::count(certified.begin(), certified.end(), 1), 0);
  const std::vector<std::int64_t> bad = all_bad_faces(split_view, global_pool());
  EXPECT_FALSE(bad.empty());  // the copies touch their originals
  EXPECT_EQ(all_bad_faces(split_view, global_pool(), &certified), bad);
}

TEST(PartSharedEdges, SplitsEveryCrowdedEdgeOnAnyNumberOfWorkers) {
  const Mesh mesh = tetrahedron_pairs(1500);
  WorkerPool one(1), four(4);
  const SplitMesh a = part_shared_edges(mesh.view(), one);
  const SplitMesh b = part_shared_edges(mesh.view(), four);
  EXPECT_EQ(a.vertices, b.vertices);
  EXPECT_EQ(a.faces, b.faces);
  ASSERT_EQ(a.added, 1500u);
  EXPECT_EQ(a.faces.size(), mesh.f.size() + 2 * 3 * 1500);
  // The first new vertex is the midpoint of the first shared edge.
  const std::size_t n = mesh.v.size() / 3;
  EXPECT_EQ(std::vector<double>(a.vertices.begin() + 3 * n, a.vertices.begin() + 3 * n + 3),
            (std::vector<double>{0, 0, 0.5}));
  // Parting leaves nothing to part.
  const SplitMesh again = part_shared_edges({a.vertices.data(), a.vertices.size() / 3, a.faces.data(), a.faces.size() / 3}, one);
  EXPECT_EQ(again.added, 0u);
}

TEST(SheetSplit, LeavesAOneSheetMeshAsItIs) {
  const Mesh pair = tetrahedron_pairs(1);
  Mesh tetrahedron{{pair.v.begin(), pair.v.begin() + 12}, {pair.f.begin(), pair.f.begin() + 12}};
  WorkerPool pool(1);
  for (const SplitMesh& out : {split_sheets(tetrahedron.view(), pool), part_shared_edges(tetrahedron.view(), pool)}) {
    EXPECT_EQ(out.added, 0u);
    EXPECT_EQ(out.vertices, tetrahedron.v);
    EXPECT_EQ(out.faces, tetrahedron.f);
  }
}

}  // namespace
}  // namespace karvex::validity
