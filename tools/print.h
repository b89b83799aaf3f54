// SPDX-License-Identifier: MIT
// The disks as text: the table of `list`, one disk's fields, sizes and
// sector dumps (print.cpp).
#ifndef TAVDISK_TOOLS_PRINT_H
#define TAVDISK_TOOLS_PRINT_H

#include <cstddef>
#include <cstdint>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavdisk {

struct DiskFacts;

// How `list` shows the disks.
struct ListOptions {
    bool json = false;
    bool bytes = false;      // sizes in bytes
    bool noHeadings = false; // no header line
    std::string columns;     // -o: "NAME,SIZE" or "+NAME" (added to the default ones); empty: the default ones
    std::string exclude, include;
    bool health = false; // the HEALTH column, and health in JSON
};
// Whether `selected` holds the HEALTH column.
bool ShowsHealth(const std::vector<size_t> &selected);

// The columns `options` asks for, as indexes of the column table; prints the
// usage error and returns nullopt for an unknown one.
std::optional<std::vector<size_t>> SelectColumns(const std::string &columns, std::ostream &err);
// The columns, one per line with what each shows.
void PrintColumns(std::ostream &out);
// One row per disk, the columns `selected` (SelectColumns).
void PrintTable(const std::vector<DiskFacts> &disks, const std::vector<size_t> &selected, const ListOptions &options,
                std::ostream &out);
// Every field of one disk, one per line.
void PrintDisk(const DiskFacts &d, std::ostream &out);
// Offset, 16 bytes in hex, the same bytes as ASCII.
void HexDump(const std::vector<unsigned char> &data, std::ostream &out);
// Byte counts: in binary units, or in bytes with -b.
std::string SizeText(uint64_t bytes, bool inBytes);

} // namespace tavdisk

#endif
