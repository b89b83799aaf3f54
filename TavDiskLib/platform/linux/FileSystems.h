// SPDX-License-Identifier: MIT
// Whether a whole disk carries a file system this backend knows.
#ifndef TAVDISKLIB_PLATFORM_LINUX_FILE_SYSTEMS_H
#define TAVDISKLIB_PLATFORM_LINUX_FILE_SYSTEMS_H

#include <string>

namespace TavLinux {

struct Root;

// Whether the start of a block device holds a file system this backend
// knows.
bool HasFileSystem(const Root &root, const std::string &name);

} // namespace TavLinux

#endif
