// Undoing the steps onto the surface that fold the mesh (see
// undone_steps.h).
#include "validity/undone_steps.h"

#include <algorithm>
#include <cstddef>

#include "pool/worker_pool.h"
#include "validity/fold_region.h"
#include "validity/local_test.h"

namespace karvex::validity {

std::vector<std::int64_t> undone_steps(const MeshView& mesh, std::span<const std::int64_t> stepped,
                                       const double* repaired, WorkerPool& pool) {
  if (stepped.empty()) return {};
  std::vector<std::uint8_t> flags(mesh.vertex_count, 0);
  for (std::int64_t v : stepped) flags[static_cast<std::size_t>(v)] = 1;
  // Where a stepped vertex was before its step.
  auto place = [&](std::int64_t v) {
    const auto row = std::lower_bound(stepped.begin(), stepped.end(), v) - stepped.begin();
    return repaired + 3 * row;
  };
  auto has_step = [&](std::size_t f) {
    const std::int64_t* corners = mesh.faces + 3 * f;
    return (flags[corners[0]] | flags[corners[1]] | flags[corners[2]]) != 0;
  };
  const std::vector<std::int64_t> named = parallel_concat<std::int64_t>(
      pool, mesh.face_count,
      [&](std::size_t f, std::vector<std::int64_t>& out) {
        if (has_step(f)) out.push_back(static_cast<std::int64_t>(f));
      },
      4096);
  if (named.empty()) return {};

  // Whatever corners are undone, a stepped triangle's box stays within the
  // box of its corners at both places.
  FoldRegion region(mesh, pool);
  std::vector<Span> spans;
  spans.reserve(named.size());
  for (std::int64_t f : named) {
    Span s = region.mesh_face_span(f);
    for (int k = 0; k < 3; ++k) {
      const std::int64_t v = mesh.faces[3 * f + k];
      if (!flags[v]) continue;
      const double* p = place(v);
      for (int a = 0; a < 3; ++a) {
        s.lo[a] = std::min(s.lo[a], p[a]);
        s.hi[a] = std::max(s.hi[a], p[a]);
      }
    }
    spans.push_back(s);
  }
  // Any triangle a stepped one may meet touches a cell of its box: no margin.
  region.grow(spans, false);  // one growth: local numbers follow the mesh's

  const MeshView& local = region.view();
  double* const positions = region.positions();
  std::vector<std::uint8_t> still(region.vertex_count());
  for (std::size_t v = 0; v < still.size(); ++v) still[v] = flags[region.mesh_vertex(static_cast<std::int64_t>(v))];
  // One test for every round. The first names the triangles with a stepped
  // corner; each later one only those with a corner undone by the round
  // before, the triangles that moved since (so the test's boxes are where
  // the triangles are). That finds the same corners to undo as naming every
  // triangle with a corner still stepped: a pair of unmoved triangles was
  // tested as it is by an earlier round, and had it been bad, its stepped
  // corners would be undone already. Pairs with no stepped corner undo
  // nothing.
  LocalTest test(local, pool);
  std::vector<std::uint8_t> undone_now(region.vertex_count(), 0);  // by the round before
  std::vector<std::int64_t> last, undone;
  for (bool first = true;; first = false) {
    const std::vector<std::uint8_t>& moved = first ? still : undone_now;
    std::vector<std::int64_t> round_faces;
    for (std::size_t f = 0; f < local.face_count; ++f) {
      const std::int64_t* corners = local.faces + 3 * f;
      if ((moved[corners[0]] | moved[corners[1]] | moved[corners[2]]) != 0) {
        round_faces.push_back(static_cast<std::int64_t>(f));
      }
    }
    for (std::int64_t v : last) undone_now[static_cast<std::size_t>(v)] = 0;
    last.clear();
    const std::vector<std::int64_t> bad = test.bad_faces_among(round_faces);
    for (std::int64_t f : bad) {
      for (int k = 0; k < 3; ++k) {
        const std::int64_t v = local.faces[3 * f + k];
        if (still[v]) {
          still[v] = 0;
          last.push_back(v);
        }
      }
    }
    if (last.empty()) break;
    for (std::int64_t v : last) {
      const std::int64_t g = region.mesh_vertex(v);
      const double* p = place(g);
      std::copy(p, p + 3, positions + 3 * v);
      undone_now[static_cast<std::size_t>(v)] = 1;
      undone.push_back(g);
    }
  }
  std::sort(undone.begin(), undone.end());
  return undone;
}

}  // namespace karvex::validity
