// SPDX-License-Identifier: MIT
// The tree below the root (Root.h): sysfs attributes and files, directory
// listings, links and paths, positioned transfers.
#ifndef TAVDISKLIB_PLATFORM_LINUX_TREE_H
#define TAVDISKLIB_PLATFORM_LINUX_TREE_H

#include "Root.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace TavLinux {

// A read of sysfs, /proc or /dev that failed for a reason other than "not
// there" (too many open files, no memory, an I/O error, no access): noted
// for the calling thread, so that what was built from it is not taken for a
// fact. Every function of this section notes its own failures.
void NoteFailedRead(int error);
// Learns of the reads that fail on the calling thread while it lives; an
// enclosing one learns of them too.
class FailedReads {
public:
    FailedReads();
    ~FailedReads();
    FailedReads(const FailedReads &) = delete;
    FailedReads &operator=(const FailedReads &) = delete;
    // The errno of the first read that failed since, 0 when none did.
    int First() const;

private:
    int saved;
};

// Whole file content (binary), at most `limit` bytes; nullopt when unreadable.
std::optional<std::string> ReadBytes(const std::string &file, size_t limit = 1u << 20);
// A sysfs attribute (or a recorded answer): the content without its
// trailing newline. The tree variant skips the check of the file's type
// on the live sysfs.
std::optional<std::string> ReadAttr(const Root &root, const std::string &path);
std::optional<std::string> ReadTreeAttr(const Root &root, const std::string &path, bool liveTree);
// An attribute of an open directory.
std::optional<std::string> ReadAttrAt(int directory, const char *name, bool checkType);
// A number as sysfs writes it (decimal, 0x hex, leading spaces); nullopt
// when absent, negative or garbled.
std::optional<uint64_t> ParseNumber(const std::optional<std::string> &text);
std::optional<uint64_t> ReadNumber(const Root &root, const std::string &path);
// A count of 512-byte sectors (sysfs size, start); 0 when absent or too
// large for a byte count to hold.
uint64_t SectorCount(std::optional<uint64_t> sectors);
uint64_t Sectors(const Root &root, const std::string &path);
bool Exists(const Root &root, const std::string &path);
bool IsDirectory(const Root &root, const std::string &path);
// A directory's entries in natural order of their names, with their inode
// numbers; empty when it cannot be read.
std::vector<std::pair<std::string, uint64_t>> ListDirectoryInodes(const Root &root, const std::string &path);
std::vector<std::string> ListDirectory(const Root &root, const std::string &path);

// The last component of a symbolic link's target ("" when not a link).
std::string LinkName(const Root &root, const std::string &path);
// Resolves every symbolic link of a root-relative path without leaving the
// root (absolute link targets are taken relative to the root).
std::optional<std::string> Resolve(const Root &root, const std::string &path);
std::string BaseName(const std::string &path);
std::string DirName(const std::string &path);

// Reads (or writes) `length` bytes at `offset` of an open file, with as
// many calls as the file needs, until all moved, its end, or a failing call;
// returns the bytes moved, and in `error` the errno of a failing call (0
// when none failed).
size_t MoveAt(int fd, bool write, uint8_t *data, size_t length, uint64_t offset, int &error);

} // namespace TavLinux

#endif
