// SPDX-License-Identifier: MIT
// Collecting a disk's facts: every getter of the library asked once, the
// texts read whole, and the second look that tells a disk that went away.
#include "collect.h"
#include "cli.h"
#include "kinds.h"
#include "open.h"

#include <algorithm>
#include <cwchar>
#include <limits>

namespace tavdisk {

namespace {

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
    std::vector<unsigned char> large(TextCapacity + 1);
    count = 0;
    if (!(drive.*getter)(large.data(), TextCapacity, &count))
        return std::nullopt;
    return std::string(reinterpret_cast<const char *>(large.data()), std::min(count, TextCapacity));
}

// One wide text: ask for the length, then fetch with a buffer of that size.
// `tooLong` (when given) receives the length the library gave when it
// was beyond what the program takes.
std::optional<std::wstring> ReadWide(Drive &drive, WideGetter getter, ULONG *tooLong = nullptr) {
    ULONG length = 0;
    (drive.*getter)(nullptr, 0, &length);
    for (int attempt = 0; attempt < 2 && length > 0; ++attempt) {
        if (length > MaxWideLength) {
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

// The device description of a device node (a disk's controller).
// GetDescription returns no result, so the buffer and the required size are
// cleared before the call: what it leaves in them tells whether there is a
// description and whether it fitted.
std::optional<std::string> DescribeNode(void *set, ULONG devInst) {
    Adapter adapter(set, devInst);
    size_t characters = 256;
    for (int attempt = 0; attempt < 2; ++attempt) {
        std::vector<wchar_t> buffer(characters + 1, 0);
        auto capacity = static_cast<ULONG>(characters * sizeof(wchar_t));
        ULONG required = 0;
        adapter.GetDescription(buffer.data(), capacity, &required);
        if (required > capacity && required <= MaxWideLength * sizeof(wchar_t) && attempt == 0) {
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

// The table, then each partition; a partition that cannot be read (the
// table changed meanwhile) leaves the table untold. A disk whose volumes
// have no path carries none on any partition: its partitions' volumes are
// not looked for.
void CollectPartitions(Drive &drive, DiskFacts &d) {
    int style = 0;
    ULONG count = 0, length = 0;
    if (!drive.GetPartitionStyle(&style) || !drive.GetPartitionCount(&count))
        return;
    char id[40] = {};
    if (!drive.GetPartitionTableId(id, sizeof id, &length))
        return;
    std::vector<PartitionFacts> partitions;
    for (ULONG i = 0; i < count; ++i) {
        PartitionFacts p{};
        if (!drive.GetPartition(i, &p.entry))
            return;
        p.name = WideToUtf8(p.entry.Name, std::wcslen(p.entry.Name));
        length = 0;
        if (!d.mountPoints.empty() || !d.driveLetters.empty())
            drive.GetPartitionMountPoints(i, nullptr, 0, &length);
        if (length > 0 && length <= MaxWideLength) {
            std::vector<wchar_t> paths(length, 0);
            if (drive.GetPartitionMountPoints(i, paths.data(), length, &length) == 1)
                p.mountPoints = SplitMounts(std::wstring(paths.data()));
        }
        partitions.push_back(std::move(p));
    }
    d.partitionStyle = style;
    d.partitionTableId = id;
    d.partitions = std::move(partitions);
}

// The disk's world-wide name; absent when the disk tells none (or the
// request failed).
std::optional<std::string> WorldWideName(Drive &drive) {
    std::vector<char> name(600, 0); // longer than any name a designator holds
    ULONG length = 0;
    if (drive.GetWorldWideName(name.data(), static_cast<ULONG>(name.size()), &length))
        return std::string(name.data());
    if (length <= name.size() || length > MaxWideLength)
        return std::nullopt;
    name.assign(length, 0);
    if (drive.GetWorldWideName(name.data(), length, &length))
        return std::string(name.data());
    return std::nullopt;
}

} // namespace

DiskFacts Collect(const Opened &o, void *set, bool full, bool partitions) {
    Drive &drive = *o.drive;
    DiskFacts d;
    d.number = o.number;
    if (auto path = ReadWide(drive, &Drive::GetDevicePath))
        d.path = WideToUtf8(path->data(), path->size());
    d.deviceInstance = drive.GetDeviceInstance();
    d.parentInstance = drive.GetDeviceParentInstance();
    if (full)
        d.controller = DescribeNode(set, d.parentInstance);

    d.access = drive.GetAccess();
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
    // The getters answer 0:0:0:0 for a disk without a SCSI address.
    d.scsiAddressKnown = drive.HasScsiAddress() == 1;

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
    Classify(d);
    if (!d.accessible) {
        d.openError = o.openError;
        d.openRequest = o.openRequest;
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
    d.systemVolume = drive.ContainsSystemVolume() != 0;

    ULONG bytes = 0;
    if (drive.GetPhysicalBytesPerSector(&bytes))
        d.physicalSectorBytes = bytes;
    if (drive.GetAlignmentOffset(&bytes))
        d.alignmentOffset = bytes;
    const auto flag = [&drive](int (Drive::*member)(int *)) {
        int value = 0;
        return (drive.*member)(&value) ? std::optional<bool>(value != 0) : std::nullopt;
    };
    d.rotational = flag(&Drive::IsRotational);
    d.trim = flag(&Drive::SupportsTrim);
    d.readOnly = flag(&Drive::IsReadOnly);
    d.removable = flag(&Drive::IsRemovable);
    d.wwn = WorldWideName(drive);
    if (partitions)
        CollectPartitions(drive, d);
    return d;
}

std::string PathOf(Drive &drive) {
    std::optional<std::wstring> path = ReadWide(drive, &Drive::GetDevicePath);
    return path ? WideToUtf8(path->data(), path->size()) : std::string();
}

namespace {

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
bool Doubtful(const DiskFacts &d) {
    if (d.accessible)
        return !d.numberKnown;
    DWORD e = d.openError.value_or(ERROR_SUCCESS);
    return e != ERROR_ACCESS_DENIED && e != ERROR_SHARING_VIOLATION && e != ERROR_BUSY;
}

} // namespace

void MarkVanished(std::vector<DiskFacts> &disks) {
    if (std::none_of(disks.begin(), disks.end(), Doubtful))
        return;
    std::vector<std::string> present = PresentPaths();
    for (DiskFacts &d : disks) {
        if (!Doubtful(d) || !d.path)
            continue;
        if (std::find(present.begin(), present.end(), *d.path) == present.end()) {
            d.vanished = true;
            d.accessible = false;
        }
    }
}

void CollectHealth(const Opened &o, DiskFacts &d) {
    if (!d.accessible || !o.drive)
        return;
    DriveHealth h;
    o.drive->GetHealth(&h);
    d.health = h;
}

} // namespace tavdisk
