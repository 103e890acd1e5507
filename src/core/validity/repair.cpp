// Relaxing folds round by round (the rules are in repair.h). Per round the
// work is bounded by the bad triangles, the moved vertices and their rings,
// apart from the re-test (see local_test.h).
#include "validity/repair.h"

#include <algorithm>
#include <cmath>

#include "validity/local_test.h"
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
struct Rows {
  std::vector<std::size_t> starts;
  std::vector<std::int64_t> items;
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
  for (std::size_t e = 0; e < edges; ++e) rows.items[cursor[static_cast<std::size_t>(head(e))]++] = tail(e);
  for (std::size_t e = 0; e < edges; ++e) rows.items[cursor[static_cast<std::size_t>(tail(e))]++] = head(e);
  return rows;
}

// A set of indices with a flag per index, cleared in time proportional to
// its size.
class IndexSet {
 public:
  explicit IndexSet(std::size_t count) : flags_(count, 0) {}
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

}  // namespace

Relaxed relax_folds(const MeshView& input, const RelaxOptions& options, WorkerPool& pool) {
  Relaxed result;
  result.vertices.assign(input.vertices, input.vertices + 3 * input.vertex_count);
  if (input.face_count == 0) return result;
  MeshView mesh = input;
  mesh.vertices = result.vertices.data();
  double* const vertices = result.vertices.data();
  const double* const start = input.vertices;
  const std::int64_t* const faces = mesh.faces;
  const auto vertex_count = static_cast<std::int64_t>(mesh.vertex_count);

  LocalTest test(mesh, pool);
  std::vector<std::int64_t> bad = test.bad_faces();  // every pair, the first time
  if (bad.empty()) return result;  // the usual case: nothing more to build
  const Rows neighbours = neighbour_rows(mesh);
  const VertexFaces at_vertex = vertex_faces(mesh);  // a face with a repeated index appears twice

  std::vector<std::int64_t> stubborn(mesh.face_count, 0);
  std::vector<std::int64_t> in_bad(mesh.vertex_count, 0);
  std::vector<std::int64_t> tries(mesh.vertex_count, 0);
  std::vector<std::uint8_t> moved(mesh.vertex_count, 0);
  IndexSet chosen(mesh.vertex_count);
  IndexSet touched(mesh.face_count);
  IndexSet patch(mesh.vertex_count);
  std::vector<double> target;
  std::vector<const double*> around;

  std::size_t fewest = bad.size();  // the fewest bad triangles after any round so far
  int stalled = 0;                  // rounds since `fewest` last fell
  for (int round = 0; round < options.rounds && !bad.empty(); ++round) {
    if (options.bounded && stalled >= kBoundedStall) break;
    result.rounds = round + 1;
    // Which vertices move (see repair.h).
    std::int64_t widest = -1;
    for (std::int64_t f : bad) {
      const std::int64_t s = ++stubborn[static_cast<std::size_t>(f)];
      for (int k = 0; k < 3; ++k) {
        const auto v = static_cast<std::size_t>(faces[3 * f + k]);
        ++in_bad[v];
        tries[v] = std::max(tries[v], s);
      }
      if (s > 2 * kGrowAfter) widest = std::max(widest, s);
    }
    for (std::int64_t f : bad) {
      std::int64_t counts[3];
      for (int k = 0; k < 3; ++k) {
        const auto v = static_cast<std::size_t>(faces[3 * f + k]);
        counts[k] = in_bad[v];
        // Marked corners rank above any count.
        if (options.first != nullptr && options.first[v]) counts[k] += 3 * vertex_count;
      }
      const std::int64_t most = std::max({counts[0], counts[1], counts[2]});
      const bool all = stubborn[static_cast<std::size_t>(f)] > kGrowAfter;
      for (int k = 0; k < 3; ++k) {
        if (all || counts[k] == most) chosen.add(faces[3 * f + k]);
      }
    }
    if (widest >= 0) {
      // A fold that smoothing round it does not clear (two sheets crossing
      // over several cells) is smoothed over a wider patch, one ring more
      // every few rounds.
      const std::int64_t levels = std::min<std::int64_t>(1 + (widest - 2 * kGrowAfter) / 4, kMaxRings);
      for (std::int64_t f : bad) {
        if (stubborn[static_cast<std::size_t>(f)] <= 2 * kGrowAfter) continue;
        for (int k = 0; k < 3; ++k) patch.add(faces[3 * f + k]);
      }
      for (std::int64_t level = 0; level < levels; ++level) {
        const std::size_t size = patch.list().size();  // one ring per level
        for (std::size_t n = 0; n < size; ++n) {
          const auto v = static_cast<std::size_t>(patch.list()[n]);
          for (std::size_t r = at_vertex.starts[v]; r < at_vertex.starts[v + 1]; ++r) {
            const std::int64_t f = at_vertex.items[r];
            for (int k = 0; k < 3; ++k) patch.add(faces[3 * f + k]);
          }
        }
      }
      for (std::int64_t v : patch.list()) chosen.add(v);
      patch.clear();
    }
    for (std::int64_t f : bad) {
      for (int k = 0; k < 3; ++k) in_bad[static_cast<std::size_t>(faces[3 * f + k])] = 0;
    }

    // Every chosen vertex moves from where the round began.
    std::vector<std::int64_t>& order = chosen.list();
    std::sort(order.begin(), order.end());
    target.resize(3 * order.size());
    for (std::size_t n = 0; n < order.size(); ++n) {
      const auto v = static_cast<std::size_t>(order[n]);
      // Summed in the order of the neighbours' positions, not of their
      // numbers, so that the same mesh numbered otherwise (tiles stitched,
      // faces reordered) moves its vertices to the same bits.
      around.clear();
      for (std::size_t r = neighbours.starts[v]; r < neighbours.starts[v + 1]; ++r) {
        around.push_back(vertices + 3 * neighbours.items[r]);
      }
      std::sort(around.begin(), around.end(), [](const double* p, const double* q) {
        return std::lexicographical_compare(p, p + 3, q, q + 3);
      });
      double sum[3] = {0.0, 0.0, 0.0};
      for (const double* p : around) {
        for (int a = 0; a < 3; ++a) sum[a] += p[a];
      }
      const auto degree = static_cast<double>(std::max<std::size_t>(neighbours.starts[v + 1] - neighbours.starts[v], 1));
      const std::int64_t index = std::min(tries[v], kStepCount) - 1;
      const double step = kSteps[index < 0 ? kStepCount - 1 : index];
      for (int a = 0; a < 3; ++a) {
        const double mean = sum[a] / degree;
        target[3 * n + a] = vertices[3 * v + a] + step * (mean - vertices[3 * v + a]);
      }
      if (options.bounded) {
        double offset[3];
        for (int a = 0; a < 3; ++a) offset[a] = target[3 * n + a] - start[3 * v + a];
        const double length = std::sqrt(offset[0] * offset[0] + offset[1] * offset[1] + offset[2] * offset[2]);
        if (length > options.max_move) {
          const double scale = options.max_move / length;
          for (double& o : offset) o *= scale;
        }
        for (int a = 0; a < 3; ++a) target[3 * n + a] = start[3 * v + a] + offset[a];
      }
    }
    for (std::size_t n = 0; n < order.size(); ++n) {
      const auto v = static_cast<std::size_t>(order[n]);
      for (int a = 0; a < 3; ++a) vertices[3 * v + a] = target[3 * n + a];
      moved[v] = 1;
    }
    for (std::int64_t f : bad) {
      for (int k = 0; k < 3; ++k) tries[static_cast<std::size_t>(faces[3 * f + k])] = 0;
    }

    // Only triangles round a moved vertex can have changed.
    for (std::int64_t v : order) {
      const auto u = static_cast<std::size_t>(v);
      for (std::size_t r = at_vertex.starts[u]; r < at_vertex.starts[u + 1]; ++r) touched.add(at_vertex.items[r]);
    }
    std::sort(touched.list().begin(), touched.list().end());
    bad = test.bad_faces_among(touched.list());
    if (bad.size() < fewest) {
      fewest = bad.size();
      stalled = 0;
    } else {
      ++stalled;
    }
    touched.clear();
    chosen.clear();
  }
  result.moved = static_cast<std::size_t>(std::count(moved.begin(), moved.end(), std::uint8_t{1}));
  result.unresolved = bad.size();
  return result;
}

}  // namespace karvex::validity
