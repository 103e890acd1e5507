#include "dc/merge_topology.h"

#include <algorithm>
#include <array>
#include <numeric>
#include <span>

namespace karvex {

namespace {

// A corner of a triangle at vertex v: (v, a, b), the link edge a -> b of v.
using Corner = std::array<std::uint64_t, 3>;

// What is wrong with one vertex's link, its corners in sorted order.
struct LinkFault {
  bool bad = false;
  // Not a fan: the far end of the first link edge (in corner order) that
  // leaves or enters a link vertex a second time, kNoFarEnd when the first
  // fault is a link edge from a vertex to itself.
  std::uint64_t far_end = kNoFarEnd;
};

// Stars up to this many corners (nearly all: a contoured vertex has a few)
// are told from small arrays on the stack.
constexpr std::size_t kSmallStar = 32;

// The first corner of `star`, in its order, that leaves or enters a link
// vertex again (or joins one to itself); past it none is counted.
LinkFault first_fault(std::span<const Corner> star) {
  for (std::size_t c = 0; c < star.size(); ++c) {
    const std::uint64_t a = star[c][1];
    const std::uint64_t b = star[c][2];
    if (a == b) return {true, kNoFarEnd};
    for (std::size_t e = 0; e < c; ++e) {
      if (star[e][1] == a) return {true, a};
    }
    for (std::size_t e = 0; e < c; ++e) {
      if (star[e][2] == b) return {true, b};
    }
  }
  return {};
}

// The link of a small star, its corners in any order. Whether some corner
// is at fault does not depend on the order: the corners are sorted (and the
// first fault taken) only then. A fan's link edges, each vertex left and
// entered once at most, chain into paths and cycles: it is one of them when
// the corners joined head to tail are one group.
LinkFault small_link_fault(std::span<Corner> star) {
  const std::size_t k = star.size();
  if (first_fault(star).bad) {
    std::sort(star.begin(), star.end());
    return first_fault(star);
  }
  std::array<std::uint8_t, kSmallStar> group{};
  for (std::size_t c = 0; c < k; ++c) group[c] = static_cast<std::uint8_t>(c);
  const auto root = [&](std::size_t x) {
    while (group[x] != x) x = group[x] = group[group[x]];
    return x;
  };
  std::size_t groups = k;
  for (std::size_t c = 0; c < k; ++c) {
    for (std::size_t e = 0; e < k; ++e) {
      if (star[c][2] != star[e][1]) continue;
      const std::size_t rc = root(c);
      const std::size_t re = root(e);
      if (rc != re) {
        group[rc] = static_cast<std::uint8_t>(re);
        --groups;
      }
    }
  }
  return {groups != 1, kNoFarEnd};
}

// Scratch of large_link_fault, kept across vertices.
struct LinkScratch {
  std::vector<std::uint64_t> nodes;
  std::vector<unsigned> parent;
  std::vector<unsigned> heads;
  std::vector<unsigned> tails;
};

// small_link_fault for a star of any size: its corners sorted, the link's
// vertices numbered among themselves, counted and grouped.
LinkFault large_link_fault(std::span<Corner> star, LinkScratch& scratch) {
  std::sort(star.begin(), star.end());
  std::vector<std::uint64_t>& nodes = scratch.nodes;
  std::vector<unsigned>& parent = scratch.parent;
  std::vector<unsigned>& heads = scratch.heads;
  std::vector<unsigned>& tails = scratch.tails;
  nodes.clear();
  for (const Corner& corner : star) {
    nodes.push_back(corner[1]);
    nodes.push_back(corner[2]);
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
  for (const Corner& corner : star) {
    const unsigned a = at(corner[1]);
    const unsigned b = at(corner[2]);
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
  if (fan) return {groups != 1, kNoFarEnd};
  for (std::size_t i = 0; i < nodes.size(); ++i) {
    if (tails[i] > 1 || heads[i] > 1) return {true, nodes[i]};
  }
  return {true, kNoFarEnd};
}

}  // namespace

std::vector<StarFault> star_faults(const std::vector<Triangle>& triangles,
                                   const std::vector<std::uint8_t>* only) {
  std::vector<StarFault> faults;
  const auto wanted = [&](std::uint64_t v) { return only == nullptr || (*only)[v] != 0; };
  // Per corner of every triangle at a wanted vertex: (v, a, b), the link
  // edge a -> b of v, filed by v (a counting sort over the vertices the
  // triangles use); a vertex's few are sorted only where the order decides
  // what is reported.
  std::uint64_t top = 0;
  for (const Triangle& t : triangles) top = std::max({top, t[0] + 1, t[1] + 1, t[2] + 1});
  std::vector<std::uint64_t> first(top + 1, 0);
  for (const Triangle& t : triangles) {
    for (const std::uint64_t v : t) {
      if (wanted(v)) ++first[v + 1];
    }
  }
  std::partial_sum(first.begin(), first.end(), first.begin());
  std::vector<Corner> corners(first[top]);
  for (const Triangle& t : triangles) {
    for (unsigned c = 0; c < 3; ++c) {
      if (wanted(t[c])) corners[first[t[c]]++] = {t[c], t[(c + 1) % 3], t[(c + 2) % 3]};
    }
  }
  LinkScratch scratch;
  for (std::size_t start = 0; start < corners.size();) {
    const std::uint64_t v = corners[start][0];
    std::size_t end = start;
    while (end < corners.size() && corners[end][0] == v) ++end;
    const std::span<Corner> star(corners.data() + start, end - start);
    const LinkFault fault =
        star.size() <= kSmallStar ? small_link_fault(star) : large_link_fault(star, scratch);
    if (fault.bad) faults.push_back({v, fault.far_end});
    start = end;
  }
  return faults;
}

std::vector<std::uint64_t> nonmanifold_vertices(const std::vector<Triangle>& triangles,
                                                std::uint64_t vertex_count) {
  std::vector<std::uint64_t> bad;
  for (const StarFault& fault : star_faults(triangles)) {
    if (fault.vertex < vertex_count) bad.push_back(fault.vertex);
    // The edge at fault ends at another vertex, which may be a collapsed one.
    if (fault.far_end != kNoFarEnd && fault.far_end < vertex_count) bad.push_back(fault.far_end);
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
