#pragma once

#include <cstdint>
#include <string_view>

#include "support/bbox.h"

namespace karvex::py {

// Checks on converted arguments that the octree needs before it is built
// (run after conversion, before the field is first called). Each throws
// py::PythonError(ValueError) with the module's validation message.

// Every coordinate finite, a cube of positive side (the largest extent, as
// cube_from_box derives it), an extent that is a finite number, and bbox_max
// not below bbox_min on any axis (equal is allowed: the cube still takes its
// side from the other axes). Checked in that order, so a box with every axis
// reversed still gets the empty-box message.
void validate_box(const BBox& box);

// depth <= 31: the deepest lattice whose coordinates fit 32 bits. Checked on
// the full converted value, so 256 is refused rather than truncated.
void validate_depth(std::string_view name, std::uint32_t depth);

// min_depth <= max_depth.
void validate_depth_order(std::uint32_t min_depth, std::uint32_t max_depth);

// A finite number (iso_value, angle_threshold_deg): NaN would silently give
// an empty mesh or a never-met threshold, infinity a level no field reaches.
void validate_finite(std::string_view name, double value);

}  // namespace karvex::py
