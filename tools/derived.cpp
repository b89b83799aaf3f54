// SPDX-License-Identifier: MIT
// Derived answers: the one model, serial, revision and capacity a disk is
// shown with, from what the library answered in its several records.
#include "derived.h"
#include "collect.h"
#include "kinds.h"

#include <cstdio>
#include <limits>

namespace tavdisk {

namespace {

bool HasText(const std::optional<std::string> &text) { return text && !text->empty(); }

std::string JoinTexts(const std::optional<std::string> &a, const std::optional<std::string> &b) {
    std::string out = HasText(a) ? *a : std::string();
    if (HasText(b))
        out += (out.empty() ? "" : " ") + *b;
    return out;
}

} // namespace

const char *AccessName(int access) {
    return access == Drive::AccessFull ? "full" : access == Drive::AccessQuery ? "query" : "none";
}

std::string BusName(unsigned bus) {
    static const char *const Names[] = {
        "Unknown", "SCSI",  "ATAPI", "ATA",  "1394", "SSA", "Fibre",   "USB",
        "RAID",    "iSCSI", "SAS",   "SATA", "SD",   "MMC", "Virtual", "FileBackedVirtual",
        "Spaces",  "NVMe",  "SCM",   "UFS"};
    if (bus < sizeof Names / sizeof Names[0])
        return Names[bus];
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", bus);
    return text;
}

std::optional<std::string> ModelOf(const DiskFacts &d) {
    if (IsSoftwareDisk(d))
        return std::nullopt;
    if (d.ata && HasText(d.ata->model))
        return d.ata->model;
    for (const auto &text : {JoinTexts(d.scsiVendor, d.scsiProduct), JoinTexts(d.vendor, d.product)})
        if (!text.empty())
            return text;
    return std::nullopt;
}

std::optional<std::string> SerialOf(const DiskFacts &d) {
    if (d.ata && HasText(d.ata->serial))
        return d.ata->serial;
    return HasText(d.serial) ? d.serial : std::nullopt;
}

std::optional<std::string> RevisionOf(const DiskFacts &d) {
    if (d.ata && HasText(d.ata->firmware))
        return d.ata->firmware;
    if (HasText(d.scsiRevision))
        return d.scsiRevision;
    return HasText(d.revision) ? d.revision : std::nullopt;
}

Capacity CapacityOf(const DiskFacts &d) {
    if (d.sectors != 0 && d.bytesPerSector != 0 && d.sectors <= std::numeric_limits<uint64_t>::max() / d.bytesPerSector)
        return {d.sectors * d.bytesPerSector, "sectors"};
    if (d.geometryCapacity != 0)
        return {d.geometryCapacity, "geometry"};
    return {std::nullopt, "unknown"};
}

std::string ScsiAddressText(const DiskFacts &d) {
    if (!d.scsiAddressKnown)
        return "-";
    return std::to_string(d.scsiPort) + ":" + std::to_string(d.scsiBus) + ":" + std::to_string(d.scsiTarget) + ":" +
           std::to_string(d.scsiLun);
}

std::string LetterList(const std::string &letters) {
    std::string out;
    for (char letter : letters)
        out += (out.empty() ? "" : " ") + std::string(1, letter) + ":";
    return out;
}

const char *HealthVerdictName(int verdict) {
    return verdict == DriveHealth::VerdictPassed    ? "passed"
           : verdict == DriveHealth::VerdictFailing ? "failing"
                                                    : "unknown";
}

const char *HealthProtocolName(int protocol) {
    switch (protocol) {
    case DriveHealth::ProtocolAta: return "ata";
    case DriveHealth::ProtocolNvme: return "nvme";
    case DriveHealth::ProtocolScsi: return "scsi";
    default: return "none";
    }
}

} // namespace tavdisk
