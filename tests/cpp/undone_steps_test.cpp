// Undoing the steps that fold a mesh, against rounds of bad_faces_near over
// the whole mesh (the plain form it replaces), on a crumpled sheet relaxed to
// a valid one: the stepped vertices go back to their crumpled places, so many
// steps fold the sheet and some of them only once others are undone.
#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "crumpled_sheet.h"
#include "pool/worker_pool.h"
#include "validity/fold_region.h"
#include "validity/repair.h"
#include "validity/undone_steps.h"

namespace karvex::validity {
namespace {

// The rounds as the package once ran them: bad_faces_near over every
// triangle with a corner still stepped, undoing those corners of the bad
// ones, until a round undoes nothing.
std::vector<std::int64_t> plain_rounds(std::vector<double> positions, const Sheet& sheet, const double* repaired,
                                       std::vector<std::uint8_t> stepped, int& rounds) {
  const MeshView mesh{positions.data(), sheet.v.size() / 3, sheet.f.data(), sheet.f.size() / 3};
  std::vector<std::int64_t> undone;
  for (rounds = 0;; ++rounds) {
    std::vector<std::int64_t> named;
    for (std::size_t f = 0; f < mesh.face_count; ++f) {
      if (stepped[sheet.f[3 * f]] | stepped[sheet.f[3 * f + 1]] | stepped[sheet.f[3 * f + 2]]) {
        named.push_back(static_cast<std::int64_t>(f));
      }
    }
    std::vector<std::int64_t> back;
    for (std::int64_t f : bad_faces_near(mesh, named, global_pool())) {
      for (int k = 0; k < 3; ++k) {
        const std::int64_t v = sheet.f[3 * f + k];
        if (stepped[v]) back.push_back(v);
        stepped[v] = 0;
      }
    }
    if (back.empty()) break;
    for (std::int64_t v : back) std::copy(repaired + 3 * v, repaired + 3 * v + 3, positions.begin() + 3 * v);
    undone.insert(undone.end(), back.begin(), back.end());
  }
  std::sort(undone.begin(), undone.end());
  return undone;
}

TEST(UndoneSteps, UndoesWhatRoundsOverTheWholeMeshUndo) {
  const Sheet sheet = crumpled_sheet(90, 0.4, 5.0, 5.0, 1.0, 5);
  const MeshView crumpled = sheet.view();
  const Relaxed relaxed = relax_folds(crumpled, RelaxOptions{}, global_pool());
  ASSERT_EQ(relaxed.unresolved, 0u);
  // Every vertex the relaxation moved, and every third other one, takes a
  // step of up to half an edge along each axis: many steps fold the sheet,
  // and some only once a neighbour's step is undone.
  std::vector<double> positions = relaxed.vertices;
  std::vector<std::uint8_t> stepped(crumpled.vertex_count, 0);
  std::uint64_t state = 3;
  for (std::size_t v = 0; v < crumpled.vertex_count; ++v) {
    const bool moved =
        !std::equal(sheet.v.begin() + 3 * v, sheet.v.begin() + 3 * v + 3, relaxed.vertices.begin() + 3 * v);
    stepped[v] = moved || v % 3 == 0;
    for (int a = 0; a < 3 && stepped[v]; ++a) {
      state = state * 6364136223846793005ULL + 1442695040888963407ULL;
      positions[3 * v + a] += static_cast<double>(state >> 11) * 0x1p-53 - 0.5;
    }
  }
  int rounds = 0;
  const std::vector<std::int64_t> expected = plain_rounds(positions, sheet, relaxed.vertices.data(), stepped, rounds);
  ASSERT_GT(rounds, 1);
  ASSERT_FALSE(expected.empty());
  const MeshView mesh{positions.data(), crumpled.vertex_count, crumpled.faces, crumpled.face_count};
  // The stepped vertices listed, with their places before the steps.
  std::vector<std::int64_t> rows;
  std::vector<double> places;
  for (std::size_t v = 0; v < crumpled.vertex_count; ++v) {
    if (!stepped[v]) continue;
    rows.push_back(static_cast<std::int64_t>(v));
    places.insert(places.end(), relaxed.vertices.begin() + 3 * v, relaxed.vertices.begin() + 3 * v + 3);
  }
  WorkerPool one(1), four(4);
  EXPECT_EQ(undone_steps(mesh, rows, places.data(), one), expected);
  EXPECT_EQ(undone_steps(mesh, rows, places.data(), four), expected);

  // With those steps undone the sheet is valid again.
  for (std::int64_t v : expected) {
    std::copy(relaxed.vertices.begin() + 3 * v, relaxed.vertices.begin() + 3 * v + 3, positions.begin() + 3 * v);
  }
  const SelfIntersections found = find_self_intersections(mesh, nullptr, global_pool());
  EXPECT_TRUE(found.pairs.empty());
  EXPECT_EQ(std::count(found.zero_area.begin(), found.zero_area.end(), 1), 0);
}

}  // namespace
}  // namespace karvex::validity
