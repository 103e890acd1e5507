#pragma once

#include <Python.h>

#include "volume/volume_field.h"

namespace karvex::py {

// The volume karvex._native.extract_mesh samples itself: the NumPy array
// where it lies (borrowed; the call's arguments keep it alive), where its
// samples sit and which side is inside.
struct VolumeArgument {
  VolumeSamples samples;
  VolumePlacement placement;
};

// Reads volume=(array, spacing, origin, inside_above): a 3-D NumPy array of
// uint8, uint16, int16, float32 or float64 in the machine's byte order,
// aligned, of any strides, at least 2 samples along each axis; spacing three
// positive finite numbers; origin three finite numbers; inside_above True
// when larger samples are inside (the field is then the samples negated).
// The array is not copied. Fails with TypeError or ValueError naming
// `name`.
VolumeArgument read_volume_argument(const char* name, PyObject* value);

}  // namespace karvex::py
