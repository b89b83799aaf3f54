// SPDX-License-Identifier: MIT
// The disks as a JSON document (json.cpp).
#ifndef TAVDISK_TOOLS_JSON_H
#define TAVDISK_TOOLS_JSON_H

#include <ostream>
#include <string>
#include <vector>

namespace tavdisk {

struct DiskFacts;

// Writes the JSON document of `disks` with `notes`.
void WriteJson(const std::vector<DiskFacts> &disks, const std::vector<std::string> &notes, std::ostream &out);

} // namespace tavdisk

#endif
