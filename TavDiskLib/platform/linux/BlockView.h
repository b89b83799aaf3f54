// SPDX-License-Identifier: MIT
// One look at the block devices of /sys/class/block, and what is kept about
// a registered device from one look to the next.
#ifndef TAVDISKLIB_PLATFORM_LINUX_BLOCK_VIEW_H
#define TAVDISKLIB_PLATFORM_LINUX_BLOCK_VIEW_H

#include "../types.h"
#include "Root.h"

#include <cstddef>
#include <memory>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

namespace TavLinux {

struct BlockEntry {
    std::string name; // kernel name, e.g. "sda1"
    std::string sys;  // resolved sysfs directory, "/sys/devices/..."
    bool partition = false;
};

// The entry of /sys/class/block of that name, read now.
std::optional<BlockEntry> FindBlock(const Root &root, const std::string &name);
// Drops the registrations kept for that root (see BlockView).
void ForgetRegistrations(const Root &root);

struct Registration;

// One look at the block devices: the entries of /sys/class/block at one
// moment, and what is read about each, each fact at most once per look.
//
// What the kernel fixes when it registers a block device (its sysfs
// directory, whether it is a partition, dev, hidden, the SCSI type, a
// partition's start and number, a disk's lasting identity) does not change
// until the device is removed, and its /sys/class/block link goes with it.
// On the live sysfs these facts are therefore kept process-wide for
// each entry, and a later look uses them again while the entry shows the
// same name and inode number (the kernel numbers sysfs nodes without reuse);
// an entry seen before its registration finished (no holders/ yet) is not
// kept. What may change while a device stays registered (size, loop
// binding and backing file, dm name, slaves, holders, content) and the
// mounts are read anew by every look. On a recorded tree every look reads
// everything anew.
class BlockView {
public:
    explicit BlockView(const Root &root);
    ~BlockView();
    BlockView(const BlockView &) = delete;
    BlockView &operator=(const BlockView &) = delete;

    const Root &GetRoot() const { return root; }
    // Entries 0 .. Listed()-1 are /sys/class/block in natural order of the
    // kernel names; adopted entries follow.
    size_t Listed() const { return listed; }
    const BlockEntry &Entry(size_t i) const;
    std::optional<size_t> Find(const std::string &name) const;
    std::optional<size_t> FindSys(const std::string &sys) const;
    // The slot of an entry read earlier (a handle's device): the listed one
    // of the same name and directory, else a slot of its own.
    size_t Adopt(const BlockEntry &entry);

    // An attribute below the root, read now.
    std::optional<std::string> Attr(const std::string &path) const;

    uint64_t SizeSectors(size_t i);
    std::optional<std::string> Dev(size_t i);
    bool Hidden(size_t i);
    std::optional<std::string> StartText(size_t i);
    uint64_t StartSectors(size_t i);
    DWORD PartitionNumber(size_t i);
    // Whether the dm/, md/, loop/ directories are there.
    bool HasDm(size_t i);
    bool HasMd(size_t i);
    bool HasLoop(size_t i);
    std::optional<std::string> DmName(size_t i);
    // A bound loop device's loop/backing_file and loop/offset; nullopt when
    // the device is no bound loop device.
    std::optional<std::pair<std::optional<std::string>, std::optional<std::string>>> LoopBacking(size_t i);
    const std::vector<std::string> &Slaves(size_t i);
    const std::vector<std::string> &Holders(size_t i);
    // The text naming a whole disk that survives reboots (DiskIdentity).
    const std::string &Identity(size_t i);
    // The part of it fixed at the registration.
    const std::string &HardwareIdentity(size_t i);

    // The whole disks that form the disk interface set, in their fixed
    // order: no partitions, nothing hidden, nothing of size 0, no unbound
    // loop device, no optical drive; physical disks before the kernel's
    // virtual ones. A disk's place in this list is its device number.
    bool IsDisk(size_t i);
    const std::vector<size_t> &Disks();
    std::optional<DWORD> DiskNumber(size_t i);
    std::optional<size_t> NthDisk(size_t n);

    // Whether the sizes this look read of a whole disk (by kernel name) and
    // of its partitions are what sysfs says now; a size not read yet counts
    // as unchanged (it will be read as it is then).
    bool SizesUnchanged(const std::string &disk);

private:
    struct Slot;
    Slot &At(size_t i);
    void LoadFixed(size_t i);
    // Whether the device is known, from its kept registration, to be a
    // partition or a hardware disk, which have no dm/, md/ or loop/
    // directory on the live sysfs.
    bool KnownHardwareOrPartition(size_t i);
    // Whether the device is known to have no dm/ or md/ directory without
    // reading sysfs: a kept registration of a partition, a hardware disk or a
    // whole disk of the loop major. False when sysfs must be read.
    bool NeitherDmNorMd(size_t i);

    Root root;
    bool live = false;
    size_t listed = 0;
    std::vector<std::unique_ptr<Slot>> slots;
    std::unordered_map<std::string, size_t> byName, bySys; // first listed entry of each
    std::optional<std::vector<size_t>> disks;
    std::vector<DWORD> diskNumbers; // by slot, with Disks(); NoDisk for the rest
    std::optional<std::unordered_map<std::string, std::vector<size_t>>> partitionsOf; // disk sys -> slots
};

} // namespace TavLinux

#endif
