// Bad triangles, all of them or among a named few (see local_test.h).
#include "validity/local_test.h"

#include <algorithm>
#include <cmath>
#include <limits>

#include "pool/worker_pool.h"
#include "validity/high_half_sort.h"

namespace karvex::validity {

namespace {

constexpr double kEntriesPerFace = 16.0;  // grid cells per triangle on average, at most

// Sorted zero-area triangles and triangles of pairs, without repeats.
std::vector<std::int64_t> union_of(std::vector<std::int64_t> bad, const std::vector<FacePair>& pairs) {
  for (const FacePair& pair : pairs) bad.insert(bad.end(), pair.begin(), pair.end());
  std::sort(bad.begin(), bad.end());
  bad.erase(std::unique(bad.begin(), bad.end()), bad.end());
  return bad;
}

}  // namespace

LocalTest::LocalTest(const MeshView& mesh, WorkerPool& pool) : mesh_(mesh), pool_(pool) {}

std::vector<std::int64_t> LocalTest::bad_faces() {
  return bad_faces_of(find_self_intersections(mesh_, nullptr, pool_));
}

void LocalTest::update(std::int64_t face) {
  const auto f = static_cast<std::size_t>(face);
  axes_[f] = plane_axis(mesh_, f);
  const std::int64_t* corners = mesh_.faces + 3 * face;
  Box box;
  for (int a = 0; a < 3; ++a) box.lo[a] = box.hi[a] = mesh_.vertices[3 * corners[0] + a];
  for (int k = 1; k < 3; ++k) {
    for (int a = 0; a < 3; ++a) {
      const double x = mesh_.vertices[3 * corners[k] + a];
      box.lo[a] = std::min(box.lo[a], x);
      box.hi[a] = std::max(box.hi[a], x);
    }
  }
  boxes_[f] = box;
  const Cell first = grid_.cell_of(box.lo), last = grid_.cell_of(box.hi);
  for (int a = 0; a < 3; ++a) {
    firsts_[f][a] = static_cast<std::int32_t>(first[a]);
    lasts_[f][a] = static_cast<std::int32_t>(last[a]);
  }
}

template <typename Visit>
void LocalTest::for_each_cell(std::size_t f, Visit&& visit) const {
  Cell c;
  for (c[0] = firsts_[f][0]; c[0] <= lasts_[f][0]; ++c[0]) {
    for (c[1] = firsts_[f][1]; c[1] <= lasts_[f][1]; ++c[1]) {
      for (c[2] = firsts_[f][2]; c[2] <= lasts_[f][2]; ++c[2]) visit(grid_.index(c));
    }
  }
}

void LocalTest::start() {
  started_ = true;
  const std::size_t count = mesh_.face_count;
  axes_.assign(count, -1);
  boxes_.resize(count);
  firsts_.resize(count);
  lasts_.resize(count);
  stale_.assign(count, 0);
  named_.assign(count, 0);
  // The grid covers every vertex; its cell is about the median triangle's
  // size, coarser if the boxes would need too many cells.
  grid_ = ClampedGrid::around(mesh_);
  const double extent = grid_.extent();
  std::vector<double> sizes(count);
  parallel_for(pool_, count, [&](std::size_t f) {
    update(static_cast<std::int64_t>(f));  // the box; the cells follow once the grid is chosen
    double largest = 0.0;
    for (int a = 0; a < 3; ++a) largest = std::max(largest, boxes_[f].hi[a] - boxes_[f].lo[a]);
    sizes[f] = largest;
  });
  std::nth_element(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(count / 2), sizes.end());
  double side = std::max({sizes[count / 2], std::ldexp(extent, -20), std::numeric_limits<double>::min()});
  while (true) {
    grid_.set_size(side);
    double entries = 0.0;
    for (std::size_t f = 0; f < count; ++f) {
      const Cell lo = grid_.cell_of(boxes_[f].lo), hi = grid_.cell_of(boxes_[f].hi);
      entries += static_cast<double>(hi[0] - lo[0] + 1) * static_cast<double>(hi[1] - lo[1] + 1) *
                 static_cast<double>(hi[2] - lo[2] + 1);
    }
    if (entries <= kEntriesPerFace * static_cast<double>(count) || side >= extent) break;
    side *= 2.0;
  }
  parallel_for(pool_, count, [&](std::size_t f) { update(static_cast<std::int64_t>(f)); });
  build_static();
}

// The grid of a large region holds millions of entries. Where cell keys and
// triangles fit in 32 bits each, the entries are listed packed into one word
// (key high, triangle low, in increasing triangle order) and ordered by the
// radix sort of high_half_sort.h, in time linear in their number; its order
// is std::sort's on the pairs. The sorted words are the table itself, so the
// build holds at most the words and the sort's scratch (16 bytes an entry).
// The previous table is dropped first and the new one sized exactly.
void LocalTest::build_static() {
  for (std::int64_t f : stale_list_) stale_[static_cast<std::size_t>(f)] = 0;
  stale_list_.clear();
  static_ = {};
  static_words_ = {};
  const std::size_t count = mesh_.face_count;
  constexpr std::uint64_t kLow = 0xffffffffu;
  narrow_ = count <= kLow && grid_.cell_count() <= static_cast<double>(kLow);
  if (!narrow_) {
    for (std::size_t f = 0; f < count; ++f) {
      if (axes_[f] < 0) continue;
      for_each_cell(f, [&](std::uint64_t k) { static_.emplace_back(k, static_cast<std::int64_t>(f)); });
    }
    std::sort(static_.begin(), static_.end());
    return;
  }
  std::size_t entries = 0;
  for (std::size_t f = 0; f < count; ++f) {
    if (axes_[f] < 0) continue;
    std::size_t cells = 1;
    for (int a = 0; a < 3; ++a) cells *= static_cast<std::size_t>(lasts_[f][a] - firsts_[f][a] + 1);
    entries += cells;
  }
  static_words_.reserve(entries);
  for (std::size_t f = 0; f < count; ++f) {
    if (axes_[f] < 0) continue;
    for_each_cell(f, [&](std::uint64_t k) { static_words_.push_back(k << 32 | static_cast<std::uint64_t>(f)); });
  }
  std::vector<std::uint64_t> scratch;
  sort_by_high_half(static_words_.data(), static_words_.size(), scratch);
}

std::vector<std::int64_t> LocalTest::bad_faces_among(const std::vector<std::int64_t>& faces) {
  if (faces.empty()) return {};
  if (!started_) start();
  parallel_for(pool_, faces.size(), [&](std::size_t n) { update(faces[n]); });
  for (std::int64_t f : faces) {
    named_[static_cast<std::size_t>(f)] = 1;
    if (!stale_[static_cast<std::size_t>(f)]) {
      stale_[static_cast<std::size_t>(f)] = 1;
      stale_list_.push_back(f);
    }
  }
  if (8 * stale_list_.size() > mesh_.face_count) {
    build_static();
  }
  moved_.clear();
  for (std::int64_t f : stale_list_) {
    if (axes_[static_cast<std::size_t>(f)] < 0) continue;
    for_each_cell(static_cast<std::size_t>(f), [&](std::uint64_t k) { moved_.emplace_back(k, f); });
  }
  std::sort(moved_.begin(), moved_.end());

  // A pair is tested from its named triangle (the lower one when both are
  // named), in the cell holding the lowest corner of the boxes' overlap.
  const std::vector<FacePair> pairs = parallel_concat<FacePair>(pool_, faces.size(), [&](std::size_t n, std::vector<FacePair>& out) {
    const std::int64_t f = faces[n];
    const auto fs = static_cast<std::size_t>(f);
    if (axes_[fs] < 0) return;
    const Box& x = boxes_[fs];
    auto visit_cell = [&](std::uint64_t k) {
      auto consider = [&](std::int64_t t, bool skip_stale) {
        const auto ts = static_cast<std::size_t>(t);
        if (t == f || (skip_stale && stale_[ts]) || (named_[ts] && t < f)) return;
        const Box& y = boxes_[ts];
        if (!(x.lo[0] <= y.hi[0] && y.lo[0] <= x.hi[0] && x.lo[1] <= y.hi[1] && y.lo[1] <= x.hi[1] &&
              x.lo[2] <= y.hi[2] && y.lo[2] <= x.hi[2])) {
          return;
        }
        const Cell corner{std::max(firsts_[fs][0], firsts_[ts][0]), std::max(firsts_[fs][1], firsts_[ts][1]),
                          std::max(firsts_[fs][2], firsts_[ts][2])};
        if (grid_.index(corner) != k) return;
        const std::int64_t i = std::min(f, t), j = std::max(f, t);
        if (triangles_meet(mesh_, axes_, i, j)) out.push_back({i, j});
      };
      auto scan = [&](const std::vector<std::pair<std::uint64_t, std::int64_t>>& entries, bool skip_stale) {
        auto it = std::lower_bound(entries.begin(), entries.end(), std::make_pair(k, std::int64_t{-1}));
        for (; it != entries.end() && it->first == k; ++it) consider(it->second, skip_stale);
      };
      if (narrow_) {
        constexpr std::uint64_t kLow = 0xffffffffu;
        auto it = std::lower_bound(static_words_.begin(), static_words_.end(), k << 32);
        for (; it != static_words_.end() && (*it >> 32) == k; ++it) {
          consider(static_cast<std::int64_t>(*it & kLow), true);
        }
      } else {
        scan(static_, true);
      }
      scan(moved_, false);
    };
    for_each_cell(fs, visit_cell);
  });

  std::vector<std::int64_t> zero;
  for (std::int64_t f : faces) {
    const auto fs = static_cast<std::size_t>(f);
    named_[fs] = 0;
    if (axes_[fs] < 0 && !has_repeated_index(mesh_, fs)) zero.push_back(f);
  }
  return union_of(std::move(zero), pairs);
}

}  // namespace karvex::validity
