#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <span>

namespace karvex {

// The corner samples of cells that a volume field does not hold, read for it
// by whoever keeps the rest of the volume (a store too large for memory, read
// block by block).
class FarSamples {
 public:
  virtual ~FarSamples() = default;

  // Writes the eight samples of each cell, corner (a, b, c) at 8 * n + 4a +
  // 2b + c, as doubles (exact for every sample type). `cells` holds each
  // cell's lowest corner as sample indices in the whole volume, every corner
  // within it. Called on the thread that samples the field, never on a
  // worker of the pool; may throw (the owner's error), which the field lets
  // propagate.
  virtual void read_corners(std::span<const std::array<std::int64_t, 3>> cells,
                            std::span<double> corners) = 0;
};

// A volume field's samples as a window of a larger volume: the held array is
// the block of the whole volume's samples that starts at `offset`, and the
// field is the whole volume's (its lattice, its border, its clamping), with
// the same numbers to the bit. Cells with a corner beyond the window are
// read through `far` (owned by the caller, alive while the field is).
struct VolumeWindow {
  std::array<std::size_t, 3> offset{};  // the window's first sample in the whole volume
  std::array<std::size_t, 3> shape{};   // the whole volume's samples, at least 2 per axis
  FarSamples* far = nullptr;
};

}  // namespace karvex
