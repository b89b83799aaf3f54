// Geometry and capacity, and the sector count from IDENTIFY or READ CAPACITY.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"

using namespace TavRecords;
namespace P = TavRequests;

LARGE_INTEGER Drive::GetCapacity() {
    if (!Geometry) {
        // Kept even when the request fails: a failed geometry reads as zeros
        // and is not asked for again.
        Geometry = Alloc<DISK_GEOMETRY>();
        if (Geometry) {
            DWORD returned = 0;
            P::DeviceIoControl(DeviceHandle, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, Geometry,
                               sizeof(DISK_GEOMETRY), &returned, nullptr);
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

ULONG Drive::GetBytesPerSector() {
    if (!Geometry)
        GetCapacity();
    return Geometry ? Geometry->BytesPerSector : 0;
}

LARGE_INTEGER Drive::GetSectors() {
    LARGE_INTEGER sectors;
    sectors.QuadPart = 0;

    if (SmartVersion) {
        if (!IdentifyResult)
            return sectors;
        const unsigned char *identify = Bytes(IdentifyResult) + IdentifyDataOffset;
        auto word = [identify](unsigned n) { return uint64_t{LoadLe16(identify + 2 * n)}; };
        if ((word(83) >> 10) & 1)
            sectors.QuadPart =
                static_cast<LONGLONG>(word(100) | (word(101) << 16) | (word(102) << 32) | (word(103) << 48));
        else
            sectors.QuadPart = static_cast<LONGLONG>(word(60) | (word(61) << 16));
        return sectors;
    }

    unsigned char readCapacity10[10] = {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    unsigned char reply10[8] = {};
    if (ScsiPassThrough(readCapacity10, sizeof readCapacity10, reply10, sizeof reply10, SCSI_IOCTL_DATA_IN) != 0) {
        P::GetLastError();
        return sectors;
    }
    uint32_t lastLba = LoadBe32(reply10);
    if (lastLba != 0xFFFFFFFFu) {
        sectors.QuadPart = static_cast<LONGLONG>(uint64_t{lastLba} + 1);
        return sectors;
    }

    // 0xFFFFFFFF says the disk has 2^32 blocks or more: READ CAPACITY(16)
    // (service action 0x10) carries the full 8-byte last block address.
    unsigned char readCapacity16[16] = {0x9E, 0x10};
    unsigned char reply16[32] = {};
    readCapacity16[13] = sizeof reply16; // allocation length, bytes 10-13, big-endian
    if (ScsiPassThrough(readCapacity16, sizeof readCapacity16, reply16, sizeof reply16, SCSI_IOCTL_DATA_IN) != 0) {
        P::GetLastError();
        return sectors;
    }
    sectors.QuadPart = static_cast<LONGLONG>(LoadBe64(reply16) + 1);
    return sectors;
}
