// SPDX-License-Identifier: MIT
// The root a request reads, and whether it is the live sysfs.
//
// Every file the backend reads lies below a root prefix (TAVDISK_ROOT, "/"
// by default), so that a recorded tree of sysfs, /proc/self/mountinfo and
// /dev replays without the hardware. Paths held in the model are
// root-relative and absolute ("/sys/devices/..."); Root::At() prefixes them.
#ifndef TAVDISKLIB_PLATFORM_LINUX_ROOT_H
#define TAVDISKLIB_PLATFORM_LINUX_ROOT_H

#include <optional>
#include <string>

namespace TavLinux {

struct Root {
    std::string prefix; // "" for "/", else a directory without trailing '/'
    bool given = false; // named by TAVDISK_ROOT, rather than this machine's "/"
    std::string At(const std::string &path) const { return prefix + path; }
    bool operator==(const Root &o) const { return prefix == o.prefix; }
};

// The root named by TAVDISK_ROOT now (read on every call that starts from
// nothing: a new device information set, an open, a volume search), in a
// build made with TAVDISK_REPLAY; "/" in every other build.
Root CurrentRoot();
// Whether `root` holds a view of a system at all (a sys/class/block directory).
bool HoldsSystemView(const Root &root);
// Whether the tree below `root` is live, the running kernel's own sysfs,
// rather than a recording (a sysfs file system at <root>/sys).
bool LiveTree(const Root &root);
// For tests: takes a tree for a live one (true) or not (false), or
// lets LiveTree decide again (nullopt); forgets what was kept about it.
void TreatAsLiveTree(const Root &root, std::optional<bool> live);

} // namespace TavLinux

#endif
