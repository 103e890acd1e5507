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

// CPUs this process may use: the smaller of the affinity mask size
// (sched_getaffinity) and the control-group CPU quota, at least 1. The quota
// is the tightest over the process's cgroup and all its parents; for cgroup
// v2 it comes from cpu.max, for v1 from cpu.cfs_quota_us / cpu.cfs_period_us.
// A fractional quota rounds down (1.5 CPUs give 1 worker).
std::size_t available_cpus();

// The CPU limit a cgroup v2 "cpu.max" file states ("quota period" or
// "max period"); nullopt for "max" (no limit) or unreadable text.
std::optional<std::size_t> parse_cgroup_v2_limit(std::string_view cpu_max);

// The CPU limit of a cgroup v1 pair of cpu.cfs_quota_us and
// cpu.cfs_period_us; nullopt for a quota of -1 (no limit) or unreadable text.
std::optional<std::size_t> parse_cgroup_v1_limit(std::string_view quota_us,
                                                 std::string_view period_us);

}  // namespace karvex
