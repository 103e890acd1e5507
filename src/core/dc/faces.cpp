#include "dc/faces.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cmath>

#include "dc/component_table.h"
#include "dc/vertex_placement.h"
#include "dc/walk_order_finder.h"
#include "pool/run_monitor.h"
#include "support/bbox.h"
#include "support/panic.h"

namespace karvex {

namespace {

// Unit normal of triangle (p, q, r) by (q - p) x (r - p), or zero when too short.
Vec3 unit_normal(const Vec3& p, const Vec3& q, const Vec3& r) {
  const Vec3 a{q.x - p.x, q.y - p.y, q.z - p.z};
  const Vec3 b{r.x - p.x, r.y - p.y, r.z - p.z};
  const Vec3 n{a.y * b.z - a.z * b.y, a.z * b.x - a.x * b.z, a.x * b.y - a.y * b.x};
  const double length = std::sqrt(n.x * n.x + n.y * n.y + n.z * n.z);
  if (!(length > 1e-15)) return {0.0, 0.0, 0.0};
  return {n.x / length, n.y / length, n.z / length};
}

double dot(const Vec3& a, const Vec3& b) { return a.z * b.z + (a.x * b.x + a.y * b.y); }

// Cells per task of the pool, and tasks whose lists are appended at once
// (two blocks' lists are held at a time).
constexpr std::size_t kFaceTask = std::size_t{1} << 11;
constexpr std::size_t kTasksPerBlock = 16;

// The other two axes (b, c) of edge axis a.
constexpr unsigned kOtherAxes[3][2] = {{1, 2}, {0, 2}, {0, 1}};

std::uint32_t& coordinate(CellAddress& address, unsigned axis) {
  return axis == 0 ? address.x : (axis == 1 ? address.y : address.z);
}

// The cell index as the faces ask it (WalkOrderFinder::find), which needs
// no hints.
struct LookupFinder {
  static constexpr std::uint64_t kAbsent = CellLookup::kAbsent;
  const CellLookup& lookup;
  std::uint64_t find(const CellAddress& address, std::size_t /*before*/,
                     std::size_t& /*hint*/) const {
    return lookup.find(address);
  }
  std::uint64_t find_close(const CellAddress& address, std::size_t /*before*/) const {
    return lookup.find(address);
  }
};

template <class Finder>
struct FaceContext {
  const UnfilledVector<CellSigns>& cells;
  const Finder& finder;
  std::span<const std::uint64_t> first_vertex;
  const std::vector<Vec3>& positions;
  const std::optional<LatticeBlock>& tile;  // set: only the cells it owns make faces
  std::uint8_t max_depth;

  // The vertex of cell `index` at its cube edge `edge`: the vertex of the
  // group holding the edge's below-iso endpoint.
  std::uint64_t vertex_at_edge(std::uint64_t index, unsigned edge) const {
    const std::uint64_t first = first_vertex[index];
    const ComponentRow& row = COMPONENT_TABLE[cells[index].sign_mask];
    if (row[8] == 1) return first;
    const CubeEdge& e = cube_edge(edge);
    const bool u_set = (cells[index].sign_mask >> e.u) & 1u;
    const std::uint8_t group = row[u_set ? e.u : e.v];
    // Neither endpoint below iso: the neighbour's corner values disagree
    // with this cell's at the shared edge.
    if (group >= row[8]) fail_index(row[8], group);
    return first + group;
  }

  // Where the searches for neighbours A, B and C round each axis left, by
  // the level at which lowering the cell's coordinates carries: the
  // neighbour lies in the block of 2^level cells per side before the cell's
  // own, which cells of the same carry level that follow each other share.
  // (At level 0 it is a sibling, read back from the cell: no hint.)
  static constexpr unsigned kCarryLevels = 33;
  using Hints = std::array<std::array<std::array<std::size_t, kCarryLevels>, 3>, 3>;

  // Index of the surface cell at `address` that has a vertex, if any; the
  // address is a neighbour of cell `o` with a smaller coordinate, and
  // `hint` where the search for the like neighbour of the cell before left.
  bool find_with_vertex(const CellAddress& address, std::size_t o, std::size_t& hint,
                        std::uint64_t& index) const {
    index = finder.find(address, o, hint);
    return has_vertex(index);
  }

  // The same for a sibling of cell `near` (at most cell `o`), which the
  // search reads back from there.
  bool find_sibling_with_vertex(const CellAddress& address, std::size_t near,
                                std::uint64_t& index) const {
    index = finder.find_close(address, near);
    return has_vertex(index);
  }

  bool has_vertex(std::uint64_t index) const {
    return index != Finder::kAbsent && first_vertex[index] != kNoVertex;
  }

  // Neighbour `neighbour` round axis a of cell o, whose lowering carries at
  // `level`: a sibling of cell `near` when it does not carry (level 0),
  // else searched from where the last search of that level left.
  bool find_neighbour(const CellAddress& address, std::size_t o, std::size_t near, Hints& hints,
                      unsigned a, unsigned neighbour, unsigned level, std::uint64_t& index) const {
    if (level == 0) return find_sibling_with_vertex(address, near, index);
    return find_with_vertex(address, o, hints[a][neighbour][level], index);
  }

  void emit(std::size_t o, std::vector<Triangle>& out, Hints& hints) const {
    if (first_vertex[o] == kNoVertex) return;
    const CellSigns& cell = cells[o];
    if (tile && !block_owns_cell(*tile, cell.address.x, cell.address.y, cell.address.z,
                                 static_cast<unsigned>(max_depth) - cell.address.d)) {
      return;
    }
    for (unsigned a = 0; a < 3; ++a) {
      // The edge from corner 0 along axis a does not change sign.
      if ((((cell.sign_mask >> (1u << a)) ^ cell.sign_mask) & 1u) == 0) continue;
      const unsigned b = kOtherAxes[a][0];
      const unsigned c = kOtherAxes[a][1];
      CellAddress address_a = cell.address;
      if (coordinate(address_a, b) == 0 || coordinate(address_a, c) == 0) continue;
      coordinate(address_a, b) -= 1;
      CellAddress address_b = cell.address;
      coordinate(address_b, c) -= 1;
      CellAddress address_c = address_a;
      coordinate(address_c, c) -= 1;
      std::uint64_t ia = 0, ib = 0, ic = 0;
      const auto carry_b = static_cast<unsigned>(std::countr_zero(coordinate(address_b, b)));
      const auto carry_c = static_cast<unsigned>(std::countr_zero(coordinate(address_a, c)));
      // C is A's sibling when lowering c does not carry, B's when lowering b
      // does not, and is searched for as the others only when both carry.
      if (!find_neighbour(address_a, o, o, hints, a, 0, carry_b, ia) ||
          !find_neighbour(address_b, o, o, hints, a, 1, carry_c, ib) ||
          !find_neighbour(address_c, o, carry_c == 0 ? ia : ib, hints, a, 2,
                          std::min(carry_b, carry_c) == 0 ? 0 : std::max(carry_b, carry_c),
                          ic)) {
        continue;
      }
      const std::uint64_t vo = vertex_at_edge(o, 4 * a);
      const std::uint64_t va = vertex_at_edge(ia, 4 * a + 1);
      const std::uint64_t vb = vertex_at_edge(ib, 4 * a + 2);
      const std::uint64_t vc = vertex_at_edge(ic, 4 * a + 3);
      // Counter-clockwise round +a: (O, A, C, B) for x and z, (O, B, C, A) for y.
      std::array<std::uint64_t, 4> quad = a == 1 ? std::array<std::uint64_t, 4>{vo, vb, vc, va}
                                                 : std::array<std::uint64_t, 4>{vo, va, vc, vb};
      if (!(cell.sign_mask & 1u)) quad = {quad[3], quad[2], quad[1], quad[0]};

      const Vec3& p0 = checked_at(positions, quad[0]);
      const Vec3& p1 = checked_at(positions, quad[1]);
      const Vec3& p2 = checked_at(positions, quad[2]);
      const Vec3& p3 = checked_at(positions, quad[3]);
      const bool first_diagonal = choose_first_diagonal(p0, p1, p2, p3);
      const Triangle t1 = first_diagonal ? Triangle{quad[0], quad[1], quad[2]}
                                         : Triangle{quad[0], quad[1], quad[3]};
      const Triangle t2 = first_diagonal ? Triangle{quad[0], quad[2], quad[3]}
                                         : Triangle{quad[1], quad[2], quad[3]};
      for (const Triangle& t : {t1, t2}) {
        if (t[0] != t[1] && t[1] != t[2] && t[0] != t[2]) out.push_back(t);
      }
    }
  }
};

}  // namespace

QuadSplitScores quad_split_scores(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3) {
  return {dot(unit_normal(p0, p1, p2), unit_normal(p0, p2, p3)),
          dot(unit_normal(p0, p1, p3), unit_normal(p1, p2, p3))};
}

bool choose_first_diagonal(const Vec3& p0, const Vec3& p1, const Vec3& p2, const Vec3& p3) {
  const QuadSplitScores scores = quad_split_scores(p0, p1, p2, p3);
  return scores.s1 >= scores.s2;
}

std::vector<Triangle> generate_faces(WorkerPool& pool, const std::vector<SurfaceCell>& cells,
                                     const CellLookup& lookup,
                                     std::span<const std::uint64_t> cell_first_vertex,
                                     const std::vector<Vec3>& positions,
                                     const std::optional<LatticeBlock>& tile,
                                     std::uint8_t max_depth) {
  return generate_faces(pool, cell_signs(cells), lookup, cell_first_vertex, positions, tile,
                        max_depth);
}

namespace {

template <class Finder>
std::vector<Triangle> faces_with(WorkerPool& pool, const UnfilledVector<CellSigns>& cells,
                                 const Finder& finder,
                                 std::span<const std::uint64_t> cell_first_vertex,
                                 const std::vector<Vec3>& positions,
                                 const std::optional<LatticeBlock>& tile, std::uint8_t max_depth) {
  if (cell_first_vertex.size() != cells.size()) {
    fail("face generation needs one first vertex per surface cell");
  }
  const FaceContext<Finder> context{cells, finder, cell_first_vertex, positions, tile, max_depth};
  // At most two triangles per sign-changing edge a cell with a vertex owns:
  // counted per task of cells on the pool, so that the whole list and each
  // task's own list are sized once. Pages of the whole list never written
  // are never resident.
  const std::size_t n = cells.size();
  const std::size_t tasks = (n + kFaceTask - 1) / kFaceTask;
  const auto task_end = [&](std::size_t t) { return std::min(n, (t + 1) * kFaceTask); };
  std::vector<std::size_t> task_bound(tasks, 0);
  {
    const RunMonitor::Suspended quiet;
    parallel_for(pool, tasks, [&](std::size_t t) {
      std::size_t bound = 0;
      for (std::size_t o = t * kFaceTask; o < task_end(t); ++o) {
        if (cell_first_vertex[o] == kNoVertex) continue;
        const unsigned mask = cells[o].sign_mask;
        for (unsigned a = 0; a < 3; ++a) bound += 2 * (((mask >> (1u << a)) ^ mask) & 1u);
      }
      task_bound[t] = bound;
    }, 1);
  }
  std::size_t bound = 0;
  for (const std::size_t b : task_bound) bound += b;
  std::vector<Triangle> triangles;
  triangles.reserve(bound);
  // The tasks of a block each fill a list of their own, then the lists are
  // appended in task order: the order of one loop over every cell, each
  // triangle copied once. A block's lists are appended by one task of the
  // next block's loop, alongside its faces (the lists alternate between two
  // sets), so that the copy, and the faults of the whole list's pages, keep
  // no worker waiting; no more than two blocks' lists are held besides the
  // whole list.
  std::array<std::vector<std::vector<Triangle>>, 2> parts;
  for (auto& set : parts) set.resize(kTasksPerBlock);
  const std::size_t blocks = (tasks + kTasksPerBlock - 1) / kTasksPerBlock;
  const auto block_tasks = [&](std::size_t block) {
    return std::min(kTasksPerBlock, tasks - block * kTasksPerBlock);
  };
  const auto append = [&](std::size_t block) {
    for (std::size_t k = 0; k < block_tasks(block); ++k) {
      const std::vector<Triangle>& part = parts[block % 2][k];
      triangles.insert(triangles.end(), part.begin(), part.end());
    }
  };
  for (std::size_t block = 0; block <= blocks; ++block) {
    // Task 0 appends the block before (claimed first, it starts first);
    // the others make this block's faces.
    const std::size_t appending = block > 0 ? 1 : 0;
    const std::size_t count = block < blocks ? block_tasks(block) : 0;
    {
      const RunMonitor::Suspended quiet;
      parallel_for(pool, appending + count, [&](std::size_t k) {
        if (k < appending) {
          append(block - 1);
          return;
        }
        const std::size_t t = block * kTasksPerBlock + (k - appending);
        std::vector<Triangle>& out = parts[block % 2][k - appending];
        out.clear();
        out.reserve(task_bound[t]);
        typename FaceContext<Finder>::Hints hints;
        for (auto& axis : hints) {
          for (auto& neighbour : axis) neighbour.fill(t * kFaceTask);
        }
        for (std::size_t o = t * kFaceTask; o < task_end(t); ++o) context.emit(o, out, hints);
      }, 1);
    }
    if (count > 0) {
      const std::size_t first = block * kTasksPerBlock;
      advance_stage(task_end(first + count - 1) - first * kFaceTask);
    }
  }
  return triangles;
}

}  // namespace

std::vector<Triangle> generate_faces(WorkerPool& pool, const UnfilledVector<CellSigns>& cells,
                                     const CellLookup& lookup,
                                     std::span<const std::uint64_t> cell_first_vertex,
                                     const std::vector<Vec3>& positions,
                                     const std::optional<LatticeBlock>& tile,
                                     std::uint8_t max_depth) {
  return faces_with(pool, cells, LookupFinder{lookup}, cell_first_vertex, positions, tile,
                    max_depth);
}

std::vector<Triangle> generate_faces(WorkerPool& pool, const UnfilledVector<CellSigns>& cells,
                                     std::span<const std::uint64_t> cell_first_vertex,
                                     const std::vector<Vec3>& positions,
                                     const std::optional<LatticeBlock>& tile,
                                     std::uint8_t max_depth) {
  if (WalkOrderFinder::usable(pool, cells)) {
    // Progress counts the cells twice, as with the index made below.
    advance_stage(cells.size());
    return faces_with(pool, cells, WalkOrderFinder(cells), cell_first_vertex, positions, tile,
                      max_depth);
  }
  const CellLookup lookup = build_cell_lookup(pool, cells);
  return faces_with(pool, cells, LookupFinder{lookup}, cell_first_vertex, positions, tile,
                    max_depth);
}

}  // namespace karvex
