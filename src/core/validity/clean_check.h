#pragma once

// The validity pass's first question about a mesh, in one call: is it one
// sheet everywhere (sheets.h) and, when it is, is any triangle bad (zero
// area, or in a pair meeting improperly: self_intersections.h)? On a clean
// mesh, the common case, that answer is all the pass needs.
//
// Both verdicts start from each vertex's star chained into wedges
// (vertex_stars.h): a broken star says the mesh is not one sheet, a closed one
// may be certified embedded (embedded_stars.h), which lets the pair sweep
// drop the pairs at that vertex. Here each star is listed and chained once
// for both, where the one-sheet test and the self-intersection test each do
// it on their own.

#include <cstdint>
#include <vector>

#include "validity/self_intersections.h"

namespace karvex {
class WorkerPool;
}

namespace karvex::validity {

struct StarVerdicts {
  bool one_sheet = false;  // as is_one_sheet (sheets.h)
  // When one_sheet, or when the broken stars were listed: per vertex, 1
  // where embedded_stars would say 1 (0 at every broken star).
  std::vector<std::uint8_t> embedded;
  // Only when !one_sheet and the broken stars were listed: every vertex
  // whose star is broken (star_shape), increasing.
  std::vector<std::int64_t> broken;
};

// Stops at the first broken star found (the certificates are then of no
// use to the caller), unless `list_broken` asks for every broken star; the
// result does not depend on the number of workers. A mesh beyond the sheet
// split's size is not chained at all (not one sheet, nothing listed).
StarVerdicts star_verdicts(const MeshView& mesh, WorkerPool& pool, bool list_broken = false);

struct CleanCheck {
  bool one_sheet = false;
  // Only when one_sheet: whether any triangle is bad (has_bad_triangles).
  // A mesh with bad triangles goes on to the relaxation, which finds them all
  // itself, so the search stops at the first.
  bool bad = false;
  // Only with `list_bad` and one_sheet: every bad triangle, in increasing
  // order, as all_bad_faces (repair.h) lists them; empty iff !bad.
  std::vector<std::int64_t> bad_faces;
  // Only with `list_bad` and !one_sheet: the vertices of broken stars, as
  // star_verdicts lists them, where the sheet split has its work
  // (sheet_copies_round in sheet_split.h), and the other stars'
  // certificates (StarVerdicts::embedded). The split leaves every star but
  // those of the broken vertices and the triangles it parts as it was, so
  // those certificates, less these, spare the test of the split mesh the
  // chaining of every star again (all_bad_faces in repair.h).
  std::vector<std::int64_t> broken;
  std::vector<std::uint8_t> certified;
};

// With `list_bad` the search does not stop at the first bad triangle but
// lists them all, for a caller that relaxes the folds next: the relaxation
// then starts from that list instead of testing the whole mesh again (and
// chaining every star again for its certificates). On a clean mesh both
// ways cost the same: the search runs to its end either way. On a mesh that
// is not one sheet it lists the broken stars instead (chaining every star
// rather than stopping at the first broken one).
CleanCheck clean_check(const MeshView& mesh, WorkerPool& pool, bool list_bad = false);

}  // namespace karvex::validity
