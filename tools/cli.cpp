// tavdisk: lists the physical disks of the machine and everything TavDiskLib
// knows about each, shows one disk in full, and reads or writes one sector.
//
// Only the library's public API is used (Drive, Adapter and, away from
// Windows, SetupDiDestroyDeviceInfoList), so the program behaves the same
// over every backend the library is built with.
#include "cli.h"

#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/tavdisk.h"

#include <CLI/CLI.hpp>
#include <nlohmann/json.hpp>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <type_traits>
#include <vector>

#if !defined(_WIN32)
#include <unistd.h>
#endif

#ifndef TAVDISK_VERSION
#define TAVDISK_VERSION "unknown"
#endif

namespace tavdisk {

// The library's 32-bit unsigned integer (unsigned long on Windows).
using TavDiskLib::ULONG;

// ---------------------------------------------------------------------------
// Text conversions

namespace {

void AppendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

uint32_t WideUnit(wchar_t c) {
    return static_cast<uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(c));
}

// Terminal columns taken by UTF-8 text (one per code point; good enough for
// the paths and names a disk table holds).
size_t DisplayWidth(const std::string &text) {
    return static_cast<size_t>(std::count_if(text.begin(), text.end(), [](char c) {
        return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
    }));
}

} // namespace

std::string WideToUtf8(const wchar_t *text, size_t length) {
    constexpr uint32_t kReplacement = 0xFFFD;
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        uint32_t unit = WideUnit(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
                uint32_t low = WideUnit(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
        }
        if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF)
            unit = kReplacement;
        AppendUtf8(out, unit);
    }
    return out;
}

std::string BytesToUtf8(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes)
        AppendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string EscapeBytes(const std::string &bytes) {
    static const char kHex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += kHex[b >> 4];
            out += kHex[b & 0xF];
        }
    }
    return out;
}

std::string HumanBytes(uint64_t bytes) {
    static const char *const kUnits[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof kUnits / sizeof kUnits[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, kUnits[unit]);
    return text;
}

namespace {

using Json = nlohmann::ordered_json;

// Largest sector the program will move; a device reporting more is not believed.
constexpr uint64_t kMaxSectorSize = 1u << 20;
// Capacity handed to the narrow text getters; no device field comes close.
constexpr ULONG kTextCapacity = 1024;
// Longest wide text (path, mount list, description) the program asks for.
constexpr ULONG kMaxWideLength = 1u << 20;

// ---------------------------------------------------------------------------
// Library access

// The device information set of the machine's disks, released on scope exit.
class DeviceSet {
public:
    DeviceSet() : set_(Drive::GetDeviceInfoSet()) {}
    ~DeviceSet() {
        if (Valid())
            SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet &) = delete;
    DeviceSet &operator=(const DeviceSet &) = delete;
    bool Valid() const { return set_ != nullptr && set_ != TavDiskLib::InvalidHandleValue(); }
    void *Get() const { return set_; }

private:
    void *set_;
};

using NarrowGetter = int (Drive::*)(unsigned char *, ULONG, ULONG *);
using WideGetter = int (Drive::*)(wchar_t *, ULONG, ULONG *);

// One narrow text, as raw bytes; nullopt when the getter does not apply or,
// for a descriptor string, when the descriptor holds none (those getters
// answer an absent string with an empty text and a count of 1, which no
// present string can give: a present string never holds a zero byte).
std::optional<std::string> ReadNarrow(Drive &drive, NarrowGetter getter, bool descriptor) {
    std::vector<unsigned char> buffer(kTextCapacity + 1, 0);
    ULONG count = 0;
    if (!(drive.*getter)(buffer.data(), kTextCapacity, &count))
        return std::nullopt;
    count = std::min(count, kTextCapacity);
    if (descriptor && count == 1 && buffer[0] == 0)
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(buffer.data()), count);
}

// One wide text: ask for the length, then fetch with a buffer of that size.
std::optional<std::wstring> ReadWide(Drive &drive, WideGetter getter) {
    ULONG length = 0;
    (drive.*getter)(nullptr, 0, &length);
    for (int attempt = 0; attempt < 2 && length > 0 && length <= kMaxWideLength; ++attempt) {
        std::vector<wchar_t> buffer(static_cast<size_t>(length) + 1, 0);
        ULONG needed = 0;
        if ((drive.*getter)(buffer.data(), length, &needed)) {
            buffer[length] = 0;
            return std::wstring(buffer.data());
        }
        if (needed <= length)
            break;
        length = needed;
    }
    return std::nullopt;
}

// The first platform request that failed on this thread while the guard
// lived, in words ("CreateFileW failed with error 5 (ERROR_ACCESS_DENIED)"),
// as the library's failure handler tells it.
class FirstFailure {
public:
    FirstFailure() { tavdisk_set_failure_handler(&FirstFailure::Take, this); }
    ~FirstFailure() { tavdisk_set_failure_handler(nullptr, nullptr); }
    FirstFailure(const FirstFailure &) = delete;
    FirstFailure &operator=(const FirstFailure &) = delete;
    const std::optional<std::string> &Text() const { return text_; }

private:
    static void TAVDISK_CALL Take(const tavdisk_failure *failure, void *context) {
        auto *self = static_cast<FirstFailure *>(context);
        if (self->text_)
            return;
        try {
            // As the library writes codes: decimal, hexadecimal above 0xFFFF.
            char code[16];
            std::snprintf(code, sizeof code, failure->error > 0xFFFF ? "0x%08lX" : "%lu",
                          static_cast<unsigned long>(failure->error));
            std::string text = std::string(failure->request) + " failed with error " + code;
            if (*failure->error_name)
                text += std::string(" (") + failure->error_name + ")";
            self->text_ = text;
        } catch (...) {
        }
    }
    std::optional<std::string> text_;
};

// Drive::GetDrive, noting in `failure` the first request that failed while
// the disk was opened and asked: the library answers nothing about a disk it
// could not open, and this says why.
std::unique_ptr<Drive> GetDrive(void *set, ULONG index, std::optional<std::string> &failure) {
    FirstFailure first;
    std::unique_ptr<Drive> drive(Drive::GetDrive(set, index));
    failure = first.Text();
    return drive;
}

// The device description of a device node (a disk's controller). The call
// reports nothing, so the buffer and the required size are cleared before
// it and both are looked at afterwards.
std::optional<std::string> DescribeNode(void *set, ULONG devInst) {
    Adapter adapter(set, devInst);
    size_t characters = 256;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<wchar_t> buffer(characters + 1, 0);
        auto capacity = static_cast<ULONG>(characters * sizeof(wchar_t));
        ULONG required = 0;
        adapter.GetDescription(buffer.data(), capacity, &required);
        if (required > capacity && required <= kMaxWideLength * sizeof(wchar_t) && attempt == 0) {
            characters = required / sizeof(wchar_t) + 1;
            continue;
        }
        buffer[characters] = 0; // the description need not be terminated within the buffer
        if (buffer[0] == 0)
            return std::nullopt;
        std::wstring text(buffer.data());
        return WideToUtf8(text.data(), text.size());
    }
    return std::nullopt;
}

// ---------------------------------------------------------------------------
// What the library says about one disk

struct AtaIdentity {
    std::optional<std::string> model, serial, firmware;
    ULONG controllerNumber = 0;
    ULONG diskNumber = 0;
    bool lba48 = false;
    bool security = false;
    unsigned eraseMinutes = 0;
    unsigned enhancedEraseMinutes = 0;
};

struct DiskInfo {
    ULONG number = 0;                         // member index in the set
    std::optional<std::string> path;          // UTF-8
    ULONG deviceInstance = 0;
    ULONG parentInstance = 0;
    std::optional<std::string> controller;    // UTF-8
    bool accessible = false;                  // the device answered at all
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
    std::vector<std::string> mountPoints;     // UTF-8
    std::string mountPointsText;              // UTF-8, as the library lists them
    bool systemVolume = false;
    std::optional<std::string> openFailure;   // the first request that failed, when the disk could not be opened
};

// ": <the failed request>" for a message about a disk that could not be opened.
std::string OpenFailure(const DiskInfo &d) {
    return d.openFailure ? ": " + *d.openFailure : std::string();
}

// Asks every getter once. `full` adds the controller description and the
// volume scan, which reading or writing a sector does not need.
DiskInfo Collect(Drive &drive, void *set, ULONG number, bool full) {
    DiskInfo d;
    d.number = number;
    if (auto path = ReadWide(drive, &Drive::GetDevicePath))
        d.path = WideToUtf8(path->data(), path->size());
    d.deviceInstance = drive.GetDeviceInstance();
    d.parentInstance = drive.GetDeviceParentInstance();
    if (full)
        d.controller = DescribeNode(set, d.parentInstance);

    d.bus = static_cast<unsigned>(drive.GetBusType());
    d.vendor = ReadNarrow(drive, &Drive::GetVendorId, true);
    d.product = ReadNarrow(drive, &Drive::GetProductId, true);
    d.revision = ReadNarrow(drive, &Drive::GetProductRevision, true);
    d.serial = ReadNarrow(drive, &Drive::GetSerialNumber, true);

    if (drive.IsAta()) {
        AtaIdentity ata;
        ata.model = ReadNarrow(drive, &Drive::GetIdeDriveModelNo, false);
        ata.serial = ReadNarrow(drive, &Drive::GetIdeDriveSerialNo, false);
        ata.firmware = ReadNarrow(drive, &Drive::GetIdeDriveFirmwareRevision, false);
        ata.controllerNumber = drive.GetIdeControllerNumber();
        ata.diskNumber = drive.GetIdeDiskNumber();
        ata.lba48 = drive.GetIdeSupports48BitAddressing() != 0;
        ata.security = drive.GetIdeSupportsSecurity() != 0;
        ata.eraseMinutes = drive.GetIdeSecurityEraseUnitTime();
        ata.enhancedEraseMinutes = drive.GetIdeEnhancedSecurityEraseUnitTime();
        d.ata = ata;
    } else {
        d.scsiVendor = ReadNarrow(drive, &Drive::GetScsiVendorId, false);
        d.scsiProduct = ReadNarrow(drive, &Drive::GetScsiProductId, false);
        d.scsiRevision = ReadNarrow(drive, &Drive::GetScsiProductRevision, false);
    }
    d.scsiPort = drive.GetScsiPort();
    d.scsiBus = drive.GetScsiBusId();
    d.scsiTarget = drive.GetScsiTargetId();
    d.scsiLun = drive.GetScsiLogicalUnitId();

    d.geometryCapacity = static_cast<uint64_t>(drive.GetCapacity().QuadPart);
    d.cylinders = static_cast<long long>(drive.GetCylinders().QuadPart);
    d.tracksPerCylinder = drive.GetTracksPerCylinder();
    d.sectorsPerTrack = drive.GetSectorsPerTrack();
    d.bytesPerSector = drive.GetBytesPerSector();
    d.sectors = static_cast<uint64_t>(drive.GetSectors().QuadPart);

    // A disk the library could not open answers every request with nothing:
    // bus 0, no descriptor, no geometry, no sector count.
    d.accessible = d.bus != 0 || d.ata || d.bytesPerSector != 0 || d.sectors != 0 || d.vendor || d.product ||
                   d.revision || d.serial;
    if (!d.accessible || !full)
        return d;

    // Volumes are matched by device number, which an unopened disk cannot give.
    d.deviceNumber = drive.GetDriveNumber();
    if (auto letters = ReadWide(drive, &Drive::GetDriveLetters))
        d.driveLetters = WideToUtf8(letters->data(), letters->size());
    if (auto mounts = ReadWide(drive, &Drive::GetMountPoints)) {
        d.mountPointsText = WideToUtf8(mounts->data(), mounts->size());
        size_t start = 0;
        while (start < mounts->size()) {
            size_t end = mounts->find(L"; ", start);
            if (end == std::wstring::npos)
                end = mounts->size();
            if (end > start)
                d.mountPoints.push_back(WideToUtf8(mounts->data() + start, end - start));
            start = end + 2;
        }
    }
    d.systemVolume = drive.ContainsWindowsBootPartition() != 0;
    return d;
}

// UTF-8 text (paths, mount points, descriptions) for a terminal: only the
// control characters are escaped.
std::string EscapeText(const std::string &text) {
    std::string out;
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            out += EscapeBytes(std::string(1, c));
        else
            out += c;
    }
    return out;
}

// ---------------------------------------------------------------------------
// Derived answers: the one model, serial, revision and capacity of a disk

std::string BusName(unsigned bus) {
    static const char *const kNames[] = {
        "Unknown", "SCSI", "ATAPI", "ATA", "1394", "SSA", "Fibre", "USB", "RAID", "iSCSI",
        "SAS", "SATA", "SD", "MMC", "Virtual", "FileBackedVirtual", "Spaces", "NVMe", "SCM", "UFS"};
    if (bus < sizeof kNames / sizeof kNames[0])
        return kNames[bus];
    char text[16];
    std::snprintf(text, sizeof text, "0x%02X", bus);
    return text;
}

bool HasText(const std::optional<std::string> &text) { return text && !text->empty(); }

std::string JoinTexts(const std::optional<std::string> &a, const std::optional<std::string> &b) {
    std::string out = HasText(a) ? *a : std::string();
    if (HasText(b))
        out += (out.empty() ? "" : " ") + *b;
    return out;
}

// IDENTIFY model for an ATA disk, else INQUIRY vendor and product, else the
// descriptor's vendor and product.
std::optional<std::string> ModelOf(const DiskInfo &d) {
    if (d.ata && HasText(d.ata->model))
        return d.ata->model;
    for (const auto &text : {JoinTexts(d.scsiVendor, d.scsiProduct), JoinTexts(d.vendor, d.product)})
        if (!text.empty())
            return text;
    return std::nullopt;
}

std::optional<std::string> SerialOf(const DiskInfo &d) {
    if (d.ata && HasText(d.ata->serial))
        return d.ata->serial;
    return HasText(d.serial) ? d.serial : std::nullopt;
}

std::optional<std::string> RevisionOf(const DiskInfo &d) {
    if (d.ata && HasText(d.ata->firmware))
        return d.ata->firmware;
    if (HasText(d.scsiRevision))
        return d.scsiRevision;
    return HasText(d.revision) ? d.revision : std::nullopt;
}

struct Capacity {
    std::optional<uint64_t> bytes;
    const char *source; // "sectors", "geometry" or "unknown"
};

// Sector count times sector size when both are known, else the geometry's.
Capacity CapacityOf(const DiskInfo &d) {
    if (d.sectors != 0 && d.bytesPerSector != 0 &&
        d.sectors <= std::numeric_limits<uint64_t>::max() / d.bytesPerSector)
        return {d.sectors * d.bytesPerSector, "sectors"};
    if (d.geometryCapacity != 0)
        return {d.geometryCapacity, "geometry"};
    return {std::nullopt, "unknown"};
}

std::string ScsiAddressText(const DiskInfo &d) {
    return std::to_string(d.scsiPort) + ":" + std::to_string(d.scsiBus) + ":" + std::to_string(d.scsiTarget) +
           ":" + std::to_string(d.scsiLun);
}

std::string LetterList(const std::string &letters) {
    std::string out;
    for (char letter : letters)
        out += (out.empty() ? "" : " ") + std::string(1, letter) + ":";
    return out;
}

// ---------------------------------------------------------------------------
// Privilege

std::optional<bool> Privileged() {
#if defined(_WIN32)
    return std::nullopt;
#else
    return geteuid() == 0;
#endif
}

// The right that opening a disk needs and this process lacks, or empty.
std::string MissingRight() {
#if defined(_WIN32)
    return "administrator rights";
#else
    return geteuid() == 0 ? std::string() : "root";
#endif
}

// Appended to a message about a disk that could not be opened or moved.
std::string AccessAdvice() {
    std::string right = MissingRight();
    return right.empty() ? std::string() : ": needs " + right + " (try again as " +
                                               (right == "root" ? "root, e.g. with sudo)" : "administrator)");
}

// ---------------------------------------------------------------------------
// JSON

Json TextJson(const std::optional<std::string> &bytes) {
    return bytes ? Json(BytesToUtf8(*bytes)) : Json(nullptr);
}

Json DiskJson(const DiskInfo &d) {
    Json j;
    j["number"] = d.number;
    j["accessible"] = d.accessible;
    j["device_path"] = d.path ? Json(*d.path) : Json(nullptr);
    j["device_instance"] = d.deviceInstance;
    j["parent_instance"] = d.parentInstance;
    j["controller"] = d.controller ? Json(*d.controller) : Json(nullptr);
    if (!d.accessible) {
        for (const char *key : {"device_number", "bus", "model", "serial", "revision", "capacity", "sectors",
                                "descriptor", "ata", "scsi", "geometry", "volumes"})
            j[key] = nullptr;
        return j;
    }
    j["device_number"] = d.deviceNumber;
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
    j["scsi"] = {{"vendor", TextJson(d.scsiVendor)},
                 {"product", TextJson(d.scsiProduct)},
                 {"revision", TextJson(d.scsiRevision)},
                 {"address",
                  {{"port", d.scsiPort}, {"bus", d.scsiBus}, {"target", d.scsiTarget}, {"lun", d.scsiLun}}}};
    j["geometry"] = {{"cylinders", d.cylinders},
                     {"tracks_per_cylinder", d.tracksPerCylinder},
                     {"sectors_per_track", d.sectorsPerTrack},
                     {"bytes_per_sector", d.bytesPerSector},
                     {"capacity_bytes", d.geometryCapacity}};
    Json letters = Json::array();
    for (char letter : d.driveLetters)
        letters.push_back(std::string(1, letter));
    j["volumes"] = {{"drive_letters", letters},
                    {"mount_points", d.mountPoints},
                    {"mount_points_text", d.mountPointsText},
                    {"system_volume", d.systemVolume}};
    return j;
}

Json Document(const std::vector<DiskInfo> &disks, const std::vector<std::string> &notes) {
    Json doc;
    doc["schema_version"] = kJsonSchemaVersion;
    std::optional<bool> privileged = Privileged();
    doc["privileged"] = privileged ? Json(*privileged) : Json(nullptr);
    doc["disks"] = Json::array();
    for (const DiskInfo &d : disks)
        doc["disks"].push_back(DiskJson(d));
    doc["notes"] = notes;
    return doc;
}

void WriteJson(const Json &doc, std::ostream &out) {
    out << doc.dump(2, ' ', false, Json::error_handler_t::replace) << "\n";
}

// ---------------------------------------------------------------------------
// Human-readable output

std::string Shown(const std::optional<std::string> &bytes) { return bytes ? EscapeBytes(*bytes) : "-"; }

void PrintTable(const std::vector<DiskInfo> &disks, std::ostream &out) {
    std::vector<std::vector<std::string>> rows;
    rows.push_back({"#", "DEVICE", "BUS", "MODEL", "SERIAL", "REV", "SIZE", "SECTORS", "SCSI", "MOUNTS", "SYS",
                    "CONTROLLER"});
    for (const DiskInfo &d : disks) {
        std::string path = d.path ? EscapeText(*d.path) : "-";
        std::string controller = d.controller ? EscapeText(*d.controller) : "-";
        if (!d.accessible) {
            rows.push_back({std::to_string(d.number), path, "-", "(cannot open)", "-", "-", "-", "-", "-", "-", "",
                            controller});
            continue;
        }
        Capacity capacity = CapacityOf(d);
        std::string mounts = LetterList(d.driveLetters);
        for (const std::string &mount : d.mountPoints)
            mounts += (mounts.empty() ? "" : ", ") + EscapeText(mount);
        rows.push_back({std::to_string(d.number), path, BusName(d.bus), Shown(ModelOf(d)), Shown(SerialOf(d)),
                        Shown(RevisionOf(d)), capacity.bytes ? HumanBytes(*capacity.bytes) : "-",
                        d.sectors ? std::to_string(d.sectors) : "-", ScsiAddressText(d),
                        mounts.empty() ? "-" : mounts, d.systemVolume ? "*" : "", controller});
    }
    std::vector<size_t> widths(rows[0].size(), 0);
    for (const auto &row : rows)
        for (size_t c = 0; c < row.size(); ++c)
            widths[c] = std::max(widths[c], DisplayWidth(row[c]));
    for (const auto &row : rows) {
        std::string line;
        for (size_t c = 0; c < row.size(); ++c) {
            line += row[c];
            if (c + 1 < row.size())
                line += std::string(widths[c] - DisplayWidth(row[c]) + 2, ' ');
        }
        line.erase(line.find_last_not_of(' ') + 1);
        out << line << "\n";
    }
}

void PrintDisk(const DiskInfo &d, std::ostream &out) {
    auto line = [&out](const std::string &label, const std::string &value) {
        out << "  " << label << std::string(label.size() < 34 ? 34 - label.size() : 1, ' ') << value << "\n";
    };
    auto number = [](uint64_t value) { return std::to_string(value); };
    out << "Disk " << d.number << "\n";
    line("Device path", d.path ? EscapeText(*d.path) : "-");
    line("Device instance", number(d.deviceInstance));
    line("Parent instance", number(d.parentInstance));
    line("Controller", d.controller ? EscapeText(*d.controller) : "-");
    if (!d.accessible) {
        out << "  The device could not be opened" << OpenFailure(d) << AccessAdvice() << "\n";
        return;
    }
    line("Device number", number(d.deviceNumber));
    line("Bus", BusName(d.bus) + " (" + number(d.bus) + ")");
    line("Model", Shown(ModelOf(d)));
    line("Serial", Shown(SerialOf(d)));
    line("Revision", Shown(RevisionOf(d)));
    Capacity capacity = CapacityOf(d);
    line("Capacity", capacity.bytes ? number(*capacity.bytes) + " bytes (" + HumanBytes(*capacity.bytes) +
                                          ", from the " +
                                          (std::string(capacity.source) == "sectors" ? "sector count" : "geometry") + ")"
                                    : "-");
    line("Sectors", d.sectors ? number(d.sectors) : "-");
    out << "Storage descriptor\n";
    line("Vendor", Shown(d.vendor));
    line("Product", Shown(d.product));
    line("Revision", Shown(d.revision));
    line("Serial", Shown(d.serial));
    if (d.ata) {
        out << "ATA identity\n";
        line("Model", Shown(d.ata->model));
        line("Serial", Shown(d.ata->serial));
        line("Firmware revision", Shown(d.ata->firmware));
        line("Controller / disk number", number(d.ata->controllerNumber) + " / " + number(d.ata->diskNumber));
        line("48-bit addressing", d.ata->lba48 ? "supported" : "not supported");
        line("Security feature set", d.ata->security ? "supported" : "not supported");
        line("Security erase time", number(d.ata->eraseMinutes) + " min");
        line("Enhanced security erase time", number(d.ata->enhancedEraseMinutes) + " min");
    } else {
        out << "ATA identity                        (not an ATA disk)\n";
    }
    out << "SCSI identity\n";
    if (!d.ata) {
        line("Vendor", Shown(d.scsiVendor));
        line("Product", Shown(d.scsiProduct));
        line("Revision", Shown(d.scsiRevision));
    }
    line("Address (port:bus:target:lun)", ScsiAddressText(d));
    out << "Geometry\n";
    line("Cylinders", std::to_string(d.cylinders));
    line("Tracks per cylinder", number(d.tracksPerCylinder));
    line("Sectors per track", number(d.sectorsPerTrack));
    line("Bytes per sector", number(d.bytesPerSector));
    line("Capacity", number(d.geometryCapacity) + " bytes (" + HumanBytes(d.geometryCapacity) + ")");
    out << "Volumes\n";
    line("Drive letters", d.driveLetters.empty() ? "-" : LetterList(d.driveLetters));
    if (d.mountPoints.empty())
        line("Mount points", "-");
    for (size_t i = 0; i < d.mountPoints.size(); ++i)
        line(i == 0 ? "Mount points" : "", EscapeText(d.mountPoints[i]));
    line("Holds the system volume", d.systemVolume ? "yes" : "no");
}

void HexDump(const std::vector<unsigned char> &data, std::ostream &out) {
    for (size_t offset = 0; offset < data.size(); offset += 16) {
        char text[96];
        int length = std::snprintf(text, sizeof text, "%08llx ", static_cast<unsigned long long>(offset));
        std::string line(text, static_cast<size_t>(length));
        std::string ascii;
        for (size_t i = 0; i < 16; ++i) {
            if (i == 8)
                line += ' ';
            if (offset + i < data.size()) {
                unsigned char b = data[offset + i];
                std::snprintf(text, sizeof text, " %02x", b);
                line += text;
                ascii += (b >= 0x20 && b < 0x7F) ? static_cast<char>(b) : '.';
            } else {
                line += "   ";
            }
        }
        out << line << "  |" << ascii << "|\n";
    }
}

// ---------------------------------------------------------------------------
// Commands

int Fail(std::ostream &err, int code, const std::string &message) {
    err << "tavdisk: " << message << "\n";
    return code;
}

// A non-negative number, decimal or hexadecimal with 0x.
std::optional<uint64_t> ParseNumber(const std::string &text) {
    uint64_t base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        uint64_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint64_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<uint64_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<uint64_t>(c - 'A' + 10);
        else
            return std::nullopt;
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / base)
            return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

struct Target {
    ULONG disk = 0;
    uint64_t sector = 0;
};

// The disk with this number in the set; null after saying why on err, with
// the exit code in `code`.
std::unique_ptr<Drive> OpenDisk(const DeviceSet &set, ULONG disk, const std::string &diskText, std::ostream &err,
                                int &code, std::optional<std::string> &failure) {
    if (!set.Valid()) {
        code = Fail(err, kExitFailure, "cannot enumerate the disks of this machine");
        return nullptr;
    }
    std::unique_ptr<Drive> drive = GetDrive(set.Get(), disk, failure);
    if (!drive)
        code = Fail(err, kExitFailure, "no disk " + diskText + " on this machine (see 'tavdisk list')");
    return drive;
}

// Checks the DISK (and SECTOR) arguments; prints the usage error itself.
std::optional<Target> ParseTarget(const std::string &disk, const std::string *sector, std::ostream &err) {
    Target t;
    std::optional<uint64_t> n = ParseNumber(disk);
    if (!n || *n > std::numeric_limits<ULONG>::max()) {
        Fail(err, kExitUsage, "disk number '" + disk + "' is not a number from 0 to 4294967295");
        return std::nullopt;
    }
    t.disk = static_cast<ULONG>(*n);
    if (sector) {
        std::optional<uint64_t> s = ParseNumber(*sector);
        if (!s) {
            Fail(err, kExitUsage, "sector '" + *sector + "' is not a non-negative number");
            return std::nullopt;
        }
        t.sector = *s;
    }
    return t;
}

std::string DiskName(const DiskInfo &d) {
    return "disk " + std::to_string(d.number) + (d.path ? " (" + EscapeText(*d.path) + ")" : "");
}

// Everything a sector transfer must know before it touches the disk; prints
// the error and returns its exit code, or 0 when the transfer may go ahead.
int CheckTransfer(const DiskInfo &d, uint64_t sector, std::ostream &err) {
    if (!d.accessible) {
        return Fail(err, kExitFailure, "cannot open " + DiskName(d) + OpenFailure(d) + AccessAdvice());
    }
    if (d.bytesPerSector == 0)
        return Fail(err, kExitFailure, DiskName(d) + " does not report its sector size");
    if (d.bytesPerSector > kMaxSectorSize)
        return Fail(err, kExitFailure,
                    DiskName(d) + " reports an implausible sector size of " + std::to_string(d.bytesPerSector) +
                        " bytes");
    if (d.sectors != 0 && sector >= d.sectors)
        return Fail(err, kExitFailure,
                    "sector " + std::to_string(sector) + " is past the end of " + DiskName(d) + ", which has " +
                        std::to_string(d.sectors) + " sectors (0 to " + std::to_string(d.sectors - 1) + ")");
    if (sector > std::numeric_limits<ULONG>::max())
        return Fail(err, kExitFailure,
                    "sector " + std::to_string(sector) +
                        " is beyond 4294967295, the last sector number the library can address");
    return 0;
}

int RunList(bool json, std::ostream &out, std::ostream &err) {
    DeviceSet set;
    if (!set.Valid())
        return Fail(err, kExitFailure, "cannot enumerate the disks of this machine");
    std::vector<DiskInfo> disks;
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        std::optional<std::string> failure;
        std::unique_ptr<Drive> drive = GetDrive(set.Get(), i, failure);
        if (!drive)
            break;
        disks.push_back(Collect(*drive, set.Get(), i, true));
        if (!disks.back().accessible)
            disks.back().openFailure = failure;
    }
    std::vector<std::string> notes;
    size_t closed = static_cast<size_t>(
        std::count_if(disks.begin(), disks.end(), [](const DiskInfo &d) { return !d.accessible; }));
    if (closed != 0) {
        std::string right = MissingRight();
        notes.push_back(std::to_string(closed) + " of " + std::to_string(disks.size()) +
                        " disks could not be opened" + (right.empty() ? "" : "; full answers need " + right));
        for (const DiskInfo &d : disks)
            if (!d.accessible && d.openFailure)
                notes.push_back(DiskName(d) + " could not be opened" + OpenFailure(d));
    }
    if (json) {
        WriteJson(Document(disks, notes), out);
    } else if (disks.empty()) {
        out << "No disks found.\n";
    } else {
        PrintTable(disks, out);
    }
    for (const std::string &note : notes)
        err << "tavdisk: note: " << note << "\n";
    return kExitOk;
}

int RunShow(const std::string &diskText, bool json, std::ostream &out, std::ostream &err) {
    std::optional<Target> target = ParseTarget(diskText, nullptr, err);
    if (!target)
        return kExitUsage;
    DeviceSet set;
    int code = kExitOk;
    std::optional<std::string> failure;
    std::unique_ptr<Drive> drive = OpenDisk(set, target->disk, diskText, err, code, failure);
    if (!drive)
        return code;
    DiskInfo d = Collect(*drive, set.Get(), target->disk, true);
    if (!d.accessible)
        d.openFailure = failure;
    std::vector<std::string> notes;
    if (!d.accessible) {
        notes.push_back(DiskName(d) + " could not be opened" + OpenFailure(d) + AccessAdvice());
    }
    if (!json) {
        PrintDisk(d, out); // says so itself when the disk could not be opened
        return kExitOk;
    }
    WriteJson(Document({d}, notes), out);
    for (const std::string &note : notes)
        err << "tavdisk: note: " << note << "\n";
    return kExitOk;
}

int RunRead(const std::string &diskText, const std::string &sectorText, std::ostream &out, std::ostream &err) {
    std::optional<Target> target = ParseTarget(diskText, &sectorText, err);
    if (!target)
        return kExitUsage;
    DeviceSet set;
    int code = kExitOk;
    std::optional<std::string> failure;
    std::unique_ptr<Drive> drive = OpenDisk(set, target->disk, diskText, err, code, failure);
    if (!drive)
        return code;
    DiskInfo d = Collect(*drive, set.Get(), target->disk, false);
    if (!d.accessible)
        d.openFailure = failure;
    code = CheckTransfer(d, target->sector, err);
    if (code != kExitOk)
        return code;
    std::vector<unsigned char> data(d.bytesPerSector, 0);
    if (!drive->ReadSector(static_cast<ULONG>(target->sector), data.data())) {
        return Fail(err, kExitFailure,
                    "reading sector " + std::to_string(target->sector) + " of " + DiskName(d) + " failed" +
                        AccessAdvice());
    }
    HexDump(data, out);
    return kExitOk;
}

int RunWrite(const std::string &diskText, const std::string &sectorText, const std::string &file, bool yes,
             std::ostream &out, std::ostream &err) {
    std::optional<Target> target = ParseTarget(diskText, &sectorText, err);
    if (!target)
        return kExitUsage;
    if (!yes)
        return Fail(err, kExitUsage,
                    "refusing to write sector " + sectorText + " of disk " + diskText +
                        " without --yes: it overwrites what the disk holds there");

    // The file is checked before any disk is touched.
    namespace fs = std::filesystem;
    std::error_code ec;
    fs::file_status status = fs::status(file, ec);
    if (ec || !fs::exists(status))
        return Fail(err, kExitFailure, "cannot read '" + file + "': no such file; nothing written");
    if (!fs::is_regular_file(status))
        return Fail(err, kExitFailure, "'" + file + "' is not a regular file; nothing written");
    uint64_t fileSize = fs::file_size(file, ec);
    if (ec)
        return Fail(err, kExitFailure, "cannot read '" + file + "': " + ec.message() + "; nothing written");
    if (fileSize == 0 || fileSize > kMaxSectorSize)
        return Fail(err, kExitFailure,
                    "'" + file + "' has " + std::to_string(fileSize) +
                        " bytes, which cannot be one sector; nothing written");

    DeviceSet set;
    int code = kExitOk;
    std::optional<std::string> failure;
    std::unique_ptr<Drive> drive = OpenDisk(set, target->disk, diskText, err, code, failure);
    if (!drive)
        return code;
    DiskInfo d = Collect(*drive, set.Get(), target->disk, false);
    if (!d.accessible)
        d.openFailure = failure;
    code = CheckTransfer(d, target->sector, err);
    if (code != kExitOk)
        return code;
    if (fileSize != d.bytesPerSector)
        return Fail(err, kExitFailure,
                    "'" + file + "' has " + std::to_string(fileSize) + " bytes but a sector of " + DiskName(d) +
                        " has " + std::to_string(d.bytesPerSector) + "; nothing written");

    std::vector<unsigned char> data(d.bytesPerSector, 0);
    std::ifstream in(file, std::ios::binary);
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!in || in.gcount() != static_cast<std::streamsize>(data.size()) || in.peek() != EOF)
        return Fail(err, kExitFailure, "cannot read exactly one sector from '" + file + "'; nothing written");

    if (!drive->WriteSector(static_cast<ULONG>(target->sector), data.data())) {
        return Fail(err, kExitFailure,
                    "writing sector " + std::to_string(target->sector) + " of " + DiskName(d) + " failed" +
                        AccessAdvice());
    }
    out << "wrote sector " << target->sector << " of " << DiskName(d) << ": " << data.size() << " bytes from '"
        << file << "'\n";
    return kExitOk;
}

// TAVDISK_DEBUG=1 for the guard's life when `on`; the variable is then
// restored as it was.
class DebugSwitch {
public:
    explicit DebugSwitch(bool on) : on_(on) {
        if (!on_)
            return;
        if (const char *old = std::getenv(kVariable))
            old_ = old;
        Set("1");
    }
    ~DebugSwitch() {
        if (on_)
            Set(old_ ? old_->c_str() : nullptr);
    }
    DebugSwitch(const DebugSwitch &) = delete;
    DebugSwitch &operator=(const DebugSwitch &) = delete;

private:
    static constexpr const char *kVariable = "TAVDISK_DEBUG";
    static void Set(const char *value) {
#if defined(_WIN32)
        _putenv_s(kVariable, value ? value : "");
#else
        if (value)
            setenv(kVariable, value, 1);
        else
            unsetenv(kVariable);
#endif
    }
    bool on_;
    std::optional<std::string> old_;
};

} // namespace

int TavdiskMain(int argc, char **argv, std::ostream &out, std::ostream &err) {
    CLI::App app{"Lists the physical disks of this machine and what each one is; reads and writes single "
                 "sectors.\nFull answers need root (administrator rights on Windows).",
                 "tavdisk"};
    app.set_version_flag("--version", "tavdisk " TAVDISK_VERSION);
    app.require_subcommand(0, 1);
    bool json = false;
    bool yes = false;
    bool verbose = false;
    std::string disk, sector, file;
    app.add_flag("--json", json, "With no command: list the disks as JSON");
    const char *verboseHelp = "Print each platform request that fails on stderr (sets TAVDISK_DEBUG=1)";
    app.add_flag("--verbose", verbose, verboseHelp);

    CLI::App *list = app.add_subcommand("list", "A table of every disk (the default command)");
    list->add_flag("--verbose", verbose, verboseHelp);
    list->add_flag("--json", json, "Every field of every disk as JSON");

    CLI::App *show = app.add_subcommand("show", "Every field of one disk");
    show->add_flag("--verbose", verbose, verboseHelp);
    show->add_option("DISK", disk, "Disk number, as 'tavdisk list' shows it")->required()->type_name("NUMBER");
    show->add_flag("--json", json, "As JSON (the document of 'list --json' with this disk only)");

    CLI::App *read = app.add_subcommand("read", "Hexdump of one sector");
    read->add_flag("--verbose", verbose, verboseHelp);
    read->add_option("DISK", disk, "Disk number, as 'tavdisk list' shows it")->required()->type_name("NUMBER");
    read->add_option("SECTOR", sector, "Sector number, from 0")->required()->type_name("NUMBER");

    CLI::App *write = app.add_subcommand("write", "Write one sector from a file of exactly one sector's size (needs --yes)");
    write->add_flag("--verbose", verbose, verboseHelp);
    write->add_option("DISK", disk, "Disk number, as 'tavdisk list' shows it")->required()->type_name("NUMBER");
    write->add_option("SECTOR", sector, "Sector number, from 0")->required()->type_name("NUMBER");
    write->add_option("FILE", file, "File holding the sector's new bytes")->required()->type_name("PATH");
    write->add_flag("--yes,-y", yes, "Really write: the sector's old content is lost");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        out << app.help();
        return kExitOk;
    } catch (const CLI::CallForAllHelp &) {
        out << app.help("", CLI::AppFormatMode::All);
        return kExitOk;
    } catch (const CLI::CallForVersion &e) {
        out << e.what() << "\n";
        return kExitOk;
    } catch (const CLI::ParseError &e) {
        return Fail(err, kExitUsage, std::string(e.what()) + " (see 'tavdisk --help')");
    }

    DebugSwitch debug(verbose);
    try {
        if (show->parsed())
            return RunShow(disk, json, out, err);
        if (read->parsed())
            return RunRead(disk, sector, out, err);
        if (write->parsed())
            return RunWrite(disk, sector, file, yes, out, err);
        return RunList(json, out, err);
    } catch (const std::exception &e) {
        return Fail(err, kExitFailure, std::string("unexpected failure: ") + e.what());
    }
}

} // namespace tavdisk
