#pragma once

// Control-group CPU quotas, from the text of the files Linux shows them in.
// Pure text processing, so it builds and is tested everywhere; only the
// Linux platform layer (linux.cpp) reads the files and calls it.

#include <cstddef>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

namespace karvex::platform {

// The CPU limit a cgroup v2 "cpu.max" file states ("quota period" or
// "max period"), rounded down but at least 1; nullopt for "max" (no limit)
// or unreadable text.
std::optional<std::size_t> parse_cgroup_v2_limit(std::string_view cpu_max);

// The CPU limit of a cgroup v1 pair of cpu.cfs_quota_us and
// cpu.cfs_period_us, rounded down but at least 1; nullopt for a quota of -1
// (no limit) or unreadable text.
std::optional<std::size_t> parse_cgroup_v1_limit(std::string_view quota_us,
                                                 std::string_view period_us);

// Reads a whole file; nullopt when it cannot be read.
using ReadFile = std::function<std::optional<std::string>(const std::string& path)>;

// The tightest CPU limit over the process's cgroup and all its parents, in
// the unified (v2) hierarchy and in the v1 hierarchy that carries the "cpu"
// controller, given the text of /proc/self/cgroup and /proc/self/mountinfo;
// the limit files are read through `read_file`. nullopt when no limit is set.
std::optional<std::size_t> cgroup_cpu_quota(const std::string& cgroups,
                                            const std::string& mountinfo,
                                            const ReadFile& read_file);

}  // namespace karvex::platform
