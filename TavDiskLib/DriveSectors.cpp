// SPDX-License-Identifier: MIT
// Single-sector reads and writes by sector number, on the whole disk.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"

namespace P = TavRequests;

TAVDISK_HOT_FIRST int Drive::TransferSector(ULONG Sector, unsigned char *Buffer, bool Write) {
    ULONG size = GetBytesPerSector();
    // Without a sector size (the geometry request failed) nothing can be
    // moved, and moving nothing is no success.
    if (size == 0 || !Buffer) {
        P::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }

    LARGE_INTEGER position;
    position.QuadPart = static_cast<LONGLONG>(uint64_t{Sector} * uint64_t{size});
    LARGE_INTEGER reached;
    reached.QuadPart = -1;
    if (!P::SetFilePointerEx(DeviceHandle, position, &reached, FILE_BEGIN))
        return 0;
    if (reached.QuadPart != position.QuadPart)
        return 0;

    DWORD moved = 0;
    BOOL ok = Write ? P::WriteFile(DeviceHandle, Buffer, size, &moved, nullptr)
                    : P::ReadFile(DeviceHandle, Buffer, size, &moved, nullptr);
    if (!ok)
        return 0;
    // A transfer that moved less than a whole sector (e.g. at the end of the
    // device) did not do what was asked.
    if (moved != size) {
        P::SetLastError(ERROR_HANDLE_EOF);
        return 0;
    }
    return ok;
}

TAVDISK_HOT int Drive::ReadSector(ULONG Sector, unsigned char *Buffer) { return TransferSector(Sector, Buffer, false); }

int Drive::WriteSector(ULONG Sector, unsigned char *Buffer) { return TransferSector(Sector, Buffer, true); }
