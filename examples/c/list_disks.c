/* SPDX-License-Identifier: MIT */
/* Lists the disks of this machine with TavDiskLib's C interface. */
#include <TavDiskLib/tavdisk.h>

#include <stdio.h>

int main(void) {
    tavdisk_set *set = tavdisk_set_new();
    tavdisk_drive *drive;
    uint32_t i;
    if (!set)
        return 1;
    for (i = 0; (drive = tavdisk_drive_new(set, i)) != NULL; ++i) {
        wchar_t path[512] = L"";
        char model[64] = "";
        uint32_t length = 0;
        tavdisk_drive_get_device_path(drive, path, 512, &length);
        if (tavdisk_drive_is_ata(drive))
            tavdisk_drive_get_ide_drive_model_no(drive, model, sizeof model, &length);
        else
            tavdisk_drive_get_scsi_product_id(drive, model, sizeof model, &length);
        printf("%lu %ls: bus %d, %s, %lld sectors\n", (unsigned long)i, path, (int)tavdisk_drive_get_bus_type(drive),
               model, (long long)tavdisk_drive_get_sectors(drive));
        tavdisk_drive_free(drive);
    }
    tavdisk_set_free(set);
    return 0;
}
