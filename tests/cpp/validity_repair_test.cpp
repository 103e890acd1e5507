// The local re-test against the whole-mesh test after moves, and the
// relaxation of folds on the smallest folded solid, on one and four workers.
#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <vector>

#include "pool/worker_pool.h"
#include "validity/local_test.h"
#include "validity/repair.h"
#include "validity/self_intersections.h"

namespace karvex::validity {
namespace {

struct Soup {
  std::vector<double> v;
  std::vector<std::int64_t> f;
  std::uint64_t state = 12345;
  double uniform() {
    state = state * 6364136223846793005ULL + 1442695040888963407ULL;
    return static_cast<double>(state >> 11) * 0x1p-53;
  }
  MeshView view() const { return {v.data(), v.size() / 3, f.data(), f.size() / 3}; }
};

// Small triangles in a unit box, sharing vertices along strips so that the
// pairs sharing one or two vertices occur too.
Soup strips(int count) {
  Soup soup;
  for (int t = 0; t < count; ++t) {
    const double x = soup.uniform(), y = soup.uniform(), z = soup.uniform();
    for (int k = 0; k < 4; ++k) {
      soup.v.insert(soup.v.end(), {x + 0.05 * soup.uniform(), y + 0.05 * soup.uniform(), z + 0.05 * soup.uniform()});
    }
    const std::int64_t b = 4 * t;
    soup.f.insert(soup.f.end(), {b, b + 1, b + 2, b + 2, b + 1, b + 3});
  }
  return soup;
}

// The bad triangles among `named` by the whole-mesh test with a subset.
std::vector<std::int64_t> reference(const MeshView& mesh, const std::vector<std::int64_t>& named) {
  std::vector<std::uint8_t> flags(mesh.face_count, 0);
  for (std::int64_t f : named) flags[static_cast<std::size_t>(f)] = 1;
  const SelfIntersections found = find_self_intersections(mesh, flags.data(), global_pool());
  std::vector<std::int64_t> bad;
  for (std::int64_t f : named) {
    if (found.zero_area[static_cast<std::size_t>(f)]) bad.push_back(f);
  }
  for (const FacePair& pair : found.pairs) bad.insert(bad.end(), pair.begin(), pair.end());
  std::sort(bad.begin(), bad.end());
  bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
  return bad;
}

class LocalRetest : public ::testing::TestWithParam<unsigned> {};

// Rounds of moves: a few vertices at first, then enough that the grid is
// built again; some moves across many cells, some making zero-area triangles.
TEST_P(LocalRetest, MatchesTheWholeMeshTest) {
  Soup soup = strips(800);
  const MeshView mesh = soup.view();
  WorkerPool pool(GetParam());
  LocalTest test(mesh, pool);
  const auto first = find_self_intersections(mesh, nullptr, pool);
  std::vector<std::int64_t> all_bad;
  for (std::size_t f = 0; f < mesh.face_count; ++f) {
    if (first.zero_area[f]) all_bad.push_back(static_cast<std::int64_t>(f));
  }
  for (const FacePair& pair : first.pairs) all_bad.insert(all_bad.end(), pair.begin(), pair.end());
  std::sort(all_bad.begin(), all_bad.end());
  all_bad.erase(std::unique(all_bad.begin(), all_bad.end()), all_bad.end());
  EXPECT_EQ(test.bad_faces(), all_bad);

  const std::size_t vertices = mesh.vertex_count;
  for (int round = 0; round < 10; ++round) {
    const std::size_t moves = round < 5 ? 20 : vertices / 5;
    std::vector<std::uint8_t> moved(vertices, 0);
    for (std::size_t m = 0; m < moves; ++m) {
      const auto v = static_cast<std::size_t>(soup.uniform() * static_cast<double>(vertices));
      const auto u = static_cast<std::size_t>(soup.uniform() * static_cast<double>(vertices));
      const double t = m % 7 == 0 ? 0.2 : 0.01;  // far or near, towards another vertex
      for (int a = 0; a < 3; ++a) soup.v[3 * v + a] += t * (soup.v[3 * u + a] - soup.v[3 * v + a]);
      moved[v] = 1;
    }
    // One triangle made flat: its first corner onto its second.
    const std::size_t flat = 2 * static_cast<std::size_t>(round) + 1;
    const std::int64_t* c = soup.f.data() + 3 * flat;
    for (int a = 0; a < 3; ++a) soup.v[3 * c[0] + a] = soup.v[3 * c[1] + a];
    moved[static_cast<std::size_t>(c[0])] = 1;
    std::vector<std::int64_t> named;
    for (std::size_t f = 0; f < mesh.face_count; ++f) {
      const std::int64_t* g = soup.f.data() + 3 * f;
      if (moved[g[0]] || moved[g[1]] || moved[g[2]]) named.push_back(static_cast<std::int64_t>(f));
    }
    const auto expected = reference(mesh, named);
    EXPECT_TRUE(std::binary_search(expected.begin(), expected.end(), static_cast<std::int64_t>(flat)));
    EXPECT_EQ(test.bad_faces_among(named), expected) << "round " << round;
  }
}

INSTANTIATE_TEST_SUITE_P(Workers, LocalRetest, ::testing::Values(1u, 4u));

TEST(RelaxFolds, ClearsAFoldTheSameOnAnyNumberOfWorkers) {
  // A double cone round a ring of eight, with its top apex pulled below the
  // ring and out past its side: the top fan crosses the bottom one.
  std::vector<double> v{0, 0, 1, 0, 0, -1};
  std::vector<std::int64_t> f;
  const int ring = 8;
  for (int k = 0; k < ring; ++k) {
    const double angle = 6.283185307179586 * k / ring;
    v.insert(v.end(), {std::cos(angle), std::sin(angle), 0.0});
  }
  for (int k = 0; k < ring; ++k) {
    const std::int64_t a = 2 + k, b = 2 + (k + 1) % ring;
    f.insert(f.end(), {0, a, b, 1, b, a});
  }
  v[0] = 1.5;
  v[2] = -0.5;
  const MeshView mesh{v.data(), v.size() / 3, f.data(), f.size() / 3};
  ASSERT_FALSE(find_self_intersections(mesh, nullptr, global_pool()).pairs.empty());
  WorkerPool one(1), four(4);
  const Relaxed serial = relax_folds(mesh, {}, one);
  const Relaxed parallel = relax_folds(mesh, {}, four);
  EXPECT_EQ(serial.unresolved, 0u);
  EXPECT_GT(serial.moved, 0u);
  EXPECT_EQ(serial.vertices, parallel.vertices);
  // The changed vertices are exactly the rows that differ, in order.
  std::vector<std::int64_t> differing;
  for (std::size_t u = 0; u < mesh.vertex_count; ++u) {
    if (!std::equal(v.begin() + 3 * u, v.begin() + 3 * u + 3, serial.vertices.begin() + 3 * u)) {
      differing.push_back(static_cast<std::int64_t>(u));
    }
  }
  EXPECT_EQ(serial.changed, differing);
  EXPECT_EQ(parallel.changed, differing);
  std::vector<double> starts;
  for (std::int64_t u : differing) starts.insert(starts.end(), v.begin() + 3 * u, v.begin() + 3 * u + 3);
  EXPECT_EQ(serial.starts, starts);

  // Relaxed in place, over the positions it reads: the same bits, the same
  // starting places.
  std::vector<double> own = v;
  const MeshView owned{own.data(), mesh.vertex_count, f.data(), mesh.face_count};
  const RelaxStats in_place = relax_folds_into(owned, {}, four, own.data());
  EXPECT_EQ(own, serial.vertices);
  EXPECT_EQ(in_place.changed, differing);
  EXPECT_EQ(in_place.starts, starts);

  // The same mesh numbered otherwise (vertices reversed, faces reversed and
  // their corners turned) moves every vertex to the same bits.
  const std::size_t n = mesh.vertex_count;
  std::vector<double> v2(v.size());
  for (std::size_t p = 0; p < n; ++p) {
    for (int a = 0; a < 3; ++a) v2[3 * (n - 1 - p) + a] = v[3 * p + a];
  }
  std::vector<std::int64_t> f2;
  for (std::size_t t = mesh.face_count; t-- > 0;) {
    for (int k = 1; k <= 3; ++k) f2.push_back(static_cast<std::int64_t>(n) - 1 - f[3 * t + k % 3]);
  }
  const Relaxed renumbered = relax_folds(MeshView{v2.data(), n, f2.data(), f2.size() / 3}, {}, one);
  for (std::size_t p = 0; p < n; ++p) {
    for (int a = 0; a < 3; ++a) EXPECT_EQ(renumbered.vertices[3 * (n - 1 - p) + a], serial.vertices[3 * p + a]);
  }
  const MeshView relaxed{serial.vertices.data(), mesh.vertex_count, f.data(), mesh.face_count};
  const auto after = find_self_intersections(relaxed, nullptr, global_pool());
  EXPECT_TRUE(after.pairs.empty());
  EXPECT_EQ(std::count(after.zero_area.begin(), after.zero_area.end(), 1), 0);

  // Bounded moves stop on the sphere round each start.
  RelaxOptions bounded;
  bounded.bounded = true;
  bounded.max_move = 0.05;
  bounded.rounds = 3;
  const Relaxed short_moves = relax_folds(mesh, bounded, one);
  for (std::size_t p = 0; p < mesh.vertex_count; ++p) {
    double squared = 0.0;
    for (int a = 0; a < 3; ++a) squared += (short_moves.vertices[3 * p + a] - v[3 * p + a]) * (short_moves.vertices[3 * p + a] - v[3 * p + a]);
    EXPECT_LE(std::sqrt(squared), 0.05 * (1 + 1e-12));
  }

  // A fold far deeper than the bound: the bounded rounds give up once its
  // triangles have outlasted the moves of all their corners, and the fold
  // comes back as it was (no vertex moved, every bad triangle still bad),
  // for the unbounded relaxation to repair it as above.
  bounded.max_move = 1e-3;
  bounded.rounds = 80;
  const Relaxed pinned = relax_folds(mesh, bounded, one);
  const std::size_t bad_at_start = all_bad_faces(mesh, one).size();
  EXPECT_EQ(pinned.unresolved, bad_at_start);
  EXPECT_EQ(pinned.moved, 0u);
  EXPECT_EQ(pinned.vertices, v);
  EXPECT_LT(pinned.rounds, kBoundedStall);
  EXPECT_GT(serial.rounds, 0);
}

}  // namespace
}  // namespace karvex::validity
