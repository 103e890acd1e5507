// Vertex stars: the rows by vertex and the chaining of one star's wedges.
#include "validity/vertex_stars.h"

#include <cstdint>
#include <stdexcept>

namespace karvex::validity {

VertexFaces vertex_faces(const MeshView& mesh) {
  if (mesh.face_count > UINT32_MAX) {
    throw std::length_error("the validity pass handles meshes of at most 4294967295 triangles");
  }
  VertexFaces rows;
  rows.starts.assign(mesh.vertex_count + 1, 0);
  const std::size_t corners = 3 * mesh.face_count;
  for (std::size_t c = 0; c < corners; ++c) ++rows.starts[static_cast<std::size_t>(mesh.faces[c]) + 1];
  // starts[v + 1] becomes the start of v's row and serves as its cursor
  // while the rows fill (no cursor array of its own, 8 bytes a vertex),
  // ending at the row's end: the start of the next row.
  std::size_t start = 0;
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
    const std::size_t count = rows.starts[v + 1];
    rows.starts[v + 1] = start;
    start += count;
  }
  rows.items.resize(corners);
  for (std::size_t c = 0; c < corners; ++c) {
    rows.items[rows.starts[static_cast<std::size_t>(mesh.faces[c]) + 1]++] = static_cast<std::uint32_t>(c / 3);
  }
  return rows;
}

namespace {

// The table's first slot for vertex `key`: Fibonacci hashing, whose high
// bits spread the nearby numbers a contoured mesh gives neighbours.
std::size_t first_slot(std::int64_t key, unsigned shift) {
  return static_cast<std::size_t>((static_cast<std::uint64_t>(key) * 0x9E3779B97F4A7C15ULL) >> shift);
}

// Stars of at most this many wedges (nearly every star of a contoured mesh)
// are chained by comparing their wedges pairwise rather than by the table.
constexpr std::size_t kListedStar = 16;

// The corners after corner i of a triangle are kAfter[i] and kAfter[i + 1].
constexpr std::size_t kAfter[4] = {1, 2, 0, 1};

}  // namespace

StarShape star_shape(const MeshView& mesh, std::int64_t v, const std::uint32_t* faces, std::size_t count,
                     StarChain& chain) {
  if (chain.a.size() < count) {
    chain.a.resize(count);
    chain.b.resize(count);
    chain.next.resize(count);
    chain.followed.resize(count);
  }
  std::int64_t* const a = chain.a.data();
  std::int64_t* const b = chain.b.data();
  std::size_t* const next = chain.next.data();
  // The wedges, turned to start at v.
  bool repeated = false;
  for (std::size_t k = 0; k < count; ++k) {
    const std::int64_t* f = mesh.faces + 3 * static_cast<std::size_t>(faces[k]);
    // The corners after v's first place in the triangle's winding, read at
    // that place's offsets: which corner is v is as good as random, so a
    // choice by comparisons (which the compiler makes with branches) would
    // be mispredicted about every other wedge.
    const std::size_t at = static_cast<std::size_t>(f[0] != v) * (1 + static_cast<std::size_t>(f[1] != v));
    const std::int64_t a_k = f[kAfter[at]];
    const std::int64_t b_k = f[kAfter[at + 1]];
    a[k] = a_k;
    b[k] = b_k;
    repeated |= (a_k == v) | (b_k == v) | (a_k == b_k);
  }
  if (repeated) return StarShape::kBroken;
  // Each directed edge v -> u at most once (a second wedge starting at u
  // breaks the star); then wedge k has at most one follower, the wedge
  // starting where it ends (never itself: a[k] != b[k] above).
  std::size_t linked = 0;  // wedges with a follower
  if (count <= kListedStar) {
    // A star of a few wedges: every start compared with every other start and
    // end, without branches, costs less than hashing them.
    bool twice = false;
    for (std::size_t k = 1; k < count; ++k) {
      for (std::size_t m = 0; m < k; ++m) twice |= a[m] == a[k];
    }
    if (twice) return StarShape::kBroken;
    for (std::size_t k = 0; k < count; ++k) {
      const std::int64_t b_k = b[k];
      std::size_t next_k = StarChain::kNoNext;
      for (std::size_t m = 0; m < count; ++m) next_k = a[m] == b_k ? m : next_k;
      next[k] = next_k;
      linked += next_k != StarChain::kNoNext;
    }
  } else {
    // At least twice as many slots as wedges, so that probes stay short.
    unsigned bits = 4;
    while ((std::size_t{1} << bits) < 2 * count) ++bits;
    const std::size_t mask = (std::size_t{1} << bits) - 1;
    const unsigned shift = 64 - bits;
    if (chain.slots.size() <= mask) chain.slots.resize(mask + 1);  // new slots belong to round 0, never current
    const std::uint64_t round = ++chain.round;
    StarSlot* const slots = chain.slots.data();
    for (std::size_t k = 0; k < count; ++k) {
      const std::int64_t a_k = a[k];
      std::size_t s = first_slot(a_k, shift);
      for (; slots[s].round == round; s = (s + 1) & mask) {
        if (slots[s].key == a_k) return StarShape::kBroken;
      }
      slots[s] = {round, a_k, k};
    }
    for (std::size_t k = 0; k < count; ++k) {
      const std::int64_t b_k = b[k];
      std::size_t next_k = StarChain::kNoNext;
      for (std::size_t s = first_slot(b_k, shift); slots[s].round == round; s = (s + 1) & mask) {
        if (slots[s].key == b_k) {
          next_k = slots[s].index;
          break;
        }
      }
      next[k] = next_k;
      linked += next_k != StarChain::kNoNext;
    }
  }
  if (count == 0) return StarShape::kOpen;
  if (linked == count) {
    // Every wedge followed by one (the usual star, closed round v): one fan
    // iff they form one cycle. Then no two wedges end alike, so no edge
    // u -> v is used twice; several cycles, or wedges running into a cycle
    // (two ending alike), break the star.
    std::size_t steps = 1;
    std::size_t k = next[0];
    for (; k != 0 && steps < count; k = next[k]) ++steps;
    return k == 0 && steps == count ? StarShape::kClosed : StarShape::kBroken;
  }
  // Some wedge has no follower: one open fan at best, walked from its head.
  std::uint8_t* const followed = chain.followed.data();  // some wedge ends where wedge k starts
  for (std::size_t k = 0; k < count; ++k) followed[k] = 0;
  for (std::size_t k = 0; k < count; ++k) {
    if (next[k] != StarChain::kNoNext) followed[next[k]] = 1;
  }
  std::size_t heads = 0;  // wedges no other wedge ends at: the starts of open fans
  std::size_t head = 0;
  for (std::size_t k = 0; k < count; ++k) {
    heads += followed[k] == 0;
    head = followed[k] == 0 ? k : head;
  }
  if (heads != 1) return StarShape::kBroken;
  // One fan iff the walk from the head meets every wedge once and stops.
  // That also rules out an edge u -> v used twice (two wedges ending at u):
  // either both have no follower (the walk stops before the second) or they
  // share one (the walk would meet it twice). A walk that meets a wedge
  // twice goes round for good: it is cut off after `count` steps.
  std::size_t steps = 1;
  std::size_t k = next[head];
  for (; k != StarChain::kNoNext && steps <= count; k = next[k]) ++steps;
  return steps == count ? StarShape::kOpen : StarShape::kBroken;
}

}  // namespace karvex::validity
