// One chaining per star for the one-sheet verdict and the certificates, then
// the pair sweep with those certificates (see clean_check.h).
#include "validity/clean_check.h"

#include <atomic>
#include <cstddef>
#include <utility>

#include "pool/worker_pool.h"
#include "validity/corner_fans.h"
#include "validity/embedded_stars.h"
#include "validity/hand_back.h"
#include "validity/vertex_stars.h"

namespace karvex::validity {

StarVerdicts star_verdicts(const MeshView& mesh, WorkerPool& pool, bool list_broken) {
  StarVerdicts result;
  // Beyond the corner numbering the package's sheet split cannot run either:
  // the caller's other path decides (as is_one_sheet does).
  if (mesh.face_count > kMaxFanFaces) return result;
  const VertexFaces rows = vertex_faces(mesh, pool);
  // Per vertex: 1 where its star is embedded, and while the broken ones are
  // listed, kBrokenStar where it is broken.
  constexpr std::uint8_t kBrokenStar = 2;
  result.embedded.assign(mesh.vertex_count, 0);
  // Any broken star decides; which one is found first does not matter.
  std::atomic<bool> broken{false};
  pool.run(mesh.vertex_count, kDefaultMinChunk, [&](LoopRange& range) {
    StarChain chain;  // one per range: no lookup of thread-local storage per vertex
    for (std::size_t v = range.begin(); range.keep_going(v); ++v) {
      if (!list_broken && broken.load(std::memory_order_relaxed)) break;
      const std::size_t begin = rows.starts[v];
      const std::size_t count = rows.starts[v + 1] - begin;
      const auto vertex = static_cast<std::int64_t>(v);
      const StarShape shape = star_shape(mesh, vertex, rows.items.data() + begin, count, chain);
      // Each flag is written by the one index that owns it.
      if (shape == StarShape::kBroken) {
        broken.store(true, std::memory_order_relaxed);
        if (!list_broken) break;
        result.embedded[v] = kBrokenStar;
        continue;
      }
      result.embedded[v] = static_cast<std::uint8_t>(shape == StarShape::kClosed &&
                                                     closed_star_is_embedded(mesh, vertex, count, chain));
    }
  });
  if (broken.load()) {
    if (!list_broken) {
      result.embedded = {};
      return result;
    }
    for (std::size_t v = 0; v < mesh.vertex_count; ++v) {
      if (result.embedded[v] != kBrokenStar) continue;
      result.broken.push_back(static_cast<std::int64_t>(v));
      result.embedded[v] = 0;
    }
    return result;
  }
  result.one_sheet = true;
  return result;
}

namespace {

CleanCheck check_tables(const MeshView& mesh, WorkerPool& pool, bool list_bad) {
  CleanCheck result;
  // A caller listing the bad triangles repairs the mesh next: if it is not
  // one sheet, the split is looked for round the broken stars alone.
  StarVerdicts stars = star_verdicts(mesh, pool, list_bad);
  hand_back_freed(mesh.face_count);  // the stars' rows by vertex, before the sweep's slices
  result.one_sheet = stars.one_sheet;
  if (!result.one_sheet) {
    result.broken = std::move(stars.broken);
    result.certified = std::move(stars.embedded);
    return result;
  }
  if (!list_bad) {
    result.bad = has_bad_triangles(mesh, pool, &stars.embedded);
    return result;
  }
  // The certificates only spare pair tests whose answer is "apart", so the
  // list is the one the test without them finds.
  result.bad_faces = bad_faces_of(find_self_intersections(mesh, nullptr, pool, &stars.embedded));
  result.bad = !result.bad_faces.empty();
  return result;
}

}  // namespace

CleanCheck clean_check(const MeshView& mesh, WorkerPool& pool, bool list_bad) {
  CleanCheck result = check_tables(mesh, pool, list_bad);
  hand_back_freed(mesh.face_count);  // the tables are gone; the relaxation follows
  return result;
}

}  // namespace karvex::validity
