// SPDX-License-Identifier: MIT
// Whether a whole disk without partitions carries a file system, which
// makes it a volume: libblkid's superblock probes when the build has
// libblkid, else the signatures of the usual file systems checked here.
#include "FileSystems.h"
#include "Tree.h"

#include <cerrno>
#include <cstring>
#include <fcntl.h>
#include <unistd.h>

#if defined(TAVDISK_HAVE_LIBBLKID)
#include <blkid/blkid.h>
#endif

namespace TavLinux {

namespace {
// A disk that cannot be opened (no access, no medium, an I/O error) carries
// nothing this backend can tell; a shortage of descriptors or memory says
// nothing about the disk, and fails the look that asked.
// A loop disk's content can change in its backing file, behind the disk's
// page cache, which the kernel drops only when the last opener closes the
// disk: while another process holds it open, the cached blocks are let go
// first, so the probe reads what the file holds.
int OpenToProbe(const Root &root, const std::string &name) {
    int fd = ::open(root.At("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0 && (errno == EMFILE || errno == ENFILE || errno == ENOMEM))
        NoteFailedRead(errno);
    if (fd >= 0 && name.compare(0, 4, "loop") == 0)
        (void)::posix_fadvise(fd, 0, 0, POSIX_FADV_DONTNEED);
    return fd;
}
} // namespace

#if defined(TAVDISK_HAVE_LIBBLKID)

// Whether the start of a block device holds a file system: util-linux's
// libblkid probes its superblocks for every file system type it knows
// (no partition tables, RAID members, swap or encrypted volumes). A ZFS pool
// member is not a volume by itself, and its probe reads a mebibyte, half of
// it at the end of the device (twenty times the cost of all the others): it
// is left out. A device whose signatures contradict each other still
// carries a file system.
bool HasFileSystem(const Root &root, const std::string &name) {
    std::vector<char *> types;
    const char *type = nullptr;
    int usage = 0;
    for (size_t i = 0; blkid_superblocks_get_name(i, &type, &usage) == 0; ++i)
        if (usage == BLKID_USAGE_FILESYSTEM && std::strcmp(type, "zfs_member") != 0)
            types.push_back(const_cast<char *>(type));
    types.push_back(nullptr);

    int fd = OpenToProbe(root, name);
    if (fd < 0)
        return false;
    bool found = false;
    if (blkid_probe probe = blkid_new_probe()) {
        if (blkid_probe_set_device(probe, fd, 0, 0) == 0 && blkid_probe_enable_partitions(probe, 0) == 0 &&
            blkid_probe_enable_superblocks(probe, 1) == 0 &&
            blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE) == 0 &&
            blkid_probe_filter_superblocks_type(probe, BLKID_FLTR_ONLYIN, types.data()) == 0) {
            int result = blkid_do_safeprobe(probe);
            found = result == 0 || result == -2;
        }
        blkid_free_probe(probe);
    }
    ::close(fd);
    return found;
}

std::optional<PartitionTable> ReadPartitionTable(const Root &root, const std::string &name) {
    int fd = OpenToProbe(root, name);
    if (fd < 0)
        return std::nullopt;
    std::optional<PartitionTable> table;
    if (blkid_probe probe = blkid_new_probe()) {
        blkid_partlist list = nullptr;
        blkid_parttable top = nullptr;
        if (blkid_probe_set_device(probe, fd, 0, 0) == 0 && blkid_probe_enable_superblocks(probe, 0) == 0 &&
            blkid_probe_enable_partitions(probe, 1) == 0 && (list = blkid_probe_get_partitions(probe)) &&
            (top = blkid_partlist_get_table(list))) {
            const auto text = [](const char *t) { return std::string(t ? t : ""); };
            table.emplace();
            table->kind = text(blkid_parttable_get_type(top));
            table->id = text(blkid_parttable_get_id(top));
            const int count = blkid_partlist_numof_partitions(list);
            for (int i = 0; i < count; ++i) {
                blkid_partition p = blkid_partlist_get_partition(list, i);
                if (!p || blkid_partition_get_table(p) != top)
                    continue; // a table nested in a partition is not the disk's
                TableEntry e;
                e.type = static_cast<unsigned>(blkid_partition_get_type(p)) & 0xFFu;
                e.typeGuid = text(blkid_partition_get_type_string(p));
                e.uuid = text(blkid_partition_get_uuid(p));
                e.name = text(blkid_partition_get_name(p));
                e.flags = blkid_partition_get_flags(p);
                e.extended = blkid_partition_is_extended(p) != 0;
                const blkid_loff_t size = blkid_partition_get_size(p);
                e.sectors = size > 0 ? static_cast<uint64_t>(size) : 0;
                table->entries[blkid_partition_get_partno(p)] = e;
            }
        }
        blkid_free_probe(probe);
    }
    ::close(fd);
    return table;
}

#else

// Without libblkid: the signatures of the file systems whole disks usually
// carry, checked by hand.
namespace {
bool Has(const std::string &data, size_t offset, const char *magic, size_t length) {
    return data.size() >= offset + length && std::memcmp(data.data() + offset, magic, length) == 0;
}
} // namespace

// Whether the start of a block device holds a file system this backend knows.
bool HasFileSystem(const Root &root, const std::string &name) {
    int fd = OpenToProbe(root, name);
    if (fd < 0)
        return false;
    std::string data(69632, '\0');
    int error = 0; // a device that cannot be read carries nothing this backend knows
    size_t got = MoveAt(fd, false, reinterpret_cast<uint8_t *>(&data[0]), data.size(), 0, error);
    ::close(fd);
    data.resize(got);
    bool bootSector = Has(data, 510, "\x55\xAA", 2);
    return Has(data, 1080, "\x53\xEF", 2) ||                                         // ext2/3/4
           Has(data, 0, "XFSB", 4) ||                                                // XFS
           Has(data, 65600, "_BHRfS_M", 8) ||                                        // btrfs
           Has(data, 3, "NTFS    ", 8) || Has(data, 3, "EXFAT   ", 8) ||             // NTFS, exFAT
           (bootSector && (Has(data, 54, "FAT", 3) || Has(data, 82, "FAT32", 5))) || // FAT
           Has(data, 32769, "CD001", 5) ||                                           // ISO 9660
           Has(data, 0, "hsqs", 4) ||                                                // squashfs
           Has(data, 1024, "\xE2\xE1\xF5\xE0", 4) ||                                 // erofs
           Has(data, 1024, "\x10\x20\xF5\xF2", 4);                                   // f2fs
}

#endif

#if !defined(TAVDISK_HAVE_LIBBLKID)
std::optional<PartitionTable> ReadPartitionTable(const Root &, const std::string &) { return std::nullopt; }
#endif

} // namespace TavLinux
