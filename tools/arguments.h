// SPDX-License-Identifier: MIT
// Arguments naming disks and sectors (arguments.cpp).
#ifndef TAVDISK_TOOLS_ARGUMENTS_H
#define TAVDISK_TOOLS_ARGUMENTS_H

#include "library.h"

#include <cstdint>
#include <optional>
#include <ostream>
#include <string>

namespace tavdisk {

// A non-negative number, decimal or hexadecimal with 0x.
std::optional<uint64_t> ParseNumber(const std::string &text);

// How a command names its disk: by number (its place in the listing) or by
// device path.
struct DiskArg {
    std::optional<ULONG> number;
    std::string path;
    std::string text; // as given
};
// A DISK argument: a number when it starts with a digit, a device path when
// it holds a slash or backslash, else (away from Windows) a kernel name
// such as "sda", for /dev/sda. Prints the usage error itself.
std::optional<DiskArg> ParseDisk(const std::string &text, std::ostream &err);
// A SECTOR argument. Prints the usage error itself.
std::optional<uint64_t> ParseSector(const std::string &text, std::ostream &err);
// Whether `wanted` (a device path the user typed) names `drive`, whose
// device path is `diskPath`.
bool NamesDisk(const std::string &wanted, const std::string &diskPath, Drive &drive);
// Whether `wanted` names the disk whose device path is `diskPath` by that
// path (the same file, or on Windows the same text but for case).
bool NamesPath(const std::string &wanted, const std::string &diskPath);

} // namespace tavdisk

#endif
