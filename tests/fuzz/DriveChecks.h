// SPDX-License-Identifier: MIT
// Checks every fuzzer makes on a Drive and an Adapter: nothing written at or
// past the capacity the caller gave, counts and lengths within what was
// delivered, results 0 or 1, a refusing getter leaving buffer and count
// alone, a sector read moving exactly one sector. A finding aborts with one
// line naming the member.
#ifndef TAVDISK_TESTS_FUZZ_DRIVECHECKS_H
#define TAVDISK_TESTS_FUZZ_DRIVECHECKS_H

#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/types.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <vector>

namespace TavFuzz {

inline constexpr ULONG Capacities[] = {0, 1, 2, 3, 8, 40, 64};
inline constexpr size_t Slack = 16;
inline constexpr unsigned char Canary = 0xA5;
inline constexpr ULONG Untouched = 0xDEADBEEF;
// Transfers are tried only for sector sizes a buffer can reasonably hold.
inline constexpr ULONG MaxSector = 1u << 16;

[[noreturn]] inline void Fault(const char *what, const char *member, ULONG capacity) {
    std::fprintf(stderr, "finding: %s: %s (capacity %lu)\n", member, what, static_cast<unsigned long>(capacity));
    std::abort();
}

inline void Require(bool ok, const char *what, const char *member, ULONG capacity = 0) {
    if (!ok)
        Fault(what, member, capacity);
}

using Narrow = int (Drive::*)(unsigned char *, ULONG, ULONG *);
using Wide = int (Drive::*)(wchar_t *, ULONG, ULONG *);

// `refusesWhole`: a getter whose 0 means "does not apply" and leaves buffer
// and count alone (IDENTIFY and INQUIRY texts).
inline void CheckNarrow(Drive &d, Narrow getter, const char *name, bool refusesWhole) {
    for (ULONG capacity : Capacities) {
        std::vector<unsigned char> buffer(capacity + Slack, Canary);
        ULONG count = Untouched;
        int result = (d.*getter)(buffer.data(), capacity, &count);
        Require(result == -1 || result == 0 || result == 1, "result not -1, 0 or 1", name, capacity);
        for (size_t i = capacity; i < buffer.size(); ++i)
            Require(buffer[i] == Canary, "wrote past the capacity", name, capacity);
        if (result == 1) {
            Require(count <= capacity, "count above the capacity", name, capacity);
            // (An absent descriptor string is an empty text with count 1.)
            if (count < capacity)
                Require(buffer[count] == 0 || (count == 1 && buffer[0] == 0), "text not terminated inside the buffer",
                        name, capacity);
        } else if (refusesWhole) {
            Require(count == Untouched, "refusal changed the count", name, capacity);
            for (size_t i = 0; i < capacity; ++i)
                Require(buffer[i] == Canary, "refusal changed the buffer", name, capacity);
        }
    }
    ULONG count = Untouched;
    int result = (d.*getter)(nullptr, 0, &count);
    Require(result == 0 || result == 1, "result not 0 or 1 without a buffer", name);
}

inline void CheckWide(Drive &d, Wide getter, const char *name) {
    // (The length may change between calls: a volume scan that ran out of
    // memory is made again by the next call.)
    for (ULONG capacity : Capacities) {
        std::vector<wchar_t> buffer(capacity + Slack, static_cast<wchar_t>(0x5A5A));
        ULONG length = Untouched;
        int result = (d.*getter)(buffer.data(), capacity, &length);
        Require(result == -1 || result == 0 || result == 1, "result not -1, 0 or 1", name, capacity);
        Require(length != Untouched && length >= 1, "length not stored", name, capacity);
        for (size_t i = capacity; i < buffer.size(); ++i)
            Require(buffer[i] == static_cast<wchar_t>(0x5A5A), "wrote past the capacity", name, capacity);
        if (result == 1) {
            Require(length <= capacity, "length above the capacity", name, capacity);
            Require(buffer[length - 1] == 0, "text not terminated at its length", name, capacity);
            Require(std::wcslen(buffer.data()) == length - 1, "terminator inside the text", name, capacity);
        } else {
            Require(length > capacity, "refused a buffer that was large enough", name, capacity);
            for (size_t i = 0; i < capacity; ++i)
                Require(buffer[i] == static_cast<wchar_t>(0x5A5A), "refusal changed the buffer", name, capacity);
        }
    }
}

// The mounted volume holding a sector: a wide text, or length 0 and result
// 0 when none holds it.
inline void CheckSectorMountPoint(Drive &d, ULONG sector) {
    const char *name = "GetSectorMountPoint";
    for (ULONG capacity : {ULONG{0}, ULONG{3}, ULONG{64}}) { // each call walks every volume
        std::vector<wchar_t> buffer(capacity + Slack, static_cast<wchar_t>(0x5A5A));
        ULONG length = Untouched;
        int result = d.GetSectorMountPoint(sector, buffer.data(), capacity, &length);
        Require(result == -1 || result == 0 || result == 1, "result not -1, 0 or 1", name, capacity);
        Require(length != Untouched, "length not stored", name, capacity);
        for (size_t i = capacity; i < buffer.size(); ++i)
            Require(buffer[i] == static_cast<wchar_t>(0x5A5A), "wrote past the capacity", name, capacity);
        if (result == 1) {
            Require(length >= 2 && length <= capacity, "length out of range", name, capacity);
            Require(buffer[length - 1] == 0 && std::wcslen(buffer.data()) == length - 1,
                    "text not terminated at its length", name, capacity);
        } else {
            for (size_t i = 0; i < capacity; ++i)
                Require(buffer[i] == static_cast<wchar_t>(0x5A5A), "refusal changed the buffer", name, capacity);
        }
    }
}

inline void CheckFlag(int value, const char *name) { Require(value == 0 || value == 1, "result not 0 or 1", name); }

// Every member but WriteSector; `sector` is one more sector to read.
// Returns the device parent instance for the Adapter check.
inline ULONG ExerciseReading(Drive &d, ULONG sector) {
    CheckNarrow(d, &Drive::GetVendorId, "GetVendorId", false);
    CheckNarrow(d, &Drive::GetProductId, "GetProductId", false);
    CheckNarrow(d, &Drive::GetProductRevision, "GetProductRevision", false);
    CheckNarrow(d, &Drive::GetSerialNumber, "GetSerialNumber", false);
    CheckNarrow(d, &Drive::GetIdeDriveSerialNo, "GetIdeDriveSerialNo", true);
    CheckNarrow(d, &Drive::GetIdeDriveFirmwareRevision, "GetIdeDriveFirmwareRevision", true);
    CheckNarrow(d, &Drive::GetIdeDriveModelNo, "GetIdeDriveModelNo", true);
    CheckNarrow(d, &Drive::GetScsiVendorId, "GetScsiVendorId", true);
    CheckNarrow(d, &Drive::GetScsiProductId, "GetScsiProductId", true);
    CheckNarrow(d, &Drive::GetScsiProductRevision, "GetScsiProductRevision", true);
    CheckWide(d, &Drive::GetDevicePath, "GetDevicePath");

    (void)d.GetBusType();
    (void)d.GetDriveNumber();
    (void)d.GetDeviceInstance();
    ULONG parent = d.GetDeviceParentInstance();
    CheckFlag(d.IsAta(), "IsAta");
    (void)d.GetIdeControllerNumber();
    (void)d.GetIdeDiskNumber();
    CheckFlag(d.GetIdeSupports48BitAddressing(), "GetIdeSupports48BitAddressing");
    CheckFlag(d.GetIdeSupportsSecurity(), "GetIdeSupportsSecurity");
    (void)d.GetIdeSecurityEraseUnitTime();
    (void)d.GetIdeEnhancedSecurityEraseUnitTime();
    (void)d.GetScsiPort();
    (void)d.GetScsiBusId();
    (void)d.GetScsiTargetId();
    (void)d.GetScsiLogicalUnitId();
    (void)d.GetCapacity();
    (void)d.GetCylinders();
    (void)d.GetTracksPerCylinder();
    (void)d.GetSectorsPerTrack();
    (void)d.GetSectors();
    // A fact not told leaves the caller's value alone; a flag told is 0 or 1.
    for (auto member : {&Drive::GetPhysicalBytesPerSector, &Drive::GetAlignmentOffset}) {
        ULONG value = 0xC0FFEE;
        int told = (d.*member)(&value);
        CheckFlag(told, "a physical size");
        Require(told || value == 0xC0FFEE, "a fact not told changed the caller's value", "GetPhysicalBytesPerSector");
    }
    for (auto member : {&Drive::IsRotational, &Drive::SupportsTrim, &Drive::IsReadOnly, &Drive::IsRemovable}) {
        int value = 7;
        int told = (d.*member)(&value);
        CheckFlag(told, "a physical flag");
        Require(told ? (value == 0 || value == 1) : value == 7, "a physical flag outside 0 and 1, or changed",
                "IsRotational");
    }
    // The world-wide name: within the capacity, terminated, its length the
    // one told; a refusal leaves the buffer alone.
    for (ULONG capacity : Capacities) {
        std::vector<char> name(capacity + Slack, static_cast<char>(Canary));
        ULONG length = Untouched;
        const int gave = d.GetWorldWideName(name.data(), capacity, &length);
        CheckFlag(gave, "GetWorldWideName");
        for (size_t i = gave ? capacity : 0; i < name.size(); ++i)
            Require(name[i] == static_cast<char>(Canary), "wrote past the capacity, or refused and wrote",
                    "GetWorldWideName", capacity);
        if (gave)
            Require(length >= 1 && length <= capacity && name[length - 1] == 0 &&
                        std::strlen(name.data()) + 1 == length,
                    "a name cut or its length wrong", "GetWorldWideName", capacity);
    }

    // Health: a verdict is told (1) or unknown with its reason (0), never
    // a passed disk without an answer.
    DriveHealth health;
    const int told = d.GetHealth(&health);
    CheckFlag(told, "GetHealth");
    Require(health.Verdict >= DriveHealth::VerdictUnknown && health.Verdict <= DriveHealth::VerdictFailing,
            "a verdict that is none", "GetHealth");
    Require(told ? health.Verdict != DriveHealth::VerdictUnknown && health.Reason == 0
                 : health.Verdict == DriveHealth::VerdictUnknown && health.Reason != 0,
            "a verdict that disagrees with the result or its reason", "GetHealth");

    // The partition table: a style the library knows, each partition's
    // texts terminated inside their fields, a count that bounds the indexes.
    int style = 7;
    ULONG count = 0;
    if (d.GetPartitionStyle(&style))
        Require(style >= 0 && style <= 3, "a partition style outside the four", "GetPartitionStyle");
    if (d.GetPartitionCount(&count)) {
        for (ULONG i = 0; i <= count && i < 300; ++i) {
            TavPartition part;
            std::memset(&part, 0x5A, sizeof part);
            const int gave = d.GetPartition(i, &part);
            CheckFlag(gave, "a partition");
            if (gave)
                Require(std::memchr(part.TypeGuid, 0, sizeof part.TypeGuid) && std::memchr(part.PartitionGuid, 0, 37) &&
                            std::wmemchr(part.Name, 0, 37),
                        "a partition text without its terminator", "GetPartition");
            ULONG length = 0;
            const int paths = d.GetPartitionMountPoints(i, nullptr, 0, &length);
            Require(paths >= -1 && paths <= 1, "a mount-point result outside -1..1", "GetPartitionMountPoints");
        }
    }
    char id[40];
    ULONG idLength = 0;
    if (d.GetPartitionTableId(id, sizeof id, &idLength))
        Require(idLength >= 1 && idLength <= sizeof id && id[idLength - 1] == 0, "a table identifier cut",
                "GetPartitionTableId");

    ULONG bytes = d.GetBytesPerSector();
    if (bytes <= MaxSector) {
        for (ULONG s : {ULONG{0}, sector, ULONG{0xFFFFFFFF}}) {
            std::vector<unsigned char> buffer(bytes + Slack, Canary);
            int result = d.ReadSector(s, buffer.data());
            for (size_t i = bytes; i < buffer.size(); ++i)
                Require(buffer[i] == Canary, "read past the sector", "ReadSector", bytes);
            if (result && bytes == 0)
                Fault("reported a transfer of nothing as a success", "ReadSector", bytes);
        }
    }

    CheckWide(d, &Drive::GetDriveLetters, "GetDriveLetters");
    CheckWide(d, &Drive::GetMountPoints, "GetMountPoints");
    CheckFlag(d.ContainsWindowsBootPartition(), "ContainsWindowsBootPartition");
    CheckFlag(d.ContainsSystemVolume(), "ContainsSystemVolume");
    const int access = d.GetAccess();
    Require(access >= Drive::AccessNone && access <= Drive::AccessFull, "answered no access state", "GetAccess", 0);
    CheckSectorMountPoint(d, sector);
    return parent;
}

inline void ExerciseAdapter(void *set, ULONG devInst) {
    Adapter adapter(set, devInst);
    for (ULONG capacity : Capacities) {
        std::vector<unsigned char> buffer(capacity + Slack * sizeof(wchar_t), Canary);
        ULONG required = Untouched;
        adapter.GetDescription(reinterpret_cast<wchar_t *>(buffer.data()), capacity, &required);
        for (size_t i = capacity; i < buffer.size(); ++i)
            Require(buffer[i] == Canary, "wrote past the capacity", "Adapter::GetDescription", capacity);
    }
    adapter.GetDescription(nullptr, 0, nullptr);
}

} // namespace TavFuzz

#endif
