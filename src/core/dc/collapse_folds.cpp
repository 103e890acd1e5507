#include "dc/collapse_folds.h"

#include <algorithm>
#include <cmath>

#include "dc/shared_vertex_apart.h"
#include "validity/self_intersections.h"

namespace karvex {
namespace {

// Cell numbers are kept within 21 bits each for the key; farther cells
// share keys, which only adds candidates (each is tested by its box).
constexpr std::int64_t kCellLimit = std::int64_t{1} << 20;

bool boxes_overlap(const Vec3& low_a, const Vec3& high_a, const Vec3& low_b, const Vec3& high_b) {
  return !(high_a.x < low_b.x || high_b.x < low_a.x || high_a.y < low_b.y ||
           high_b.y < low_a.y || high_a.z < low_b.z || high_b.z < low_a.z);
}

void corner_box(const std::array<Vec3, 3>& c, Vec3& low, Vec3& high) {
  low = {std::min({c[0].x, c[1].x, c[2].x}), std::min({c[0].y, c[1].y, c[2].y}),
         std::min({c[0].z, c[1].z, c[2].z})};
  high = {std::max({c[0].x, c[1].x, c[2].x}), std::max({c[0].y, c[1].y, c[2].y}),
          std::max({c[0].z, c[1].z, c[2].z})};
}

double magnitude(const Vec3& v) { return std::fabs(v.x) + std::fabs(v.y) + std::fabs(v.z); }

}  // namespace

// A triangle's plane as apart() reads it: the same expressions, worked out
// once per triangle of a query rather than once per pair.
FoldGuard::Plane FoldGuard::plane_of(const std::array<Vec3, 3>& p) {
  Plane out;
  const Vec3 e1{p[1].x - p[0].x, p[1].y - p[0].y, p[1].z - p[0].z};
  const Vec3 e2{p[2].x - p[0].x, p[2].y - p[0].y, p[2].z - p[0].z};
  out.normal = {e1.y * e2.z - e1.z * e2.y, e1.z * e2.x - e1.x * e2.z, e1.x * e2.y - e1.y * e2.x};
  const double scale = magnitude(e1) * magnitude(e2);
  const double normal_magnitude = magnitude(out.normal);
  // The margin's products as apart() reads them, left to right.
  out.scale_term = 1e-12 * scale;
  out.normal_term = 1e-12 * normal_magnitude;
  out.origin_magnitude = magnitude(p[0]);
  out.corner_magnitude = {out.origin_magnitude, magnitude(p[1]), magnitude(p[2])};
  out.flat = !(normal_magnitude > 1e-6 * scale);
  return out;
}

// The axis depends on nothing but the triangle's corners and which of its
// vertices are the same: in the pair's mesh of meets() a vertex it shares
// stands where the other triangle puts it, which is the same point (only
// the changed triangles move vertices, and they agree on where).
std::int8_t FoldGuard::axis_of(const Triangle& ids, const std::array<Vec3, 3>& corners,
                               const Plane& plane) {
  if (plane.axis != kAxisUnknown) return plane.axis;
  double coordinates[9];
  std::int64_t faces[3];
  for (int k = 0; k < 3; ++k) {
    coordinates[3 * k] = corners[k].x;
    coordinates[3 * k + 1] = corners[k].y;
    coordinates[3 * k + 2] = corners[k].z;
    faces[k] = k;
    for (int j = 0; j < k; ++j) {
      if (ids[j] == ids[k]) {
        faces[k] = faces[j];
        break;
      }
    }
  }
  const validity::MeshView view{coordinates, 3, faces, 1};
  plane.axis = validity::plane_axis(view, 0);
  return plane.axis;
}

// Whether the corners of `q` not shared with `p` lie strictly on one side
// of p's plane, certainly (every such side beyond a margin a thousand times
// the rounding of n.(x - p0)); false when p has (nearly) no area, or a
// corner is near the plane.
bool FoldGuard::apart(const Triangle& p_ids, const std::array<Vec3, 3>& p, const Plane& plane,
                      const Triangle& q_ids, const std::array<Vec3, 3>& q,
                      const Plane& q_plane) {
  if (plane.flat) return false;
  const Vec3& n = plane.normal;
  int side = 0;
  for (int k = 0; k < 3; ++k) {
    if (q_ids[k] == p_ids[0] || q_ids[k] == p_ids[1] || q_ids[k] == p_ids[2]) continue;
    const Vec3 w{q[k].x - p[0].x, q[k].y - p[0].y, q[k].z - p[0].z};
    const double d = (n.x * w.x + n.y * w.y) + n.z * w.z;
    const double w_magnitude = magnitude(w);
    const double margin =
        plane.scale_term * w_magnitude +
        plane.normal_term * (w_magnitude + plane.origin_magnitude + q_plane.corner_magnitude[k]);
    const int s = d > margin ? 1 : (d < -margin ? -1 : 0);
    if (s == 0 || (side != 0 && s != side)) return false;
    side = s;
  }
  return side != 0;
}

namespace {

template <class T>
void erase_one(std::vector<T>& list, T value) {
  const auto at = std::find(list.begin(), list.end(), value);
  if (at == list.end()) return;
  *at = list.back();
  list.pop_back();
}

}  // namespace

FoldGuard::FoldGuard(const std::vector<Vec3>& positions, const std::vector<Triangle>& triangles,
                     const std::vector<std::uint8_t>& dead)
    : positions_(positions),
      triangles_(triangles),
      filed_(triangles.size()),
      seen_(triangles.size(), 0),
      axes_(2, 0),
      shapes_(triangles.size()) {
  // Cells twice the mean triangle's largest extent: most triangles fill
  // one to eight cells, and a query reads a few.
  double extent = 0.0;
  std::size_t live = 0;
  bool first = true;
  for (std::size_t f = 0; f < triangles.size(); ++f) {
    if (dead[f]) continue;
    const Box b = box_of(f);
    extent += std::max({b.high.x - b.low.x, b.high.y - b.low.y, b.high.z - b.low.z});
    ++live;
    if (first) origin_ = b.low;
    first = false;
    origin_ = {std::min(origin_.x, b.low.x), std::min(origin_.y, b.low.y),
               std::min(origin_.z, b.low.z)};
  }
  const double side = live > 0 ? 2.0 * extent / static_cast<double>(live) : 0.0;
  side_ = side > 0.0 && std::isfinite(side) ? side : 1.0;
  for (std::size_t f = 0; f < triangles.size(); ++f) {
    if (!dead[f]) file(f);
  }
}

std::int64_t FoldGuard::cell_of(double coordinate, int axis) const {
  // floor() by truncation once the quotient is known to lie within the
  // limits: the same cell numbers without a library call per coordinate.
  const double q = (coordinate - origin_[axis]) / side_;
  if (!(q > -static_cast<double>(kCellLimit))) return -kCellLimit;
  if (!(q < static_cast<double>(kCellLimit))) return kCellLimit - 1;
  auto cell = static_cast<std::int64_t>(q);
  if (static_cast<double>(cell) > q) --cell;
  return cell;
}

FoldGuard::CellBox FoldGuard::cells_of(const Box& box) const {
  CellBox out;
  for (int k = 0; k < 3; ++k) {
    out.low[k] = cell_of(box.low[k], k);
    out.high[k] = cell_of(box.high[k], k);
    if (out.high[k] - out.low[k] + 1 > kReach) out.large = true;
  }
  return out;
}

std::uint64_t FoldGuard::key(std::int64_t x, std::int64_t y, std::int64_t z) {
  constexpr std::uint64_t mask = (std::uint64_t{1} << 21) - 1;
  return (static_cast<std::uint64_t>(x + kCellLimit) & mask) |
         ((static_cast<std::uint64_t>(y + kCellLimit) & mask) << 21) |
         ((static_cast<std::uint64_t>(z + kCellLimit) & mask) << 42);
}

FoldGuard::Box FoldGuard::box_of(std::size_t f) const {
  const Triangle& t = triangles_[f];
  Box b;
  corner_box({positions_[t[0]], positions_[t[1]], positions_[t[2]]}, b.low, b.high);
  return b;
}

void FoldGuard::file(std::size_t f) {
  const Box box = box_of(f);
  CellBox cells = cells_of(box);
  cells.filed = true;
  cells.box = box;
  cells.extent = std::max({box.high.x - box.low.x, box.high.y - box.low.y, box.high.z - box.low.z});
  if (std::isfinite(cells.extent)) {
    extent_sum_ += cells.extent;
  } else {
    cells.extent = 0.0;
  }
  ++filed_count_;
  filed_[f] = cells;
  const auto id = static_cast<std::uint32_t>(f);
  if (cells.large) {
    large_.push_back(id);
    return;
  }
  for (std::int64_t x = cells.low[0]; x <= cells.high[0]; ++x) {
    for (std::int64_t y = cells.low[1]; y <= cells.high[1]; ++y) {
      for (std::int64_t z = cells.low[2]; z <= cells.high[2]; ++z) {
        cells_[key(x, y, z)].push_back(id);
      }
    }
  }
}

void FoldGuard::drop(std::size_t f) {
  shapes_[f].plane.known = false;
  CellBox& cells = filed_[f];
  if (!cells.filed) return;
  cells.filed = false;
  extent_sum_ -= cells.extent;
  --filed_count_;
  const auto id = static_cast<std::uint32_t>(f);
  if (cells.large) {
    erase_one(large_, id);
    return;
  }
  for (std::int64_t x = cells.low[0]; x <= cells.high[0]; ++x) {
    for (std::int64_t y = cells.low[1]; y <= cells.high[1]; ++y) {
      for (std::int64_t z = cells.low[2]; z <= cells.high[2]; ++z) {
        const auto at = cells_.find(key(x, y, z));
        if (at != cells_.end()) erase_one(at->second, id);
      }
    }
  }
}

void FoldGuard::refile(std::size_t f) {
  shapes_[f].plane.known = false;
  CellBox& filed = filed_[f];
  const Box box = box_of(f);
  const CellBox cells = cells_of(box);
  if (filed.filed && cells.large == filed.large && cells.low == filed.low &&
      cells.high == filed.high) {
    // In the same cells (a corner moved a little): only its box and extent
    // change, the sum updated as drop() and file() would.
    extent_sum_ -= filed.extent;
    double extent = std::max({box.high.x - box.low.x, box.high.y - box.low.y,
                              box.high.z - box.low.z});
    if (std::isfinite(extent)) {
      extent_sum_ += extent;
    } else {
      extent = 0.0;
    }
    filed.box = box;
    filed.extent = extent;
  } else {
    drop(f);
    file(f);
  }
  regrid_if_outgrown();
}

void FoldGuard::regrid_if_outgrown() {
  if (filed_count_ == 0) return;
  const double mean = extent_sum_ / static_cast<double>(filed_count_);
  if (!(mean > side_) || !std::isfinite(mean)) return;
  side_ = 2.0 * mean;
  cells_.clear();
  large_.clear();
  extent_sum_ = 0.0;
  filed_count_ = 0;
  for (std::size_t f = 0; f < filed_.size(); ++f) {
    if (filed_[f].filed) file(f);
  }
}

const FoldGuard::Shape& FoldGuard::shape_of(std::size_t f) {
  Shape& shape = shapes_[f];
  if (!shape.plane.known) {
    const Triangle& t = triangles_[f];
    shape.corners = {positions_[t[0]], positions_[t[1]], positions_[t[2]]};
    shape.plane = plane_of(shape.corners);
    shape.plane.known = true;
  }
  return shape;
}

bool FoldGuard::meets(const ChangedTriangle& t, const Plane& t_plane,
                      const Triangle& other_vertices, const std::array<Vec3, 3>& other_corners,
                      const Plane& other_plane) {
  // Most pairs are neighbours lying plainly apart: the corners of one it
  // does not share all strictly on one side of the other's plane (it then
  // meets that plane only where they share), by a margin far above the
  // rounding of the sides; the exact test decides the rest.
  if (apart(t.vertices, t.corners, t_plane, other_vertices, other_corners, other_plane) ||
      apart(other_vertices, other_corners, other_plane, t.vertices, t.corners, t_plane)) {
    return false;
  }
  axes_[0] = axis_of(t.vertices, t.corners, t_plane);
  if (axes_[0] < 0) return true;  // no area
  axes_[1] = axis_of(other_vertices, other_corners, other_plane);
  if (axes_[1] < 0) return false;  // the other has none: not a pair the test takes
  // Two triangles of a surface that share one vertex lie side by side, each
  // across the other's plane where it curves like a saddle; a plane through
  // the vertex parts them, and the exact test is not needed.
  int shared = 0;
  int at_t = 0;
  int at_other = 0;
  for (int i = 0; i < 3; ++i) {
    for (int j = 0; j < 3; ++j) {
      if (t.vertices[i] == other_vertices[j]) {
        ++shared;
        at_t = i;
        at_other = j;
      }
    }
  }
  if (shared == 1 &&
      apart_but_at(t.corners[at_t], {t.corners[(at_t + 1) % 3], t.corners[(at_t + 2) % 3]},
                   t_plane.normal,
                   {other_corners[(at_other + 1) % 3], other_corners[(at_other + 2) % 3]},
                   other_plane.normal)) {
    return false;
  }
  // The two triangles as a mesh of their own, shared vertices shared.
  std::uint64_t ids[6];
  double coordinates[18];
  std::int64_t faces[6];
  std::size_t count = 0;
  auto add = [&](std::uint64_t id, const Vec3& at) {
    for (std::size_t i = 0; i < count; ++i) {
      if (ids[i] == id) return static_cast<std::int64_t>(i);
    }
    ids[count] = id;
    coordinates[3 * count] = at.x;
    coordinates[3 * count + 1] = at.y;
    coordinates[3 * count + 2] = at.z;
    return static_cast<std::int64_t>(count++);
  };
  for (int k = 0; k < 3; ++k) faces[k] = add(t.vertices[k], t.corners[k]);
  for (int k = 0; k < 3; ++k) faces[3 + k] = add(other_vertices[k], other_corners[k]);
  const validity::MeshView view{coordinates, count, faces, 2};
  return validity::triangles_meet(view, axes_, 0, 1);
}

bool FoldGuard::folds(const std::vector<ChangedTriangle>& changed,
                      const std::vector<std::size_t>& gone) {
  if (changed.empty()) return false;
  // The changed triangles' boxes, and the box round them all.
  boxes_.resize(changed.size());
  planes_.resize(changed.size());
  Box all;
  for (std::size_t i = 0; i < changed.size(); ++i) {
    planes_[i] = plane_of(changed[i].corners);
    corner_box(changed[i].corners, boxes_[i].low, boxes_[i].high);
    if (i == 0) all = boxes_[0];
    all.low = {std::min(all.low.x, boxes_[i].low.x), std::min(all.low.y, boxes_[i].low.y),
               std::min(all.low.z, boxes_[i].low.z)};
    all.high = {std::max(all.high.x, boxes_[i].high.x), std::max(all.high.y, boxes_[i].high.y),
                std::max(all.high.z, boxes_[i].high.z)};
  }
  // The changed triangles against each other, as they would stand.
  for (std::size_t i = 0; i < changed.size(); ++i) {
    for (std::size_t j = i + 1; j < changed.size(); ++j) {
      if (boxes_overlap(boxes_[i].low, boxes_[i].high, boxes_[j].low, boxes_[j].high) &&
          meets(changed[i], planes_[i], changed[j].vertices, changed[j].corners, planes_[j])) {
        return true;
      }
    }
  }
  // Then against every other live triangle near them: those filed in the
  // cells the box round them overlaps (or in every filed cell, when those
  // are fewer), and the large ones.
  if (++query_ == 0) {
    std::fill(seen_.begin(), seen_.end(), 0);
    query_ = 1;
  }
  for (const std::size_t f : gone) seen_[f] = query_;
  for (const ChangedTriangle& c : changed) seen_[c.face] = query_;
  scratch_.clear();
  // Only triangles whose box meets the box round the changed ones are kept.
  auto offer = [&](std::uint32_t f) {
    if (seen_[f] == query_) return;
    seen_[f] = query_;
    const Box& b = filed_[f].box;
    if (boxes_overlap(all.low, all.high, b.low, b.high)) scratch_.push_back(f);
  };
  const CellBox cells = cells_of(all);
  double reach = 1.0;
  for (int k = 0; k < 3; ++k) reach *= static_cast<double>(cells.high[k] - cells.low[k] + 1);
  if (reach > static_cast<double>(cells_.size())) {
    for (const auto& [cell, entries] : cells_) {
      for (const std::uint32_t f : entries) offer(f);
    }
  } else {
    for (std::int64_t x = cells.low[0]; x <= cells.high[0]; ++x) {
      for (std::int64_t y = cells.low[1]; y <= cells.high[1]; ++y) {
        for (std::int64_t z = cells.low[2]; z <= cells.high[2]; ++z) {
          const auto at = cells_.find(key(x, y, z));
          if (at == cells_.end()) continue;
          for (const std::uint32_t f : at->second) offer(f);
        }
      }
    }
  }
  for (const std::uint32_t f : large_) offer(f);
  const std::size_t count = changed.size();
  const Box* boxes = boxes_.data();
  for (const std::uint32_t f : scratch_) {
    const Box& b = filed_[f].box;
    const Shape* shape = nullptr;
    for (std::size_t i = 0; i < count; ++i) {
      if (!boxes_overlap(boxes[i].low, boxes[i].high, b.low, b.high)) continue;
      if (shape == nullptr) shape = &shape_of(f);
      if (meets(changed[i], planes_[i], triangles_[f], shape->corners, shape->plane)) return true;
    }
  }
  return false;
}

}  // namespace karvex
