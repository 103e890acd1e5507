#pragma once

// The corners of a mesh's triangles (3f + k: corner k of face f) joined into
// fans: union-find with path halving. Which corner ends up a fan's root is
// the smaller of two joined roots, but callers use only the partition.

#include <cstddef>
#include <cstdint>
#include <vector>

namespace karvex::validity {

struct CornerFans {
  std::vector<std::uint32_t> parent;

  explicit CornerFans(std::size_t count) : parent(count) {
    for (std::size_t c = 0; c < count; ++c) parent[c] = static_cast<std::uint32_t>(c);
  }
  std::uint32_t root(std::uint32_t c) {
    while (parent[c] != c) {
      parent[c] = parent[parent[c]];
      c = parent[c];
    }
    return c;
  }
  // Whether the two were in different fans.
  bool join(std::uint32_t a, std::uint32_t b) {
    a = root(a);
    b = root(b);
    if (a == b) return false;
    parent[a > b ? a : b] = a > b ? b : a;
    return true;
  }
};

// Corner numbers are 32-bit: meshes of up to this many triangles.
inline constexpr std::size_t kMaxFanFaces = (UINT32_MAX - 1) / 3;

// The corner at the tail of directed edge e (3f + k runs from corner k to k + 1).
inline std::uint32_t tail_corner(std::uint32_t e) { return 3 * (e / 3) + (e % 3 + 1) % 3; }

}  // namespace karvex::validity
