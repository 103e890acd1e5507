#pragma once

#include <cstddef>
#include <optional>
#include <string_view>

namespace karvex {

// The number of workers the process-wide pool starts with: the value of
// RAYON_NUM_THREADS when it holds a positive integer, otherwise
// available_cpus(). Read each time the pool is (re-)created.
std::size_t configured_worker_count();

// A worker count as RAYON_NUM_THREADS spells it: decimal digits with an
// optional leading '+', nothing else (no spaces, no sign '-', no suffix), not
// overflowing std::size_t, and above zero. Anything else gives nullopt, which
// makes the caller fall back to the CPU count.
std::optional<std::size_t> parse_worker_count(std::string_view text);

// CPUs this process may use: the smaller of the CPUs it may be scheduled on
// (its affinity mask on Linux) and the control-group CPU quota, at least 1
// (platform/platform.h). A fractional quota rounds down (1.5 CPUs give 1
// worker).
std::size_t available_cpus();

}  // namespace karvex
