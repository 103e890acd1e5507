#pragma once

#include <Python.h>

#include <memory>
#include <optional>

#include "volume/volume_field.h"
#include "volume/volume_window.h"

namespace karvex::py {

// The volume karvex._native.extract_mesh samples itself: the NumPy array
// where it lies (borrowed; the call's arguments keep it alive), where its
// samples sit and which side is inside.
struct VolumeArgument {
  VolumeSamples samples;
  VolumePlacement placement;
  // Set when the array is a window of a larger volume; its FarSamples is
  // `far` (shared by copies of the argument).
  std::optional<VolumeWindow> window;
  std::shared_ptr<FarSamples> far;
};

// Reads volume=(array, spacing, origin, inside_above[, window]): a 3-D NumPy
// array of uint8, uint16, int16, float32 or float64 in the machine's byte
// order, aligned, of any strides, at least 2 samples along each axis;
// spacing three positive finite numbers; origin three finite numbers;
// inside_above True when larger samples are inside (the field is then the
// samples negated). The array is not copied.
//
// window = (offset, shape, read_corners) makes the array the block of a
// larger volume of `shape` samples that starts at sample `offset` (three
// ints each, the block within the volume); spacing and origin are the whole
// volume's. read_corners(cells) is called with an int64 (N, 3) array of
// cells' lowest corners (whole-volume indices) the block does not hold and
// returns their eight samples each as (N, 8) numbers, corner (a, b, c) in
// column 4a + 2b + c; what it raises propagates.
//
// Fails with TypeError or ValueError naming `name`.
VolumeArgument read_volume_argument(const char* name, PyObject* value);

}  // namespace karvex::py
