/* SPDX-License-Identifier: MIT */
/* Lists the disks of this machine with TavDiskLib's C interface: every text
 * whole, in UTF-8, and each mount path on its own line. */
#include <TavDiskLib/tavdisk.h>

#include <stdio.h>
#include <stdlib.h>

/* Text `which` of the drive, whole (the caller frees it); null without memory. */
static char *text(tavdisk_drive *drive, uint32_t which, uint32_t mount) {
    uint32_t size = 0;
    char *buffer;
    if (which)
        tavdisk_drive_get_text(drive, which, NULL, 0, &size);
    else
        tavdisk_drive_get_mount_point(drive, mount, NULL, 0, &size);
    buffer = calloc(size ? size : 1, 1);
    if (buffer && size && which)
        tavdisk_drive_get_text(drive, which, buffer, size, &size);
    else if (buffer && size)
        tavdisk_drive_get_mount_point(drive, mount, buffer, size, &size);
    return buffer;
}

/* Prints `label` and the texts `which` of the drive, each quoted. */
static void print_texts(tavdisk_drive *drive, const char *label, const uint32_t *which, int count) {
    int k;
    printf("  %s", label);
    for (k = 0; k < count; ++k) {
        char *value = text(drive, which[k], 0);
        printf(" \"%s\"", value ? value : "");
        free(value);
    }
    printf("\n");
}

int main(void) {
    static const uint32_t descriptor[] = {TAVDISK_TEXT_VENDOR_ID, TAVDISK_TEXT_PRODUCT_ID,
                                          TAVDISK_TEXT_PRODUCT_REVISION, TAVDISK_TEXT_SERIAL_NUMBER};
    static const uint32_t ata[] = {TAVDISK_TEXT_IDE_DRIVE_MODEL_NO, TAVDISK_TEXT_IDE_DRIVE_SERIAL_NO,
                                   TAVDISK_TEXT_IDE_DRIVE_FIRMWARE_REVISION};
    static const uint32_t scsi[] = {TAVDISK_TEXT_SCSI_VENDOR_ID, TAVDISK_TEXT_SCSI_PRODUCT_ID,
                                    TAVDISK_TEXT_SCSI_PRODUCT_REVISION};
    tavdisk_set *set = tavdisk_set_new();
    tavdisk_drive *drive;
    uint32_t i, m;
    if (!set)
        return 1;
    for (i = 0; (drive = tavdisk_drive_new(set, i)) != NULL; ++i) {
        int is_ata = tavdisk_drive_is_ata(drive);
        char *path = text(drive, TAVDISK_TEXT_DEVICE_PATH, 0);
        char *model = text(drive, is_ata ? TAVDISK_TEXT_IDE_DRIVE_MODEL_NO : TAVDISK_TEXT_SCSI_PRODUCT_ID, 0);
        char *letters = text(drive, TAVDISK_TEXT_DRIVE_LETTERS, 0);
        uint32_t number = 0;
        printf("%lu %s: bus %d, %s, %lld sectors\n", (unsigned long)i, path ? path : "",
               (int)tavdisk_drive_get_bus_type(drive), model ? model : "", (long long)tavdisk_drive_get_sectors(drive));
        if (tavdisk_drive_query_drive_number(drive, &number))
            printf("  disk %lu", (unsigned long)number);
        else
            printf("  disk unknown");
        printf(", %llu bytes, %lu bytes per sector, letters \"%s\"\n",
               (unsigned long long)tavdisk_drive_get_size_bytes(drive),
               (unsigned long)tavdisk_drive_get_bytes_per_sector(drive), letters ? letters : "");
        print_texts(drive, "descriptor", descriptor, 4);
        print_texts(drive, is_ata ? "ata" : "scsi", is_ata ? ata : scsi, 3);
        for (m = 0; m < tavdisk_drive_get_mount_point_count(drive); ++m) {
            char *mount = text(drive, 0, m);
            printf("  mount \"%s\"\n", mount ? mount : "");
            free(mount);
        }
        free(path);
        free(model);
        free(letters);
        tavdisk_drive_free(drive);
    }
    tavdisk_set_free(set);
    return 0;
}
