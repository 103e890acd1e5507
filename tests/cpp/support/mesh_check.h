#pragma once

// Topological and geometric checks of extracted meshes, shared by the Dual
// Contouring tests.

#include <cstdint>
#include <map>
#include <set>
#include <utility>

#include "dc/extract.h"

namespace karvex::testing {

struct MeshCheck {
  bool indices_valid = true;    // every face index below the vertex count
  bool degenerate_free = true;  // no face repeats a vertex
  bool closed = true;           // every undirected edge used by exactly two faces
  bool oriented = true;         // each directed edge used once: neighbours agree on winding
  std::int64_t euler = 0;       // V - E + F over the vertices that faces use
  double signed_volume = 0.0;   // positive when faces point outwards
};

inline MeshCheck check_mesh(const Mesh& mesh) {
  MeshCheck check;
  std::map<std::pair<std::uint64_t, std::uint64_t>, int> directed;
  std::set<std::uint64_t> used;
  for (const auto& f : mesh.faces) {
    for (int k = 0; k < 3; ++k) {
      if (f[k] >= mesh.vertices.size()) check.indices_valid = false;
      used.insert(f[k]);
      ++directed[{f[k], f[(k + 1) % 3]}];
    }
    if (f[0] == f[1] || f[1] == f[2] || f[0] == f[2]) check.degenerate_free = false;
  }
  if (!check.indices_valid) return check;

  std::int64_t edges = 0;
  for (const auto& [edge, count] : directed) {
    const auto reverse = directed.find({edge.second, edge.first});
    const int back = reverse == directed.end() ? 0 : reverse->second;
    if (count != 1 || back != 1) check.oriented = false;
    if (count + back != 2) check.closed = false;
    if (edge.first < edge.second || back == 0) ++edges;
  }
  check.euler =
      static_cast<std::int64_t>(used.size()) - edges + static_cast<std::int64_t>(mesh.faces.size());

  for (const auto& f : mesh.faces) {
    const Vec3& a = mesh.vertices[f[0]];
    const Vec3& b = mesh.vertices[f[1]];
    const Vec3& c = mesh.vertices[f[2]];
    check.signed_volume += (a.x * (b.y * c.z - b.z * c.y) - a.y * (b.x * c.z - b.z * c.x) +
                            a.z * (b.x * c.y - b.y * c.x)) /
                           6.0;
  }
  return check;
}

}  // namespace karvex::testing
