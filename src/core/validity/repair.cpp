// Relaxing folds round by round (the rules are in repair.h). After the first
// test of the whole mesh, every table is built over the region near the bad
// triangles (fold_region.h), grown whenever the relaxation is about to reach
// past it; per round the work is bounded by the bad triangles, the moved
// vertices and their rings, apart from the re-test (see local_test.h).
#include "validity/repair.h"

#include <algorithm>
#include <array>
#include <cmath>
#include <optional>
#include <utility>

#include "validity/fold_region.h"
#include "validity/hand_back.h"
#include "validity/local_test.h"
#include "validity/self_intersections.h"
#include "validity/vertex_stars.h"

namespace karvex::validity {

namespace {

constexpr int kGrowAfter = 4;  // rounds (the step is then 1/4) after which all corners of a bad triangle move
constexpr int kMaxRings = 8;   // the widest patch smoothed round a stubborn fold, in rings of triangles
// Fractions of the way to the neighbours' mean, by the number of rounds a
// vertex's triangle has been bad: a tiny step first (most folds are slight,
// and the least change keeps sharp edges where they are), then larger ones.
// Never all the way: a vertex on its neighbours' mean can make flat
// triangles. A vertex moved only as part of a patch takes the last.
constexpr double kSteps[] = {0x1p-14, 0x1p-6, 0x1p-3, 0x1p-2, 0x1p-1};
constexpr std::int64_t kStepCount = static_cast<std::int64_t>(std::size(kSteps));

// Items per vertex in compressed rows: items[starts[v], starts[v + 1]).
// The items are vertex numbers of a fold region, which are 32-bit
// (fold_region.h).
struct Rows {
  std::vector<std::size_t> starts;
  std::vector<std::uint32_t> items;
};

// Each vertex's neighbours, one per directed edge at it, in the order of one
// pass over the edges' heads and then their tails (edge 3f + k runs from
// corner k of face f to corner k + 1).
Rows neighbour_rows(const MeshView& mesh) {
  const std::size_t edges = 3 * mesh.face_count;
  auto head = [&](std::size_t e) { return mesh.faces[e]; };
  auto tail = [&](std::size_t e) { return mesh.faces[3 * (e / 3) + (e % 3 + 1) % 3]; };
  Rows rows;
  rows.starts.assign(mesh.vertex_count + 1, 0);
  for (std::size_t e = 0; e < edges; ++e) {
    ++rows.starts[static_cast<std::size_t>(head(e)) + 1];
    ++rows.starts[static_cast<std::size_t>(tail(e)) + 1];
  }
  for (std::size_t v = 0; v < mesh.vertex_count; ++v) rows.starts[v + 1] += rows.starts[v];
  rows.items.resize(2 * edges);
  std::vector<std::size_t> cursor(rows.starts.begin(), rows.starts.end() - 1);
  for (std::size_t e = 0; e < edges; ++e) {
    rows.items[cursor[static_cast<std::size_t>(head(e))]++] = static_cast<std::uint32_t>(tail(e));
  }
  for (std::size_t e = 0; e < edges; ++e) {
    rows.items[cursor[static_cast<std::size_t>(tail(e))]++] = static_cast<std::uint32_t>(head(e));
  }
  return rows;
}

// A set of indices with a flag per index, cleared in time proportional to
// its size.
class IndexSet {
 public:
  void resize(std::size_t count) { flags_.resize(count, 0); }
  bool add(std::int64_t i) {
    if (flags_[static_cast<std::size_t>(i)]) return false;
    flags_[static_cast<std::size_t>(i)] = 1;
    list_.push_back(i);
    return true;
  }
  bool contains(std::int64_t i) const { return flags_[static_cast<std::size_t>(i)] != 0; }
  const std::vector<std::int64_t>& list() const { return list_; }
  std::vector<std::int64_t>& list() { return list_; }
  void clear() {
    for (std::int64_t i : list_) flags_[static_cast<std::size_t>(i)] = 0;
    list_.clear();
  }

 private:
  std::vector<std::uint8_t> flags_;
  std::vector<std::int64_t> list_;
};

// The relaxation's tables over the region, in its local numbers, made again
// (the per-item counters kept, new items at zero) each time it grows.
struct Tables {
  Tables(FoldRegion& region, WorkerPool& pool) : region(region), pool(pool) { refresh(); }

  void refresh() {
    const MeshView& mesh = region.view();
    // The old tables go before the new are built: they are not both held.
    test.reset();
    neighbours = {};
    at_vertex = {};
    neighbours = neighbour_rows(mesh);
    at_vertex = vertex_faces(mesh, pool);  // a face with a repeated index appears twice
    stubborn.resize(mesh.face_count, 0);
    in_bad.resize(mesh.vertex_count, 0);
    tries.resize(mesh.vertex_count, 0);
    moved.resize(mesh.vertex_count, 0);
    chosen.resize(mesh.vertex_count);
    patch.resize(mesh.vertex_count);
    touched.resize(mesh.face_count);
    test.emplace(mesh, pool);
  }

  // Grows the region until every vertex of `vertices` is open (its ring and
  // star complete). Those vertices have not moved yet, so their starting
  // positions are where they are.
  void open(const std::vector<std::int64_t>& vertices) {
    std::vector<Span> spans;
    for (std::int64_t v : vertices) {
      if (region.open(v)) continue;
      const double* p = region.positions() + 3 * v;
      spans.push_back({{p[0], p[1], p[2]}, {p[0], p[1], p[2]}});
    }
    if (!spans.empty() && region.grow(spans)) refresh();
  }

  // Grows the region until the box of every triangle of `faces` is covered:
  // any triangle its box overlaps is then in the region.
  void cover(const std::vector<std::int64_t>& faces) {
    const double* p = region.positions();
    const std::int64_t* corners = region.view().faces;
    std::vector<Span> spans;
    for (std::int64_t f : faces) {
      Span s;
      for (int a = 0; a < 3; ++a) s.lo[a] = s.hi[a] = p[3 * corners[3 * f] + a];
      for (int k = 1; k < 3; ++k) {
        for (int a = 0; a < 3; ++a) {
          s.lo[a] = std::min(s.lo[a], p[3 * corners[3 * f + k] + a]);
          s.hi[a] = std::max(s.hi[a], p[3 * corners[3 * f + k] + a]);
        }
      }
      if (!region.covers(s)) spans.push_back(s);
    }
    if (!spans.empty() && region.grow(spans)) refresh();
  }

  FoldRegion& region;
  WorkerPool& pool;
  Rows neighbours;
  VertexFaces at_vertex;
  std::vector<std::int64_t> stubborn;  // per triangle: rounds it has been bad
  std::vector<std::int64_t> in_bad;    // per vertex, within a round: bad triangles using it
  std::vector<std::int64_t> tries;     // per vertex, within a round: rounds its worst bad triangle has been bad
  std::vector<std::uint8_t> moved;
  IndexSet chosen, patch, touched;
  std::optional<LocalTest> test;
};

// Puts back at their starting positions (`start`, in the mesh's numbers)
// the corners of the triangles `bad` and every moved vertex joined to one of
// them by moved vertices, which then count as not moved: a fold the bounded
// rounds left comes back as it was, with the moves made round it, so that
// the unbounded relaxation repairs it from there as it repairs the same fold
// of a mesh never bounded. Returns the bad triangles then, in increasing
// order (those round a vertex put back are tested again).
std::vector<std::int64_t> restore_folds(Tables& t, const std::vector<std::int64_t>& bad,
                                        const double* start) {
  const std::int64_t* faces = t.region.view().faces;
  double* const positions = t.region.positions();
  std::vector<std::int64_t> stack;
  for (std::int64_t f : bad) {
    t.touched.add(f);
    for (int k = 0; k < 3; ++k) stack.push_back(faces[3 * f + k]);
  }
  while (!stack.empty()) {
    const auto v = static_cast<std::size_t>(stack.back());
    stack.pop_back();
    if (!t.moved[v]) continue;
    t.moved[v] = 0;
    const double* from = start + 3 * t.region.mesh_vertex(static_cast<std::int64_t>(v));
    for (int a = 0; a < 3; ++a) positions[3 * v + a] = from[a];
    for (std::size_t r = t.at_vertex.starts[v]; r < t.at_vertex.starts[v + 1]; ++r) {
      t.touched.add(t.at_vertex.items[r]);
    }
    for (std::size_t r = t.neighbours.starts[v]; r < t.neighbours.starts[v + 1]; ++r) {
      const std::int64_t u = t.neighbours.items[r];
      if (t.moved[static_cast<std::size_t>(u)]) stack.push_back(u);
    }
  }
  std::sort(t.touched.list().begin(), t.touched.list().end());
  t.cover(t.touched.list());
  std::vector<std::int64_t> still = t.test->bad_faces_among(t.touched.list());
  t.touched.clear();
  return still;
}

}  // namespace

std::vector<std::int64_t> all_bad_faces(const MeshView& mesh, WorkerPool& pool,
                                        const std::vector<std::uint8_t>* certified) {
  if (mesh.face_count == 0) return {};
  if (certified != nullptr) return bad_faces_of(find_self_intersections(mesh, nullptr, pool, certified));
  return LocalTest(mesh, pool).bad_faces();  // every pair, the first time
}

RelaxStats relax_folds_into(const MeshView& input, const RelaxOptions& options, WorkerPool& pool, double* out) {
  return relax_folds_from(input, all_bad_faces(input, pool), options, pool, out);
}

namespace {

RelaxStats relax_in_region(const MeshView& input, std::vector<std::int64_t> bad, const RelaxOptions& options,
                           WorkerPool& pool, double* out) {
  RelaxStats result;

  FoldRegion region(input, pool);
  bad = region.start_round(bad);
  Tables t(region, pool);
  const double* const start = input.vertices;
  const auto rank_above = 3 * static_cast<std::int64_t>(input.vertex_count);  // above any count of bad triangles
  std::vector<double> target;
  std::vector<const double*> around;

  std::size_t fewest = bad.size();  // the fewest bad triangles after any round so far
  int stalled = 0;                  // rounds since `fewest` last fell
  std::vector<std::int64_t> aside;  // bounded: bad triangles left as they are (see repair.h)
  for (int round = 0; round < options.rounds && !bad.empty(); ++round) {
    if (options.bounded && stalled >= kBoundedStall) break;
    if (options.bounded) {
      // A triangle still bad after all its corners moved as far as the bound
      // lets them is set aside rather than smoothed in a patch: a patch moves
      // no vertex farther, and its rings widen the work every few rounds.
      aside.clear();
      std::erase_if(bad, [&](std::int64_t f) {
        if (t.stubborn[static_cast<std::size_t>(f)] < 2 * kGrowAfter) return false;
        aside.push_back(f);
        return true;
      });
      if (bad.empty()) {
        bad = std::move(aside);
        break;
      }
    }
    result.rounds = round + 1;
    // Tables are read after each growth: a growth makes them again.
    const std::int64_t* faces = region.view().faces;
    // Which vertices move (see repair.h).
    std::int64_t widest = -1;
    for (std::int64_t f : bad) {
      const std::int64_t s = ++t.stubborn[static_cast<std::size_t>(f)];
      for (int k = 0; k < 3; ++k) {
        const auto v = static_cast<std::size_t>(faces[3 * f + k]);
        ++t.in_bad[v];
        t.tries[v] = std::max(t.tries[v], s);
      }
      if (s > 2 * kGrowAfter) widest = std::max(widest, s);
    }
    for (std::int64_t f : bad) {
      std::int64_t counts[3];
      for (int k = 0; k < 3; ++k) {
        const auto v = faces[3 * f + k];
        counts[k] = t.in_bad[static_cast<std::size_t>(v)];
        // Marked corners rank above any count.
        if (options.first != nullptr && options.first[region.mesh_vertex(v)]) counts[k] += rank_above;
      }
      const std::int64_t most = std::max({counts[0], counts[1], counts[2]});
      const bool all = t.stubborn[static_cast<std::size_t>(f)] > kGrowAfter;
      for (int k = 0; k < 3; ++k) {
        if (all || counts[k] == most) t.chosen.add(faces[3 * f + k]);
      }
    }
    if (widest >= 0) {
      // A fold that smoothing round it does not clear (two sheets crossing
      // over several cells) is smoothed over a wider patch, one ring more
      // every few rounds.
      const std::int64_t levels = std::min<std::int64_t>(1 + (widest - 2 * kGrowAfter) / 4, kMaxRings);
      for (std::int64_t f : bad) {
        if (t.stubborn[static_cast<std::size_t>(f)] <= 2 * kGrowAfter) continue;
        for (int k = 0; k < 3; ++k) t.patch.add(faces[3 * f + k]);
      }
      for (std::int64_t level = 0; level < levels; ++level) {
        t.open(t.patch.list());
        faces = region.view().faces;
        const std::size_t size = t.patch.list().size();  // one ring per level
        for (std::size_t n = 0; n < size; ++n) {
          const auto v = static_cast<std::size_t>(t.patch.list()[n]);
          for (std::size_t r = t.at_vertex.starts[v]; r < t.at_vertex.starts[v + 1]; ++r) {
            const std::int64_t f = t.at_vertex.items[r];
            for (int k = 0; k < 3; ++k) t.patch.add(faces[3 * f + k]);
          }
        }
      }
      for (std::int64_t v : t.patch.list()) t.chosen.add(v);
      t.patch.clear();
    }
    for (std::int64_t f : bad) {
      for (int k = 0; k < 3; ++k) t.in_bad[static_cast<std::size_t>(faces[3 * f + k])] = 0;
    }

    // Every chosen vertex moves from where the round began.
    std::vector<std::int64_t>& order = t.chosen.list();
    t.open(order);
    faces = region.view().faces;
    double* const vertices = region.positions();
    std::sort(order.begin(), order.end());
    target.resize(3 * order.size());
    for (std::size_t n = 0; n < order.size(); ++n) {
      const auto v = static_cast<std::size_t>(order[n]);
      // Summed in the order of the neighbours' positions, not of their
      // numbers, so that the same mesh numbered otherwise (tiles stitched,
      // faces reordered, the region's own numbers) moves its vertices to
      // the same bits.
      around.clear();
      for (std::size_t r = t.neighbours.starts[v]; r < t.neighbours.starts[v + 1]; ++r) {
        around.push_back(vertices + 3 * t.neighbours.items[r]);
      }
      std::sort(around.begin(), around.end(), [](const double* p, const double* q) {
        return std::lexicographical_compare(p, p + 3, q, q + 3);
      });
      double sum[3] = {0.0, 0.0, 0.0};
      for (const double* p : around) {
        for (int a = 0; a < 3; ++a) sum[a] += p[a];
      }
      const auto degree = static_cast<double>(std::max<std::size_t>(t.neighbours.starts[v + 1] - t.neighbours.starts[v], 1));
      const std::int64_t index = std::min(t.tries[v], kStepCount) - 1;
      const double step = kSteps[index < 0 ? kStepCount - 1 : index];
      for (int a = 0; a < 3; ++a) {
        const double mean = sum[a] / degree;
        target[3 * n + a] = vertices[3 * v + a] + step * (mean - vertices[3 * v + a]);
      }
      if (options.bounded) {
        const double* from = start + 3 * region.mesh_vertex(static_cast<std::int64_t>(v));
        double offset[3];
        for (int a = 0; a < 3; ++a) offset[a] = target[3 * n + a] - from[a];
        const double length = std::sqrt(offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2]);
        if (length > options.max_move) {
          const double scale = options.max_move / length;
          for (double& o : offset) o *= scale;
        }
        for (int a = 0; a < 3; ++a) target[3 * n + a] = from[a] + offset[a];
      }
    }
    for (std::size_t n = 0; n < order.size(); ++n) {
      const auto v = static_cast<std::size_t>(order[n]);
      for (int a = 0; a < 3; ++a) vertices[3 * v + a] = target[3 * n + a];
      t.moved[v] = 1;
    }
    for (std::int64_t f : bad) {
      for (int k = 0; k < 3; ++k) t.tries[static_cast<std::size_t>(faces[3 * f + k])] = 0;
    }

    // Only triangles round a moved vertex can have changed; the region
    // holds every triangle they may now meet once it covers their boxes.
    for (std::int64_t v : order) {
      const auto u = static_cast<std::size_t>(v);
      for (std::size_t r = t.at_vertex.starts[u]; r < t.at_vertex.starts[u + 1]; ++r) t.touched.add(t.at_vertex.items[r]);
    }
    std::sort(t.touched.list().begin(), t.touched.list().end());
    t.cover(t.touched.list());
    bad = t.test->bad_faces_among(t.touched.list());
    if (!aside.empty()) {
      // Those the round did not touch are as bad as before; the others
      // were tested with the touched ones.
      for (std::int64_t f : aside) {
        if (!t.touched.contains(f)) bad.push_back(f);
      }
      std::sort(bad.begin(), bad.end());
    }
    if (bad.size() < fewest) {
      fewest = bad.size();
      stalled = 0;
    } else {
      ++stalled;
    }
    t.touched.clear();
    t.chosen.clear();
  }
  if (options.bounded && !bad.empty()) bad = restore_folds(t, bad, start);
  // Each starting position is read before `out` is written, which may be
  // the mesh's own positions.
  const double* const positions = region.positions();
  std::vector<std::pair<std::int64_t, std::array<double, 3>>> changed;
  for (std::size_t v = 0; v < region.vertex_count(); ++v) {
    if (!t.moved[v]) continue;
    ++result.moved;
    const std::int64_t g = region.mesh_vertex(static_cast<std::int64_t>(v));
    const std::array<double, 3> from = {start[3 * g], start[3 * g + 1], start[3 * g + 2]};
    if (positions[3 * v] != from[0] || positions[3 * v + 1] != from[1] || positions[3 * v + 2] != from[2]) {
      changed.emplace_back(g, from);
    }
    for (int a = 0; a < 3; ++a) out[3 * g + a] = positions[3 * v + a];
  }
  std::sort(changed.begin(), changed.end(), [](const auto& p, const auto& q) { return p.first < q.first; });
  result.changed.reserve(changed.size());
  result.starts.reserve(3 * changed.size());
  for (const auto& [g, from] : changed) {
    result.changed.push_back(g);
    result.starts.insert(result.starts.end(), from.begin(), from.end());
  }
  result.unresolved = bad.size();
  return result;
}

}  // namespace

RelaxStats relax_folds_from(const MeshView& input, std::vector<std::int64_t> bad, const RelaxOptions& options,
                            WorkerPool& pool, double* out) {
  if (bad.empty()) return {};  // the usual case: nothing more to build
  RelaxStats result = relax_in_region(input, std::move(bad), options, pool, out);
  hand_back_freed(input.face_count);  // the region's tables are gone
  return result;
}

Relaxed relax_folds(const MeshView& input, const RelaxOptions& options, WorkerPool& pool) {
  Relaxed result;
  result.vertices.assign(input.vertices, input.vertices + 3 * input.vertex_count);
  static_cast<RelaxStats&>(result) = relax_folds_into(input, options, pool, result.vertices.data());
  return result;
}

}  // namespace karvex::validity
