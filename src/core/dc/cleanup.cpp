#include "dc/cleanup.h"

#include <cstdint>

#include "support/panic.h"

namespace karvex {

namespace {

// Union-find over vertex numbers: union links the second root under the
// first, find halves the path as it goes.
class DisjointSets {
 public:
  explicit DisjointSets(std::size_t n) : parent_(n) {
    for (std::size_t i = 0; i < n; ++i) parent_[i] = i;
  }

  std::uint64_t find(std::uint64_t x) {
    while (parent_[x] != x) {
      parent_[x] = parent_[parent_[x]];
      x = parent_[x];
    }
    return x;
  }

  void unite(std::uint64_t x, std::uint64_t y) {
    const std::uint64_t rx = find(x);
    const std::uint64_t ry = find(y);
    if (rx != ry) parent_[ry] = rx;
  }

 private:
  std::vector<std::uint64_t> parent_;
};

}  // namespace

Mesh keep_largest_component(std::vector<Vec3> vertices, std::vector<Triangle> triangles) {
  Mesh mesh;
  if (triangles.empty()) {
    mesh.vertices = std::move(vertices);
    return mesh;
  }
  for (const Triangle& t : triangles) {
    for (std::uint64_t v : t) {
      if (v >= vertices.size()) fail_index(vertices.size(), v);
    }
  }

  DisjointSets sets(vertices.size());
  for (const Triangle& t : triangles) {
    sets.unite(t[0], t[1]);
    sets.unite(t[0], t[2]);
  }

  // Triangles per root, counted by each triangle's first vertex. Roots are
  // then met in the order of their earliest triangle, and only a strictly
  // larger count replaces the choice: ties go to the earliest piece.
  std::vector<std::uint64_t> count(vertices.size(), 0);
  for (const Triangle& t : triangles) ++count[sets.find(t[0])];
  std::uint64_t best_root = sets.find(triangles.front()[0]);
  for (const Triangle& t : triangles) {
    const std::uint64_t root = sets.find(t[0]);
    if (count[root] > count[best_root]) best_root = root;
  }
  if (count[best_root] == triangles.size()) {
    mesh.vertices = std::move(vertices);
    mesh.faces = std::move(triangles);
    return mesh;
  }

  std::vector<Triangle> kept;
  kept.reserve(count[best_root]);
  for (const Triangle& t : triangles) {
    if (sets.find(t[0]) == best_root) kept.push_back(t);
  }
  triangles = {};

  // Compaction: used vertices keep their relative order.
  constexpr std::uint64_t kUnused = ~std::uint64_t{0};
  std::vector<std::uint64_t> renumber(vertices.size(), kUnused);
  for (const Triangle& t : kept) {
    for (std::uint64_t v : t) renumber[v] = 0;
  }
  std::uint64_t next = 0;
  for (std::size_t v = 0; v < vertices.size(); ++v) {
    if (renumber[v] == kUnused) continue;
    renumber[v] = next++;
    mesh.vertices.push_back(vertices[v]);
  }
  for (Triangle& t : kept) {
    for (std::uint64_t& v : t) v = renumber[v];
  }
  mesh.faces = std::move(kept);
  return mesh;
}

}  // namespace karvex
