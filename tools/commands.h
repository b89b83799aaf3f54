// SPDX-License-Identifier: MIT
// The commands (list.cpp, sector.cpp).
#ifndef TAVDISK_TOOLS_COMMANDS_H
#define TAVDISK_TOOLS_COMMANDS_H

#include <ostream>
#include <string>

namespace tavdisk {

struct ListOptions;

struct WriteRequest {
    std::string disk, sector, file, device;
    bool yes = false;
    bool allowMounted = false;
};

int RunList(const ListOptions &options, std::ostream &out, std::ostream &err);
int RunShow(const std::string &diskText, bool json, std::ostream &out, std::ostream &err);
int RunRead(const std::string &diskText, const std::string &sectorText, bool raw, std::ostream &out, std::ostream &err);
int RunWrite(const WriteRequest &w, std::ostream &out, std::ostream &err);

} // namespace tavdisk

#endif
