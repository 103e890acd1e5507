// The region of a mesh near its folds (see fold_region.h).
#include "validity/fold_region.h"

#include <algorithm>
#include <cmath>
#include <limits>
#include <stdexcept>

#include "pool/worker_pool.h"
#include "validity/local_test.h"

namespace karvex::validity {

namespace {

// A cell is this many times the median triangle's largest side (of its box),
// and grow() widens what it marks by kMargin cells: a fold's vertices move
// by less than an edge a round, so a region grown round a fold usually holds
// most of its relaxation, and the scans of the mesh that growing costs stay
// few. (Two triangles a cell measured the same time on the volumes' folds
// with twice the region.)
constexpr double kCellFaces = 1.0;
constexpr std::int64_t kMargin = 1;
constexpr std::size_t kMaxCells = std::size_t{1} << 23;  // one byte each
constexpr std::size_t kSampledFaces = 4096;              // for the median triangle
constexpr std::uint8_t kMarked = 1, kNew = 2;
constexpr std::uint32_t kNone = std::numeric_limits<std::uint32_t>::max();
// A vertex's cell in 3 or 6 bytes, when every axis has at most this many cells.
constexpr std::int64_t kSmallCells = std::int64_t{1} << 8;
constexpr std::int64_t kNarrowCells = std::int64_t{1} << 16;

}  // namespace

FoldRegion::FoldRegion(const MeshView& mesh, WorkerPool& pool) : mesh_(mesh), pool_(pool) {
  if (mesh.vertex_count >= kNone) throw std::length_error("fold relaxation: too many vertices");
  local_.assign(mesh.vertex_count, kNone);
  if (mesh.vertex_count == 0 || mesh.face_count == 0) return;
  grid_ = ClampedGrid::around(mesh);
  const double extent = grid_.extent();
  // The median over evenly spaced triangles: the cell size only sets how
  // much is copied and how often the mesh is scanned, never the result.
  const std::size_t stride = std::max<std::size_t>(1, mesh.face_count / kSampledFaces);
  std::vector<double> sizes;
  for (std::size_t f = 0; f < mesh.face_count; f += stride) {
    const Span s = mesh_face_span(static_cast<std::int64_t>(f));
    sizes.push_back(std::max({s.hi[0] - s.lo[0], s.hi[1] - s.lo[1], s.hi[2] - s.lo[2]}));
  }
  std::nth_element(sizes.begin(), sizes.begin() + static_cast<std::ptrdiff_t>(sizes.size() / 2), sizes.end());
  double side = std::max({kCellFaces * sizes[sizes.size() / 2], std::ldexp(extent, -20), std::numeric_limits<double>::min()});
  while (true) {
    grid_.set_size(side);
    if (grid_.cell_count() <= static_cast<double>(kMaxCells)) break;
    side *= 2.0;
  }
  cells_.assign(static_cast<std::size_t>(grid_.dims[0] * grid_.dims[1] * grid_.dims[2]), 0);
  for (int a = 0; a < 3; ++a) block_dims_[a] = (grid_.dims[a] + kBlockCells - 1) / kBlockCells;
  blocks_.assign(static_cast<std::size_t>(block_dims_[0] * block_dims_[1] * block_dims_[2]), 0);
}

Span FoldRegion::mesh_face_span(std::int64_t face) const {
  const std::int64_t* corners = mesh_.faces + 3 * face;
  Span s;
  for (int a = 0; a < 3; ++a) s.lo[a] = s.hi[a] = mesh_.vertices[3 * corners[0] + a];
  for (int k = 1; k < 3; ++k) {
    for (int a = 0; a < 3; ++a) {
      const double x = mesh_.vertices[3 * corners[k] + a];
      s.lo[a] = std::min(s.lo[a], x);
      s.hi[a] = std::max(s.hi[a], x);
    }
  }
  return s;
}

template <typename Visit>
void FoldRegion::for_each_cell(const Cell& first, const Cell& last, Visit&& visit) const {
  Cell c;
  for (c[0] = first[0]; c[0] <= last[0]; ++c[0]) {
    for (c[1] = first[1]; c[1] <= last[1]; ++c[1]) {
      for (c[2] = first[2]; c[2] <= last[2]; ++c[2]) {
        if (!visit(static_cast<std::size_t>(grid_.index(c)))) return;
      }
    }
  }
}

// Each vertex's cell first (made by the first growth and kept: the
// positions and the grid never change), so that the scan divides per vertex,
// not twice per triangle: the map to cells is monotone on each axis, so a
// box's first and last cells are its corners' lowest and highest.
template <typename Axis, typename Visit>
std::vector<std::int64_t> FoldRegion::scan_by_vertex_cells(std::vector<std::array<Axis, 3>>& at, Visit& visit) {
  if (at.empty()) {
    at = parallel_map<std::array<Axis, 3>>(pool_, mesh_.vertex_count, [&](std::size_t v) {
      const double* p = mesh_.vertices + 3 * v;
      const Cell c = grid_.cell_of({p[0], p[1], p[2]});
      return std::array<Axis, 3>{static_cast<Axis>(c[0]), static_cast<Axis>(c[1]), static_cast<Axis>(c[2])};
    });
  }
  return parallel_concat<std::int64_t>(
      pool_, mesh_.face_count,
      [&](std::size_t f, std::vector<std::int64_t>& out) {
        const std::int64_t* corners = mesh_.faces + 3 * f;
        const std::array<Axis, 3>& a = at[static_cast<std::size_t>(corners[0])];
        const std::array<Axis, 3>& b = at[static_cast<std::size_t>(corners[1])];
        const std::array<Axis, 3>& c = at[static_cast<std::size_t>(corners[2])];
        Cell first, last;
        for (int k = 0; k < 3; ++k) {
          first[k] = std::min({a[k], b[k], c[k]});
          last[k] = std::max({a[k], b[k], c[k]});
        }
        visit(first, last, f, out);
      },
      4096);
}

bool FoldRegion::grow(const std::vector<Span>& spans, bool widen) {
  if (cells_.empty()) return false;
  const std::int64_t margin = widen ? kMargin : 0;
  std::vector<std::size_t> added;
  for (const Span& s : spans) {
    Cell first = grid_.cell_of(s.lo), last = grid_.cell_of(s.hi);
    for (int a = 0; a < 3; ++a) {
      first[a] = std::max<std::int64_t>(first[a] - margin, 0);
      last[a] = std::min(last[a] + margin, grid_.dims[a] - 1);
    }
    for_each_cell(first, last, [&](std::size_t i) {
      if (cells_[i] == 0) {
        cells_[i] = kNew;
        added.push_back(i);
      }
      return true;
    });
  }
  if (added.empty()) return false;
  std::vector<std::uint64_t> flagged;
  for (std::size_t i : added) {
    const std::uint64_t yz = static_cast<std::uint64_t>(grid_.dims[1] * grid_.dims[2]);
    const std::uint64_t b = block_index(static_cast<std::int64_t>(i / yz) / kBlockCells,
                                        static_cast<std::int64_t>(i % yz) / grid_.dims[2] / kBlockCells,
                                        static_cast<std::int64_t>(i % yz) % grid_.dims[2] / kBlockCells);
    if (blocks_[b] == 0) flagged.push_back(b);
    blocks_[b] = 1;
  }
  // A triangle joins when it touches a new cell and no cell marked before
  // (those touching one are in already).
  auto visit = [&](const Cell& first, const Cell& last, std::size_t f, std::vector<std::int64_t>& out) {
    // Cells are never negative: the blocks by unsigned division.
    auto block = [](std::int64_t cell) {
      return static_cast<std::int64_t>(static_cast<std::uint64_t>(cell) / kBlockCells);
    };
    const Cell low{block(first[0]), block(first[1]), block(first[2])};
    const Cell high{block(last[0]), block(last[1]), block(last[2])};
    bool near = false;
    for (std::int64_t x = low[0]; x <= high[0] && !near; ++x) {
      for (std::int64_t y = low[1]; y <= high[1] && !near; ++y) {
        for (std::int64_t z = low[2]; z <= high[2] && !near; ++z) near = blocks_[block_index(x, y, z)] != 0;
      }
    }
    if (!near) return;
    bool fresh = false, old = false;
    for_each_cell(first, last, [&](std::size_t i) {
      fresh = fresh || cells_[i] == kNew;
      old = cells_[i] == kMarked;
      return !old;
    });
    if (fresh && !old) out.push_back(static_cast<std::int64_t>(f));
  };
  std::vector<std::int64_t> joining;
  const std::int64_t widest = std::max({grid_.dims[0], grid_.dims[1], grid_.dims[2]});
  if (widest <= kSmallCells) {
    joining = scan_by_vertex_cells(small_vertex_cells_, visit);
  } else if (widest <= kNarrowCells) {
    joining = scan_by_vertex_cells(vertex_cells_, visit);
  } else {
    joining = parallel_concat<std::int64_t>(
        pool_, mesh_.face_count,
        [&](std::size_t f, std::vector<std::int64_t>& out) {
          const Span s = mesh_face_span(static_cast<std::int64_t>(f));
          visit(grid_.cell_of(s.lo), grid_.cell_of(s.hi), f, out);
        },
        4096);
  }
  for (std::size_t i : added) cells_[i] = kMarked;
  for (std::uint64_t b : flagged) blocks_[b] = 0;
  // New vertices are numbered first, so that every table grows once to its
  // exact size: the region's copies are alive while the relaxation's tables
  // are built, and a doubling vector's spare half would count in the peak.
  const std::size_t known = mesh_vertices_.size();
  std::size_t next = known;
  for (std::int64_t f : joining) {
    for (int k = 0; k < 3; ++k) {
      std::uint32_t& v = local_[static_cast<std::size_t>(mesh_.faces[3 * f + k])];
      if (v == kNone) v = static_cast<std::uint32_t>(next++);
    }
  }
  mesh_vertices_.reserve(next);
  mesh_vertices_.resize(next);
  positions_.reserve(3 * next);
  positions_.resize(3 * next);
  faces_.reserve(faces_.size() + 3 * joining.size());
  mesh_faces_.reserve(mesh_faces_.size() + joining.size());
  for (std::int64_t f : joining) {
    for (int k = 0; k < 3; ++k) {
      const std::int64_t g = mesh_.faces[3 * f + k];
      const std::uint32_t v = local_[static_cast<std::size_t>(g)];
      if (v >= known) {
        mesh_vertices_[v] = g;
        std::copy(mesh_.vertices + 3 * g, mesh_.vertices + 3 * g + 3, positions_.begin() + 3 * std::ptrdiff_t{v});
      }
      faces_.push_back(v);
    }
    mesh_faces_.push_back(f);
  }
  view_ = MeshView{positions_.data(), mesh_vertices_.size(), faces_.data(), mesh_faces_.size()};
  return !joining.empty();
}

std::vector<std::int64_t> FoldRegion::start_round(const std::vector<std::int64_t>& faces) {
  std::vector<Span> spans;
  spans.reserve(faces.size());
  for (std::int64_t f : faces) spans.push_back(mesh_face_span(f));
  grow(spans);
  // Every one of them joins (its box touches a cell marked now), and one
  // growth numbers its triangles in mesh order.
  std::vector<std::int64_t> local;
  local.reserve(faces.size());
  std::size_t n = 0;
  for (std::int64_t f : faces) {
    while (mesh_faces_[n] != f) ++n;
    local.push_back(static_cast<std::int64_t>(n));
  }
  return local;
}

bool FoldRegion::covers(const Span& span) const {
  if (cells_.empty()) return false;
  bool all = true;
  for_each_cell(grid_.cell_of(span.lo), grid_.cell_of(span.hi), [&](std::size_t i) {
    all = cells_[i] == kMarked;
    return all;
  });
  return all;
}

bool FoldRegion::open(std::int64_t v) const {
  if (cells_.empty()) return false;
  const double* p = mesh_.vertices + 3 * mesh_vertex(v);
  return cells_[static_cast<std::size_t>(grid_.index(grid_.cell_of({p[0], p[1], p[2]})))] == kMarked;
}

std::vector<std::int64_t> bad_faces_near(const MeshView& mesh, const std::vector<std::int64_t>& named,
                                         WorkerPool& pool) {
  if (named.empty()) return {};
  FoldRegion region(mesh, pool);
  const std::vector<std::int64_t> local = region.start_round(named);
  std::vector<std::int64_t> bad = LocalTest(region.view(), pool).bad_faces_among(local);
  for (std::int64_t& f : bad) f = region.mesh_face(f);  // local order is mesh order here
  return bad;
}

}  // namespace karvex::validity
