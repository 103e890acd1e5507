#include "volume/volume_field.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <limits>
#include <mutex>
#include <utility>

#include "pool/run_monitor.h"
#include "pool/worker_pool.h"

namespace karvex {

namespace {

template <class T>
double read_as(const char* where) {
  T value;
  std::memcpy(&value, where, sizeof(T));
  return static_cast<double>(value);
}

double lerp(double low, double high, double t) { return low * (1.0 - t) + high * t; }

// The eight samples at the corners of `cell`, corner (a, b, c) at index
// 4a + 2b + c, as doubles (exact for every sample type).
template <class T>
void read_corners(const VolumeSamples& samples, const std::size_t cell[3], double c[8]) {
  const char* base = samples.data + static_cast<std::ptrdiff_t>(cell[0]) * samples.strides[0] +
                     static_cast<std::ptrdiff_t>(cell[1]) * samples.strides[1] +
                     static_cast<std::ptrdiff_t>(cell[2]) * samples.strides[2];
  for (int a = 0; a < 2; ++a) {
    for (int b = 0; b < 2; ++b) {
      for (int d = 0; d < 2; ++d) {
        c[4 * a + 2 * b + d] = read_as<T>(base + a * samples.strides[0] + b * samples.strides[1] +
                                          d * samples.strides[2]);
      }
    }
  }
}

// Points per task of the pool: interpolation costs tens of nanoseconds a
// point, so smaller shares cost more to hand out than to compute.
constexpr std::size_t kPointsPerTask = 4096;

// How many points ahead a batch asks for the samples it will read: enough
// to cover a read from memory behind the interpolation of the points
// between.
constexpr std::size_t kPrefetchAhead = 8;
// Samples spanning fewer bytes than this stay in the last level of cache
// between the passes that read them (a 257^3 array of uint8 does), where
// asking for them early only costs instructions.
constexpr std::size_t kCachedBytes = std::size_t{32} << 20;

}  // namespace

double VolumeSamples::at(std::size_t i, std::size_t j, std::size_t k) const {
  const char* where = data + static_cast<std::ptrdiff_t>(i) * strides[0] +
                      static_cast<std::ptrdiff_t>(j) * strides[1] +
                      static_cast<std::ptrdiff_t>(k) * strides[2];
  switch (type) {
    case SampleType::kUint8: return read_as<std::uint8_t>(where);
    case SampleType::kUint16: return read_as<std::uint16_t>(where);
    case SampleType::kInt16: return read_as<std::int16_t>(where);
    case SampleType::kFloat32: return read_as<float>(where);
    case SampleType::kFloat64: return read_as<double>(where);
  }
  return 0.0;
}

VolumeField::VolumeField(const VolumeSamples& samples, const VolumePlacement& placement,
                         WorkerPool& pool, std::optional<BoxCap> cap,
                         std::optional<VolumeWindow> window)
    : samples_(samples),
      placement_(placement),
      pool_(pool),
      cap_(cap),
      window_(window),
      low_(std::numeric_limits<double>::infinity()),
      high_(-std::numeric_limits<double>::infinity()) {
  const std::array<std::size_t, 3>& whole = window_ ? window_->shape : samples_.shape;
  top_ = Vec3{static_cast<double>(whole[0]) - 1.0, static_cast<double>(whole[1]) - 1.0,
              static_cast<double>(whole[2]) - 1.0};
  for (int axis = 0; axis < 3; ++axis) {
    // -0.0 is a shift: p - (-0.0) turns a -0.0 into +0.0.
    shifted_[axis] = std::bit_cast<std::uint64_t>(placement_.origin[axis]) != 0;
    scaled_[axis] = placement_.spacing[axis] != 1.0;
  }
  // Cells are asked for ahead in a whole volume that the cache cannot hold;
  // a window's cells may lie beyond its block.
  std::size_t span = 0;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    span += static_cast<std::size_t>(std::abs(samples_.strides[axis])) * (samples_.shape[axis] - 1);
  }
  prefetch_ = !window_ && span > kCachedBytes;
  // The axis whose samples lie closest together holds a cell's corners in
  // pairs on one line (mostly): one address per pair, the lower one.
  std::size_t near = 0;
  for (std::size_t axis = 1; axis < 3; ++axis) {
    if (std::abs(samples_.strides[axis]) < std::abs(samples_.strides[near])) near = axis;
  }
  const std::size_t across[2] = {(near + 1) % 3, (near + 2) % 3};
  for (std::size_t c = 0; c < pair_offsets_.size(); ++c) {
    pair_offsets_[c] = std::min<std::ptrdiff_t>(samples_.strides[near], 0) +
                       static_cast<std::ptrdiff_t>(c & 1u) * samples_.strides[across[0]] +
                       static_cast<std::ptrdiff_t>(c >> 1) * samples_.strides[across[1]];
  }
}

VolumeField::Located VolumeField::locate(const Vec3& p) const {
  const Vec3& spacing = placement_.spacing;
  Located at{};
  double u[3];
  at.undefined = false;
  for (int axis = 0; axis < 3; ++axis) {
    // In units of samples: (p - origin) / spacing, whose subtraction of +0.0
    // and division by 1.0 give p back exactly and are skipped.
    u[axis] = p[axis];
    if (shifted_[axis]) u[axis] -= placement_.origin[axis];
    if (scaled_[axis]) u[axis] /= spacing[axis];
    at.undefined = at.undefined || std::isnan(u[axis]);
  }
  for (int axis = 0; axis < 3; ++axis) {
    at.outside[axis] = u[axis] < 0.0 || u[axis] > top_[axis];
    u[axis] = at.undefined ? 0.0 : std::clamp(u[axis], 0.0, top_[axis]);
    // The cell is the one below u, except on the last sample plane, which
    // belongs to the cell before it. u is in [0, top] (perhaps -0.0) and
    // below 2^53, where truncation to an integer with u's sign is floor(u)
    // exactly, without the call to floor that the baseline x86-64 needs.
    const double whole = static_cast<double>(static_cast<std::int64_t>(u[axis]));
    const double below = std::min(std::copysign(whole, u[axis]), top_[axis] - 1.0);
    at.t[axis] = u[axis] - below;
    at.cell[axis] = static_cast<std::size_t>(below);
  }
  return at;
}

bool VolumeField::holds(const Located& at) const {
  if (!window_) return true;
  for (std::size_t axis = 0; axis < 3; ++axis) {
    const std::size_t first = window_->offset[axis];
    if (at.cell[axis] < first || at.cell[axis] + 1 >= first + samples_.shape[axis]) return false;
  }
  return true;
}

void VolumeField::held_corners(const Located& at, double c[8]) const {
  std::size_t cell[3] = {at.cell[0], at.cell[1], at.cell[2]};
  if (window_) {
    for (std::size_t axis = 0; axis < 3; ++axis) cell[axis] -= window_->offset[axis];
  }
  switch (samples_.type) {
    case SampleType::kUint8: read_corners<std::uint8_t>(samples_, cell, c); break;
    case SampleType::kUint16: read_corners<std::uint16_t>(samples_, cell, c); break;
    case SampleType::kInt16: read_corners<std::int16_t>(samples_, cell, c); break;
    case SampleType::kFloat32: read_corners<float>(samples_, cell, c); break;
    case SampleType::kFloat64: read_corners<double>(samples_, cell, c); break;
  }
}

double VolumeField::combine(const Located& at, const double c[8], Vec3& gradient) const {
  const Vec3& spacing = placement_.spacing;
  const double* t = at.t;
  // Reduce along z, then y, then x; each derivative takes the difference
  // along its own axis and the same weights along the other two.
  double along_z[4], dz[4];
  for (int k = 0; k < 4; ++k) {
    along_z[k] = lerp(c[2 * k], c[2 * k + 1], t[2]);
    dz[k] = c[2 * k + 1] - c[2 * k];
  }
  double along_y[2], dy[2], dz_y[2];
  for (int a = 0; a < 2; ++a) {
    along_y[a] = lerp(along_z[2 * a], along_z[2 * a + 1], t[1]);
    dy[a] = along_z[2 * a + 1] - along_z[2 * a];
    dz_y[a] = lerp(dz[2 * a], dz[2 * a + 1], t[1]);
  }
  double value = lerp(along_y[0], along_y[1], t[0]);
  gradient.x = along_y[1] - along_y[0];
  gradient.y = lerp(dy[0], dy[1], t[0]);
  gradient.z = lerp(dz_y[0], dz_y[1], t[0]);
  // Per unit of length; a division by 1.0 gives its operand back exactly.
  for (int axis = 0; axis < 3; ++axis) {
    if (scaled_[axis]) gradient[axis] /= spacing[axis];
  }
  // Beyond the border the field is constant along the crossed axes.
  for (int axis = 0; axis < 3; ++axis) {
    if (at.outside[axis]) gradient[axis] = 0.0;
  }
  if (at.undefined) {
    value = std::numeric_limits<double>::quiet_NaN();
    gradient = Vec3{value, value, value};
  }
  if (placement_.negate) {
    value = -value;
    gradient = Vec3{-gradient.x, -gradient.y, -gradient.z};
  }
  return value;
}

double VolumeField::value_at(const Vec3& p, Vec3& gradient) const {
  const Located at = locate(p);
  double c[8];
  if (holds(at)) {
    held_corners(at, c);
  } else {
    const std::array<std::int64_t, 3> cell{static_cast<std::int64_t>(at.cell[0]),
                                           static_cast<std::int64_t>(at.cell[1]),
                                           static_cast<std::int64_t>(at.cell[2])};
    window_->far->read_corners(std::span(&cell, 1), std::span(c, 8));
  }
  return combine(at, c, gradient);
}

double VolumeField::capped_at(const Vec3& p) const {
  Vec3 gradient;
  double value = value_at(p, gradient);
  if (cap_) cap_->apply(p, value, gradient);
  return value;
}

void VolumeField::note_range(double low, double high) {
  low_ = std::min(low_, low);
  high_ = std::max(high_, high);
}

void VolumeField::read_far(std::span<const Vec3> points, std::vector<std::size_t>& rows,
                           std::vector<double>& corners) const {
  std::vector<std::uint8_t> beyond(points.size());
  {
    const RunMonitor::Suspended quiet;
    pool_.run(points.size(), kPointsPerTask, [&](LoopRange& range) {
      for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
        beyond[i] = holds(locate(points[i])) ? 0 : 1;
      }
    });
  }
  std::vector<std::array<std::int64_t, 3>> cells;
  for (std::size_t i = 0; i < points.size(); ++i) {
    if (beyond[i] == 0) continue;
    const Located at = locate(points[i]);
    rows.push_back(i);
    cells.push_back({static_cast<std::int64_t>(at.cell[0]), static_cast<std::int64_t>(at.cell[1]),
                     static_cast<std::int64_t>(at.cell[2])});
  }
  if (cells.empty()) return;
  corners.resize(8 * cells.size());
  window_->far->read_corners(cells, corners);
}

void VolumeField::prefetch_cell(const Vec3& p) const {
  // The cell as locate finds it for a point in the grid; a point beyond it
  // (or NaN) asks for a cell on its border, which costs a wasted request
  // at most. None of locate's tests for the value itself are needed.
  std::ptrdiff_t offset = 0;
  for (int axis = 0; axis < 3; ++axis) {
    double u = p[axis];
    if (shifted_[axis]) u -= placement_.origin[axis];
    if (scaled_[axis]) u /= placement_.spacing[axis];
    // u >= 1 is false for NaN; top_ - 1 is at least 1 there.
    const std::ptrdiff_t cell =
        u >= 1.0 ? static_cast<std::ptrdiff_t>(std::min(u, top_[axis] - 1.0)) : 0;
    offset += cell * samples_.strides[axis];
  }
  const char* base = samples_.data + offset;
  for (const std::ptrdiff_t pair : pair_offsets_) __builtin_prefetch(base + pair);
}

template <class T, bool windowed>
double VolumeField::sample_as(std::size_t i, const Vec3& p, Vec3& gradient,
                              const std::vector<std::size_t>& far_rows,
                              const std::vector<double>& far_corners) const {
  const Located at = locate(p);
  double held[8];
  const double* c = held;
  if constexpr (!windowed) {
    read_corners<T>(samples_, at.cell, held);
  } else if (holds(at)) {
    std::size_t cell[3];
    for (std::size_t axis = 0; axis < 3; ++axis) cell[axis] = at.cell[axis] - window_->offset[axis];
    read_corners<T>(samples_, cell, held);
  } else {
    const auto slot = static_cast<std::size_t>(
        std::lower_bound(far_rows.begin(), far_rows.end(), i) - far_rows.begin());
    c = &far_corners[8 * slot];
  }
  return combine(at, c, gradient);
}

template <class T>
void VolumeField::fill_as(std::span<const Vec3> points, std::span<double> values,
                          std::span<Vec3> gradients, const std::vector<std::size_t>& far_rows,
                          const std::vector<double>& far_corners) {
  std::mutex range_mutex;
  // The loop is the field's own: the run's progress counts its stages'
  // units, not the points of a batch.
  const RunMonitor::Suspended quiet;
  pool_.run(points.size(), kPointsPerTask, [&](LoopRange& range) {
    double low = std::numeric_limits<double>::infinity();
    double high = -low;
    // Points a few places on are located to ask for their samples early:
    // in walk order neighbouring points share lines of samples, but the
    // step from one plane of samples to the next is too long for the
    // hardware to foresee.
    const auto prefetch_ahead = [&](std::size_t i) {
      if (prefetch_ && i + kPrefetchAhead < points.size()) prefetch_cell(points[i + kPrefetchAhead]);
    };
    if (!window_ && !cap_) {
      // The common case, kept free of every per-point test it does not need.
      for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
        prefetch_ahead(i);
        values[i] = sample_as<T, false>(i, points[i], gradients[i], far_rows, far_corners);
      }
      return;
    }
    for (std::size_t i = range.begin(); range.keep_going(i); ++i) {
      prefetch_ahead(i);
      const double own =
          window_ ? sample_as<T, true>(i, points[i], gradients[i], far_rows, far_corners)
                  : sample_as<T, false>(i, points[i], gradients[i], far_rows, far_corners);
      double value = own;
      if (cap_ && cap_->apply(points[i], value, gradients[i])) {
        low = std::min(low, own);
        high = std::max(high, own);
      }
      values[i] = value;
    }
    // min and max do not depend on the order the ranges finish in.
    const std::lock_guard<std::mutex> lock(range_mutex);
    low_ = std::min(low_, low);
    high_ = std::max(high_, high);
  });
}

template <class T>
void VolumeField::sample_held(std::span<const Vec3> points, std::span<double> values,
                              std::span<Vec3> gradients, std::size_t begin, std::size_t end,
                              double& low, double& high) const {
  // As fill_as samples a whole volume's points, one by one and in order.
  static const std::vector<std::size_t> no_rows;
  static const std::vector<double> no_corners;
  const auto prefetch_ahead = [&](std::size_t i) {
    if (prefetch_ && i + kPrefetchAhead < end) prefetch_cell(points[i + kPrefetchAhead]);
  };
  if (!cap_) {
    for (std::size_t i = begin; i < end; ++i) {
      prefetch_ahead(i);
      values[i] = sample_as<T, false>(i, points[i], gradients[i], no_rows, no_corners);
    }
    return;
  }
  // Kept in registers while the results are written.
  double least = low;
  double most = high;
  for (std::size_t i = begin; i < end; ++i) {
    prefetch_ahead(i);
    const double own = sample_as<T, false>(i, points[i], gradients[i], no_rows, no_corners);
    double value = own;
    if (cap_->apply(points[i], value, gradients[i])) {
      least = std::min(least, own);
      most = std::max(most, own);
    }
    values[i] = value;
  }
  low = least;
  high = most;
}

void VolumeField::merge_range(double low, double high) {
  const std::lock_guard<std::mutex> lock(range_mutex_);
  low_ = std::min(low_, low);
  high_ = std::max(high_, high);
}

bool VolumeField::sample_on_worker(std::span<const Vec3> points, std::span<double> values,
                                   std::span<Vec3> gradients) {
  if (window_) return false;
  const std::size_t n = points.size();
  if (n == 0) return true;
  double low = std::numeric_limits<double>::infinity();
  double high = -low;
  switch (samples_.type) {
    case SampleType::kUint8:
      sample_held<std::uint8_t>(points, values, gradients, 0, n, low, high);
      break;
    case SampleType::kUint16:
      sample_held<std::uint16_t>(points, values, gradients, 0, n, low, high);
      break;
    case SampleType::kInt16:
      sample_held<std::int16_t>(points, values, gradients, 0, n, low, high);
      break;
    case SampleType::kFloat32:
      sample_held<float>(points, values, gradients, 0, n, low, high);
      break;
    case SampleType::kFloat64:
      sample_held<double>(points, values, gradients, 0, n, low, high);
      break;
  }
  // A call none of whose points lies inside the cap's box (or with no cap)
  // takes no lock.
  if (low <= high) merge_range(low, high);
  return true;
}

void VolumeField::fill(std::span<const Vec3> points, std::span<double> values,
                       std::span<Vec3> gradients) {
  // Read first, on this thread: the owner of the far samples may need it.
  std::vector<std::size_t> far_rows;
  std::vector<double> far_corners;
  if (window_) read_far(points, far_rows, far_corners);
  switch (samples_.type) {
    case SampleType::kUint8:
      fill_as<std::uint8_t>(points, values, gradients, far_rows, far_corners);
      break;
    case SampleType::kUint16:
      fill_as<std::uint16_t>(points, values, gradients, far_rows, far_corners);
      break;
    case SampleType::kInt16:
      fill_as<std::int16_t>(points, values, gradients, far_rows, far_corners);
      break;
    case SampleType::kFloat32:
      fill_as<float>(points, values, gradients, far_rows, far_corners);
      break;
    case SampleType::kFloat64:
      fill_as<double>(points, values, gradients, far_rows, far_corners);
      break;
  }
}

EvalResult VolumeField::evaluate(std::span<const Vec3> points) {
  EvalResult result;
  result.values.resize(points.size());
  std::vector<Vec3> gradients(points.size());
  fill(points, result.values, gradients);
  result.gradients = std::move(gradients);
  return result;
}

void VolumeField::evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) {
  if (viewing_) {
    // A consumer that samples again while it reads the held results gets
    // results of its own.
    Field::evaluate_view(points, consume);
    return;
  }
  values_.resize(points.size());
  gradients_.resize(points.size());
  fill(points, values_, gradients_);
  viewing_ = true;
  try {
    consume(EvalView{values_, GradientRows{reinterpret_cast<const char*>(gradients_.data()),
                                           sizeof(Vec3), sizeof(double), gradients_.size()}});
  } catch (...) {
    viewing_ = false;
    release_large_buffers();
    throw;
  }
  viewing_ = false;
  release_large_buffers();
}

void VolumeField::release_large_buffers() {
  if (points_.capacity() > kHeldPoints) points_ = LargeVector<Vec3>();
  if (values_.capacity() > kHeldPoints) {
    values_ = LargeVector<double>();
    gradients_ = LargeVector<Vec3>();
  }
}

void VolumeField::evaluate_written(std::size_t count, const PointWriter& write,
                                   const EvalConsumer& consume) {
  if (viewing_) {
    Field::evaluate_written(count, write, consume);
    return;
  }
  points_.resize(count);
  write(points_);
  evaluate_view(points_, consume);  // releases points_ too when large
}

}  // namespace karvex
