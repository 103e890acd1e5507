#include "dc/cleanup.h"

#include <algorithm>
#include <cstdint>

#include "pool/run_monitor.h"
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

// Vertex numbers beyond the vertex list are an invariant failure.
void check_vertex_numbers(const std::vector<Vec3>& vertices,
                          const std::vector<Triangle>& triangles) {
  monitored_for(triangles.size(), [&](std::size_t i) {
    for (std::uint64_t v : triangles[i]) {
      if (v >= vertices.size()) fail_index(vertices.size(), v);
    }
  });
}

// The mesh of `kept` over the vertices it uses, renumbered in their old
// order (one pass over the vertices, one over the triangles, besides
// marking). A vertex's key (when `keys` is not empty) moves with it. When
// every vertex is used the numbering is the old one: the lists are handed
// over as they are, neither copied nor rewritten.
Mesh compact(std::vector<Vec3> vertices, std::vector<Triangle> kept,
             std::vector<VertexKey> keys) {
  // Marked a byte per vertex, an eighth of the memory the numbers take:
  // only a mesh with unused vertices needs them.
  std::vector<std::uint8_t> used(vertices.size(), 0);
  for (const Triangle& t : kept) {
    for (std::uint64_t v : t) used[v] = 1;
  }
  const auto used_count =
      static_cast<std::size_t>(std::count(used.begin(), used.end(), std::uint8_t{1}));
  Mesh mesh;
  if (used_count == vertices.size()) {
    // The passes over the vertices and the triangles, as progress counts them.
    advance_stage(std::uint64_t{vertices.size()} + kept.size());
    mesh.vertices = std::move(vertices);
    mesh.faces = std::move(kept);
    mesh.vertex_keys = std::move(keys);
    return mesh;
  }
  constexpr std::uint64_t kUnused = ~std::uint64_t{0};
  std::vector<std::uint64_t> renumber(vertices.size(), kUnused);
  // Sized once: the vectors are handed to NumPy as they are, and growing
  // them by doubling would copy the vertices and leave spare capacity.
  mesh.vertices.reserve(used_count);
  std::uint64_t next = 0;
  monitored_for(vertices.size(), [&](std::size_t v) {
    if (used[v] == 0) return;
    if (!keys.empty()) keys[next] = keys[v];  // next <= v: in place
    renumber[v] = next++;
    mesh.vertices.push_back(vertices[v]);
  });
  keys.resize(keys.empty() ? 0 : next);
  mesh.vertex_keys = std::move(keys);
  monitored_for(kept.size(), [&](std::size_t i) {
    for (std::uint64_t& v : kept[i]) v = renumber[v];
  });
  mesh.faces = std::move(kept);
  return mesh;
}

}  // namespace

std::uint64_t cleanup_units(bool keep_all, std::size_t vertices, std::size_t triangles) {
  // keep all: check, compact (vertices, triangles); largest: check, union,
  // count, choose, then compact.
  return keep_all ? 2 * std::uint64_t{triangles} + vertices
                  : 5 * std::uint64_t{triangles} + vertices;
}

namespace {

// Keys, when given, must be one per vertex: anything else is an invariant
// failure rather than keys silently paired with the wrong vertices.
void check_keys(const std::vector<Vec3>& vertices, const std::vector<VertexKey>& keys) {
  if (!keys.empty() && keys.size() != vertices.size()) fail_index(vertices.size(), keys.size());
}

}  // namespace

Mesh keep_all_components(std::vector<Vec3> vertices, std::vector<Triangle> triangles,
                         std::vector<VertexKey> keys) {
  check_vertex_numbers(vertices, triangles);
  check_keys(vertices, keys);
  return compact(std::move(vertices), std::move(triangles), std::move(keys));
}

Mesh keep_largest_component(std::vector<Vec3> vertices, std::vector<Triangle> triangles,
                            std::vector<VertexKey> keys) {
  check_keys(vertices, keys);
  Mesh mesh;
  if (triangles.empty()) {
    mesh.vertices = std::move(vertices);
    mesh.vertex_keys = std::move(keys);
    return mesh;
  }
  check_vertex_numbers(vertices, triangles);

  DisjointSets sets(vertices.size());
  monitored_for(triangles.size(), [&](std::size_t i) {
    sets.unite(triangles[i][0], triangles[i][1]);
    sets.unite(triangles[i][0], triangles[i][2]);
  });

  // Triangles per root, counted by each triangle's first vertex. Roots are
  // then met in the order of their earliest triangle, and only a strictly
  // larger count replaces the choice: ties go to the earliest piece.
  std::vector<std::uint64_t> count(vertices.size(), 0);
  monitored_for(triangles.size(), [&](std::size_t i) { ++count[sets.find(triangles[i][0])]; });
  std::uint64_t best_root = sets.find(triangles.front()[0]);
  monitored_for(triangles.size(), [&](std::size_t i) {
    const std::uint64_t root = sets.find(triangles[i][0]);
    if (count[root] > count[best_root]) best_root = root;
  });
  if (count[best_root] == triangles.size()) {
    mesh.vertices = std::move(vertices);
    mesh.faces = std::move(triangles);
    mesh.vertex_keys = std::move(keys);
    return mesh;
  }

  // The kept triangles close up in place, in order (j <= i), rather than
  // being copied beside all of them. The faces are handed to NumPy as they
  // are: spare room over an eighth is given back once the union-find sets
  // and counts are freed, by a copy of the kept ones no larger than the
  // room it frees.
  std::size_t next = 0;
  monitored_for(triangles.size(), [&](std::size_t i) {
    if (sets.find(triangles[i][0]) == best_root) triangles[next++] = triangles[i];
  });
  triangles.resize(next);
  sets = DisjointSets(0);
  count = {};
  if (triangles.capacity() - next > triangles.capacity() / 8) triangles.shrink_to_fit();
  return compact(std::move(vertices), std::move(triangles), std::move(keys));
}

}  // namespace karvex
