// SPDX-License-Identifier: MIT
// What the library says about one disk, as one collection found it
// (collect.cpp).
#ifndef TAVDISK_TOOLS_COLLECT_H
#define TAVDISK_TOOLS_COLLECT_H

#include "library.h"

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace tavdisk {

// One partition of the disk's table, with the mount paths of its volume.
struct PartitionFacts {
    TavPartition entry;
    std::string name; // UTF-8
    std::vector<std::string> mountPoints;
};

struct AtaIdentity {
    std::optional<std::string> model, serial, firmware;
    ULONG controllerNumber = 0;
    ULONG diskNumber = 0;
    bool lba48 = false;
    bool security = false;
    unsigned eraseMinutes = 0;
    unsigned enhancedEraseMinutes = 0;
};

// Everything the program tells about one disk, as one collection found it.
struct DiskFacts {
    ULONG number = 0;                // member index in the set
    std::optional<std::string> path; // UTF-8
    ULONG deviceInstance = 0;
    ULONG parentInstance = 0;
    std::optional<std::string> controller; // UTF-8
    bool accessible = false;               // the device answered at all
    ULONG deviceNumber = 0;
    unsigned bus = 0;
    std::optional<std::string> vendor, product, revision, serial; // descriptor bytes
    std::optional<AtaIdentity> ata;
    std::optional<std::string> scsiVendor, scsiProduct, scsiRevision; // INQUIRY bytes
    unsigned scsiPort = 0, scsiBus = 0, scsiTarget = 0, scsiLun = 0;
    long long cylinders = 0;
    ULONG tracksPerCylinder = 0, sectorsPerTrack = 0, bytesPerSector = 0;
    uint64_t geometryCapacity = 0;
    uint64_t sectors = 0;
    std::string driveLetters;
    std::vector<std::string> mountPoints; // UTF-8
    std::string mountPointsText;          // UTF-8, as the library lists them
    bool systemVolume = false;
    int access = Drive::AccessNone; // the access the disk was opened with
    std::optional<DWORD> openError; // why the disk could not be opened (last-error code)
    std::string openRequest;        // the request that failed when the disk could not be opened
    bool numberKnown = true;        // the device-number request succeeded
    bool scsiAddressKnown = true;   // the SCSI address request succeeded
    bool vanished = false;          // no longer among the machine's disks
    ULONG mountsTooLong = 0;        // length of a mount list too long to take, else 0
    // What the device path tells (kinds.cpp): the kernel's name of the disk
    // ("sda"; empty where paths are not /dev/NAME), its kind and its device
    // numbers (where the device node can be looked at).
    std::string name;
    std::string kind;
    std::optional<unsigned> major, minor;
    // Physical facts; absent where the disk does not tell.
    std::optional<ULONG> physicalSectorBytes, alignmentOffset;
    std::optional<bool> rotational, trim, readOnly, removable;
    std::optional<std::string> wwn; // the world-wide name
    // The disk's health; absent where it was not asked (CollectHealth).
    std::optional<DriveHealth> health;
    // The partition table; no style where the disk does not tell.
    std::optional<int> partitionStyle;
    std::string partitionTableId;
    std::vector<PartitionFacts> partitions;
};

struct Opened;
// Asks every getter once. `full` adds the controller description and the
// volume scan, which reading or writing a sector does not need. What the
// open left (`Opened`): why the disk could not be opened, if it could not,
// the request that failed first, and which requests failed.
// `partitions` adds the partition table, which costs a read of the table
// (and a volume search per partition): `show` asks it, a listing does not.
DiskFacts Collect(const Opened &o, void *set, bool full, bool partitions = false);
// Asks an opened disk its health (Drive::GetHealth) into d.health.
void CollectHealth(const Opened &o, DiskFacts &d);
// The disk's device path in UTF-8, or empty.
std::string PathOf(Drive &drive);
// The disks that may have gone away since the set was taken are looked for
// once more; those no longer present are marked vanished (and inaccessible).
void MarkVanished(std::vector<DiskFacts> &disks);

} // namespace tavdisk

#endif
