// Vertex stars: the rows by vertex and the chaining of one star's wedges.
#include "validity/vertex_stars.h"

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <utility>

#include "pool/worker_pool.h"

namespace karvex::validity {

namespace {

// Corners from which the rows are made by two workers, and vertices per
// range of the passes over the vertices: below, waking a worker costs more
// than the work.
constexpr std::size_t kPooledCorners = std::size_t{1} << 16;
constexpr std::size_t kPooledVertices = std::size_t{1} << 14;

void check_face_count(const MeshView& mesh) {
  if (mesh.face_count > UINT32_MAX) {
    throw std::length_error("the validity pass handles meshes of at most 4294967295 triangles");
  }
}

// The counting sort of the corners by vertex, alone.
VertexFaces sorted_corners(const MeshView& mesh) {
  VertexFaces rows;
  rows.starts.resize(mesh.vertex_count + 1);
  std::fill(rows.starts.begin(), rows.starts.end(), std::size_t{0});
  const std::size_t corners = 3 * mesh.face_count;
  for (std::size_t c = 0; c < corners; ++c) ++rows.starts[static_cast<std::size_t>(mesh.faces[c]) + 1];
  // starts[v + 1] becomes the start of v's row and serves as its cursor
  // while the rows fill (no cursor array of its own, 8 bytes a vertex),
  // ending at the row's end: the start of the next row.
  std::size_t start = 0;
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) start += std::exchange(rows.starts[v + 1], start);
  rows.items.resize(corners);
  for (std::size_t c = 0; c < corners; ++c) {
    rows.items[rows.starts[static_cast<std::size_t>(mesh.faces[c]) + 1]++] = static_cast<std::uint32_t>(c / 3);
  }
  return rows;
}

// The same sort in two halves of the corners, each counted and placed by
// a worker of its own: the first half's counters and cursors are the
// starts (as above), the second half's a table of 4 bytes a vertex, the
// one table the sort adds (less than the pair sweep that follows it in
// the validity pass holds). A row lists the first half's triangles, then
// the second's, each in order: the rows of the sort alone. Every pass over
// the vertices (clearing, the running sum, the ends) runs on the pool in
// ranges of vertices, the running sum in two steps.
VertexFaces sorted_corners_in_halves(const MeshView& mesh, WorkerPool& pool) {
  VertexFaces rows;
  const std::size_t count = mesh.vertex_count;
  const std::size_t corners = 3 * mesh.face_count;
  rows.starts.resize(count + 1);
  rows.starts[0] = 0;
  rows.items.resize(corners);
  UnfilledVector<std::uint32_t> second(count);
  std::size_t* const starts = rows.starts.data();
  std::uint32_t* const items = rows.items.data();
  const std::int64_t* const faces = mesh.faces;
  const std::size_t half = corners / 2;
  // The vertices in ranges for the passes over them.
  const std::size_t ranges = std::max<std::size_t>(1, std::min<std::size_t>(64, count / kPooledVertices));
  auto range_begin = [&](std::size_t r) { return count * r / ranges; };
  auto over_vertices = [&](auto&& body) {
    parallel_for(
        pool, ranges, [&](std::size_t r) { body(r, range_begin(r), range_begin(r + 1)); }, 1);
  };
  over_vertices([&](std::size_t, std::size_t begin, std::size_t end) {
    std::fill(starts + begin + 1, starts + end + 1, std::size_t{0});
    std::fill(second.begin() + static_cast<std::ptrdiff_t>(begin), second.begin() + static_cast<std::ptrdiff_t>(end),
              std::uint32_t{0});
  });
  parallel_for(
      pool, 2,
      [&](std::size_t h) {
        if (h == 0) {
          for (std::size_t c = 0; c < half; ++c) ++starts[static_cast<std::size_t>(faces[c]) + 1];
        } else {
          for (std::size_t c = half; c < corners; ++c) ++second[static_cast<std::size_t>(faces[c])];
        }
      },
      1);
  // Each range's corners, then where its rows start.
  std::vector<std::size_t> offsets(ranges + 1, 0);
  over_vertices([&](std::size_t r, std::size_t begin, std::size_t end) {
    std::size_t sum = 0;
    for (std::size_t v = begin; v < end; ++v) sum += starts[v + 1] + second[v];
    offsets[r + 1] = sum;
  });
  for (std::size_t r = 0; r < ranges; ++r) offsets[r + 1] += offsets[r];
  // starts[v + 1] becomes where the first half's corners of v go, and
  // second[v] where the second half's go, after them.
  over_vertices([&](std::size_t r, std::size_t begin, std::size_t end) {
    std::size_t start = offsets[r];
    for (std::size_t v = begin; v < end; ++v) {
      const std::size_t first = std::exchange(starts[v + 1], start);
      start += first;
      start += std::exchange(second[v], static_cast<std::uint32_t>(start));
    }
  });
  parallel_for(
      pool, 2,
      [&](std::size_t h) {
        if (h == 0) {
          for (std::size_t c = 0; c < half; ++c) {
            items[starts[static_cast<std::size_t>(faces[c]) + 1]++] = static_cast<std::uint32_t>(c / 3);
          }
        } else {
          for (std::size_t c = half; c < corners; ++c) {
            items[second[static_cast<std::size_t>(faces[c])]++] = static_cast<std::uint32_t>(c / 3);
          }
        }
      },
      1);
  // The second half's cursors end at the rows' ends.
  over_vertices([&](std::size_t, std::size_t begin, std::size_t end) {
    for (std::size_t v = begin; v < end; ++v) starts[v + 1] = second[v];
  });
  return rows;
}

}  // namespace

VertexFaces vertex_faces(const MeshView& mesh) {
  check_face_count(mesh);
  return sorted_corners(mesh);
}

VertexFaces vertex_faces(const MeshView& mesh, WorkerPool& pool) {
  check_face_count(mesh);
  // The halves' cursors are 32-bit.
  const bool halves = pool.workers() > 1 && 3 * mesh.face_count >= kPooledCorners && 3 * mesh.face_count <= UINT32_MAX;
  return halves ? sorted_corners_in_halves(mesh, pool) : sorted_corners(mesh);
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
