// SPDX-License-Identifier: MIT
// The mount table of /proc/self/mountinfo, and a volume's mount points.
#ifndef TAVDISKLIB_PLATFORM_LINUX_MOUNTS_H
#define TAVDISKLIB_PLATFORM_LINUX_MOUNTS_H

#include <cstddef>
#include <string>
#include <unordered_map>
#include <vector>

namespace TavLinux {

struct Root;
struct BlockEntry;
class BlockView;

struct Mount {
    std::string device; // "major:minor"
    std::string path;   // unescaped mount point
    std::string source; // the mount source ("/dev/sda1")
};
// The mounts of /proc/self/mountinfo in its order, found by device number
// and by source.
struct MountTable {
    std::vector<Mount> mounts;
    std::unordered_multimap<std::string, size_t> byDevice, bySource;
};
MountTable ReadMounts(const Root &root);
// The innermost mount point a path lies below (the last mount of that path,
// which covers the earlier ones); "" when none holds it.
std::string InnermostMount(const MountTable &mounts, const std::string &path);
// The volume's mount points in mountinfo's order, each once.
std::vector<std::string> MountPointsOf(BlockView &view, const BlockEntry &volume, const MountTable &mounts);

} // namespace TavLinux

#endif
