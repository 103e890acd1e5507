#pragma once

#include <cstdint>
#include <string_view>

#include "support/bbox.h"

namespace karvex::py {

// Checks on converted arguments that the octree needs before it is built
// (run after conversion, before the field is first called). Each throws
// py::PythonError(ValueError) with the module's validation message.

// Every coordinate finite, and a cube of positive side (the largest extent,
// as cube_from_box derives it).
void validate_box(const BBox& box);

// depth <= 31: the deepest lattice whose coordinates fit 32 bits. Checked on
// the full converted value, so 256 is refused rather than truncated.
void validate_depth(std::string_view name, std::uint32_t depth);

// min_depth <= max_depth.
void validate_depth_order(std::uint32_t min_depth, std::uint32_t max_depth);

}  // namespace karvex::py
