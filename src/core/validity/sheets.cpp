// One sheet everywhere: the edge table by lower vertex, then fans by union of
// the corners joined across each two-triangle edge.
#include "validity/sheets.h"

#include <algorithm>
#include <cstdint>
#include <vector>

#include "validity/corner_fans.h"

namespace karvex::validity {

bool is_one_sheet(const MeshView& mesh) {
  const std::size_t edges = 3 * mesh.face_count;
  if (mesh.face_count > kMaxFanFaces) return false;  // beyond the corner numbering: let the caller's split decide
  for (std::size_t f = 0; f < mesh.face_count; ++f) {
    if (has_repeated_index(mesh, f)) return false;
  }
  auto head = [&](std::size_t e) { return mesh.faces[e]; };
  auto tail = [&](std::size_t e) { return mesh.faces[3 * (e / 3) + (e % 3 + 1) % 3]; };
  // Directed edges bucketed by their lower vertex (a counting sort).
  std::vector<std::uint32_t> start(mesh.vertex_count + 1, 0);
  for (std::size_t e = 0; e < edges; ++e) ++start[static_cast<std::size_t>(std::min(head(e), tail(e))) + 1];
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) start[v + 1] += start[v];
  std::vector<std::uint32_t> bucket(edges);
  {
    std::vector<std::uint32_t> fill(start.begin(), start.end() - 1);
    for (std::size_t e = 0; e < edges; ++e) {
      bucket[fill[static_cast<std::size_t>(std::min(head(e), tail(e)))]++] = static_cast<std::uint32_t>(e);
    }
  }
  CornerFans fans(edges);
  // Per vertex: corners minus successful joins is its number of fans.
  std::vector<std::int64_t> fan_count(mesh.vertex_count, 0);
  for (std::size_t e = 0; e < edges; ++e) ++fan_count[static_cast<std::size_t>(head(e))];
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
    const auto other = [&](std::uint32_t e) {
      return head(e) == static_cast<std::int64_t>(v) ? tail(e) : head(e);
    };
    // The uses of one edge next to each other.
    std::sort(bucket.begin() + start[v], bucket.begin() + start[v + 1],
              [&](std::uint32_t x, std::uint32_t y) { return other(x) < other(y); });
    for (std::uint32_t i = start[v]; i < start[v + 1];) {
      std::uint32_t j = i + 1;
      while (j < start[v + 1] && other(bucket[j]) == other(bucket[i])) ++j;
      if (j - i > 2) return false;  // three or more triangles on the edge
      if (j - i == 2) {
        const std::uint32_t e1 = bucket[i], e2 = bucket[i + 1];
        if (head(e1) == head(e2)) return false;  // both wound the same way
        // e1 runs a -> b, e2 b -> a: the head of each meets the other's tail.
        if (fans.join(e1, tail_corner(e2))) --fan_count[static_cast<std::size_t>(head(e1))];
        if (fans.join(e2, tail_corner(e1))) --fan_count[static_cast<std::size_t>(head(e2))];
      }
      i = j;
    }
  }
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
    if (fan_count[v] > 1) return false;
  }
  return true;
}

}  // namespace karvex::validity
