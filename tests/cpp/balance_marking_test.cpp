// The marking of balancing passes against the rules written out plainly:
// every leaf examined, every neighbour found by a walk from the root, every
// corner value read from the cache. Marking takes shortcuts (neighbours
// shared by the leaves of one parent are looked at once, signs come from the
// leaf's mask); on random trees it must mark the same cells in the same
// order.

#include <array>
#include <cstdint>
#include <functional>
#include <random>
#include <set>
#include <string>
#include <tuple>
#include <vector>

#include <gtest/gtest.h>

#include "balance/balance_marking.h"
#include "balance/balance_primitives.h"
#include "fields.h"
#include "hand_tree.h"
#include "support/bbox.h"

namespace karvex {
namespace {

using testing::FunctionField;
using testing::HandTree;

// Marks in first-marking order, with the target of edge marks.
struct Marked {
  std::vector<CellAddress> cells;
  std::vector<std::uint8_t> targets;
  std::set<std::tuple<std::uint32_t, std::uint32_t, std::uint32_t, std::uint8_t>> seen;

  void mark(const CellAddress& c, std::uint8_t target = 0) {
    if (!seen.insert({c.x, c.y, c.z, c.d}).second) return;
    cells.push_back(c);
    targets.push_back(target);
  }
};

bool is_leaf_at(const Octree& tree, const CellAddress& c) {
  const DescentResult r = descend_to(tree, c);
  return r.level == c.d && !r.node.is_internal();
}

std::vector<CellAddress> examined(const Octree& tree, const LeafSelection& leaves) {
  return leaves.all ? list_leaves(tree) : leaves.cells;
}

Marked reference_face_marks(const Octree& tree, const LeafSelection& leaves) {
  Marked out;
  for (const CellAddress& l : examined(tree, leaves)) {
    if (l.d == 0 || !is_leaf_at(tree, l)) continue;
    const bool surface = tree.is_surface_leaf(descend_to(tree, l).node);
    const std::uint32_t n = pow2(l.d);
    for (unsigned dir = 0; dir < 6; ++dir) {
      std::array<std::uint32_t, 3> c = {l.x, l.y, l.z};
      std::uint32_t& v = c[dir / 2];
      if (dir % 2 == 0 ? v == 0 : v + 1 >= n) continue;
      v = dir % 2 == 0 ? v - 1 : v + 1;
      const CellAddress nb{c[0], c[1], c[2], l.d};
      const DescentResult r = descend_to(tree, nb);
      if (r.level < l.d) {
        const unsigned s = l.d - r.level;
        const CellAddress m{nb.x >> s, nb.y >> s, nb.z >> s, r.level};
        if (r.level + 1 < l.d || (surface && !tree.is_surface_leaf(r.node))) out.mark(m);
      } else if (r.node.is_internal() && surface && l.d < tree.max_depth) {
        for (const OctreeNode& child : tree.block(r.node.index)) {
          if (subtree_has_surface(tree, child)) {
            out.mark(l);
            break;
          }
        }
      }
    }
  }
  return out;
}

Marked reference_edge_marks(const Octree& tree, const CornerCache& cache,
                            const LeafSelection& leaves) {
  Marked out;
  for (const CellAddress& l : examined(tree, leaves)) {
    if (!is_leaf_at(tree, l) || !tree.is_surface_leaf(descend_to(tree, l).node)) continue;
    std::array<bool, 8> below;
    for (unsigned i = 0; i < 8; ++i) {
      const auto it = cache.find(cell_corner(l, i, tree.max_depth));
      below[i] = (it == cache.end() ? 0.0 : it->second.value) < tree.iso_value;
    }
    const std::uint32_t n = pow2(l.d);
    for (unsigned e = 0; e < 12; ++e) {
      if (below[CUBE_EDGES[e].u] == below[CUBE_EDGES[e].v]) continue;
      const unsigned axis = e / 4, k = e % 4, u = axis == 0 ? 1 : 0, v = axis == 2 ? 1 : 2;
      for (unsigned around = 0; around < 4; ++around) {
        std::array<std::uint32_t, 3> c = {l.x, l.y, l.z};
        c[u] += (k & 1u) - (around >> 1);
        c[v] += (k >> 1) - (around & 1u);
        const CellAddress cand{c[0], c[1], c[2], l.d};
        if (c[u] >= n || c[v] >= n || cand == l) continue;
        const DescentResult r = descend_to(tree, cand);
        if (r.level >= l.d) continue;
        const unsigned s = l.d - r.level;
        out.mark({cand.x >> s, cand.y >> s, cand.z >> s, r.level}, l.d);
      }
    }
  }
  return out;
}

struct Shape {
  const char* name;
  std::function<FunctionField()> make;
};
void PrintTo(const Shape& s, std::ostream* os) { *os << s.name; }

// Trees split at random, so that leaves of many depths meet, with the
// corners each split needs sampled from the shape.
class RandomTrees : public ::testing::TestWithParam<Shape> {
 protected:
  std::vector<HandTree> trees() {
    std::vector<HandTree> out;
    for (unsigned seed = 0; seed < 6; ++seed) {
      FunctionField field = GetParam().make();
      HandTree& t = out.emplace_back(field, 6);
      std::mt19937 rng(seed);
      for (int i = 0; i < 50; ++i) {
        std::vector<CellAddress> leaves = list_leaves(t.tree);
        // Favour surface leaves, as construction does.
        std::vector<CellAddress> candidates;
        for (const CellAddress& c : leaves) {
          if (c.d < 6 && (i % 2 == 0 || t.tree.is_surface_leaf(descend_to(t.tree, c).node))) {
            candidates.push_back(c);
          }
        }
        if (candidates.empty()) break;
        t.split(field, candidates[rng() % candidates.size()]);
      }
    }
    return out;
  }

  // Every leaf, and a subset in depth-first order.
  static std::vector<LeafSelection> selections(const Octree& tree) {
    LeafSelection some{false, {}};
    const std::vector<CellAddress> leaves = list_leaves(tree);
    for (std::size_t i = 0; i < leaves.size(); i += 3) some.cells.push_back(leaves[i]);
    return {LeafSelection{}, some};
  }
};

TEST_P(RandomTrees, FaceMarksFollowTheRules) {
  for (const HandTree& t : trees()) {
    for (const LeafSelection& s : selections(t.tree)) {
      EXPECT_EQ(mark_face_imbalance(t.tree, s).list(), reference_face_marks(t.tree, s).cells);
    }
  }
}

TEST_P(RandomTrees, EdgeMarksAndTargetsFollowTheRules) {
  std::size_t marked = 0;
  for (const HandTree& t : trees()) {
    for (const LeafSelection& s : selections(t.tree)) {
      const EdgeMarks got = mark_open_edges(t.tree, t.cache, s);
      const Marked expected = reference_edge_marks(t.tree, t.cache, s);
      EXPECT_EQ(got.marks.list(), expected.cells);
      EXPECT_EQ(got.targets, expected.targets);
      marked += expected.cells.size();
    }
  }
  EXPECT_GT(marked, 0u);  // the trees do have open edges
}

INSTANTIATE_TEST_SUITE_P(
    Shapes, RandomTrees,
    ::testing::Values(Shape{"Sphere", [] { return testing::sphere({0.45, 0.55, 0.5}, 0.3); }},
                      Shape{"TwoSpheres",
                            [] {
                              return testing::two_spheres({0.35, 0.45, 0.5}, 0.26,
                                                          {0.68, 0.57, 0.43}, 0.21);
                            }},
                      Shape{"Plane", [] { return testing::plane({0.3, 1.0, -0.4}, 0.35); }}),
    [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace karvex
