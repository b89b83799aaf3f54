// SPDX-License-Identifier: MIT
// Whether a whole disk carries a file system this backend knows.
#ifndef TAVDISKLIB_PLATFORM_LINUX_FILE_SYSTEMS_H
#define TAVDISKLIB_PLATFORM_LINUX_FILE_SYSTEMS_H

#include <cstdint>
#include <map>
#include <optional>
#include <string>

namespace TavLinux {

struct Root;

// Whether the start of a block device holds a file system this backend
// knows.
bool HasFileSystem(const Root &root, const std::string &name);

// A disk's partition table as libblkid reads it from the disk's node
// (opened for reading only): its kind ("dos", "gpt"), its identifier
// ("0x1234abcd", a GUID), and its partitions by number. nullopt when the
// build has no libblkid, the node cannot be opened or holds no table.
struct TableEntry {
    unsigned type = 0;    // MBR type byte
    std::string typeGuid; // GPT type GUID
    std::string uuid;     // GPT partition GUID
    std::string name;     // GPT name, UTF-8
    unsigned long long flags = 0;
    bool extended = false; // MBR extended partition (its length: `sectors`)
    uint64_t sectors = 0;  // 512-byte units
};
struct PartitionTable {
    std::string kind, id;
    std::map<int, TableEntry> entries;
};
std::optional<PartitionTable> ReadPartitionTable(const Root &root, const std::string &name);

} // namespace TavLinux

#endif
