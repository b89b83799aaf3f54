// SPDX-License-Identifier: MIT
// The JSON document of `list --json` and `show --json` (tools/README.md
// describes its keys).
#include "json.h"
#include "cli.h"
#include "collect.h"
#include "derived.h"
#include "messages.h"

#include <nlohmann/json.hpp>

namespace tavdisk {

namespace {

using Json = nlohmann::ordered_json;

// A device string; null when the device gives none, or an empty one: one
// way of saying "absent" throughout the document.
Json TextJson(const std::optional<std::string> &bytes) {
    return bytes && !bytes->empty() ? Json(BytesToUtf8(*bytes)) : Json(nullptr);
}

// A disk's health: the verdict, why it is unknown, and each value, null
// where the disk did not give it.
Json HealthJson(const DriveHealth &h) {
    const auto value = [&h](unsigned bit, auto v) { return (h.Present & bit) ? Json(v) : Json(nullptr); };
    Json j = {{"verdict", HealthVerdictName(h.Verdict)},
              {"protocol", HealthProtocolName(h.Protocol)},
              {"reason", h.Verdict == DriveHealth::VerdictUnknown ? Json(h.Reason) : Json(nullptr)},
              {"temperature_celsius", value(DriveHealth::HasTemperature, h.TemperatureCelsius)},
              {"power_on_hours", value(DriveHealth::HasPowerOnHours, h.PowerOnHours)},
              {"reallocated_sectors", value(DriveHealth::HasReallocatedSectors, h.ReallocatedSectors)},
              {"pending_sectors", value(DriveHealth::HasPendingSectors, h.PendingSectors)},
              {"offline_uncorrectable", value(DriveHealth::HasOfflineUncorrectable, h.OfflineUncorrectable)},
              {"percentage_used", value(DriveHealth::HasPercentageUsed, h.PercentageUsed)},
              {"available_spare", value(DriveHealth::HasAvailableSpare, h.AvailableSpare)},
              {"media_errors", value(DriveHealth::HasMediaErrors, h.MediaErrors)}};
    j["informational_exceptions"] = (h.Present & DriveHealth::HasInformationalExceptions)
                                        ? Json{{"asc", h.ExceptionAsc}, {"ascq", h.ExceptionAscq}}
                                        : Json(nullptr);
    return j;
}

Json DiskJson(const DiskFacts &d) {
    Json j;
    j["number"] = d.number;
    j["accessible"] = d.accessible;
    j["access"] = AccessName(d.access);
    j["vanished"] = d.vanished;
    j["error"] = d.openError && *d.openError != ERROR_SUCCESS ? Json(ErrorText(*d.openError)) : Json(nullptr);
    j["device_path"] = d.path ? Json(*d.path) : Json(nullptr);
    j["name"] = d.name.empty() ? Json(nullptr) : Json(d.name);
    j["kind"] = d.kind;
    j["major"] = d.major ? Json(*d.major) : Json(nullptr);
    j["minor"] = d.minor ? Json(*d.minor) : Json(nullptr);
    j["device_instance"] = d.deviceInstance;
    j["parent_instance"] = d.parentInstance;
    j["controller"] = d.controller ? Json(*d.controller) : Json(nullptr);
    if (!d.accessible) {
        for (const char *key : {"device_number", "bus", "model", "serial", "revision", "capacity", "sectors",
                                "descriptor", "ata", "scsi", "geometry", "volumes", "physical", "health", "partitions"})
            j[key] = nullptr;
        return j;
    }
    j["device_number"] = d.numberKnown ? Json(d.deviceNumber) : Json(nullptr);
    j["bus"] = {{"type", d.bus}, {"name", BusName(d.bus)}};
    j["model"] = TextJson(ModelOf(d));
    j["serial"] = TextJson(SerialOf(d));
    j["revision"] = TextJson(RevisionOf(d));
    Capacity capacity = CapacityOf(d);
    j["capacity"] = {{"bytes", capacity.bytes ? Json(*capacity.bytes) : Json(nullptr)},
                     {"human", capacity.bytes ? Json(HumanBytes(*capacity.bytes)) : Json(nullptr)},
                     {"source", capacity.source}};
    j["sectors"] = d.sectors ? Json(d.sectors) : Json(nullptr);
    j["descriptor"] = {{"vendor", TextJson(d.vendor)},
                       {"product", TextJson(d.product)},
                       {"revision", TextJson(d.revision)},
                       {"serial", TextJson(d.serial)}};
    if (d.ata) {
        j["ata"] = {{"model", TextJson(d.ata->model)},
                    {"serial", TextJson(d.ata->serial)},
                    {"firmware_revision", TextJson(d.ata->firmware)},
                    {"controller_number", d.ata->controllerNumber},
                    {"disk_number", d.ata->diskNumber},
                    {"supports_48bit_addressing", d.ata->lba48},
                    {"supports_security", d.ata->security},
                    {"security_erase_unit_minutes", d.ata->eraseMinutes},
                    {"enhanced_security_erase_unit_minutes", d.ata->enhancedEraseMinutes}};
    } else {
        j["ata"] = nullptr;
    }
    j["scsi"] = {
        {"vendor", TextJson(d.scsiVendor)},
        {"product", TextJson(d.scsiProduct)},
        {"revision", TextJson(d.scsiRevision)},
        {"address", d.scsiAddressKnown
                        ? Json{{"port", d.scsiPort}, {"bus", d.scsiBus}, {"target", d.scsiTarget}, {"lun", d.scsiLun}}
                        : Json(nullptr)}};
    j["geometry"] = {{"cylinders", d.cylinders},
                     {"tracks_per_cylinder", d.tracksPerCylinder},
                     {"sectors_per_track", d.sectorsPerTrack},
                     {"bytes_per_sector", d.bytesPerSector},
                     {"capacity_bytes", d.geometryCapacity}};
    Json letters = Json::array();
    for (char letter : d.driveLetters)
        letters.push_back(std::string(1, letter));
    // Volumes are matched by device number: without one there is no answer.
    if (d.numberKnown)
        j["volumes"] = {{"drive_letters", letters},
                        {"mount_points", d.mountPoints},
                        {"mount_points_text", d.mountPointsText},
                        {"system_volume", d.systemVolume}};
    else
        j["volumes"] = nullptr;
    const auto fact = [](const auto &value) { return value ? Json(*value) : Json(nullptr); };
    j["physical"] = {{"physical_sector_bytes", fact(d.physicalSectorBytes)},
                     {"alignment_offset", fact(d.alignmentOffset)},
                     {"rotational", fact(d.rotational)},
                     {"trim", fact(d.trim)},
                     {"read_only", fact(d.readOnly)},
                     {"removable", fact(d.removable)},
                     {"wwn", fact(d.wwn)}};
    j["health"] = d.health ? HealthJson(*d.health) : Json(nullptr);
    if (d.partitionStyle && *d.partitionStyle >= 0 && *d.partitionStyle <= 3) {
        static const char *const styles[] = {"mbr", "gpt", "none", "unknown"};
        const bool mbr = *d.partitionStyle == 0, gpt = *d.partitionStyle == 1;
        Json entries = Json::array();
        for (const PartitionFacts &p : d.partitions)
            entries.push_back({{"number", p.entry.Number},
                               {"offset", p.entry.StartingOffset},
                               {"length", p.entry.Length},
                               {"mbr_type", mbr ? Json(p.entry.MbrType) : Json(nullptr)},
                               {"active", mbr ? Json(p.entry.Active != 0) : Json(nullptr)},
                               {"type_guid", gpt ? Json(p.entry.TypeGuid) : Json(nullptr)},
                               {"guid", gpt ? Json(p.entry.PartitionGuid) : Json(nullptr)},
                               {"name", gpt ? Json(p.name) : Json(nullptr)},
                               {"mount_points", p.mountPoints}});
        j["partitions"] = {{"style", styles[*d.partitionStyle]},
                           {"id", mbr || gpt ? Json(d.partitionTableId) : Json(nullptr)},
                           {"entries", entries}};
    } else {
        j["partitions"] = nullptr;
    }
    return j;
}

Json Document(const std::vector<DiskFacts> &disks, const std::vector<std::string> &notes) {
    Json doc;
    doc["schema_version"] = JsonSchemaVersion;
    std::optional<bool> privileged = Privileged();
    doc["privileged"] = privileged ? Json(*privileged) : Json(nullptr);
    doc["disks"] = Json::array();
    for (const DiskFacts &d : disks)
        doc["disks"].push_back(DiskJson(d));
    doc["notes"] = notes;
    return doc;
}

} // namespace

void WriteJson(const std::vector<DiskFacts> &disks, const std::vector<std::string> &notes, std::ostream &out) {
    out << Document(disks, notes).dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

} // namespace tavdisk
