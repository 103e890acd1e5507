// The triangles round each vertex (vertex_faces) on one, two and four
// workers: each row the triangles at its vertex in increasing order (twice
// for a repeated index), on a grid numbered as a contoured mesh is, with its
// vertices shuffled, with every other vertex unused, with the corners'
// halves parting inside a triangle that repeats a vertex across them, with
// three vertices in all, and too small for the pool.
#include <gtest/gtest.h>

#include <cstdint>
#include <string>
#include <tuple>
#include <utility>
#include <vector>

#include "pool/worker_pool.h"
#include "validity/vertex_stars.h"

namespace karvex::validity {
namespace {

// An n by n grid of squares, two triangles each (only the numbers matter).
std::vector<std::int64_t> grid(std::int64_t n, const std::string& kind) {
  std::vector<std::int64_t> faces;
  const std::int64_t spread = kind == "sparse" ? 2 : 1;
  auto at = [&](std::int64_t i, std::int64_t j) { return spread * (i * (n + 1) + j); };
  for (std::int64_t i = 0; i < n; ++i) {
    for (std::int64_t j = 0; j < n; ++j) {
      faces.insert(faces.end(), {at(i, j), at(i + 1, j), at(i + 1, j + 1), at(i, j), at(i + 1, j + 1), at(i, j + 1)});
    }
  }
  std::uint64_t state = 7;
  auto next = [&] { return (state = state * 6364136223846793005ULL + 1442695040888963407ULL) >> 33; };
  if (kind == "shuffled") {
    std::vector<std::int64_t> renamed((n + 1) * (n + 1));
    for (std::size_t k = 0; k < renamed.size(); ++k) renamed[k] = static_cast<std::int64_t>(k);
    for (std::size_t k = renamed.size() - 1; k > 0; --k) std::swap(renamed[k], renamed[next() % (k + 1)]);
    for (std::int64_t& v : faces) v = renamed[static_cast<std::size_t>(v)];
  }
  if (kind == "ragged") {  // the halves part after the first corner of triangle n * n / 2
    faces.insert(faces.end(), {0, 1, 2});
    faces[3 * (n * n / 2) + 1] = faces[3 * (n * n / 2)];
  }
  if (kind == "few") {
    for (std::int64_t& v : faces) v = static_cast<std::int64_t>(next() % 3);
  }
  return faces;
}

class VertexRows : public ::testing::TestWithParam<std::tuple<std::string, std::size_t>> {};

TEST_P(VertexRows, EachVertexListsItsTrianglesInOrder) {
  const auto& [kind, workers] = GetParam();
  const std::int64_t n = kind == "small" ? 20 : 120;
  std::vector<std::int64_t> faces = grid(n, kind);
  const std::vector<double> vertices(3 * 2 * static_cast<std::size_t>((n + 1) * (n + 1)), 0.0);
  const MeshView mesh{vertices.data(), vertices.size() / 3, faces.data(), faces.size() / 3};
  std::vector<std::vector<std::uint32_t>> rows(mesh.vertex_count);
  for (std::size_t c = 0; c < faces.size(); ++c) rows[static_cast<std::size_t>(faces[c])].push_back(static_cast<std::uint32_t>(c / 3));
  WorkerPool pool(workers);
  for (const VertexFaces& found : {vertex_faces(mesh, pool), vertex_faces(mesh)}) {
    ASSERT_EQ(found.starts.size(), rows.size() + 1);
    EXPECT_EQ(found.starts[0], 0u);
    for (std::size_t v = 0; v < rows.size(); ++v) {
      ASSERT_EQ(std::vector<std::uint32_t>(found.items.begin() + static_cast<std::ptrdiff_t>(found.starts[v]),
                                           found.items.begin() + static_cast<std::ptrdiff_t>(found.starts[v + 1])),
                rows[v])
          << "vertex " << v;
    }
  }
}

INSTANTIATE_TEST_SUITE_P(Meshes, VertexRows,
                         ::testing::Combine(::testing::Values("ordered", "shuffled", "sparse", "ragged", "few", "small"),
                                            ::testing::Values(1, 2, 4)),
                         [](const auto& info) {
                           return std::get<0>(info.param) + "_" + std::to_string(std::get<1>(info.param));
                         });

}  // namespace
}  // namespace karvex::validity
