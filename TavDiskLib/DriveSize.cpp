// SPDX-License-Identifier: MIT
// Geometry and capacity, and the sector count from IDENTIFY or READ CAPACITY.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"
#include "protocol/Ata.h"
#include "protocol/Scsi.h"

using namespace TavProtocol;
using namespace TavRecords;
namespace P = TavRequests;

LARGE_INTEGER Drive::GetCapacity() {
    if (!Geometry) {
        // Kept even when the request fails: a failed geometry reads as zeros
        // and is not asked for again.
        Geometry = Alloc<DISK_GEOMETRY>();
        if (Geometry) {
            DWORD returned = 0;
            P::DeviceIoControl(DeviceHandle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, Geometry, sizeof(DISK_GEOMETRY),
                               &returned, nullptr);
        }
    }
    LARGE_INTEGER capacity;
    capacity.QuadPart = 0;
    if (!Geometry)
        return capacity;
    uint64_t bytes = uint64_t{Geometry->BytesPerSector} * uint64_t{Geometry->SectorsPerTrack};
    bytes *= uint64_t{Geometry->TracksPerCylinder};
    bytes *= static_cast<uint64_t>(Geometry->Cylinders.QuadPart);
    capacity.QuadPart = static_cast<LONGLONG>(bytes);
    return capacity;
}

LARGE_INTEGER Drive::GetCylinders() {
    if (!Geometry)
        GetCapacity();
    LARGE_INTEGER cylinders;
    cylinders.QuadPart = Geometry ? Geometry->Cylinders.QuadPart : 0;
    return cylinders;
}

ULONG Drive::GetTracksPerCylinder() {
    if (!Geometry)
        GetCapacity();
    return Geometry ? Geometry->TracksPerCylinder : 0;
}

ULONG Drive::GetSectorsPerTrack() {
    if (!Geometry)
        GetCapacity();
    return Geometry ? Geometry->SectorsPerTrack : 0;
}

TAVDISK_HOT ULONG Drive::GetBytesPerSector() {
    if (!Geometry)
        GetCapacity();
    return Geometry ? Geometry->BytesPerSector : 0;
}

LARGE_INTEGER Drive::GetSectors() {
    LARGE_INTEGER sectors;
    sectors.QuadPart = 0;

    if (SmartVersion) {
        if (IdentifyResult) {
            const unsigned char *identify = RecordBytes(IdentifyResult) + IdentifyDataOffset;
            sectors.QuadPart = static_cast<LONGLONG>(IdentifySectorCount(identify));
        }
        return sectors;
    }

    Cdb10 readCapacity10 = ReadCapacity10Cdb();
    ReadCapacity10Data reply10{};
    if (ScsiPassThrough(readCapacity10.data(), static_cast<unsigned char>(readCapacity10.size()), reply10.data(),
                        ReadCapacity10Length, SCSI_IOCTL_DATA_IN) != 0) {
        P::GetLastError(); // read and not used: a failed command counts 0 sectors
        // A handle for queries only sends no command to the disk; its driver
        // still tells the disk's size.
        if (GetAccess() == AccessQuery)
            sectors.QuadPart = static_cast<LONGLONG>(SectorsFromDiskSize());
        return sectors;
    }
    const uint32_t lastLba = DecodeReadCapacity10(reply10).lastLba;
    if (lastLba != ReadCapacity10Saturated) {
        sectors.QuadPart = static_cast<LONGLONG>(uint64_t{lastLba} + 1);
        return sectors;
    }

    // The disk has 2^32 blocks or more: READ CAPACITY (16) carries the full
    // 8-byte last block address.
    Cdb16 readCapacity16 = ReadCapacity16Cdb(ReadCapacity16Length);
    ReadCapacity16Data reply16{};
    if (ScsiPassThrough(readCapacity16.data(), static_cast<unsigned char>(readCapacity16.size()), reply16.data(),
                        ReadCapacity16Length, SCSI_IOCTL_DATA_IN) != 0) {
        P::GetLastError(); // read and not used: a failed command counts 0 sectors
        return sectors;
    }
    sectors.QuadPart = static_cast<LONGLONG>(DecodeReadCapacity16(reply16).lastLba + 1);
    return sectors;
}

unsigned long long Drive::SectorsFromDiskSize() {
    auto *geometry = Alloc<DISK_GEOMETRY_EX>();
    if (!geometry)
        return 0;
    DWORD returned = 0;
    unsigned long long count = 0;
    if (P::DeviceIoControl(DeviceHandle, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, nullptr, 0, geometry,
                           sizeof(DISK_GEOMETRY_EX), &returned, nullptr) &&
        geometry->Geometry.BytesPerSector != 0 && geometry->DiskSize.QuadPart > 0)
        count = static_cast<unsigned long long>(geometry->DiskSize.QuadPart) / geometry->Geometry.BytesPerSector;
    Release(geometry);
    return count;
}
