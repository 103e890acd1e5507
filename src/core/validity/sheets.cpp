// One sheet everywhere: every vertex's star one fan of wedges, each edge at
// it used at most once each way (vertex_stars.h). An edge is in the stars of
// both its ends, so the verdicts of the vertices together decide the mesh.
#include "validity/sheets.h"

#include <atomic>
#include <cstdint>

#include "pool/worker_pool.h"
#include "validity/corner_fans.h"
#include "validity/vertex_stars.h"

namespace karvex::validity {

bool is_one_sheet(const MeshView& mesh, WorkerPool& pool) {
  if (mesh.face_count > kMaxFanFaces) return false;  // beyond the corner numbering: let the caller's split decide
  const VertexFaces rows = vertex_faces(mesh, pool);
  // Any broken star decides; which one is found first does not matter.
  std::atomic<bool> broken{false};
  parallel_for(pool, mesh.vertex_count, [&](std::size_t v) {
    thread_local StarChain chain;
    if (broken.load(std::memory_order_relaxed)) return;
    const std::size_t begin = rows.starts[v];
    if (star_shape(mesh, static_cast<std::int64_t>(v), rows.items.data() + begin, rows.starts[v + 1] - begin,
                   chain) == StarShape::kBroken) {
      broken.store(true, std::memory_order_relaxed);
    }
  });
  return !broken.load();
}

}  // namespace karvex::validity
