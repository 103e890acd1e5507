#include <cstddef>
#include <cstdint>
#include <map>
#include <optional>
#include <string>

#include <gtest/gtest.h>

#include "platform/cgroup_quota.h"
#include "platform/platform.h"

namespace karvex {
namespace {

using platform::cgroup_cpu_quota;

constexpr const char* kV2Mount = "30 23 0:26 / /sys/fs/cgroup rw,nosuid - cgroup2 cgroup2 rw\n";
constexpr const char* kV1Mount =
    "41 30 0:35 / /sys/fs/cgroup/cpu,cpuacct rw - cgroup cgroup rw,cpu,cpuacct\n"
    "42 30 0:36 / /sys/fs/cgroup/memory rw - cgroup cgroup rw,memory\n";

struct QuotaCase {
  const char* name;
  std::string mountinfo;
  std::string cgroups;
  std::map<std::string, std::string> files;
  std::optional<std::size_t> expected;
};

class CgroupQuota : public ::testing::TestWithParam<QuotaCase> {};

TEST_P(CgroupQuota, TightestLimitOverTheGroupAndItsParents) {
  const QuotaCase& c = GetParam();
  const auto read = [&c](const std::string& path) -> std::optional<std::string> {
    const auto it = c.files.find(path);
    if (it == c.files.end()) return std::nullopt;
    return it->second;
  };
  EXPECT_EQ(cgroup_cpu_quota(c.cgroups, c.mountinfo, read), c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Hierarchies, CgroupQuota,
    ::testing::Values(
        // The group itself is unlimited; its parent is not.
        QuotaCase{"v2_parent",
                  kV2Mount,
                  "0::/user.slice/job\n",
                  {{"/sys/fs/cgroup/user.slice/job/cpu.max", "max 100000\n"},
                   {"/sys/fs/cgroup/user.slice/cpu.max", "300000 100000\n"}},
                  3},
        // Inside a cgroup namespace the mount shows the group's ancestor as
        // its root, and paths are taken relative to it.
        QuotaCase{"v2_namespace",
                  "30 23 0:26 /user.slice /sys/fs/cgroup rw - cgroup2 cgroup2 rw\n",
                  "0::/user.slice/job\n",
                  {{"/sys/fs/cgroup/job/cpu.max", "200000 100000\n"}},
                  2},
        QuotaCase{"v1_cpu_controller",
                  kV1Mount,
                  "5:memory:/docker/abc\n4:cpu,cpuacct:/docker/abc\n",
                  {{"/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_quota_us", "150000\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/docker/abc/cpu.cfs_period_us", "100000\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/docker/cpu.cfs_quota_us", "-1\n"},
                   {"/sys/fs/cgroup/cpu,cpuacct/docker/cpu.cfs_period_us", "100000\n"}},
                  1},
        // Both hierarchies mounted: the smaller limit wins.
        QuotaCase{"v1_and_v2",
                  std::string(kV2Mount) + kV1Mount,
                  "0::/a\n4:cpu,cpuacct:/b\n",
                  {{"/sys/fs/cgroup/a/cpu.max", "800000 100000"},
                   {"/sys/fs/cgroup/cpu,cpuacct/b/cpu.cfs_quota_us", "500000"},
                   {"/sys/fs/cgroup/cpu,cpuacct/b/cpu.cfs_period_us", "100000"}},
                  5},
        QuotaCase{"unlimited",
                  kV2Mount,
                  "0::/a\n",
                  {{"/sys/fs/cgroup/a/cpu.max", "max 100000"}},
                  std::nullopt},
        // A group but no cgroup file system mounted, or garbage.
        QuotaCase{"no_mount", "", "0::/a\n", {}, std::nullopt},
        QuotaCase{"garbage", "x\n- -\n", ":::\n", {}, std::nullopt}),
    [](const auto& info) { return std::string(info.param.name); });

TEST(Platform, SchedulableCpusAndAlignedHugeBlocks) {
  EXPECT_GE(platform::schedulable_cpus(), 1u);
  if (const auto quota = platform::cpu_quota()) {
    EXPECT_GE(*quota, 1u);
  }
  for (std::size_t bytes : {std::size_t{1}, platform::kHugePageBytes + 1}) {
    auto* block = static_cast<unsigned char*>(platform::map_huge_block(bytes));
    ASSERT_NE(block, nullptr);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(block) % platform::kHugePageBytes, 0u);
    block[0] = 1;
    block[bytes - 1] = 2;  // the whole block is writable
    platform::unmap_huge_block(block, bytes);
  }
}

}  // namespace
}  // namespace karvex
