// SPDX-License-Identifier: MIT
// Lists the disks of this machine with TavDiskLib's C++ classes.
#include <TavDiskLib/TavDiskLib.h>

#include <cstdio>

int main() {
    void *set = Drive::GetDeviceInfoSet();
    if (set == TavDiskLib::InvalidHandleValue())
        return 1;
    for (TavDiskLib::ULONG i = 0;; ++i) {
        Drive *drive = Drive::GetDrive(set, i);
        if (!drive)
            break;
        wchar_t path[512] = L"";
        unsigned char model[64] = "";
        TavDiskLib::ULONG length = 0;
        drive->GetDevicePath(path, 512, &length);
        if (drive->IsAta())
            drive->GetIdeDriveModelNo(model, sizeof model, &length);
        else
            drive->GetScsiProductId(model, sizeof model, &length);
        std::printf("%lu %ls: bus %d, %s, %lld sectors\n", static_cast<unsigned long>(i), path,
                    static_cast<int>(drive->GetBusType()), model, static_cast<long long>(drive->GetSectors().QuadPart));
        delete drive;
    }
    SetupDiDestroyDeviceInfoList(set);
    return 0;
}
