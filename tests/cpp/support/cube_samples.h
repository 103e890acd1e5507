#pragma once

// A cube of side^3 samples of one type in C order, filled from a function of
// the sample's indices, and the view of it that a VolumeField reads. The
// view points into the storage, so the cube is neither copied nor moved.

#include <cstddef>
#include <vector>

#include "volume/volume_field.h"

namespace karvex {

template <class T>
struct CubeSamples {
  std::vector<T> storage;
  VolumeSamples samples;

  template <class Value>
  CubeSamples(std::size_t side, SampleType type, const Value& value)
      : storage(side * side * side) {
    for (std::size_t i = 0; i < side; ++i) {
      for (std::size_t j = 0; j < side; ++j) {
        for (std::size_t k = 0; k < side; ++k) storage[(i * side + j) * side + k] = value(i, j, k);
      }
    }
    samples.data = reinterpret_cast<const char*>(storage.data());
    samples.type = type;
    samples.shape = {side, side, side};
    const auto step = static_cast<std::ptrdiff_t>(sizeof(T));
    const auto row = static_cast<std::ptrdiff_t>(side);
    samples.strides = {step * row * row, step * row, step};
  }
  CubeSamples(const CubeSamples&) = delete;
  CubeSamples& operator=(const CubeSamples&) = delete;
};

}  // namespace karvex
