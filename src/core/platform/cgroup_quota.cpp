#include "platform/cgroup_quota.h"

#include <algorithm>
#include <charconv>
#include <cstdint>
#include <sstream>
#include <vector>

namespace karvex::platform {

static_assert(sizeof(std::size_t) == sizeof(std::uint64_t), "limits are parsed as 64-bit");

namespace {

// Strict unsigned decimal: every character consumed, no overflow.
std::optional<std::uint64_t> parse_unsigned(std::string_view text) {
  if (text.empty()) return std::nullopt;
  std::uint64_t value = 0;
  const char* first = text.data();
  const char* last = text.data() + text.size();
  auto [ptr, ec] = std::from_chars(first, last, value);
  if (ec != std::errc() || ptr != last) return std::nullopt;
  return value;
}

std::string_view trim(std::string_view text) {
  const auto space = [](char c) { return c == ' ' || c == '\n' || c == '\t' || c == '\r'; };
  while (!text.empty() && space(text.front())) text.remove_prefix(1);
  while (!text.empty() && space(text.back())) text.remove_suffix(1);
  return text;
}

std::optional<std::size_t> limit_from(std::uint64_t quota, std::uint64_t period) {
  if (period == 0) return std::nullopt;
  return static_cast<std::size_t>(std::max<std::uint64_t>(1, quota / period));
}

std::vector<std::string_view> split(std::string_view text, char separator) {
  std::vector<std::string_view> parts;
  std::size_t start = 0;
  while (true) {
    const std::size_t at = text.find(separator, start);
    parts.push_back(
        text.substr(start, at == std::string_view::npos ? std::string_view::npos : at - start));
    if (at == std::string_view::npos) break;
    start = at + 1;
  }
  return parts;
}

bool has_token(std::string_view list, std::string_view token) {
  for (std::string_view item : split(list, ',')) {
    if (item == token) return true;
  }
  return false;
}

// Where one cgroup hierarchy is mounted: the mount point and the path inside
// the hierarchy that the mount shows as its root.
struct CgroupMount {
  std::string root;
  std::string mount_point;
};

// Finds the mount of the unified hierarchy (v2 = true) or of the v1
// hierarchy that carries the "cpu" controller, from /proc/self/mountinfo.
// Fields: id parent dev root mount-point options [optional...] - fstype source super-options.
std::optional<CgroupMount> find_mount(const std::string& mountinfo, bool v2) {
  std::istringstream lines(mountinfo);
  std::string line;
  while (std::getline(lines, line)) {
    std::vector<std::string_view> fields = split(line, ' ');
    auto dash = std::find(fields.begin(), fields.end(), std::string_view("-"));
    if (fields.size() < 5 || dash == fields.end() || fields.end() - dash < 4) continue;
    const std::string_view fstype = dash[1];
    const std::string_view super_options = dash[3];
    const bool match =
        v2 ? fstype == "cgroup2" : (fstype == "cgroup" && has_token(super_options, "cpu"));
    if (match) return CgroupMount{std::string(fields[3]), std::string(fields[4])};
  }
  return std::nullopt;
}

// The process's cgroup path in the unified hierarchy ("0::path") or in the
// v1 hierarchy whose controller list holds "cpu".
std::optional<std::string> find_cgroup_path(const std::string& cgroups, bool v2) {
  std::istringstream lines(cgroups);
  std::string line;
  while (std::getline(lines, line)) {
    const std::size_t first = line.find(':');
    const std::size_t second = first == std::string::npos ? first : line.find(':', first + 1);
    if (second == std::string::npos) continue;
    const std::string_view id = std::string_view(line).substr(0, first);
    const std::string_view controllers =
        std::string_view(line).substr(first + 1, second - first - 1);
    const bool match = v2 ? (id == "0" && controllers.empty()) : has_token(controllers, "cpu");
    if (match) return line.substr(second + 1);
  }
  return std::nullopt;
}

// The tightest limit over the cgroup directory and its parents up to the
// mount point. `read_limit` reads one directory's limit.
template <class ReadLimit>
std::optional<std::size_t> tightest_limit(const CgroupMount& mount, std::string path,
                                          ReadLimit read_limit) {
  // Inside a cgroup namespace the mount's root may be a prefix of the path.
  if (mount.root != "/" && path.starts_with(mount.root)) path.erase(0, mount.root.size());
  std::optional<std::size_t> best;
  while (true) {
    if (auto limit = read_limit(mount.mount_point + path)) {
      best = best ? std::min(*best, *limit) : *limit;
    }
    if (path.empty() || path == "/") break;
    const std::size_t slash = path.rfind('/');
    path.erase(slash == std::string::npos ? 0 : slash);
  }
  return best;
}

}  // namespace

std::optional<std::size_t> parse_cgroup_v2_limit(std::string_view cpu_max) {
  const std::vector<std::string_view> parts = split(trim(cpu_max), ' ');
  if (parts.size() != 2 || parts[0] == "max") return std::nullopt;
  const auto quota = parse_unsigned(parts[0]);
  const auto period = parse_unsigned(parts[1]);
  if (!quota || !period) return std::nullopt;
  return limit_from(*quota, *period);
}

std::optional<std::size_t> parse_cgroup_v1_limit(std::string_view quota_us,
                                                 std::string_view period_us) {
  // A quota of -1 means unlimited; it and any other text fail the unsigned parse.
  const auto quota = parse_unsigned(trim(quota_us));
  const auto period = parse_unsigned(trim(period_us));
  if (!quota || !period) return std::nullopt;
  return limit_from(*quota, *period);
}

std::optional<std::size_t> cgroup_cpu_quota(const std::string& cgroups,
                                            const std::string& mountinfo,
                                            const ReadFile& read_file) {
  std::optional<std::size_t> best;
  const auto keep = [&best](std::optional<std::size_t> limit) {
    if (limit) best = best ? std::min(*best, *limit) : *limit;
  };

  const auto v2_mount = find_mount(mountinfo, true);
  const auto v2_path = find_cgroup_path(cgroups, true);
  if (v2_mount && v2_path) {
    keep(tightest_limit(*v2_mount, *v2_path, [&read_file](const std::string& dir) {
      const auto text = read_file(dir + "/cpu.max");
      return text ? parse_cgroup_v2_limit(*text) : std::nullopt;
    }));
  }
  const auto v1_mount = find_mount(mountinfo, false);
  const auto v1_path = find_cgroup_path(cgroups, false);
  if (v1_mount && v1_path) {
    keep(tightest_limit(*v1_mount, *v1_path, [&read_file](const std::string& dir) {
      const auto quota = read_file(dir + "/cpu.cfs_quota_us");
      const auto period = read_file(dir + "/cpu.cfs_period_us");
      return quota && period ? parse_cgroup_v1_limit(*quota, *period) : std::nullopt;
    }));
  }
  return best;
}

}  // namespace karvex::platform
