#pragma once

#include <string>
#include <string_view>

#include "support/bbox.h"
#include "support/meshing_options.h"

namespace karvex::py {

// The parameter names a caller's faults are reported under (the low-level
// module's names by default).
struct OptionNames {
  std::string_view min_depth = "min_depth";
  std::string_view max_depth = "max_depth";
  std::string_view sharp_angle = "angle_threshold_deg";
  std::string_view level = "iso_value";
};

// Runs check_meshing_options (no strict rules) on converted arguments,
// before the field is first called, and throws py::PythonError(ValueError)
// with the low-level module's message (messages.h) for the first fault.
// Depths are checked on the full converted value, so 256 is refused rather
// than truncated.
void validate_options(const MeshingOptions& options, const BBox& box,
                      const OptionNames& names = {});

// `pattern` with its placeholders filled by `first` (when not empty) and
// then the six corner coordinates of the box as Python's repr() shows them.
std::string fill_box(std::string_view pattern, const BBox& box, std::string_view first = {});

}  // namespace karvex::py
