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
#include <cctype>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <limits>
#include <memory>
#include <optional>
#include <sstream>
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

// The library's 32-bit unsigned integer (unsigned long on Windows), and the
// last-error codes this program looks at. Away from Windows the library's
// header names no Windows type or code (so that a program's own do not
// clash with them): the program names what it uses itself.
using TavDiskLib::ULONG;
using DWORD = TavDiskLib::ULONG;
#if !defined(_WIN32)
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_BUSY = 170;
#endif

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
// Capacity handed to the narrow text getters: more than the largest storage
// descriptor the library keeps (64 KiB), so no device string is ever cut.
constexpr ULONG kTextCapacity = (64u << 10) + 1;
// Longest wide text (path, mount list, description) the program asks for;
// a longer one is reported in a note, never dropped silently.
constexpr ULONG kMaxWideLength = 1u << 24;

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
// A getter cuts a text to the buffer and gives up the buffer's last byte to
// the terminator, so a count below capacity - 1 is the whole text; only a
// text that fills a small buffer is asked for again with one larger than any
// field the library keeps.
std::optional<std::string> ReadNarrow(Drive &drive, NarrowGetter getter, bool descriptor) {
    unsigned char small[256];
    ULONG count = 0;
    if (!(drive.*getter)(small, sizeof small, &count))
        return std::nullopt;
    if (descriptor && count == 1 && small[0] == 0)
        return std::nullopt;
    if (count < sizeof small - 1)
        return std::string(reinterpret_cast<const char *>(small), count);
    std::vector<unsigned char> large(kTextCapacity + 1);
    count = 0;
    if (!(drive.*getter)(large.data(), kTextCapacity, &count))
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(large.data()), std::min(count, kTextCapacity));
}

// One wide text: ask for the length, then fetch with a buffer of that size.
// `tooLong` (when given) receives the length the library reported when it
// was beyond what the program takes.
std::optional<std::wstring> ReadWide(Drive &drive, WideGetter getter, ULONG *tooLong = nullptr) {
    ULONG length = 0;
    (drive.*getter)(nullptr, 0, &length);
    for (int attempt = 0; attempt < 2 && length > 0; ++attempt) {
        if (length > kMaxWideLength) {
            if (tooLong)
                *tooLong = length;
            break;
        }
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
    std::optional<DWORD> openError;           // why the disk could not be opened (last-error code)
    std::string openRequest;                  // the request that failed when the disk could not be opened
    bool numberKnown = true;                  // the device-number request succeeded
    bool vanished = false;                    // no longer among the machine's disks
    ULONG mountsTooLong = 0;                  // length of a mount list too long to take, else 0
};

// The library's thread last-error code: the system's on Windows, the
// library's own export elsewhere.
DWORD LastError() { return ::GetLastError(); }
void ClearLastError() { ::SetLastError(ERROR_SUCCESS); }

// Whether a piece of a "; "-joined mount list starts a path of its own (an
// absolute path on this system or a Windows one). A piece that does not is
// the rest of a path that held "; " itself.
bool StartsPath(const std::wstring &piece) {
    if (piece.empty())
        return false;
    if (piece[0] == L'/' || piece[0] == L'\\')
        return true;
    return piece.size() >= 2 && piece[1] == L':' &&
           ((piece[0] >= L'A' && piece[0] <= L'Z') || (piece[0] >= L'a' && piece[0] <= L'z'));
}

// The library's mount list, split at its separator "; " where the next piece
// starts a path. (A path holding "; " followed by something that looks like
// a path stays ambiguous: the JSON carries the list as given beside it.)
std::vector<std::string> SplitMounts(const std::wstring &text) {
    std::vector<std::wstring> pieces;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(L"; ", start);
        if (end == std::wstring::npos)
            end = text.size();
        std::wstring piece = text.substr(start, end - start);
        if (!pieces.empty() && !StartsPath(piece))
            pieces.back() += L"; " + piece;
        else
            pieces.push_back(piece);
        start = end + 2;
    }
    std::vector<std::string> out;
    for (const auto &piece : pieces)
        if (!piece.empty())
            out.push_back(WideToUtf8(piece.data(), piece.size()));
    return out;
}

// Asks every getter once. `full` adds the controller description and the
// volume scan, which reading or writing a sector does not need. `openError`
// is the last-error code read right after GetDrive: why the disk could not
// be opened, if it could not; `openRequest` names the request that failed.
DiskInfo Collect(Drive &drive, void *set, ULONG number, bool full, DWORD openError,
                 const std::string &openRequest = std::string()) {
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
    if (!d.accessible) {
        d.openError = openError;
        d.openRequest = openRequest;
        return d;
    }

    // The number is asked of the device: a disk that went away (or never
    // tells) has none, and must not be given another disk's number 0.
    ClearLastError();
    d.deviceNumber = drive.GetDriveNumber();
    d.numberKnown = LastError() == ERROR_SUCCESS;
    if (!full || !d.numberKnown)
        return d;

    if (auto letters = ReadWide(drive, &Drive::GetDriveLetters))
        d.driveLetters = WideToUtf8(letters->data(), letters->size());
    if (auto mounts = ReadWide(drive, &Drive::GetMountPoints, &d.mountsTooLong)) {
        d.mountPointsText = WideToUtf8(mounts->data(), mounts->size());
        d.mountPoints = SplitMounts(*mounts);
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

// The last-error code in words, for messages: "access denied (error 5)".
std::string ErrorText(DWORD code) {
    static const struct {
        DWORD code;
        const char *words;
    } kWords[] = {
        {1, "not supported by the device"},
        {2, "no such device"},
        {3, "no such path"},
        {5, "access denied"},
        {6, "invalid handle"},
        {8, "not enough memory"},
        {14, "not enough memory"},
        {19, "read-only (write-protected)"},
        {21, "device not ready (no medium)"},
        {23, "data error (CRC)"},
        {25, "seek error"},
        {27, "sector not found"},
        {29, "write fault"},
        {30, "read fault"},
        {31, "device not functioning"},
        {32, "in use by another process"},
        {38, "end of the disk"},
        {39, "disk full"},
        {50, "not supported"},
        {55, "the device no longer exists"},
        {87, "invalid parameter"},
        {112, "disk full"},
        {121, "timed out"},
        {170, "device busy"},
        {1117, "I/O error"},
        {1460, "timed out"},
    };
    for (const auto &w : kWords)
        if (w.code == code)
            return std::string(w.words) + " (error " + std::to_string(code) + ")";
    return "error " + std::to_string(code);
}

// ": <reason>" for a failure whose last-error code is known, else nothing;
// ": <request> failed: <reason>" when the request is known as well.
std::string Because(std::optional<DWORD> code, const std::string &request = std::string()) {
    if (!code || *code == ERROR_SUCCESS)
        return std::string();
    return ": " + (request.empty() ? std::string() : request + " failed: ") + ErrorText(*code);
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
    j["vanished"] = d.vanished;
    j["error"] = d.openError && *d.openError != ERROR_SUCCESS ? Json(ErrorText(*d.openError)) : Json(nullptr);
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
    // Volumes are matched by device number: without one there is no answer.
    if (d.numberKnown)
        j["volumes"] = {{"drive_letters", letters},
                        {"mount_points", d.mountPoints},
                        {"mount_points_text", d.mountPointsText},
                        {"system_volume", d.systemVolume}};
    else
        j["volumes"] = nullptr;
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
            rows.push_back({std::to_string(d.number), path, "-", d.vanished ? "(gone)" : "(cannot open)", "-", "-",
                            "-", "-", "-", "-", "", controller});
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
    if (d.vanished) {
        out << "  The disk went away while it was being read\n";
        return;
    }
    if (!d.accessible) {
        out << "  The device could not be opened" << Because(d.openError, d.openRequest) << AccessAdvice() << "\n";
        return;
    }
    line("Device number", d.numberKnown ? number(d.deviceNumber) : "- (the device does not tell it)");
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
    if (!d.numberKnown) {
        line("Drive letters", "- (unknown without the device number)");
        return;
    }
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

// An argument as the user gave it, quoted for a message: control bytes and
// backslashes escaped, so that nothing typed reaches the terminal raw.
std::string Quoted(const std::string &text) { return "'" + EscapeBytes(text) + "'"; }

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

// How a command names its disk: by number (its place in the listing) or by
// device path.
struct DiskArg {
    std::optional<ULONG> number;
    std::string path;
    std::string text; // as given
};

// A DISK argument: a number when it starts with a digit, a device path when
// it holds a slash or backslash. Prints the usage error itself.
std::optional<DiskArg> ParseDisk(const std::string &text, std::ostream &err) {
    DiskArg name;
    name.text = text;
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        std::optional<uint64_t> n = ParseNumber(text);
        if (!n || *n > std::numeric_limits<ULONG>::max()) {
            Fail(err, kExitUsage, "disk number " + Quoted(text) + " is not a number from 0 to 4294967295");
            return std::nullopt;
        }
        name.number = static_cast<ULONG>(*n);
        return name;
    }
    if (text.find_first_of("/\\") == std::string::npos) {
        Fail(err, kExitUsage,
             "disk " + Quoted(text) + " is neither a disk number nor a device path (see 'tavdisk list')");
        return std::nullopt;
    }
    name.path = text;
    return name;
}

std::optional<uint64_t> ParseSector(const std::string &text, std::ostream &err) {
    std::optional<uint64_t> s = ParseNumber(text);
    if (!s)
        Fail(err, kExitUsage, "sector " + Quoted(text) + " is not a non-negative number");
    return s;
}

#if defined(_WIN32)
bool EqualNoCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}
#endif

// Whether `wanted` (a device path the user typed) names the disk at
// `diskPath` with device number `number`: the same path; on Windows also
// without regard to case, or as \\.\PhysicalDriveN; elsewhere also through
// symbolic links (/dev/disk/by-id/...).
bool NamesDisk(const std::string &wanted, const std::string &diskPath, Drive &drive) {
    if (wanted == diskPath)
        return true;
#if defined(_WIN32)
    if (EqualNoCase(wanted, diskPath))
        return true;
    const std::string prefix = "\\\\.\\PhysicalDrive";
    if (wanted.size() > prefix.size() && EqualNoCase(wanted.substr(0, prefix.size()), prefix)) {
        std::optional<uint64_t> n = ParseNumber(wanted.substr(prefix.size()));
        if (!n || (wanted[prefix.size()] == '0' && wanted.size() > prefix.size() + 1))
            return false;
        ClearLastError();
        ULONG number = drive.GetDriveNumber();
        return LastError() == ERROR_SUCCESS && number == *n;
    }
    return false;
#else
    (void)drive;
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::canonical(wanted, ec);
    return !ec && canonical.string() == diskPath;
#endif
}

// The first platform request that failed on this thread while the guard
// lived ("CreateFileW"), as the library's failure handler tells it.
class FirstFailure {
public:
    FirstFailure() { tavdisk_set_failure_handler(&FirstFailure::Take, this); }
    ~FirstFailure() { tavdisk_set_failure_handler(nullptr, nullptr); }
    FirstFailure(const FirstFailure &) = delete;
    FirstFailure &operator=(const FirstFailure &) = delete;
    const std::string &Request() const { return request_; }

private:
    static void TAVDISK_CALL Take(const tavdisk_failure *failure, void *context) {
        auto *self = static_cast<FirstFailure *>(context);
        try {
            if (self->request_.empty())
                self->request_ = failure->request;
        } catch (...) {
        }
    }
    std::string request_;
};

// The disk a command names, opened, with the last-error code its open left
// and the request that failed first while it was opened.
struct Opened {
    std::unique_ptr<Drive> drive;
    ULONG number = 0;
    DWORD openError = ERROR_SUCCESS;
    std::string openRequest;
};

Opened OpenMember(void *set, ULONG index) {
    Opened o;
    o.number = index;
    FirstFailure first;
    ClearLastError();
    o.drive.reset(Drive::GetDrive(set, index));
    o.openError = LastError();
    o.openRequest = first.Request();
    return o;
}

std::string PathOf(Drive &drive) {
    std::optional<std::wstring> path = ReadWide(drive, &Drive::GetDevicePath);
    return path ? WideToUtf8(path->data(), path->size()) : std::string();
}

// The disk `name` names in the set; no drive after saying why on err, with
// the exit code in `code`.
Opened OpenDisk(const DeviceSet &set, const DiskArg &name, std::ostream &err, int &code) {
    if (!set.Valid()) {
        code = Fail(err, kExitFailure, "cannot enumerate the disks of this machine");
        return {};
    }
    if (name.number) {
        Opened o = OpenMember(set.Get(), *name.number);
        if (!o.drive)
            code = Fail(err, kExitFailure, "no disk " + name.text + " on this machine (see 'tavdisk list')");
        return o;
    }
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        Opened o = OpenMember(set.Get(), i);
        if (!o.drive)
            break;
        if (NamesDisk(name.path, PathOf(*o.drive), *o.drive))
            return o;
    }
    code = Fail(err, kExitFailure, "no disk " + Quoted(name.path) + " on this machine (see 'tavdisk list')");
    return {};
}

std::string DiskName(const DiskInfo &d) {
    return "disk " + std::to_string(d.number) + (d.path ? " (" + EscapeText(*d.path) + ")" : "");
}

// The device paths of the disks present now.
std::vector<std::string> PresentPaths() {
    std::vector<std::string> paths;
    DeviceSet set;
    if (!set.Valid())
        return paths;
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        std::unique_ptr<Drive> drive(Drive::GetDrive(set.Get(), i));
        if (!drive)
            break;
        paths.push_back(PathOf(*drive));
    }
    return paths;
}

// Whether a disk may have gone away since the set was taken: it did not
// tell its number, or its open failed for want of a device (not for want of
// rights, which would make every disk of an ordinary user's listing doubtful).
bool Doubtful(const DiskInfo &d) {
    if (d.accessible)
        return !d.numberKnown;
    DWORD e = d.openError.value_or(ERROR_SUCCESS);
    return e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION && e != ERROR_BUSY;
}

// One more look tells whether the doubtful disks are still there.
void MarkVanished(std::vector<DiskInfo> &disks) {
    if (std::none_of(disks.begin(), disks.end(), Doubtful))
        return;
    std::vector<std::string> present = PresentPaths();
    for (DiskInfo &d : disks) {
        if (!Doubtful(d) || !d.path)
            continue;
        if (std::find(present.begin(), present.end(), *d.path) == present.end()) {
            d.vanished = true;
            d.accessible = false;
        }
    }
}

// Everything a sector transfer must know before it touches the disk; prints
// the error and returns its exit code, or 0 when the transfer may go ahead.
int CheckTransfer(const DiskInfo &d, uint64_t sector, std::ostream &err) {
    if (!d.accessible) {
        return Fail(err, kExitFailure,
                    "cannot open " + DiskName(d) + Because(d.openError, d.openRequest) + AccessAdvice());
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

// Ends a command: the output must have reached its destination. A write
// error (a full disk, a closed pipe when SIGPIPE is ignored) fails the
// command, whatever it did.
int Finish(int code, std::ostream &out, std::ostream &err) {
    errno = 0;
    out.flush();
    if (out.fail()) {
        int e = errno;
        return Fail(err, kExitFailure,
                    std::string("cannot write the output") + (e ? std::string(": ") + std::strerror(e) : ""));
    }
    return code;
}

int RunList(bool json, std::ostream &out, std::ostream &err) {
    DeviceSet set;
    if (!set.Valid())
        return Fail(err, kExitFailure, "cannot enumerate the disks of this machine");
    std::vector<DiskInfo> disks;
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        Opened o = OpenMember(set.Get(), i);
        if (!o.drive)
            break;
        disks.push_back(Collect(*o.drive, set.Get(), i, true, o.openError, o.openRequest));
    }
    MarkVanished(disks);

    std::vector<std::string> notes;
    size_t gone = static_cast<size_t>(std::count_if(disks.begin(), disks.end(), [](const DiskInfo &d) {
        return d.vanished;
    }));
    size_t closed = static_cast<size_t>(std::count_if(disks.begin(), disks.end(), [](const DiskInfo &d) {
        return !d.accessible && !d.vanished;
    }));
    if (gone != 0)
        notes.push_back(std::to_string(gone) + " of " + std::to_string(disks.size()) +
                        " disks went away while they were listed");
    if (closed != 0) {
        std::string right = MissingRight();
        notes.push_back(std::to_string(closed) + " of " + std::to_string(disks.size()) +
                        " disks could not be opened" + (right.empty() ? "" : "; full answers need " + right));
    }
    for (const DiskInfo &d : disks) {
        if (!d.accessible && !d.vanished && !d.openRequest.empty())
            notes.push_back(DiskName(d) + " could not be opened" + Because(d.openError, d.openRequest));
        if (d.accessible && !d.numberKnown)
            notes.push_back(DiskName(d) + " does not tell its device number; its volumes are not shown");
        if (d.mountsTooLong)
            notes.push_back("the mount points of " + DiskName(d) + " are not shown: their list has " +
                            std::to_string(d.mountsTooLong) + " characters, more than " +
                            std::to_string(kMaxWideLength));
    }
    if (json) {
        WriteJson(Document(disks, notes), out);
    } else if (disks.empty()) {
        out << "No disks found.\n";
    } else {
        PrintTable(disks, out);
    }
    for (const std::string &note : notes)
        err << "tavdisk: note: " << EscapeText(note) << "\n";
    return Finish(kExitOk, out, err);
}

int RunShow(const std::string &diskText, bool json, std::ostream &out, std::ostream &err) {
    std::optional<DiskArg> name = ParseDisk(diskText, err);
    if (!name)
        return kExitUsage;
    DeviceSet set;
    int code = kExitOk;
    Opened o = OpenDisk(set, *name, err, code);
    if (!o.drive)
        return code;
    std::vector<DiskInfo> one{Collect(*o.drive, set.Get(), o.number, true, o.openError, o.openRequest)};
    MarkVanished(one);
    const DiskInfo &d = one[0];
    std::vector<std::string> notes;
    if (d.vanished)
        notes.push_back(DiskName(d) + " went away while it was read");
    else if (!d.accessible)
        notes.push_back(DiskName(d) + " could not be opened" + Because(d.openError, d.openRequest) + AccessAdvice());
    if (json)
        WriteJson(Document(one, notes), out);
    else
        PrintDisk(d, out);
    for (const std::string &note : notes)
        err << "tavdisk: " << (json ? "note: " : "") << EscapeText(note) << "\n";
    // What could not be asked is a command not carried out.
    return Finish(d.accessible ? kExitOk : kExitFailure, out, err);
}

int RunRead(const std::string &diskText, const std::string &sectorText, std::ostream &out, std::ostream &err) {
    std::optional<DiskArg> name = ParseDisk(diskText, err);
    if (!name)
        return kExitUsage;
    std::optional<uint64_t> sector = ParseSector(sectorText, err);
    if (!sector)
        return kExitUsage;
    DeviceSet set;
    int code = kExitOk;
    Opened o = OpenDisk(set, *name, err, code);
    if (!o.drive)
        return code;
    DiskInfo d = Collect(*o.drive, set.Get(), o.number, false, o.openError, o.openRequest);
    code = CheckTransfer(d, *sector, err);
    if (code != kExitOk)
        return code;
    std::vector<unsigned char> data(d.bytesPerSector, 0);
    ClearLastError();
    if (!o.drive->ReadSector(static_cast<ULONG>(*sector), data.data())) {
        DWORD why = LastError();
        return Fail(err, kExitFailure,
                    "reading sector " + std::to_string(*sector) + " of " + DiskName(d) + " failed" + Because(why) +
                        (why == ERROR_ACCESS_DENIED ? AccessAdvice() : std::string()));
    }
    HexDump(data, out);
    return Finish(kExitOk, out, err);
}

// What identifies a disk across two looks: the same device with the same
// identity and size.
bool SameDisk(const DiskInfo &a, const DiskInfo &b) {
    return a.path == b.path && ModelOf(a) == ModelOf(b) && SerialOf(a) == SerialOf(b) && a.sectors == b.sectors &&
           a.bytesPerSector == b.bytesPerSector && a.bus == b.bus;
}

struct WriteRequest {
    std::string disk, sector, file, device;
    bool yes = false;
    bool allowMounted = false;
};

int RunWrite(const WriteRequest &w, std::ostream &out, std::ostream &err) {
    std::optional<DiskArg> name = ParseDisk(w.disk, err);
    if (!name)
        return kExitUsage;
    std::optional<uint64_t> sector = ParseSector(w.sector, err);
    if (!sector)
        return kExitUsage;
    if (!w.yes)
        return Fail(err, kExitUsage,
                    "refusing to write sector " + EscapeBytes(w.sector) + " of disk " + EscapeBytes(w.disk) +
                        " without --yes: it overwrites what the disk holds there");
    // A number is a place in a list that changes when disks come and go: the
    // user says which device is expected there.
    if (name->number && w.device.empty())
        return Fail(err, kExitUsage,
                    "writing to disk " + name->text +
                        " needs --device PATH naming the device expected there (numbers change when disks come "
                        "and go), or name the disk by its device path");

    // The file is checked before any disk is touched.
    namespace fs = std::filesystem;
    const std::string file = Quoted(w.file);
    std::error_code ec;
    fs::file_status status = fs::status(w.file, ec);
    if (ec || !fs::exists(status))
        return Fail(err, kExitFailure, "cannot read " + file + ": no such file; nothing written");
    if (!fs::is_regular_file(status))
        return Fail(err, kExitFailure, file + " is not a regular file; nothing written");
    uint64_t fileSize = fs::file_size(w.file, ec);
    if (ec)
        return Fail(err, kExitFailure, "cannot read " + file + ": " + ec.message() + "; nothing written");
    if (fileSize == 0 || fileSize > kMaxSectorSize)
        return Fail(err, kExitFailure,
                    file + " has " + std::to_string(fileSize) + " bytes, which cannot be one sector; nothing written");

    DeviceSet set;
    int code = kExitOk;
    Opened o = OpenDisk(set, *name, err, code);
    if (!o.drive)
        return code;
    DiskInfo d = Collect(*o.drive, set.Get(), o.number, false, o.openError, o.openRequest);
    if (!w.device.empty() && !(d.path && NamesDisk(w.device, *d.path, *o.drive)))
        return Fail(err, kExitFailure,
                    DiskName(d) + " is not " + Quoted(w.device) + " as --device says; nothing written");
    code = CheckTransfer(d, *sector, err);
    if (code != kExitOk)
        return code;
    if (fileSize != d.bytesPerSector)
        return Fail(err, kExitFailure,
                    file + " has " + std::to_string(fileSize) + " bytes but a sector of " + DiskName(d) + " has " +
                        std::to_string(d.bytesPerSector) + "; nothing written");

    std::vector<unsigned char> data(d.bytesPerSector, 0);
    std::ifstream in(w.file, std::ios::binary);
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!in || in.gcount() != static_cast<std::streamsize>(data.size()) || in.peek() != EOF)
        return Fail(err, kExitFailure, "cannot read exactly one sector from " + file + "; nothing written");

    const ULONG target = static_cast<ULONG>(*sector);
    std::vector<wchar_t> mount(kMaxWideLength < 4096 ? kMaxWideLength : 4096, 0);
    ULONG mountLength = 0;
    int mounted = o.drive->GetSectorMountPoint(target, mount.data(), static_cast<ULONG>(mount.size()), &mountLength);
    if (mountLength != 0) {
        std::string where = EscapeText(mounted ? WideToUtf8(mount.data(), mountLength - 1) : std::string("?"));
        std::string what = "sector " + std::to_string(*sector) + " of " + DiskName(d) +
                           " belongs to the volume mounted at " + where;
        if (!w.allowMounted)
            return Fail(err, kExitFailure,
                        what + "; writing there can corrupt its file system (--allow-mounted to write anyway); "
                               "nothing written");
        err << "tavdisk: note: " << what << "; writing anyway (--allow-mounted)\n";
    }

    // The last look before the write: the disk is still there through the
    // handle the write uses, and a fresh listing still shows the same disk
    // under the name the command gave.
    ClearLastError();
    o.drive->GetDriveNumber();
    if (LastError() != ERROR_SUCCESS)
        return Fail(err, kExitFailure, DiskName(d) + " went away" + Because(LastError()) + "; nothing written");
    {
        DeviceSet now;
        int again = kExitOk;
        std::ostringstream quiet;
        Opened fresh = OpenDisk(now, *name, quiet, again);
        DiskInfo f = fresh.drive ? Collect(*fresh.drive, now.Get(), fresh.number, false, fresh.openError,
                                           fresh.openRequest)
                                 : DiskInfo{};
        if (!fresh.drive || fresh.number != d.number || !SameDisk(d, f))
            return Fail(err, kExitFailure,
                        "disk " + EscapeBytes(w.disk) + " changed while the write was prepared (it is " +
                            (fresh.drive ? DiskName(f) : std::string("gone")) + " now); nothing written");
    }

    ClearLastError();
    if (!o.drive->WriteSector(target, data.data())) {
        DWORD why = LastError();
        return Fail(err, kExitFailure,
                    "writing sector " + std::to_string(*sector) + " of " + DiskName(d) + " failed" + Because(why) +
                        (why == ERROR_ACCESS_DENIED ? AccessAdvice() : std::string()));
    }
    out << "wrote sector " << *sector << " of " << DiskName(d) << ": " << data.size() << " bytes from " << file
        << "\n";
    return Finish(kExitOk, out, err);
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
    WriteRequest w;
    std::string disk, sector;
    app.add_flag("--json", json, "With no command: list the disks as JSON");
    bool verbose = false;
    const char *verboseHelp = "Print each platform request that fails on stderr (sets TAVDISK_DEBUG=1)";
    app.add_flag("--verbose", verbose, verboseHelp);

    const char *diskHelp = "Disk number as 'tavdisk list' shows it, or device path";
    CLI::App *list = app.add_subcommand("list", "A table of every disk (the default command)");
    list->add_flag("--verbose", verbose, verboseHelp);
    list->add_flag("--json", json, "Every field of every disk as JSON");

    CLI::App *show = app.add_subcommand("show", "Every field of one disk");
    show->add_flag("--verbose", verbose, verboseHelp);
    show->add_option("DISK", disk, diskHelp)->required()->type_name("NUMBER|PATH");
    show->add_flag("--json", json, "As JSON (the document of 'list --json' with this disk only)");

    CLI::App *read = app.add_subcommand("read", "Hexdump of one sector");
    read->add_flag("--verbose", verbose, verboseHelp);
    read->add_option("DISK", disk, diskHelp)->required()->type_name("NUMBER|PATH");
    read->add_option("SECTOR", sector, "Sector number, from 0")->required()->type_name("NUMBER");

    CLI::App *write = app.add_subcommand("write", "Write one sector from a file of exactly one sector's size (needs --yes)");
    write->add_flag("--verbose", verbose, verboseHelp);
    write->add_option("DISK", w.disk, diskHelp)->required()->type_name("NUMBER|PATH");
    write->add_option("SECTOR", w.sector, "Sector number, from 0")->required()->type_name("NUMBER");
    write->add_option("FILE", w.file, "File holding the sector's new bytes")->required()->type_name("PATH");
    write->add_flag("--yes,-y", w.yes, "Really write: the sector's old content is lost");
    write->add_option("--device", w.device,
                      "The device path the disk number must name (required when DISK is a number)")
        ->type_name("PATH");
    write->add_flag("--allow-mounted", w.allowMounted, "Write even into a sector of a mounted volume");

    try {
        app.parse(argc, argv);
    } catch (const CLI::CallForHelp &) {
        out << app.help();
        return Finish(kExitOk, out, err);
    } catch (const CLI::CallForAllHelp &) {
        out << app.help("", CLI::AppFormatMode::All);
        return Finish(kExitOk, out, err);
    } catch (const CLI::CallForVersion &e) {
        out << e.what() << "\n";
        return Finish(kExitOk, out, err);
    } catch (const CLI::ParseError &e) {
        // The parser's message may quote what was typed: escaped, on one line.
        return Fail(err, kExitUsage, EscapeBytes(e.what()) + " (see 'tavdisk --help')");
    }

    DebugSwitch debug(verbose);
    try {
        if (show->parsed())
            return RunShow(disk, json, out, err);
        if (read->parsed())
            return RunRead(disk, sector, out, err);
        if (write->parsed())
            return RunWrite(w, out, err);
        return RunList(json, out, err);
    } catch (const std::exception &e) {
        return Fail(err, kExitFailure, "unexpected failure: " + EscapeBytes(e.what()));
    }
}

} // namespace tavdisk
