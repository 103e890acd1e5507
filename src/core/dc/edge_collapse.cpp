#include "dc/edge_collapse.h"

#include <algorithm>
#include <cmath>
#include <iterator>
#include <span>

#include "dc/collapse_folds.h"
#include "dc/collapse_placement.h"
#include "dc/collapse_queue.h"
#include "dc/fan_distance.h"
#include "dc/merge_topology.h"
#include "dc/triangle_level_bound.h"
#include "field/fd_gradients.h"
#include "pool/run_monitor.h"
#include "validity/self_intersections.h"
#include "support/panic.h"
#include "support/small_list.h"
#include "support/vec3_ops.h"

namespace karvex {

namespace {

using vec3_ops::cross;
using vec3_ops::dot;
using vec3_ops::sub;

Vec3 midpoint(const Vec3& a, const Vec3& b) {
  return {0.5 * (a.x + b.x), 0.5 * (a.y + b.y), 0.5 * (a.z + b.z)};
}

// The symmetric 4x4 matrix of a sum of squared distances to planes
// (Garland and Heckbert 1997), upper triangle row by row.
struct Quadric {
  std::array<double, 10> q{};

  void add_plane(const Vec3& n, double d, double weight) {
    const double p[4] = {n.x, n.y, n.z, d};
    std::size_t k = 0;
    for (int i = 0; i < 4; ++i) {
      for (int j = i; j < 4; ++j) q[k++] += weight * p[i] * p[j];
    }
  }
  void add(const Quadric& other) {
    for (std::size_t k = 0; k < q.size(); ++k) q[k] += other.q[k];
  }
  double at(const Vec3& v) const {
    const double p[4] = {v.x, v.y, v.z, 1.0};
    double sum = 0.0;
    std::size_t k = 0;
    for (int i = 0; i < 4; ++i) {
      for (int j = i; j < 4; ++j) sum += (i == j ? 1.0 : 2.0) * q[k++] * p[i] * p[j];
    }
    return sum;
  }
};

constexpr std::uint64_t kNoOrigin = ~std::uint64_t{0};

// Collapses sampled together in one field call, at most; and candidates put
// off in one batch (their neighbourhoods wait for its collapses), at most.
constexpr std::size_t kBatch = 1024;
constexpr std::size_t kPutOff = 4 * kBatch;

constexpr std::size_t kNotSampled = ~std::size_t{0};

// Where a changed triangle's samples are in a batch: per edge (k, k + 1)
// the first of its three (midpoint, then the quarter nearer the first end
// it was sampled from), or of its one (the midpoint) when not `quartered`,
// or kNotSampled for an edge that passed before and keeps its levels;
// `reversed` when it was sampled from k + 1 to k; its centroid's sample, or
// kNotSampled when no edge is `quartered`.
struct TriangleSamples {
  std::size_t face = 0;
  std::array<std::size_t, 3> edge{};
  std::array<bool, 3> reversed{};
  std::array<bool, 3> quartered{};
  std::size_t centre = 0;
};

// The levels along an edge (midpoint, quarter nearer `a`, the other
// quarter) from its ends' levels `a`, `b` and its midpoint's `m` alone: the
// quadratic through them, a (1 - s)(1 - 2s) + 4 m s (1 - s) + b s (2s - 1),
// at s = 1/4 and 3/4.
std::array<double, 3> quadratic_edge_levels(double a, double m, double b) {
  return {m, (0.375 * a + 0.75 * m) - 0.125 * b, (0.375 * b + 0.75 * m) - 0.125 * a};
}

// The level at a triangle's centroid of the quadratic through its corners'
// and its edges' midpoints' levels.
double quadratic_centre_level(const TriangleLevels& in) {
  const double corners = (in.corner[0] + in.corner[1]) + in.corner[2];
  const double middles = (in.edge[0][0] + in.edge[1][0]) + in.edge[2][0];
  return (4.0 * middles - corners) / 9.0;
}

// One collapse of `a` onto `b` waiting for the field.
struct Tentative {
  std::uint64_t a = 0;
  std::uint64_t b = 0;
  std::size_t first_sample = 0;
  std::size_t sample_count = 0;
  // Where `b` stands after the collapse, along its normal from its point on
  // the surface, and whether that differs from where it stands now.
  double offset = 0.0;
  Vec3 placed;
  bool moves = false;
  // Per point `a`'s fan keeps (a itself and the samples of its triangles),
  // the triangle that keeps it after the collapse: the batch's keepers
  // [first_keeper, first_keeper + keeper_count).
  std::size_t first_keeper = 0;
  std::size_t keeper_count = 0;
  // The sample of `b` where it is placed, when it moves.
  std::size_t placed_sample = kNotSampled;
  // Per changed triangle, where its samples are, for the bound over it: the
  // batch's triangles [first_triangle, first_triangle + triangle_count).
  std::size_t first_triangle = 0;
  std::size_t triangle_count = 0;
};

class Collapser {
 public:
  // `positions` starts as `surface` (the vertices projection put on the
  // surface) and takes the places the collapses give the vertices they keep.
  Collapser(const std::vector<Vec3>& surface, const std::vector<Vec3>& normals,
            const std::vector<double>& levels, std::vector<Vec3>& positions,
            std::vector<Triangle>& triangles, double tolerance, std::vector<std::uint8_t> on_faces,
            const std::vector<std::uint8_t>& frozen, double midpoint_only)
      : surface_(surface),
        normal_(normals),
        pos_(positions),
        level_(levels),
        offset_(positions.size(), 0.0),
        off_(positions.size(), 0),
        tris_(triangles),
        tolerance_(tolerance),
        midpoint_only_squared_(midpoint_only * midpoint_only),
        dead_(triangles.size(), 0),
        around_(positions.size()),
        quadric_(positions.size()),
        kept_(triangles.size()),
        version_(positions.size(), 0),
        recosted_(positions.size(), 0),
        tested_(positions.size()),
        fan_known_(positions.size(), kFanUnknown),
        fan_neighbours_(positions.size()),
        on_faces_(std::move(on_faces)),
        frozen_(frozen),
        origin_(triangles.size(), kNoOrigin),
        locked_(positions.size(), 0),
        changed_(positions.size(), 0),
        listed_(positions.size(), 0),
        passed_edges_(triangles.size(), 0),
        edge_levels_(triangles.size()),
        refusing_(positions.size(), 0),
        refused_point_(positions.size()),
        guard_(pos_, tris_, dead_) {
    for (std::size_t f = 0; f < tris_.size(); ++f) {
      const Triangle& t = tris_[f];
      const Vec3 n = cross(sub(pos_[t[1]], pos_[t[0]]), sub(pos_[t[2]], pos_[t[0]]));
      const double twice_area = std::sqrt(dot(n, n));
      for (const std::uint64_t v : t) around_[v].push_back(f);
      // The unsimplified mesh between the vertices: each triangle keeps its
      // centroid and the midpoints of the edges it runs upwards (each edge
      // once on a closed mesh).
      const Vec3& p0 = pos_[t[0]];
      const Vec3& p1 = pos_[t[1]];
      const Vec3& p2 = pos_[t[2]];
      kept_[f].push_back({(p0.x + p1.x + p2.x) / 3.0, (p0.y + p1.y + p2.y) / 3.0,
                          (p0.z + p1.z + p2.z) / 3.0});
      for (int e = 0; e < 3; ++e) {
        if (t[e] < t[(e + 1) % 3]) kept_[f].push_back(midpoint(pos_[t[e]], pos_[t[(e + 1) % 3]]));
      }
      if (!(twice_area > 0.0) || !std::isfinite(twice_area)) continue;
      const Vec3 unit{n.x / twice_area, n.y / twice_area, n.z / twice_area};
      for (const std::uint64_t v : t) {
        quadric_[v].add_plane(unit, -dot(unit, pos_[t[0]]), 0.5 * twice_area);
      }
    }
  }

  // Whether the collapse `t`, checked by feasible(), would make a triangle
  // that passes through another or has no area (FoldGuard). Asked after
  // the field's check, of the mesh as the batch's earlier collapses left it.
  bool folds(const Tentative& t) {
    const std::uint64_t a = t.a;
    const std::uint64_t b = t.b;
    changed_faces_.clear();
    gone_faces_.clear();
    auto changed = [&](std::size_t f, std::uint64_t from) {
      ChangedTriangle c{f, tris_[f], {}};
      for (int k = 0; k < 3; ++k) {
        if (c.vertices[k] == from) c.vertices[k] = b;
        c.corners[k] = c.vertices[k] == b ? t.placed : pos_[c.vertices[k]];
      }
      changed_faces_.push_back(c);
    };
    for (const std::size_t f : around_[a]) {
      if (has(tris_[f], b)) {
        gone_faces_.push_back(f);
      } else {
        changed(f, a);
      }
    }
    if (t.moves) {
      for (const std::size_t f : around_[b]) {
        if (!has(tris_[f], a)) changed(f, b);
      }
    }
    return guard_.folds(changed_faces_, gone_faces_);
  }

  // Every edge of the mesh into the queue, both ways.
  void seed() {
    seeding_ = true;
    for (std::uint64_t v = 0; v < pos_.size(); ++v) {
      for (const std::uint64_t w : neighbours(v)) {
        if (w > v) push_both(v, w);
      }
    }
    seeding_ = false;
    queue_.seal();
  }

  // The next collapses to sample, in the queue's order: each passed every
  // check but the field's, with its samples appended to `samples`, and no
  // two of them touch the same triangles, so that none decides another's
  // checks (one that would is put off to the next batch). A candidate refused
  // here is dropped: it comes back with a new entry once either end's fan
  // changes. Empty when the queue is.
  std::vector<Tentative> next_batch(std::vector<Vec3>& samples) {
    std::vector<Tentative> out;
    std::vector<CollapseCandidate> put_off;
    batch_keepers_.clear();
    batch_triangles_.clear();
    Tentative t;
    while (!queue_.empty() && out.size() < kBatch && put_off.size() < kPutOff) {
      const CollapseCandidate c = queue_.pop();
      if (!current(c)) continue;
      if (ring_locked(c.a) || ring_locked(c.b)) {
        // Its checks wait for a collapse of this batch.
        put_off.push_back(c);
        continue;
      }
      t.a = c.a;
      t.b = c.b;
      // Tried now: the edge has no entry left until recost() gives it one.
      tested_[c.a].push_back(c.b);
      t.first_sample = samples.size();
      t.first_keeper = batch_keepers_.size();
      t.first_triangle = batch_triangles_.size();
      t.placed_sample = kNotSampled;
      if (!feasible(t, samples)) {
        samples.resize(t.first_sample);
        batch_keepers_.resize(t.first_keeper);
        batch_triangles_.resize(t.first_triangle);
        continue;
      }
      t.sample_count = samples.size() - t.first_sample;
      t.keeper_count = batch_keepers_.size() - t.first_keeper;
      t.triangle_count = batch_triangles_.size() - t.first_triangle;
      lock_ring(c.a);
      lock_ring(c.b);
      out.push_back(t);
    }
    queue_.give_back(put_off);
    for (const std::uint64_t v : touched_) locked_[v] = 0;
    touched_.clear();
    return out;
  }

  // Every edge of a vertex whose fan the applied collapses changed gets an
  // entry again, both ways: a refused collapse there may pass now. A new
  // entry is pushed where the edge's cost changed (an end is a collapse's
  // `b`, whose quadric and place change) or its last entry was tried;
  // otherwise the entry it has stays, at the same place in the order as a
  // new one would take. Then the stale entries are dropped once they
  // outnumber the live ones.
  void recost() {
    for (const std::uint64_t v : changed_list_) {
      for (const std::uint64_t w : neighbours(v)) {
        if (changed_[w] && w < v) continue;  // done from w
        const bool costs = recosted_[v] || recosted_[w];
        // Both taken out of the lists whatever `costs` says.
        const bool forward = take_tested(v, w) || costs;
        const bool backward = take_tested(w, v) || costs;
        if (forward || backward) push_edge(v, w, forward, backward);
      }
    }
    for (const std::uint64_t v : changed_list_) {
      changed_[v] = 0;
      recosted_[v] = 0;
      // Left over: the edges v lost.
      tested_[v].clear();
    }
    changed_list_.clear();
    const std::size_t live_edges = 3 * (tris_.size() - dead_count_);
    queue_.compact(2 * live_edges + kPutOff,
                   [&](const CollapseCandidate& c) { return current(c); });
  }

  void apply(const Tentative& t, const std::vector<double>& levels) {
    const std::uint64_t a = t.a;
    const std::uint64_t b = t.b;
    // The levels of the edges sampled, kept with the triangles' own order
    // of corners (a collapse renames a corner in place) for when they pass
    // unsampled; b's where it stands.
    for (const TriangleSamples& c : triangles_of(t)) {
      const std::array<double, 3> corners = corner_levels(t, c.face, levels);
      for (int k = 0; k < 3; ++k) {
        if (c.edge[k] == kNotSampled) continue;
        edge_levels_[c.face][k] = sampled_edge_levels(c, k, corners, levels);
      }
    }
    if (t.moves) level_[b] = levels[t.placed_sample];
    if (t.moves) {
      // b's own triangles move with it: their samples were handed on with
      // a's (in `keepers`), and the fold check traces them to this collapse.
      for (const std::size_t f : around_[b]) {
        if (has(tris_[f], a)) continue;
        passed_edges_[f] = 7;  // sampled with the collapse, all three edges
        kept_[f].clear();
        for (const std::uint64_t v : tris_[f]) mark_changed(v);
        origin_[f] = a;
      }
      pos_[b] = t.placed;
      offset_[b] = t.offset;
      off_[b] = 1;
    }
    // A copy: a's list is emptied before its triangles are filed again.
    std::vector<std::size_t>& fan = applied_fan_;
    fan.assign(around_[a].begin(), around_[a].end());
    for (const std::size_t f : fan) {
      kept_[f].clear();
      for (const std::uint64_t v : tris_[f]) mark_changed(v);
      if (has(tris_[f], b)) {
        dead_[f] = 1;
        ++dead_count_;
        for (const std::uint64_t v : tris_[f]) {
          if (v == a) continue;
          auto& list = around_[v];
          list.erase(std::find(list.begin(), list.end(), f));
        }
      } else {
        for (std::uint64_t& v : tris_[f]) {
          if (v == a) v = b;
        }
        passed_edges_[f] = 7;
        around_[b].push_back(f);
        origin_[f] = a;
      }
    }
    around_[a].clear();
    // a's surviving triangles are now b's: when b moves they are filed
    // again with the rest of b's, once.
    for (const std::size_t f : fan) {
      if (dead_[f]) {
        guard_.drop(f);
      } else if (!t.moves) {
        guard_.refile(f);
      }
    }
    if (t.moves) {
      for (const std::size_t f : around_[b]) guard_.refile(f);
    }
    quadric_[b].add(quadric_[a]);
    // The costs at b changed: its entries go stale and every edge at it is
    // costed again; a's go with it.
    ++version_[a];
    ++version_[b];
    recosted_[b] = 1;
    for (const auto& [point, face] : keepers_of(t)) kept_[face].push_back(point);
  }

  // The bound over each triangle `t` changes (triangle_level_bound), from
  // the batch's signed levels: within the tolerance.
  bool triangles_within(const Tentative& t, const std::vector<double>& levels) const {
    for (const TriangleSamples& c : triangles_of(t)) {
      TriangleLevels in;
      in.corner = corner_levels(t, c.face, levels);
      for (int k = 0; k < 3; ++k) {
        in.edge[k] = c.edge[k] == kNotSampled ? edge_levels_[c.face][k]
                                              : sampled_edge_levels(c, k, in.corner, levels);
      }
      in.centre = c.centre == kNotSampled ? quadratic_centre_level(in) : levels[c.centre];
      if (!(triangle_level_bound(in) <= tolerance_)) return false;
    }
    return true;
  }

  std::uint64_t removed_faces() const { return dead_count_; }
  // Entries in the queue, stale ones included.
  std::uint64_t queued() const { return queue_.size(); }
  const std::vector<std::uint8_t>& dead() const { return dead_; }
  // Per triangle, the vertex whose collapse changed it last, or kNoOrigin.
  const std::vector<std::uint64_t>& origin() const { return origin_; }

 private:
  std::span<const TriangleSamples> triangles_of(const Tentative& t) const {
    return {batch_triangles_.data() + t.first_triangle, t.triangle_count};
  }
  std::span<const std::pair<Vec3, std::size_t>> keepers_of(const Tentative& t) const {
    return {batch_keepers_.data() + t.first_keeper, t.keeper_count};
  }

  // The levels of the corners of changed triangle `face` after collapse
  // `t` (before apply() renames its corner a to b), from the batch's
  // signed levels where b moves.
  std::array<double, 3> corner_levels(const Tentative& t, std::size_t face,
                                      const std::vector<double>& levels) const {
    std::array<double, 3> out;
    const Triangle& tri = tris_[face];
    for (int k = 0; k < 3; ++k) {
      const std::uint64_t v = tri[k] == t.a ? t.b : tri[k];
      out[k] = v == t.b && t.moves ? levels[t.placed_sample] : level_[v];
    }
    return out;
  }

  // The levels along edge k of a changed triangle sampled in the batch, in
  // the triangle's order of corners (`corners` their levels).
  static std::array<double, 3> sampled_edge_levels(const TriangleSamples& c, int k,
                                                   const std::array<double, 3>& corners,
                                                   const std::vector<double>& levels) {
    const std::size_t at = c.edge[k];
    if (!c.quartered[k]) return quadratic_edge_levels(corners[k], levels[at], corners[(k + 1) % 3]);
    std::array<double, 3> e{levels[at], levels[at + 1], levels[at + 2]};
    if (c.reversed[k]) std::swap(e[1], e[2]);
    return e;
  }

  static bool has(const Triangle& t, std::uint64_t v) { return t[0] == v || t[1] == v || t[2] == v; }
  // v's fan changed (its triangles or where they stand): its edges get
  // entries again after the batch.
  void mark_changed(std::uint64_t v) {
    fan_known_[v] = kFanUnknown;
    if (!changed_[v]) {
      changed_[v] = 1;
      changed_list_.push_back(v);
    }
  }
  // True while neither end's cost has changed since `c` was costed.
  bool current(const CollapseCandidate& c) const {
    return version_[c.a] == c.version_a && version_[c.b] == c.version_b;
  }
  // Whether (a, b) was tried since its last entry was pushed; forgets it.
  bool take_tested(std::uint64_t a, std::uint64_t b) {
    std::vector<std::uint32_t>& list = tested_[a];
    const auto at = std::find(list.begin(), list.end(), static_cast<std::uint32_t>(b));
    if (at == list.end()) return false;
    *at = list.back();
    list.pop_back();
    return true;
  }

  // Both collapses of the edge (u, v), costed by the sum of their quadrics
  // at the vertex kept; none moving a vertex that never moves.
  void push_both(std::uint64_t u, std::uint64_t v) { push_edge(u, v, true, true); }
  // The same, `forward` (u onto v) and `backward` (v onto u) as asked.
  void push_edge(std::uint64_t u, std::uint64_t v, bool forward, bool backward) {
    Quadric sum = quadric_[u];
    sum.add(quadric_[v]);
    if (forward) push_one(u, v, sum.at(pos_[v]));
    if (backward) push_one(v, u, sum.at(pos_[u]));
  }
  void push_one(std::uint64_t a, std::uint64_t b, double cost) {
    if (frozen_[a] || (!on_faces_.empty() && on_faces_[a] != 0)) return;
    const CollapseCandidate c{cost, static_cast<std::uint32_t>(a), static_cast<std::uint32_t>(b),
                              version_[a], version_[b]};
    if (seeding_) {
      queue_.seed(c);
    } else {
      queue_.push(c);
    }
  }

  // The vertices sharing a live triangle with `v`, ascending, each once.
  // Each is listed once as it is met (a neighbour on a closed fan is met
  // twice), so that the sort has half as many to order.
  const std::vector<std::uint64_t>& neighbours(std::uint64_t v) {
    scratch_.clear();
    for (const std::size_t f : around_[v]) {
      for (const std::uint64_t w : tris_[f]) {
        if (w != v && !listed_[w]) {
          listed_[w] = 1;
          scratch_.push_back(w);
        }
      }
    }
    for (const std::uint64_t w : scratch_) listed_[w] = 0;
    std::sort(scratch_.begin(), scratch_.end());
    return scratch_;
  }

  bool ring_locked(std::uint64_t v) const {
    for (const std::size_t f : around_[v]) {
      for (const std::uint64_t w : tris_[f]) {
        if (locked_[w]) return true;
      }
    }
    return false;
  }
  void lock_ring(std::uint64_t v) {
    for (const std::size_t f : around_[v]) {
      for (const std::uint64_t w : tris_[f]) {
        if (!locked_[w]) {
          locked_[w] = 1;
          touched_.push_back(w);
        }
      }
    }
  }

  // The vertex after `v` in triangle f's winding.
  std::uint64_t next_in(std::size_t f, std::uint64_t v) const {
    const Triangle& t = tris_[f];
    return t[0] == v ? t[1] : (t[1] == v ? t[2] : t[0]);
  }

  // one_fan(v)'s neighbours, or null when v is not one fan; found once
  // until v's fan changes (mark_changed forgets it): a vertex is asked
  // about for each of its edges, both ways.
  const std::vector<std::uint64_t>* fan_of(std::uint64_t v) {
    if (fan_known_[v] == kFanUnknown) {
      std::vector<std::uint64_t>& neighbours = fan_neighbours_[v];
      neighbours.clear();
      fan_known_[v] = one_fan(v, neighbours) ? kOneFan : kNotOneFan;
    }
    return fan_known_[v] == kOneFan ? &fan_neighbours_[v] : nullptr;
  }

  // True when v's triangles are one closed fan, each edge from v in exactly
  // two of them, with its neighbours appended to `neighbours`.
  bool one_fan(std::uint64_t v, std::vector<std::uint64_t>& neighbours) const {
    const auto& faces = around_[v];
    if (faces.size() < 3) return false;
    // Two per triangle, allocated at once: a vertex's list keeps its memory
    // while its fan changes.
    neighbours.reserve(2 * faces.size());
    for (const std::size_t f : faces) {
      for (const std::uint64_t w : tris_[f]) {
        if (w != v) neighbours.push_back(w);
      }
    }
    std::sort(neighbours.begin(), neighbours.end());
    for (std::size_t i = 0; i < neighbours.size(); i += 2) {
      if (i + 1 >= neighbours.size() || neighbours[i] != neighbours[i + 1]) return false;
      if (i + 2 < neighbours.size() && neighbours[i + 2] == neighbours[i]) return false;
    }
    neighbours.erase(std::unique(neighbours.begin(), neighbours.end()), neighbours.end());
    // Walk round: from each triangle to the one across its edge (v, next).
    std::size_t f = faces.front();
    for (std::size_t step = 1;; ++step) {
      const std::uint64_t w = next_in(f, v);
      std::size_t across = f;
      for (const std::size_t g : faces) {
        if (g != f && has(tris_[g], w)) across = g;
      }
      if (across == f || next_in(across, v) == w) return false;  // open or turned over
      if (across == faces.front()) return step == faces.size();
      if (step > faces.size()) return false;
      f = across;
    }
  }

  // Where b stands after the collapse (Tentative::offset, placed, moves):
  // off the surface along its normal so that its new fan straddles it
  // (straddling_offset), within half the tolerance, which leaves the other
  // half to the sag between samples. Vertices on the region's faces stay.
  void place(Tentative& t, const std::vector<std::size_t>& fan,
             const std::vector<std::size_t>& own) {
    const std::uint64_t a = t.a;
    const std::uint64_t b = t.b;
    t.offset = 0.0;
    if (on_faces_.empty() || on_faces_[b] == 0) {
      std::vector<std::pair<SurfaceVertex, SurfaceVertex>>& others = others_;
      others.clear();
      auto other_two = [&](std::size_t f) {
        const Triangle& tri = tris_[f];
        std::uint64_t w[2];
        int n = 0;
        for (const std::uint64_t v : tri) {
          if (v != a && v != b) w[n++] = v;
        }
        others.emplace_back(vertex(w[0]), vertex(w[1]));
      };
      for (const std::size_t f : own) other_two(f);
      for (const std::size_t f : fan) other_two(f);
      t.offset = straddling_offset(vertex(b), others, 0.5 * tolerance_, offset_lines_);
    }
    const Vec3& s = surface_[b];
    const Vec3& n = normal_[b];
    t.placed = t.offset == 0.0 ? s
                               : Vec3{s.x + t.offset * n.x, s.y + t.offset * n.y,
                                      s.z + t.offset * n.z};
    t.moves = !(t.placed == pos_[b]);
  }
  // Whether a's own point lies farther than the tolerance from every
  // triangle of the fan round b after the collapse (PlaneGap across a's
  // normal): that fan's corners are a's and b's neighbours where they
  // stand and b where place() puts it, within half the tolerance of its
  // own point.
  bool fan_beyond_tolerance(std::uint64_t a, std::uint64_t b, const std::vector<std::uint64_t>& na,
                            const std::vector<std::uint64_t>& nb) const {
    PlaneGap gap(normal_[a]);
    for (const std::uint64_t w : na) {
      if (w != b) gap.add(pos_[w]);
    }
    for (const std::uint64_t w : nb) {
      if (w != a) gap.add(pos_[w]);
    }
    gap.add_ball(surface_[b], 0.5 * tolerance_);
    return gap.beyond(surface_[a], tolerance_);
  }
  // Whether `point` lies farther than the tolerance from every triangle of
  // the fan round b after the collapse of a, wherever place() puts b: on
  // its own point, or within half the tolerance of it along its normal
  // (triangle_beyond). `fan` and `own` as in place(); a's triangles first,
  // as a point of a's fan most often lies over one of them.
  bool fan_beyond_reach(const Vec3& point, std::uint64_t a, std::uint64_t b,
                        const std::vector<std::size_t>& fan,
                        const std::vector<std::size_t>& own) const {
    const double reach = on_faces_.empty() || on_faces_[b] == 0 ? 0.5 * tolerance_ : 0.0;
    auto beyond = [&](std::size_t f, std::uint64_t moved) {
      const Triangle& tri = tris_[f];
      std::array<Vec3, 3> p;
      std::size_t loose = 0;
      for (std::size_t k = 0; k < 3; ++k) {
        if (tri[k] == moved) {
          p[k] = surface_[b];
          loose = k;
        } else {
          p[k] = pos_[tri[k]];
        }
      }
      return triangle_beyond(point, p, loose, reach, tolerance_);
    };
    for (const std::size_t f : fan) {
      if (!beyond(f, a)) return false;
    }
    for (const std::size_t f : own) {
      if (!beyond(f, b)) return false;
    }
    return true;
  }
  SurfaceVertex vertex(std::uint64_t v) const { return {surface_[v], normal_[v], offset_[v]}; }

  // Whether one of a's triangles keeps `point` (the same bits).
  bool keeps_point(std::uint64_t a, const Vec3& point) const {
    for (const std::size_t f : around_[a]) {
      for (const Vec3& kept : kept_[f]) {
        if (kept == point) return true;
      }
    }
    return false;
  }

  // Every check but the field's; appends the samples the field must pass.
  bool feasible(Tentative& t, std::vector<Vec3>& samples) {
    const std::uint64_t a = t.a;
    const std::uint64_t b = t.b;
    if (frozen_[a]) return false;
    const std::vector<std::uint64_t>* na = fan_of(a);
    if (na == nullptr) return false;
    const std::vector<std::uint64_t>* nb = fan_of(b);
    if (nb == nullptr) return false;
    // a's own point must end within the tolerance of the new fan: refused
    // before b is placed and the fan is built when every corner the fan
    // can have lies beyond the tangent plane there (on a curved surface,
    // nearly every candidate at the least tolerances). Testing the samples
    // of a's triangles too refuses few more than the keep test below and
    // costs more than it saves.
    if (!off_[a] && fan_beyond_tolerance(a, b, *na, *nb)) return false;
    if (!on_faces_.empty() && on_faces_[a] != 0) return false;
    std::vector<std::uint64_t>& common = common_;
    common.clear();
    std::set_intersection(na->begin(), na->end(), nb->begin(), nb->end(),
                          std::back_inserter(common));
    if (common.size() != 2) return false;
    std::vector<std::size_t>& fan = fan_;  // a's triangles that stay, with a moved to b
    fan.clear();
    unsigned on_edge = 0;
    std::uint64_t first_opposite = a;
    for (const std::size_t f : around_[a]) {
      if (has(tris_[f], b)) {
        ++on_edge;
        std::uint64_t opposite = a;
        for (const std::uint64_t v : tris_[f]) {
          if (v != a && v != b) opposite = v;
        }
        if (!std::binary_search(common.begin(), common.end(), opposite)) return false;
        if (around_[opposite].size() < 4 || opposite == first_opposite) return false;
        first_opposite = opposite;
      } else {
        fan.push_back(f);
      }
    }
    if (on_edge != 2) return false;
    std::vector<std::size_t>& own = own_;  // b's triangles off the edge
    own.clear();
    for (const std::size_t f : around_[b]) {
      if (!has(tris_[f], a)) own.push_back(f);
    }
    // a's own point again, now against each triangle of the new fan with b
    // anywhere place() may put it: most candidates on a surface curved
    // both ways are refused here, before b's placement and the fan.
    if (!off_[a] && fan_beyond_reach(surface_[a], a, b, fan, own)) return false;
    // The point of a's triangles that refused a's last collapse tried, when
    // they still keep it: it must end within the tolerance of this new fan
    // too, and most often it does not (a vertex that has taken in its
    // neighbours' collapses keeps many points, some far off any flatter
    // fan). Refused here, before b is placed, when no placement can bring
    // it within; else it is measured first once the fan is built.
    const bool recheck = refusing_[a] && keeps_point(a, refused_point_[a]);
    if (recheck && fan_beyond_reach(refused_point_[a], a, b, fan, own)) return false;
    place(t, fan, own);
    const Vec3 pb = t.placed;
    // a's triangles take b's place, and b's own move with it when it moves.
    std::vector<std::size_t>& changing = changing_;
    changing.assign(fan.begin(), fan.end());
    if (t.moves) changing.insert(changing.end(), own.begin(), own.end());
    for (const std::size_t f : changing) {
      const Triangle& tri = tris_[f];
      const Vec3 before = cross(sub(pos_[tri[1]], pos_[tri[0]]), sub(pos_[tri[2]], pos_[tri[0]]));
      Vec3 p[3];
      for (int k = 0; k < 3; ++k) p[k] = (tri[k] == a || tri[k] == b) ? pb : pos_[tri[k]];
      const Vec3 after = cross(sub(p[1], p[0]), sub(p[2], p[0]));
      const double longest = std::max({dot(sub(p[1], p[0]), sub(p[1], p[0])),
                                       dot(sub(p[2], p[1]), sub(p[2], p[1])),
                                       dot(sub(p[0], p[2]), sub(p[0], p[2]))});
      // Turned over, or a sliver whose normal rounding decides.
      if (!(dot(before, after) > 0.0) || !(std::sqrt(dot(after, after)) > 1e-6 * longest)) {
        return false;
      }
    }
    // The new fan round b: b's triangles off the edge and a's moved.
    FanTriangles& new_fan = new_fan_;
    new_fan.clear();
    std::vector<std::size_t>& new_ids = new_ids_;
    new_ids.clear();
    for (const std::size_t f : own) {
      const Triangle& tri = tris_[f];
      std::array<Vec3, 3> p;
      for (int k = 0; k < 3; ++k) p[k] = tri[k] == b ? pb : pos_[tri[k]];
      new_fan.add(p);
      new_ids.push_back(f);
    }
    for (const std::size_t f : fan) {
      const Triangle& tri = tris_[f];
      std::array<Vec3, 3> p;
      for (int k = 0; k < 3; ++k) p[k] = tri[k] == a ? pb : pos_[tri[k]];
      new_fan.add(p);
      new_ids.push_back(f);
    }
    // Each point is kept by its nearest triangle of the new fan; the one
    // that kept it so far (when it stays) is measured first.
    auto keep = [&](const Vec3& point, std::size_t hint) {
      const FanTriangles::Nearest nearest = new_fan.nearest_within(point, tolerance_, hint);
      if (nearest.index == FanTriangles::npos) return false;
      batch_keepers_.emplace_back(point, new_ids[nearest.index]);
      return true;
    };
    auto fan_index = [&](std::size_t f) {
      const auto at = std::find(new_ids.begin(), new_ids.end(), f);
      return at == new_ids.end() ? FanTriangles::npos
                                 : static_cast<std::size_t>(at - new_ids.begin());
    };
    // The mesh it started from: a vertex's own point on the surface is a
    // sample of it, kept by the vertex until it first moves off it.
    if (recheck && new_fan.nearest_within(refused_point_[a], tolerance_).index ==
                       FanTriangles::npos) {
      return false;
    }
    if (!off_[a] && !keep(surface_[a], FanTriangles::npos)) return false;
    if (t.moves && !off_[b] && !keep(surface_[b], FanTriangles::npos)) return false;
    for (const std::size_t f : around_[a]) {
      const std::size_t hint = fan_index(f);
      for (const Vec3& point : kept_[f]) {
        if (!keep(point, hint)) {
          refusing_[a] = 1;
          refused_point_[a] = point;
          return false;
        }
      }
    }
    if (t.moves) {
      for (const std::size_t f : own) {
        const std::size_t hint = fan_index(f);
        for (const Vec3& point : kept_[f]) {
          if (!keep(point, hint)) return false;
        }
      }
      t.placed_sample = samples.size();
      samples.push_back(pb);
    }
    // The field's samples of the changed triangles: each centroid, and each
    // edge at its midpoint and its quarters (along a long chord the surface
    // is not a parabola, and the farthest point need not be the midpoint: a
    // torus's chord of 1.65 along its ring, 9.3e-3 off at the midpoint,
    // 1.43e-2 at a quarter). An edge is sampled once per collapse (a spoke
    // from b lies in two triangles of the fan), and an edge that keeps both
    // ends where they stood is not sampled again once it has passed: its
    // points are the same bits, so the field's verdict on them is too.
    std::vector<std::uint64_t>& spokes = spokes_;
    spokes.clear();
    std::vector<std::pair<std::size_t, bool>>& spoke_samples = spoke_samples_;
    spoke_samples.clear();  // per spoke, its first sample and whether it ran from b
    for (std::size_t i = t.moves ? 0 : new_fan.size() - fan.size(); i < new_fan.size(); ++i) {
      const auto& p = new_fan.corners(i);
      const Triangle& tri = tris_[new_ids[i]];
      TriangleSamples at;
      at.face = new_ids[i];
      for (int k = 0; k < 3; ++k) {
        const int next = (k + 1) % 3;
        const bool first_moves = tri[k] == a || tri[k] == b;
        at.edge[k] = samples.size();
        at.reversed[k] = false;
        // The same bits whichever way round the edge is taken.
        const Vec3 along = sub(p[next], p[k]);
        at.quartered[k] = !(dot(along, along) <= midpoint_only_squared_);
        if (first_moves || tri[next] == a || tri[next] == b) {
          const std::uint64_t other = first_moves ? tri[next] : tri[k];
          const auto found = std::find(spokes.begin(), spokes.end(), other);
          if (found != spokes.end()) {
            const auto& [first, from_b] = spoke_samples[found - spokes.begin()];
            at.edge[k] = first;
            at.reversed[k] = from_b != first_moves;
            continue;
          }
          spokes.push_back(other);
          spoke_samples.emplace_back(samples.size(), first_moves);
        } else if (passed_edges_[new_ids[i]] & (1u << k)) {
          at.edge[k] = kNotSampled;
          continue;
        }
        // The edge's points are symmetric in its ends: the same bits whichever
        // triangle samples it.
        const Vec3 middle = midpoint(p[k], p[next]);
        if (at.quartered[k]) {
          samples.insert(samples.end(), {middle, midpoint(p[k], middle), midpoint(middle, p[next])});
        } else {
          samples.push_back(middle);
        }
      }
      // A triangle whose edges are all that short: the quadratic through
      // its corners and midpoints stands for its centroid too.
      at.centre = kNotSampled;
      if (at.quartered[0] || at.quartered[1] || at.quartered[2]) {
        at.centre = samples.size();
        samples.push_back({(p[0].x + p[1].x + p[2].x) / 3.0, (p[0].y + p[1].y + p[2].y) / 3.0,
                           (p[0].z + p[1].z + p[2].z) / 3.0});
      }
      batch_triangles_.push_back(at);
    }
    return true;
  }

  const std::vector<Vec3>& surface_;  // per vertex, where projection put it
  const std::vector<Vec3>& normal_;   // per vertex, the unit gradient there (or NaN)
  std::vector<Vec3>& pos_;            // per vertex, where it stands now
  std::vector<double> level_;         // per vertex, its signed distance to the level set there
  std::vector<double> offset_;        // per vertex, pos_ - surface_ along normal_
  std::vector<std::uint8_t> off_;     // per vertex: has moved off the surface
  std::vector<Triangle>& tris_;
  double tolerance_;
  // Edges at most this long (squared) are sampled at their midpoints alone.
  double midpoint_only_squared_;
  std::vector<std::uint8_t> dead_;
  // Per vertex, its live triangles; per triangle, the surface samples it
  // keeps (at most three before any collapse). A mesh has many of each, and
  // few longer than these lists keep in place.
  std::vector<SmallList<std::size_t, 8>> around_;
  std::vector<Quadric> quadric_;
  std::vector<SmallList<Vec3, 3>> kept_;
  std::vector<std::uint32_t> version_;  // per vertex, changes to its quadric or place
  // Per vertex: its cost changed in this batch (it was a collapse's `b`).
  std::vector<std::uint8_t> recosted_;
  // Per vertex a, the b whose collapse (a, b) was tried and has had no
  // entry since.
  std::vector<std::vector<std::uint32_t>> tested_;
  // Per vertex, fan_of()'s answer while its fan stays as it was.
  static constexpr std::uint8_t kFanUnknown = 0;
  static constexpr std::uint8_t kOneFan = 1;
  static constexpr std::uint8_t kNotOneFan = 2;
  std::vector<std::uint8_t> fan_known_;
  std::vector<std::vector<std::uint64_t>> fan_neighbours_;
  std::uint64_t dead_count_ = 0;
  std::vector<std::uint8_t> on_faces_;  // per vertex, the region's faces it is on (bit per face)
  const std::vector<std::uint8_t>& frozen_;  // per vertex: never removed
  std::vector<std::uint64_t> origin_;
  CollapseQueue queue_;
  bool seeding_ = false;  // seed() is filling the queue
  std::vector<std::uint8_t> locked_;  // per vertex: in a triangle of this batch's collapses
  std::vector<std::uint64_t> touched_;  // the vertices locked_ marks
  std::vector<std::uint8_t> changed_;   // per vertex: its fan changed since the last recost
  std::vector<std::uint64_t> changed_list_;
  std::vector<std::uint64_t> scratch_;
  std::vector<std::uint8_t> listed_;  // per vertex: in scratch_ (neighbours() clears it)
  // Per triangle, bit k: its edge (k, k + 1) passed the field's check with
  // its ends where they stand.
  std::vector<std::uint8_t> passed_edges_;
  // Per triangle and edge, the signed levels of its midpoint and quarters
  // (the one nearer corner k first), kept when it was last sampled.
  std::vector<std::array<std::array<double, 3>, 3>> edge_levels_;
  // Per vertex a: a point its triangles kept that a collapse of a refused
  // (no triangle of that collapse's new fan within the tolerance), and
  // whether there is one. Only an order of tests: a collapse is refused
  // for it only while a's triangles still keep it.
  std::vector<std::uint8_t> refusing_;
  std::vector<Vec3> refused_point_;
  // feasible()'s new fan, its triangles' numbers and the spokes sampled,
  // kept to reuse their memory.
  FanTriangles new_fan_;
  std::vector<std::size_t> new_ids_;
  std::vector<std::uint64_t> spokes_;
  std::vector<std::pair<std::size_t, bool>> spoke_samples_;
  std::vector<std::size_t> applied_fan_;  // apply()'s copy of a's triangles
  // The keepers and changed triangles of next_batch()'s collapses, each
  // collapse's in one run (see Tentative): one list per batch.
  std::vector<std::pair<Vec3, std::size_t>> batch_keepers_;
  std::vector<TriangleSamples> batch_triangles_;
  // feasible()'s and place()'s lists, kept to reuse their memory.
  std::vector<std::uint64_t> common_;
  std::vector<std::size_t> fan_;
  std::vector<std::size_t> own_;
  std::vector<std::size_t> changing_;
  std::vector<std::pair<SurfaceVertex, SurfaceVertex>> others_;
  std::vector<OffsetLine> offset_lines_;
  // The live triangles by place, for folds().
  FoldGuard guard_;
  std::vector<ChangedTriangle> changed_faces_;
  std::vector<std::size_t> gone_faces_;
};

// Per vertex, the faces of `region` it lies within `slack` of or beyond:
// bit 2k the low face of axis k, bit 2k + 1 the high one.
std::vector<std::uint8_t> faces_of(const std::vector<Vec3>& positions, const BBox& region,
                                   double slack) {
  std::vector<std::uint8_t> out(positions.size(), 0);
  for (std::size_t v = 0; v < positions.size(); ++v) {
    for (int k = 0; k < 3; ++k) {
      if (positions[v][k] <= region.min[k] + slack) out[v] |= std::uint8_t(1u << (2 * k));
      if (positions[v][k] >= region.max[k] - slack) out[v] |= std::uint8_t(1u << (2 * k + 1));
    }
  }
  return out;
}

// Signed distance from a sample to the level set, to first order (positive
// where f > iso); NaN when the gradient cannot tell.
double signed_level(double f, const Vec3& g, double iso) {
  const double q = dot(g, g);
  if (!(q > 1e-20) || std::isinf(q)) return NAN;
  return (f - iso) / std::sqrt(q);
}

// Per vertex, the field's unit gradient (NaN where it has none) and its
// signed level: one call of the field, and one more for central
// differences without gradients.
struct VertexNormals {
  std::vector<Vec3> normals;
  std::vector<double> levels;
};
VertexNormals unit_normals(Field& field, double iso, double gradient_step,
                           const std::vector<Vec3>& positions) {
  EvalResult result = evaluate_batch(field, positions);
  VertexNormals out;
  out.normals = result.gradients ? std::move(*result.gradients)
                                 : estimate_gradients(field, positions, gradient_step);
  out.levels.resize(positions.size());
  for (std::size_t v = 0; v < positions.size(); ++v) {
    Vec3& g = out.normals[v];
    out.levels[v] = signed_level(checked_at(result.values, v), g, iso);
    const double length = std::sqrt(dot(g, g));
    g = length > 0.0 && std::isfinite(length) ? Vec3{g.x / length, g.y / length, g.z / length}
                                              : Vec3{NAN, NAN, NAN};
  }
  return out;
}

// Runs of the pass before the folds left go to the validity pass.
constexpr int kAttempts = 4;

// One run of the pass over `triangles` with the vertices in `frozen` kept:
// the triangles left, in order, and per triangle the vertex whose collapse
// changed it last (kNoOrigin for none).
struct PassResult {
  std::vector<Vec3> positions;
  std::vector<Triangle> triangles;
  std::vector<std::uint64_t> origin;
  EdgeCollapseCounts counts;
};

PassResult run_pass(Field& field, double iso, double gradient_step,
                    const std::vector<Vec3>& positions, const VertexNormals& normals,
                    const std::vector<Triangle>& triangles, double tolerance,
                    const std::vector<std::uint8_t>& on_faces,
                    const std::vector<std::uint8_t>& frozen, double midpoint_only) {
  PassResult out;
  out.positions = positions;
  std::vector<Triangle> work = triangles;
  Collapser collapser(positions, normals.normals, normals.levels, out.positions, work, tolerance,
                      on_faces, frozen, midpoint_only);
  collapser.seed();
  const std::uint64_t seeded = collapser.queued();
  for (;;) {
    std::vector<Vec3> samples;
    const std::vector<Tentative> batch = collapser.next_batch(samples);
    if (batch.empty()) break;
    ++out.counts.field_calls;
    EvalResult result = evaluate_batch(field, samples);
    const std::vector<Vec3> gradients = result.gradients
                                            ? std::move(*result.gradients)
                                            : estimate_gradients(field, samples, gradient_step);
    std::vector<double> levels(samples.size());
    for (std::size_t k = 0; k < samples.size(); ++k) {
      levels[k] = signed_level(checked_at(result.values, k), checked_at(gradients, k), iso);
    }
    for (const Tentative& t : batch) {
      bool within = true;
      for (std::size_t k = t.first_sample; k < t.first_sample + t.sample_count && within; ++k) {
        within = std::fabs(levels[k]) <= tolerance;
      }
      // Refused by the field: dropped until either end's fan changes. The
      // samples within the tolerance, then the bound over each whole triangle.
      if (within && collapser.triangles_within(t, levels) && !collapser.folds(t)) {
        collapser.apply(t, levels);
        ++out.counts.collapsed;
      }
    }
    collapser.recost();
    // The open stage counts the candidates: those seeded less those left,
    // which only rises while the queue shrinks below its seeding (and
    // reaches every seed when the queue is empty).
    reach_stage(seeded - std::min(seeded, collapser.queued()));
  }
  out.triangles.reserve(work.size() - collapser.removed_faces());
  for (std::size_t f = 0; f < work.size(); ++f) {
    if (collapser.dead()[f]) continue;
    out.triangles.push_back(work[f]);
    out.origin.push_back(collapser.origin()[f]);
  }
  return out;
}

// Freezes the vertices whose collapses made triangles that pass through
// others or have no area (the exact test of the validity pass, on the
// changed triangles). True when any was frozen.
bool freeze_folds(WorkerPool& pool, const PassResult& pass, std::vector<std::uint8_t>& frozen) {
  const std::vector<Vec3>& positions = pass.positions;
  std::vector<double> coordinates;
  coordinates.reserve(3 * positions.size());
  for (const Vec3& p : positions) coordinates.insert(coordinates.end(), {p.x, p.y, p.z});
  std::vector<std::int64_t> corners;
  corners.reserve(3 * pass.triangles.size());
  std::vector<std::uint8_t> changed(pass.triangles.size(), 0);
  for (std::size_t t = 0; t < pass.triangles.size(); ++t) {
    for (const std::uint64_t v : pass.triangles[t]) corners.push_back(static_cast<std::int64_t>(v));
    changed[t] = pass.origin[t] != kNoOrigin;
  }
  const validity::MeshView view{coordinates.data(), positions.size(), corners.data(),
                                pass.triangles.size()};
  const validity::SelfIntersections found =
      validity::find_self_intersections(view, changed.data(), pool);
  bool any = false;
  auto freeze = [&](std::size_t t) {
    const std::uint64_t a = pass.origin[t];
    if (a != kNoOrigin && !frozen[a]) {
      frozen[a] = 1;
      any = true;
    }
  };
  for (const validity::FacePair& pair : found.pairs) {
    for (const std::int64_t t : pair) freeze(static_cast<std::size_t>(t));
  }
  for (std::size_t t = 0; t < found.zero_area.size(); ++t) {
    if (found.zero_area[t]) freeze(t);
  }
  return any;
}

// Per vertex, 1 where it is not one fan of triangles or shares a triangle
// with such a vertex: where the mesh is not a 2-manifold the validity pass
// mends it, and its triangles there stay as they are for it (a collapse
// next to them changes what it makes of them, a handle closed); the rest of
// the mesh is collapsed as usual.
std::vector<std::uint8_t> around_nonmanifold(const std::vector<Triangle>& triangles,
                                             std::uint64_t vertex_count) {
  std::vector<std::uint8_t> out(vertex_count, 0);
  const std::vector<std::uint64_t> bad = nonmanifold_vertices(triangles, vertex_count);
  if (bad.empty()) return out;
  for (const std::uint64_t v : bad) out[v] = 1;
  std::vector<std::uint8_t> ring(vertex_count, 0);
  for (const Triangle& t : triangles) {
    if (out[t[0]] || out[t[1]] || out[t[2]]) {
      for (const std::uint64_t v : t) ring[v] = 1;
    }
  }
  return ring;
}

}  // namespace

EdgeCollapseCounts collapse_edges(WorkerPool& pool, Field& field, double iso,
                                  double gradient_step, std::vector<Vec3>& positions,
                                  std::vector<Triangle>& triangles, double tolerance,
                                  const BBox* region, double slack, double midpoint_only) {
  // Candidates hold 32-bit vertex numbers.
  if (!(tolerance > 0.0) || positions.size() >= (std::uint64_t{1} << 32)) return {};
  const std::vector<std::uint8_t> on_faces =
      region ? faces_of(positions, *region, slack) : std::vector<std::uint8_t>{};
  const VertexNormals normals = unit_normals(field, iso, gradient_step, positions);
  std::vector<std::uint8_t> frozen = around_nonmanifold(triangles, positions.size());
  // Run again with the vertices frozen whose collapses folded the mesh,
  // until none does; a few attempts, then whatever folds are left go to
  // the validity pass, like the unsimplified mesh's own.
  PassResult pass;
  for (int attempt = 0; attempt < kAttempts; ++attempt) {
    pass = run_pass(field, iso, gradient_step, positions, normals, triangles, tolerance, on_faces,
                    frozen, midpoint_only);
    if (pass.counts.collapsed == 0 || !freeze_folds(pool, pass, frozen)) break;
  }
  ++pass.counts.field_calls;  // the normals' call
  if (pass.counts.collapsed > 0) {
    triangles = std::move(pass.triangles);
    positions = std::move(pass.positions);
  }
  return pass.counts;
}

}  // namespace karvex
