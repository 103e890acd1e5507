#include "dc/merge_topology.h"

#include <algorithm>
#include <array>
#include <numeric>

namespace karvex {

std::vector<std::uint64_t> nonmanifold_vertices(const std::vector<Triangle>& triangles,
                                                std::uint64_t vertex_count) {
  std::vector<std::uint64_t> bad;
  // Per corner of every triangle: (v, a, b), the link edge a -> b of v, in
  // sorted order: filed by v (a counting sort over the vertices the
  // triangles use), then each vertex's few sorted.
  std::uint64_t top = 0;
  for (const Triangle& t : triangles) top = std::max({top, t[0] + 1, t[1] + 1, t[2] + 1});
  std::vector<std::uint64_t> first(top + 1, 0);
  for (const Triangle& t : triangles) {
    for (const std::uint64_t v : t) ++first[v + 1];
  }
  std::partial_sum(first.begin(), first.end(), first.begin());
  std::vector<std::array<std::uint64_t, 3>> corners(3 * triangles.size());
  for (const Triangle& t : triangles) {
    for (unsigned c = 0; c < 3; ++c) corners[first[t[c]]++] = {t[c], t[(c + 1) % 3], t[(c + 2) % 3]};
  }
  // `first` now holds each vertex's end, the next one's start.
  for (std::uint64_t v = 0, start = 0; v < top; start = first[v++]) {
    std::sort(corners.begin() + static_cast<std::ptrdiff_t>(start),
              corners.begin() + static_cast<std::ptrdiff_t>(first[v]));
  }
  std::vector<std::uint64_t> nodes;
  std::vector<unsigned> parent;
  std::vector<unsigned> heads;
  std::vector<unsigned> tails;
  for (std::size_t start = 0; start < corners.size();) {
    const std::uint64_t v = corners[start][0];
    std::size_t end = start;
    while (end < corners.size() && corners[end][0] == v) ++end;
    nodes.clear();
    for (std::size_t c = start; c < end; ++c) {
      nodes.push_back(corners[c][1]);
      nodes.push_back(corners[c][2]);
    }
    std::sort(nodes.begin(), nodes.end());
    nodes.erase(std::unique(nodes.begin(), nodes.end()), nodes.end());
    const auto at = [&](std::uint64_t x) {
      return static_cast<unsigned>(std::lower_bound(nodes.begin(), nodes.end(), x) - nodes.begin());
    };
    parent.resize(nodes.size());
    std::iota(parent.begin(), parent.end(), 0u);
    heads.assign(nodes.size(), 0);
    tails.assign(nodes.size(), 0);
    const auto root = [&](unsigned x) {
      while (parent[x] != x) x = parent[x] = parent[parent[x]];
      return x;
    };
    unsigned groups = static_cast<unsigned>(nodes.size());
    bool fan = true;
    for (std::size_t c = start; c < end; ++c) {
      const unsigned a = at(corners[c][1]);
      const unsigned b = at(corners[c][2]);
      // A link vertex left or entered twice: an edge (v, a) used twice in one
      // direction or by more than two triangles.
      fan = fan && a != b && ++tails[a] <= 1 && ++heads[b] <= 1;
      const unsigned ra = root(a);
      const unsigned rb = root(b);
      if (ra != rb) {
        parent[ra] = rb;
        --groups;
      }
    }
    if (!fan || groups != 1) {
      if (v < vertex_count) bad.push_back(v);
      // The edges at fault end at other vertices, which may be the
      // collapsed ones.
      for (std::size_t i = 0; i < nodes.size() && !fan; ++i) {
        if ((tails[i] > 1 || heads[i] > 1) && nodes[i] < vertex_count) bad.push_back(nodes[i]);
      }
    }
    start = end;
  }
  std::sort(bad.begin(), bad.end());
  bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
  return bad;
}

SurfaceTopology surface_topology(const std::vector<Triangle>& triangles,
                                 std::uint64_t vertex_count) {
  std::vector<std::uint64_t> parent(vertex_count);
  std::iota(parent.begin(), parent.end(), std::uint64_t{0});
  std::vector<bool> used(vertex_count, false);
  const auto root = [&](std::uint64_t x) {
    while (parent[x] != x) x = parent[x] = parent[parent[x]];
    return x;
  };
  // The edges filed by their lower end (a counting sort), so that each
  // vertex's few are told apart among themselves.
  std::vector<std::uint64_t> first(vertex_count + 1, 0);
  for (const Triangle& t : triangles) {
    for (unsigned c = 0; c < 3; ++c) {
      const std::uint64_t a = t[c];
      const std::uint64_t b = t[(c + 1) % 3];
      if (a >= vertex_count || b >= vertex_count) continue;
      used[a] = true;
      ++first[std::min(a, b) + 1];
      const std::uint64_t ra = root(a);
      const std::uint64_t rb = root(b);
      if (ra != rb) parent[ra] = rb;
    }
  }
  std::partial_sum(first.begin(), first.end(), first.begin());
  std::vector<std::uint64_t> upper(first[vertex_count]);
  std::vector<std::uint64_t> next(first.begin(), first.end() - 1);
  for (const Triangle& t : triangles) {
    for (unsigned c = 0; c < 3; ++c) {
      const std::uint64_t a = t[c];
      const std::uint64_t b = t[(c + 1) % 3];
      if (a >= vertex_count || b >= vertex_count) continue;
      upper[next[std::min(a, b)]++] = std::max(a, b);
    }
  }
  std::int64_t unique_edges = 0;
  for (std::uint64_t v = 0; v < vertex_count; ++v) {
    const auto begin = upper.begin() + static_cast<std::ptrdiff_t>(first[v]);
    const auto end = upper.begin() + static_cast<std::ptrdiff_t>(first[v + 1]);
    std::sort(begin, end);
    unique_edges += std::unique(begin, end) - begin;
  }
  SurfaceTopology out;
  std::int64_t vertices = 0;
  for (std::uint64_t v = 0; v < vertex_count; ++v) {
    if (!used[v]) continue;
    ++vertices;
    if (root(v) == v) ++out.pieces;
  }
  out.euler = vertices - unique_edges + static_cast<std::int64_t>(triangles.size());
  return out;
}

}  // namespace karvex
