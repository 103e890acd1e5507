#include "construction/dense_volume_build.h"

#include <algorithm>
#include <array>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <memory>
#include <utility>
#include <vector>

#include "construction/code_tree.h"
#include "pool/range_parts.h"
#include "pool/run_monitor.h"
#include "pool/worker_pool.h"
#include "support/alloc_context.h"

namespace karvex {

namespace {

// Cell codes interleave the three coordinates' bits (x lowest), so sorted
// codes are the depth-first order of the tree, octant by octant: 21 bits
// per coordinate fill 63 bits.
constexpr unsigned kDeepestDense = 21;
// The voxels are read in bricks of 8^3 cells, bricks in code order: the
// codes found come out sorted, and a brick's signs fit in a small buffer.
constexpr unsigned kBrickDepth = 3;
// A brick's rows of points fit in 16 bits, its rows of cells in 64 entries.
static_assert(kBrickDepth <= 3);
// Bricks per task: a brick is read in a few microseconds.
constexpr std::size_t kBricksPerTask = 16;

// Where one axis of the lattice meets the samples: per lattice index,
// whether the cap leaves the field's value below the level possible there
// (strictly inside the box), and then the byte offset of its sample.
struct AxisMap {
  std::vector<std::uint8_t> open;
  std::vector<std::ptrdiff_t> offset;
  std::size_t first = 0;  // the first and last open index (first > last: none)
  std::size_t last = 0;
  std::size_t sample_low = 0;  // the samples read at open indices
  std::size_t sample_high = 0;
};

// The axis's map, or nothing when an open lattice point is not a sample.
// Positions and sample coordinates are computed as the tree and the field
// compute them, so "is a sample" means the field reads exactly that one.
std::optional<AxisMap> map_axis(const Octree& tree, const VolumeField& field, int axis) {
  const std::size_t points = static_cast<std::size_t>(pow2(tree.max_depth)) + 1;
  const double h = tree.spacing();
  const double origin = tree.origin[axis];
  const double sample_origin = field.placement().origin[axis];
  const double spacing = field.placement().spacing[axis];
  const double top = static_cast<double>(field.samples().shape[static_cast<std::size_t>(axis)]) - 1.0;
  AxisMap map;
  map.open.assign(points, 0);
  map.offset.assign(points, 0);
  map.first = points;
  map.sample_low = std::numeric_limits<std::size_t>::max();
  for (std::size_t i = 0; i < points; ++i) {
    const double p = static_cast<double>(i) * h + origin;
    if (field.cap() && !field.cap()->keeps_below(axis, p)) continue;
    const double u = (p - sample_origin) / spacing;
    if (!(u >= 0.0 && u <= top) || u != std::floor(u)) return std::nullopt;
    const auto sample = static_cast<std::size_t>(u);
    map.open[i] = 1;
    map.offset[i] = static_cast<std::ptrdiff_t>(sample) *
                    field.samples().strides[static_cast<std::size_t>(axis)];
    map.first = std::min(map.first, i);
    map.last = i;
    map.sample_low = std::min(map.sample_low, sample);
    map.sample_high = std::max(map.sample_high, sample);
  }
  return map;
}

template <class T>
double read_sample(const char* where) {
  T value;
  std::memcpy(&value, where, sizeof(T));
  return static_cast<double>(value);
}

// Whether every sample the field reads at the open lattice points is
// finite: the sample itself and its neighbours, which interpolation weighs
// by zero (a zero weight does not hide an infinity or a NaN).
template <class T>
bool reads_finite(const VolumeSamples& samples, const std::array<AxisMap, 3>& axes,
                  WorkerPool& pool) {
  std::size_t low[3], high[3];
  for (std::size_t a = 0; a < 3; ++a) {
    low[a] = axes[a].sample_low == 0 ? 0 : axes[a].sample_low - 1;
    high[a] = std::min(axes[a].sample_high + 1, samples.shape[a] - 1);
  }
  std::atomic<bool> finite{true};
  const RunMonitor::Suspended quiet;
  pool.run(high[0] - low[0] + 1, 1, [&](LoopRange& range) {
    for (std::size_t n = range.begin(); range.keep_going(n); ++n) {
      const char* plane = samples.data + static_cast<std::ptrdiff_t>(low[0] + n) * samples.strides[0];
      bool all = true;
      for (std::size_t j = low[1]; j <= high[1]; ++j) {
        const char* row = plane + static_cast<std::ptrdiff_t>(j) * samples.strides[1];
        for (std::size_t k = low[2]; k <= high[2]; ++k) {
          all = all && std::isfinite(read_sample<T>(row + static_cast<std::ptrdiff_t>(k) *
                                                              samples.strides[2]));
        }
      }
      if (!all) finite.store(false, std::memory_order_relaxed);
    }
  });
  return finite.load();
}

struct ValueRange {
  double low = std::numeric_limits<double>::infinity();
  double high = -std::numeric_limits<double>::infinity();
};

// The field's capped values at lattice points, read straight from the
// samples where it can: the leaves' corner values, whenever extraction
// wants them (the tree keeps no records). The maps' arrays, the samples and
// the cap are reached through pointers taken once, so that a read loads
// no more than it uses.
template <class T>
class LatticeReader {
 public:
  LatticeReader(std::shared_ptr<const std::array<AxisMap, 3>> axes, const VolumeField& field,
                const Vec3& origin, double h)
      : axes_(std::move(axes)),
        field_(&field),
        cap_(field.cap() ? &*field.cap() : nullptr),
        data_(field.samples().data),
        negate_(field.placement().negate),
        origin_(origin),
        h_(h) {
    for (std::size_t a = 0; a < 3; ++a) {
      open_[a] = (*axes_)[a].open.data();
      offset_[a] = (*axes_)[a].offset.data();
    }
  }

  // The tree's source of lattice values, reading through a reader of its own.
  static LatticeValues values(std::shared_ptr<const std::array<AxisMap, 3>> axes,
                              const VolumeField& field, const Vec3& origin, double h) {
    return LatticeValues(&LatticeReader::read_at,
                         std::make_shared<const LatticeReader>(std::move(axes), field, origin, h),
                         &LatticeReader::prefetch_at);
  }

  // The capped value at lattice point `key`. Where the point is open and
  // its sample is not zero, the trilinear form reads that one sample with
  // weights one and zero, which give it back exactly (a zero could come
  // back with its sign flipped), so it is read directly and only capped;
  // elsewhere the field computes it.
  double operator()(const CornerKey& key) const {
    if (open_[0][key.x] && open_[1][key.y] && open_[2][key.z]) {
      double value = read_sample<T>(data_ + offset_[0][key.x] + offset_[1][key.y] +
                                    offset_[2][key.z]);
      if (value != 0.0) {
        if (negate_) value = -value;
        // The point is open: strictly inside the cap's box, where the cap
        // keeps the field's value unless the box lies nearer the level.
        if (cap_ != nullptr) {
          Vec3 gradient;
          cap_->apply(lattice_position(origin_, key, h_), value, gradient);
        }
        return value;
      }
    }
    return field_->capped_at(lattice_position(origin_, key, h_));
  }

 private:
  static double read_at(const void* reader, const CornerKey& key) {
    return (*static_cast<const LatticeReader*>(reader))(key);
  }

  // Asks for the sample that reading `key` loads first (an open point's).
  static void prefetch_at(const void* context, const CornerKey& key) {
    const auto& reader = *static_cast<const LatticeReader*>(context);
    if (reader.open_[0][key.x] && reader.open_[1][key.y] && reader.open_[2][key.z]) {
      __builtin_prefetch(reader.data_ + reader.offset_[0][key.x] + reader.offset_[1][key.y] +
                         reader.offset_[2][key.z]);
    }
  }

  std::shared_ptr<const std::array<AxisMap, 3>> axes_;  // keeps the maps' arrays alive
  const VolumeField* field_;
  const BoxCap* cap_;
  const char* data_;
  bool negate_;
  Vec3 origin_;
  double h_;
  std::array<const std::uint8_t*, 3> open_{};
  std::array<const std::ptrdiff_t*, 3> offset_{};
};

// One construction: the maps of the three axes and the tree being built.
class DenseBuild {
 public:
  DenseBuild(VolumeField& field, std::array<AxisMap, 3> axes, Octree tree, WorkerPool& pool)
      : field_(field),
        shared_axes_(std::make_shared<const std::array<AxisMap, 3>>(std::move(axes))),
        axes_(*shared_axes_),
        tree_(std::move(tree)),
        pool_(pool) {
    brick_depth_ = std::min<unsigned>(kBrickDepth, tree_.max_depth);
    brick_side_ = pow2(brick_depth_);
    const unsigned cells = pow2(3 * brick_depth_);
    local_.resize(cells);
    code_of_.resize(cells);
    for (std::uint32_t q = 0; q < cells; ++q) {
      local_[q] = decode_cell_code(q);
      code_of_[local_[q][0] + brick_side_ * (local_[q][1] + brick_side_ * local_[q][2])] = q;
    }
  }

  // With `leaves_only`, the nodes above the leaves are left out (see
  // Octree::leaves_only).
  Octree run(bool leaves_only) {
    find_surface_cells();
    keep_lattice_reader();
    if (leaves_only) {
      tree_.leaves_only = true;
    } else {
      set_work_stage("assembling the volume's octree");
      tree_.root = assemble_code_tree(
          tree_, codes_, masks_,
          [this](const CornerKey& corner) { return below_any_type(corner.x, corner.y, corner.z); },
          pool_);
    }
    // The codes are the leaves in walk order (sorted codes are the
    // depth-first order): handed to the extraction, which lists them.
    tree_.finest_leaf_codes = std::move(codes_);
    tree_.finest_leaf_masks = std::move(masks_);
    return std::move(tree_);
  }

 private:
  // The field's value below the level at lattice point (i, j, k), read
  // straight from the samples (as the field reads it there, since every
  // open point is a sample and what it reads is finite).
  template <class T>
  bool below(std::size_t i, std::size_t j, std::size_t k, ValueRange* range) const {
    if (!axes_[0].open[i] || !axes_[1].open[j] || !axes_[2].open[k]) return false;
    double value = read_sample<T>(field_.samples().data + axes_[0].offset[i] +
                                  axes_[1].offset[j] + axes_[2].offset[k]);
    if (field_.placement().negate) value = -value;
    if (range != nullptr) {
      range->low = std::min(range->low, value);
      range->high = std::max(range->high, value);
    }
    return value < tree_.iso_value;
  }

  bool below_any_type(std::size_t i, std::size_t j, std::size_t k) const {
    switch (field_.samples().type) {
      case SampleType::kUint8: return below<std::uint8_t>(i, j, k, nullptr);
      case SampleType::kUint16: return below<std::uint16_t>(i, j, k, nullptr);
      case SampleType::kInt16: return below<std::int16_t>(i, j, k, nullptr);
      case SampleType::kFloat32: return below<float>(i, j, k, nullptr);
      case SampleType::kFloat64: return below<double>(i, j, k, nullptr);
    }
    return false;
  }

  // Whether a brick's lattice points along `axis` from `start` meet the
  // open ones (else none of its cells can change sign).
  bool meets_open(int axis, std::size_t start) const {
    const AxisMap& map = axes_[static_cast<std::size_t>(axis)];
    return map.first <= map.last && start <= map.last && start + brick_side_ >= map.first;
  }

  // The codes of one brick's cells whose corners lie on both sides, in code
  // order, appended to `codes`, and their sign masks to `masks`. `rows` is
  // the brick's scratch: per row of lattice points along x
  // (y + (side + 1) * z), bit x set when point x is below the level.
  //
  // These signs are the field's own: at an open point the field's value is
  // its sample (weights one and zero give a finite sample back, up to the
  // sign of a zero, and every sample read there is finite), and the cap
  // leaves it below the level exactly where it was (BoxCap::keeps_below);
  // at any other point the capped value is not below the level. So the
  // masks need no second reading of the corners through the field.
  template <class T>
  void scan_brick(std::uint64_t brick, std::vector<std::uint16_t>& rows,
                  std::vector<std::uint64_t>& codes, std::vector<std::uint8_t>& masks,
                  ValueRange& range) const {
    const auto at = decode_cell_code(brick);
    const std::size_t side = brick_side_;
    const std::size_t x0 = std::size_t{at[0]} * side;
    const std::size_t y0 = std::size_t{at[1]} * side;
    const std::size_t z0 = std::size_t{at[2]} * side;
    if (!meets_open(0, x0) || !meets_open(1, y0) || !meets_open(2, z0)) return;
    const std::size_t n = side + 1;
    const char* data = field_.samples().data;
    const bool negate = field_.placement().negate;
    const double iso = tree_.iso_value;
    // The brick's open points along each axis and their samples' offsets; a
    // point that is not open is above the level (below() says false there).
    std::ptrdiff_t offset[3][9];
    std::size_t open[3][9];
    std::size_t count[3] = {0, 0, 0};
    const std::size_t start[3] = {x0, y0, z0};
    for (std::size_t a = 0; a < 3; ++a) {
      for (std::size_t e = 0; e < n; ++e) {
        if (!axes_[a].open[start[a] + e]) continue;
        offset[a][count[a]] = axes_[a].offset[start[a] + e];
        open[a][count[a]++] = e;
      }
    }
    std::fill(rows.begin(), rows.end(), std::uint16_t{0});
    // The range in locals, not through the reference, so they stay in registers.
    double low = range.low;
    double high = range.high;
    const auto take = [&](const char* where, std::uint16_t& row, std::uint16_t bit) {
      double value = read_sample<T>(where);
      if (negate) value = -value;
      low = std::min(low, value);
      high = std::max(high, value);
      if (value < iso) row |= bit;
    };
    // The innermost loop runs along the axis whose samples lie closest
    // together: z in a C-ordered array, x in a Fortran-ordered one.
    const std::array<std::ptrdiff_t, 3>& strides = field_.samples().strides;
    if (std::abs(strides[0]) < std::abs(strides[2])) {
      for (std::size_t c = 0; c < count[2]; ++c) {
        for (std::size_t b = 0; b < count[1]; ++b) {
          const char* line = data + offset[1][b] + offset[2][c];
          std::uint16_t& row = rows[open[1][b] + n * open[2][c]];
          for (std::size_t a = 0; a < count[0]; ++a) {
            take(line + offset[0][a], row, static_cast<std::uint16_t>(1u << open[0][a]));
          }
        }
      }
    } else {
      for (std::size_t a = 0; a < count[0]; ++a) {
        const char* plane = data + offset[0][a];
        const auto bit = static_cast<std::uint16_t>(1u << open[0][a]);
        for (std::size_t b = 0; b < count[1]; ++b) {
          const char* line = plane + offset[1][b];
          std::uint16_t* row = rows.data() + open[1][b];
          for (std::size_t c = 0; c < count[2]; ++c) {
            take(line + offset[2][c], row[n * open[2][c]], bit);
          }
        }
      }
    }
    range.low = low;
    range.high = high;
    const unsigned full_row = (1u << n) - 1u;
    bool any = false;
    bool all = true;
    for (std::size_t r = 0; r < n * n; ++r) {
      any = any || rows[r] != 0;
      all = all && rows[r] == full_row;
    }
    // Every corner on one side: no cell of the brick changes sign.
    if (!any || all) return;
    // Per row of cells, bit x set when cell x has corners on both sides:
    // some corner below (of the four rows' union at x or x + 1) and not
    // every one (of their intersection at x and x + 1). Those cells are
    // marked by their code within the brick, to be listed in code order.
    std::uint64_t chosen[8] = {};
    for (std::size_t z = 0; z < side; ++z) {
      for (std::size_t y = 0; y < side; ++y) {
        const std::size_t r = y + n * z;
        const unsigned some = rows[r] | rows[r + 1] | rows[r + n] | rows[r + n + 1];
        const unsigned every = rows[r] & rows[r + 1] & rows[r + n] & rows[r + n + 1];
        unsigned mixed = (some | some >> 1) & ~(every & every >> 1) & ((1u << side) - 1u);
        while (mixed != 0) {
          const auto x = static_cast<std::size_t>(std::countr_zero(mixed));
          mixed &= mixed - 1u;
          const std::uint32_t q = code_of_[x + side * (y + side * z)];
          chosen[q >> 6] |= std::uint64_t{1} << (q & 63u);
        }
      }
    }
    const std::uint64_t first = brick << (3 * brick_depth_);
    for (std::uint32_t word = 0; word < 8; ++word) {
      for (std::uint64_t left = chosen[word]; left != 0; left &= left - 1) {
        const std::uint32_t q = 64 * word + static_cast<std::uint32_t>(std::countr_zero(left));
        const auto& c = local_[q];
        codes.push_back(first | q);
        // Corner i = dx + 2 dy + 4 dz: its row's bit at x + dx.
        const std::size_t r = c[1] + n * c[2];
        const unsigned near = rows[r] >> c[0];
        const unsigned up = rows[r + 1] >> c[0];
        const unsigned back = rows[r + n] >> c[0];
        const unsigned both = rows[r + n + 1] >> c[0];
        masks.push_back(static_cast<std::uint8_t>((near & 3u) | (up & 3u) << 2 |
                                                  (back & 3u) << 4 | (both & 3u) << 6));
      }
    }
  }

  // Every brick scanned, in code order: codes_ and masks_.
  template <class T>
  void scan_bricks(ValueRange& whole) {
    const std::uint64_t bricks = std::uint64_t{1}
                                 << (3 * (tree_.max_depth - brick_depth_));
    begin_stage("volume cells", bricks);
    RangeParts<std::uint64_t> codes;
    RangeParts<std::uint8_t> masks;
    RangeParts<ValueRange> ranges;
    pool_.run(bricks, kBricksPerTask, [&](LoopRange& loop) {
      std::vector<std::uint16_t> rows((brick_side_ + 1) * (brick_side_ + 1));
      std::vector<std::uint64_t> found;
      std::vector<std::uint8_t> signs;
      ValueRange range;
      for (std::size_t b = loop.begin(); loop.keep_going(b); ++b) {
        scan_brick<T>(b, rows, found, signs, range);
      }
      codes.add(loop.index(), std::move(found));
      masks.add(loop.index(), std::move(signs));
      ranges.add(loop.index(), {range});
    });
    for (const ValueRange& r : ranges.join()) {
      whole.low = std::min(whole.low, r.low);
      whole.high = std::max(whole.high, r.high);
    }
    codes_ = codes.join();
    masks_ = masks.join();
  }

  void find_surface_cells() {
    set_work_stage("finding the volume's surface cells");
    ValueRange range;
    switch (field_.samples().type) {
      case SampleType::kUint8: scan_bricks<std::uint8_t>(range); break;
      case SampleType::kUint16: scan_bricks<std::uint16_t>(range); break;
      case SampleType::kInt16: scan_bricks<std::int16_t>(range); break;
      case SampleType::kFloat32: scan_bricks<float>(range); break;
      case SampleType::kFloat64: scan_bricks<double>(range); break;
    }
    field_.note_range(range.low, range.high);
  }

  // The tree reads its corner values at lattice points through the
  // samples' own type instead of keeping them in leaf records.
  template <class T>
  void keep_lattice_reader_as() {
    tree_.lattice_value = LatticeReader<T>::values(shared_axes_, field_, tree_.origin, tree_.spacing());
    tree_.recordless_leaves = codes_.size();
  }

  void keep_lattice_reader() {
    switch (field_.samples().type) {
      case SampleType::kUint8: keep_lattice_reader_as<std::uint8_t>(); break;
      case SampleType::kUint16: keep_lattice_reader_as<std::uint16_t>(); break;
      case SampleType::kInt16: keep_lattice_reader_as<std::int16_t>(); break;
      case SampleType::kFloat32: keep_lattice_reader_as<float>(); break;
      case SampleType::kFloat64: keep_lattice_reader_as<double>(); break;
    }
  }

  VolumeField& field_;
  // Shared with the tree's reader of lattice values, which outlives the build.
  const std::shared_ptr<const std::array<AxisMap, 3>> shared_axes_;
  const std::array<AxisMap, 3>& axes_;
  Octree tree_;
  WorkerPool& pool_;
  unsigned brick_depth_ = 0;
  std::size_t brick_side_ = 1;
  std::vector<std::array<std::uint32_t, 3>> local_;  // a brick's cells by code
  std::vector<std::uint32_t> code_of_;  // a brick's codes by cell, x + side * (y + side * z)
  std::vector<std::uint64_t> codes_;                  // the surface cells, sorted
  std::vector<std::uint8_t> masks_;                   // their sign masks, in the same order
};

}  // namespace

std::optional<Octree> build_dense_volume_octree(VolumeField& field, const BBox& box,
                                                const MeshingOptions& options) {
  // A window holds only part of the lattice's samples.
  if (options.max_depth > kDeepestDense || field.window()) return std::nullopt;
  Octree tree = make_octree(box, static_cast<std::uint8_t>(options.min_depth),
                            static_cast<std::uint8_t>(options.max_depth), options.level);
  std::array<AxisMap, 3> axes;
  for (int axis = 0; axis < 3; ++axis) {
    auto map = map_axis(tree, field, axis);
    if (!map) return std::nullopt;
    axes[static_cast<std::size_t>(axis)] = std::move(*map);
  }
  WorkerPool& pool = options.run.pool != nullptr ? *options.run.pool : global_pool();
  bool any_open = true;
  for (const AxisMap& map : axes) any_open = any_open && map.first <= map.last;
  if (any_open) {
    bool finite = true;
    switch (field.samples().type) {
      case SampleType::kFloat32: finite = reads_finite<float>(field.samples(), axes, pool); break;
      case SampleType::kFloat64: finite = reads_finite<double>(field.samples(), axes, pool); break;
      default: break;  // integers are always finite
    }
    if (!finite) return std::nullopt;
  }
  // Without simplification, an extraction with lean sampling reads only the
  // listed leaves (the field is pointwise: no window), never the nodes.
  const bool leaves_only = options.lean_sampling && !(options.simplify > 0.0);
  return DenseBuild(field, std::move(axes), std::move(tree), pool).run(leaves_only);
}

}  // namespace karvex
