#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <optional>
#include <span>
#include <vector>

#include "field/field.h"
#include "octree/large_block_allocator.h"
#include "support/vec3.h"
#include "volume/box_cap.h"
#include "volume/volume_window.h"

namespace karvex {

class WorkerPool;

// The element types a volume of samples may hold, read as they are stored.
enum class SampleType : std::uint8_t { kUint8, kUint16, kInt16, kFloat32, kFloat64 };

// A 3-D array of samples where its owner keeps it: element (i, j, k) lies
// at data + i * strides[0] + j * strides[1] + k * strides[2] bytes, in the
// machine's byte order and aligned for its type. Strides may be negative
// (any NumPy layout). Never copied: the owner keeps it alive and unchanged
// while a field reads it.
struct VolumeSamples {
  const char* data = nullptr;
  SampleType type = SampleType::kFloat64;
  std::array<std::size_t, 3> shape{};  // at least 2 along each axis
  std::array<std::ptrdiff_t, 3> strides{};

  double at(std::size_t i, std::size_t j, std::size_t k) const;
};

// Where the samples lie and which side is inside.
struct VolumePlacement {
  Vec3 spacing{1.0, 1.0, 1.0};  // between neighbouring samples, positive
  Vec3 origin{};                // the position of sample (0, 0, 0)
  // true: the field is the samples negated (bright inside becomes negative
  // inside), gradients too.
  bool negate = false;
};

// The trilinear interpolant of a volume and its exact gradient, sampled in
// native code on the worker pool: sample (i, j, k) is the value at
// origin + (i, j, k) * spacing; a point outside the grid takes the value at
// the nearest point of the grid's box, with a zero gradient along the axes
// on which it lies outside. The operations and their order are those of the
// package's NumPy form, so both give the same numbers to the bit.
//
// With a BoxCap the field is capped by the box (BoxCap::apply), and the
// least and greatest value of the volume's own field at points inside the
// box are recorded as batches are evaluated.
//
// With a VolumeWindow the samples held are a block of a larger volume and
// the field is the larger volume's: a batch reads the cells the block holds
// on the pool, and the others' corners through the window's FarSamples, in
// one call per batch made before the pool starts.
class VolumeField final : public Field {
 public:
  VolumeField(const VolumeSamples& samples, const VolumePlacement& placement, WorkerPool& pool,
              std::optional<BoxCap> cap = std::nullopt,
              std::optional<VolumeWindow> window = std::nullopt);

  EvalResult evaluate(std::span<const Vec3> points) override;
  // The results are held by the field between calls: no allocation per batch
  // (up to a size, see release_large_buffers).
  void evaluate_view(std::span<const Vec3> points, const EvalConsumer& consume) override;
  void evaluate_written(std::size_t count, const PointWriter& write,
                        const EvalConsumer& consume) override;
  // Each point is sampled on its own; a window's far samples go through its
  // owner (possibly Python) once per batch, so a windowed field is not.
  bool pointwise() const override { return !window_; }
  void scale_cap(double gradient) override {
    if (cap_) cap_->set_scale(gradient);
  }
  // A whole volume's points, on any thread: the same numbers as a batch,
  // and the same range recorded. A window's far samples are read once per
  // batch on the sampling thread, so a windowed field answers false.
  bool sample_on_worker(std::span<const Vec3> points, std::span<double> values,
                        std::span<Vec3> gradients) override;

  // The volume's field at one point (before any cap). A point whose cell
  // lies beyond a window is read through FarSamples: on the sampling thread
  // only.
  double value_at(const Vec3& p, Vec3& gradient) const;
  // The field at one point as a batch samples it: the volume's, capped.
  double capped_at(const Vec3& p) const;

  // The samples held: the whole volume, or the window's block of it.
  const VolumeSamples& samples() const { return samples_; }
  // Set when the samples held are a window of a larger volume.
  const std::optional<VolumeWindow>& window() const { return window_; }
  const VolumePlacement& placement() const { return placement_; }
  const std::optional<BoxCap>& cap() const { return cap_; }
  // Widens the recorded range by values read elsewhere (straight from the
  // samples, by a construction that needs no batch).
  void note_range(double low, double high);

  // The range of the uncapped values at points inside the cap's box so far:
  // +inf and -inf before the first.
  double low() const { return low_; }
  double high() const { return high_; }

 private:
  // Where a point falls in the whole volume: the lowest corner of its cell,
  // its position in the cell, the axes it lies outside the grid on, and
  // whether it is undefined (a NaN coordinate).
  struct Located {
    std::size_t cell[3];
    double t[3];
    bool outside[3];
    bool undefined;
  };
  [[gnu::always_inline]] inline Located locate(const Vec3& p) const;
  // Whether the samples held include every corner of the cell.
  bool holds(const Located& at) const;
  // The cell's eight corner samples from those held.
  void held_corners(const Located& at, double c[8]) const;
  // The interpolant and its gradient from the cell's corners.
  [[gnu::always_inline]] inline double combine(const Located& at, const double c[8],
                                               Vec3& gradient) const;

  // Asks the memory for the samples the cell of p reads, without reading
  // them; for held cells only (a whole volume's).
  [[gnu::always_inline]] inline void prefetch_cell(const Vec3& p) const;

  // Samples `points` into `values` and `gradients` (as many as the points)
  // on the pool.
  void fill(std::span<const Vec3> points, std::span<double> values, std::span<Vec3> gradients);
  // The same with the samples read as T (the samples' own type): the type
  // is chosen once per batch rather than once per point.
  template <class T>
  void fill_as(std::span<const Vec3> points, std::span<double> values, std::span<Vec3> gradients,
               const std::vector<std::size_t>& far_rows, const std::vector<double>& far_corners);
  // One point of fill_as; `windowed` is whether the field has a window,
  // fixed per loop so that a whole volume's loop has no window tests.
  template <class T, bool windowed>
  [[gnu::always_inline]] inline double sample_as(std::size_t i, const Vec3& p, Vec3& gradient,
                                                 const std::vector<std::size_t>& far_rows,
                                                 const std::vector<double>& far_corners) const;
  // The points [begin, end) of a batch of a whole volume (no window), capped
  // when the field is, their range widened by what they record.
  template <class T>
  void sample_held(std::span<const Vec3> points, std::span<double> values,
                   std::span<Vec3> gradients, std::size_t begin, std::size_t end, double& low,
                   double& high) const;
  // Widens the recorded range by one thread's share: low() and high() do not
  // depend on the order the shares come in.
  void merge_range(double low, double high);
  // For a window: the points whose cells it does not hold, in order, and
  // their corners (eight per point) read through FarSamples.
  void read_far(std::span<const Vec3> points, std::vector<std::size_t>& rows,
                std::vector<double>& corners) const;

  VolumeSamples samples_;
  VolumePlacement placement_;
  WorkerPool& pool_;
  std::optional<BoxCap> cap_;
  std::optional<VolumeWindow> window_;
  Vec3 top_;  // the whole volume's last sample index along each axis, as a double
  // Per axis: whether locating a point subtracts the origin (not +0.0) and
  // divides by the spacing (not 1.0); else those steps are exact no-ops.
  bool shifted_[3] = {true, true, true};
  bool scaled_[3] = {true, true, true};
  // The byte offsets from a cell's lowest corner of the lower sample of
  // each of its four pairs of corners along the axis of the shortest stride.
  std::array<std::ptrdiff_t, 4> pair_offsets_{};
  // Whether sampling asks for the cells' samples ahead (prefetch_cell).
  bool prefetch_ = false;
  double low_;
  double high_;
  std::mutex range_mutex_;
  // Frees the held buffers when they hold more than kHeldPoints points: a
  // batch of every crossing or vertex is tens of megabytes, which the later
  // stages of contouring need for their own arrays, and the next large
  // batch pays little to allocate them again (next to sampling them).
  void release_large_buffers();
  static constexpr std::size_t kHeldPoints = std::size_t{1} << 16;

  // The results of the last batch, viewed by its consumer (viewing_ while
  // it runs), and the points written for it: tens of megabytes for a large
  // batch, taken from huge pages and never zeroed before they are written.
  bool viewing_ = false;
  LargeVector<Vec3> points_;
  LargeVector<double> values_;
  LargeVector<Vec3> gradients_;
};

}  // namespace karvex
