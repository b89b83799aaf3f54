// SPDX-License-Identifier: MIT
// Derived answers: the one model, serial, revision and capacity of a disk
// (derived.cpp).
#ifndef TAVDISK_TOOLS_DERIVED_H
#define TAVDISK_TOOLS_DERIVED_H

#include <cstdint>
#include <optional>
#include <string>

namespace tavdisk {

struct DiskFacts;

// A health verdict, "passed", "failing" or "unknown", and the protocol asked
// ("ata", "nvme", "scsi", "none"), for Drive::GetHealth's answer.
const char *HealthVerdictName(int verdict);
const char *HealthProtocolName(int protocol);

std::string BusName(unsigned bus);
// "full", "query" or "none", for Drive::GetAccess's answer.
const char *AccessName(int access);
// IDENTIFY model for an ATA disk, else INQUIRY vendor and product, else the
// descriptor's vendor and product.
std::optional<std::string> ModelOf(const DiskFacts &d);
std::optional<std::string> SerialOf(const DiskFacts &d);
std::optional<std::string> RevisionOf(const DiskFacts &d);

struct Capacity {
    std::optional<uint64_t> bytes;
    const char *source; // "sectors", "geometry" or "unknown"
};
// Sector count times sector size when both are known, else the geometry's.
Capacity CapacityOf(const DiskFacts &d);
// port:bus:target:lun; "-" when the disk has no SCSI address.
std::string ScsiAddressText(const DiskFacts &d);
// Drive letters as "C: D:".
std::string LetterList(const std::string &letters);

} // namespace tavdisk

#endif
