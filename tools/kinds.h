// SPDX-License-Identifier: MIT
// Kinds of disk and the filters of `list` (kinds.cpp).
#ifndef TAVDISK_TOOLS_KINDS_H
#define TAVDISK_TOOLS_KINDS_H

#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavdisk {

struct DiskFacts;

// Fills in name, kind and the device numbers from the device path and bus.
void Classify(DiskFacts &d);
// Whether the disk is a software disk, which no hardware backs (loop, zram,
// dm, md): the library's vendor and product strings for it are the backend's
// stand-ins, not a device's model.
bool IsSoftwareDisk(const DiskFacts &d);
// -e/--exclude or -I/--include: a comma-separated list of kinds and major
// numbers. Prints the usage error itself and returns nullopt when wrong.
struct DiskFilter {
    bool include = false;
    std::vector<std::string> kinds;
    std::vector<unsigned> majors;
    bool Passes(const DiskFacts &d) const;
};
std::optional<DiskFilter> ParseFilter(const std::string &text, bool include, std::ostream &err);
// The kinds a filter may name, for help and messages.
std::string KnownKinds();

} // namespace tavdisk

#endif
