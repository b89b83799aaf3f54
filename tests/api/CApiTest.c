/* SPDX-License-Identifier: MIT */
/* The C interface from C (C11), over the simulated machine of ApiMachines.h:
 * the assertions of the C++ tests of enumeration, the text getters, a disk
 * that cannot be opened, geometry and sector count, sector transfers, the
 * volumes and the adapter, made through tavdisk.h. The program defines
 * names of its own that the Windows headers also use: the C header must not
 * clash with them. Exit status 0 when every check passed. */
#include "ApiMachines.h"
#include "TavDiskLib/tavdisk.h"

#include <stdio.h>
#include <string.h>
#include <wchar.h>

typedef int BOOL;
#define TRUE 1
#define FALSE 0
#define MAX_PATH 4096
#define ERROR_SUCCESS 0
enum colour { Unknown, Red };

static int failures = 0;

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: check failed: %s\n", __FILE__, __LINE__, #condition);                              \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

typedef int (*narrow_getter)(tavdisk_drive *, char *, uint32_t, uint32_t *);

/* Calls a narrow getter with a buffer prefilled with 'Z' and a count of 777. */
static int narrow(tavdisk_drive *d, narrow_getter getter, uint32_t capacity, char *text, uint32_t *count) {
    memset(text, 'Z', 64);
    *count = 777;
    return getter(d, text, capacity, count);
}

static void enumeration(tavdisk_set *set) {
    tavdisk_drive *first = tavdisk_drive_new(set, 0);
    tavdisk_drive *second = tavdisk_drive_new(set, 1);
    tavdisk_drive *again = tavdisk_drive_new(set, 0);
    CHECK(first != NULL && second != NULL && again != NULL);
    CHECK(again != first);
    CHECK(tavdisk_drive_new(set, 2) == NULL);
    CHECK(tavdisk_drive_new(NULL, 0) == NULL);
    CHECK(tavdisk_drive_is_ata(first) == 1 && tavdisk_drive_is_ata(second) == 0);
    CHECK(tavdisk_drive_get_bus_type(first) == TAVDISK_BUS_SATA);
    CHECK(tavdisk_drive_get_bus_type(second) == TAVDISK_BUS_SAS);
    CHECK(tavdisk_drive_get_drive_number(second) == 1);
    CHECK(tavdisk_drive_access(first) == TAVDISK_ACCESS_FULL && tavdisk_drive_access(NULL) == TAVDISK_ACCESS_NONE);
    tavdisk_drive_free(first);
    tavdisk_drive_free(second);
    tavdisk_drive_free(again);
    tavdisk_drive_free(NULL);
}

static void texts(tavdisk_set *set) {
    tavdisk_drive *ata = tavdisk_drive_new(set, 0);
    tavdisk_drive *sas = tavdisk_drive_new(set, 1);
    char text[64];
    uint32_t count;

    CHECK(narrow(ata, tavdisk_drive_get_ide_drive_model_no, 41, text, &count) == 1);
    CHECK(count == 14 && strcmp(text, "TAV MODEL 1000") == 0);
    /* Cut to the capacity, terminated inside the buffer. */
    CHECK(narrow(ata, tavdisk_drive_get_ide_drive_model_no, 4, text, &count) == 1);
    CHECK(count == 3 && strcmp(text, "TAV") == 0 && text[4] == 'Z');
    /* Capacity 0: nothing written, count 0. */
    CHECK(narrow(ata, tavdisk_drive_get_ide_drive_model_no, 0, text, &count) == 1);
    CHECK(count == 0 && text[0] == 'Z');
    CHECK(narrow(ata, tavdisk_drive_get_ide_drive_serial_no, 21, text, &count) == 1 && strcmp(text, "SN0001") == 0);
    CHECK(narrow(ata, tavdisk_drive_get_ide_drive_firmware_revision, 9, text, &count) == 1 &&
          strcmp(text, "FW01") == 0);
    /* A descriptor without vendor: an empty text with count 1. */
    CHECK(narrow(ata, tavdisk_drive_get_vendor_id, 16, text, &count) == 1 && count == 1 && text[0] == 0);
    CHECK(narrow(ata, tavdisk_drive_get_product_id, 16, text, &count) == 1 && strcmp(text, "TAV MODEL 1000") == 0);

    CHECK(narrow(sas, tavdisk_drive_get_scsi_vendor_id, 16, text, &count) == 1 && strcmp(text, "TAV") == 0);
    CHECK(narrow(sas, tavdisk_drive_get_scsi_product_id, 17, text, &count) == 1 && strcmp(text, "ARRAY DISK") == 0);
    CHECK(narrow(sas, tavdisk_drive_get_scsi_product_revision, 5, text, &count) == 1 && strcmp(text, "0001") == 0);
    CHECK(narrow(sas, tavdisk_drive_get_serial_number, 16, text, &count) == 1 && strcmp(text, "ABC123") == 0);

    /* Getters that do not apply leave buffer and count alone. */
    CHECK(narrow(ata, tavdisk_drive_get_scsi_vendor_id, 32, text, &count) == 0 && count == 777 && text[0] == 'Z');
    CHECK(narrow(sas, tavdisk_drive_get_ide_drive_model_no, 32, text, &count) == 0 && count == 777 && text[0] == 'Z');
    CHECK((tavdisk_drive_get_ide_controller_number(sas) | tavdisk_drive_get_ide_disk_number(sas)) == 0);

    CHECK(tavdisk_drive_get_ide_controller_number(ata) == 1 && tavdisk_drive_get_ide_disk_number(ata) == 0);
    CHECK(tavdisk_drive_get_ide_supports_48bit_addressing(ata) == 1);
    CHECK(tavdisk_drive_get_ide_supports_security(ata) == 0);
    CHECK(tavdisk_drive_get_ide_security_erase_unit_time(ata) == 0);
    CHECK(tavdisk_drive_get_ide_enhanced_security_erase_unit_time(ata) == 0);
    CHECK(tavdisk_drive_get_scsi_port(ata) == 1);
    CHECK(tavdisk_drive_get_scsi_port(sas) == 2 && tavdisk_drive_get_scsi_bus_id(sas) == 0 &&
          tavdisk_drive_get_scsi_target_id(sas) == 5 && tavdisk_drive_get_scsi_logical_unit_id(sas) == 1);

    /* Wide text: the length with its terminator, a short buffer refused untouched. */
    {
        wchar_t path[128];
        uint32_t length = 0;
        const wchar_t *expected = L"\\\\?\\scsi#disk&ven_tav&prod_array#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        wmemset(path, L'Z', 128);
        CHECK(tavdisk_drive_get_device_path(sas, path, 10, &length) == 0);
        CHECK(length == wcslen(expected) + 1 && path[0] == L'Z');
        CHECK(tavdisk_drive_get_device_path(sas, path, 128, &length) == 1 && wcscmp(path, expected) == 0);
        CHECK(tavdisk_drive_get_device_path(sas, NULL, 0, &length) == 0 && length == wcslen(expected) + 1);
    }
    CHECK(tavdisk_drive_get_device_instance(ata) != 0);
    CHECK(tavdisk_drive_get_device_parent_instance(ata) == tavdisk_drive_get_device_parent_instance(sas));
    tavdisk_drive_free(ata);
    tavdisk_drive_free(sas);
}

static void size_and_sectors(tavdisk_set *set) {
    tavdisk_drive *ata = tavdisk_drive_new(set, 0);
    tavdisk_drive *sas = tavdisk_drive_new(set, 1);
    unsigned char sector[1024];
    int i, same = 1;

    CHECK(tavdisk_drive_get_cylinders(ata) == 121601);
    CHECK(tavdisk_drive_get_tracks_per_cylinder(ata) == 255 && tavdisk_drive_get_sectors_per_track(ata) == 63);
    CHECK(tavdisk_drive_get_bytes_per_sector(ata) == 512);
    CHECK(tavdisk_drive_get_capacity(ata) == (int64_t)121601 * 255 * 63 * 512);
    CHECK(tavdisk_drive_get_sectors(ata) == 1953525168);
    CHECK(tavdisk_drive_get_sectors(sas) == 0x1E848);

    memset(sector, 0xEE, sizeof sector);
    CHECK(tavdisk_drive_read_sector(ata, 7, sector, sizeof sector) == 1);
    for (i = 0; i < 512; ++i)
        same = same && sector[i] == (unsigned char)i;
    CHECK(same && sector[512] == 0xEE);
    /* A buffer smaller than a sector is refused, nothing moved. */
    memset(sector, 0xEE, sizeof sector);
    CHECK(tavdisk_drive_read_sector(ata, 7, sector, 511) == 0 && sector[0] == 0xEE);
    CHECK(tavdisk_drive_read_sector(ata, 7, NULL, 512) == 0);

    memset(sector, 0x5A, 512);
    CHECK(tavdisk_drive_write_sector(sas, 3, sector, 511) == 0);
    CHECK(tavtest_disk_byte(1, 3 * 512) == 0);
    CHECK(tavdisk_drive_write_sector(sas, 3, sector, 512) == 1);
    CHECK(tavtest_disk_byte(1, 3 * 512) == 0x5A && tavtest_disk_byte(1, 4 * 512) == 0);
    tavdisk_drive_free(ata);
    tavdisk_drive_free(sas);
}

static void volumes_and_adapter(tavdisk_set *set) {
    tavdisk_drive *ata = tavdisk_drive_new(set, 0);
    tavdisk_drive *sas = tavdisk_drive_new(set, 1);
    wchar_t text[64];
    uint32_t length = 0;
    tavdisk_adapter *adapter;

    CHECK(tavdisk_drive_get_drive_letters(ata, text, 64, &length) == 1 && wcscmp(text, L"C") == 0 && length == 2);
    CHECK(tavdisk_drive_get_mount_points(ata, text, 64, &length) == 1 && wcscmp(text, L"C:\\mnt\\data\\") == 0);
    CHECK(tavdisk_drive_contains_windows_boot_partition(ata) == 1);
    CHECK(tavdisk_drive_get_drive_letters(sas, text, 64, &length) == 1 && wcscmp(text, L"E") == 0);
    CHECK(tavdisk_drive_contains_windows_boot_partition(sas) == 0);
    CHECK(tavdisk_drive_contains_system_volume(ata) == 1 && tavdisk_drive_contains_system_volume(sas) == 0);

    adapter = tavdisk_adapter_new(set, tavdisk_drive_get_device_parent_instance(sas));
    CHECK(adapter != NULL);
    {
        wchar_t description[64];
        uint32_t required = 0;
        memset(description, 0, sizeof description);
        tavdisk_adapter_get_description(adapter, description, sizeof description, &required);
        CHECK(wcscmp(description, L"Standard SATA AHCI Controller") == 0);
        CHECK(required == (wcslen(L"Standard SATA AHCI Controller") + 1) * sizeof(wchar_t));
    }
    tavdisk_adapter_free(adapter);
    tavdisk_adapter_free(NULL);
    tavdisk_drive_free(ata);
    tavdisk_drive_free(sas);
}

/* Whole UTF-8 text or none: the size asked first always suffices. */
static int text_is(tavdisk_drive *d, uint32_t which, const char *expected) {
    char text[256];
    uint32_t size = 0;
    memset(text, 'Z', sizeof text);
    if (tavdisk_drive_get_text(d, which, text, 2, &size) != (size <= 2) || size != strlen(expected) + 1)
        return 0;
    if (size > 2 && text[0] != 'Z')
        return 0;
    return tavdisk_drive_get_text(d, which, text, size, &size) == 1 && strcmp(text, expected) == 0;
}

static void exact_answers(tavdisk_set *set) {
    tavdisk_drive *ata = tavdisk_drive_new(set, 0);
    tavdisk_drive *sas = tavdisk_drive_new(set, 1);
    char text[64];
    uint32_t size = 7, number = 99;

    CHECK(tavdisk_drive_get_size_bytes(ata) == (uint64_t)1953525168 * 512);
    CHECK(tavdisk_drive_get_size_bytes(sas) == (uint64_t)0x1E848 * 512);
    CHECK(tavdisk_drive_get_size_bytes(NULL) == 0);
    CHECK(tavdisk_drive_query_drive_number(sas, &number) == 1 && number == 1);
    CHECK(tavdisk_drive_query_drive_number(ata, &number) == 1 && number == 0);
    /* A fact the disk does not tell, and one this library does not know, leave the value alone. */
    number = 99;
    CHECK(tavdisk_drive_get_fact(ata, TAVDISK_FACT_ROTATIONAL, &number) == 0 && number == 99);
    CHECK(tavdisk_drive_get_fact(ata, 0, &number) == 0 && number == 99);
    CHECK(tavdisk_drive_get_fact(ata, TAVDISK_FACT_READ_ONLY, &number) == 1 && number == 0);
    CHECK(tavdisk_drive_get_fact(NULL, TAVDISK_FACT_READ_ONLY, &number) == 0);
    /* The world-wide name: whole or not at all; none on a disk that tells none. */
    CHECK(tavdisk_drive_get_world_wide_name(sas, text, 20, &size) == 0 && size == 21);
    CHECK(tavdisk_drive_get_world_wide_name(sas, text, sizeof text, &size) == 1 &&
          strcmp(text, "naa.5000c50015ea71ad") == 0);
    CHECK(tavdisk_drive_get_world_wide_name(ata, text, sizeof text, &size) == 0 && size == 0 &&
          tavdisk_last_error() == 50);
    CHECK(tavdisk_drive_get_world_wide_name(NULL, text, sizeof text, &size) == 0);
    {
        /* SMART the disk does not answer: unknown with its reason, never passed. */
        tavdisk_health health;
        health.verdict = 7;
        CHECK(tavdisk_drive_get_health(ata, &health) == 0 && health.verdict == TAVDISK_HEALTH_UNKNOWN &&
              health.protocol == TAVDISK_HEALTH_ATA && health.reason != 0 && health.present == 0 &&
              tavdisk_last_error() == health.reason);
        CHECK(tavdisk_drive_get_health(ata, NULL) == 0);
        CHECK(tavdisk_drive_get_health(NULL, &health) == 0);
    }
    /* The partition table: one partition beside an unused slot, its volume's paths; none on the other disk. */
    {
        uint32_t style = 9, count = 9;
        tavdisk_partition p;
        CHECK(tavdisk_drive_get_partition_table(ata, &style, &count) == 1 && style == TAVDISK_PARTITION_STYLE_MBR &&
              count == 1);
        CHECK(tavdisk_drive_get_partition(ata, 0, &p) == 1 && p.number == 1 && p.mbr_type == 7 &&
              p.offset == 1u << 20 && p.length == 1u << 30 && p.active == 1);
        CHECK(tavdisk_drive_get_partition(ata, 1, &p) == 0 && tavdisk_last_error() == 87);
        CHECK(tavdisk_drive_get_partition_table_id(ata, text, 2, &size) == 0 && size == 11);
        CHECK(tavdisk_drive_get_partition_table_id(ata, text, sizeof text, &size) == 1 &&
              strcmp(text, "0x5eed1234") == 0);
        CHECK(tavdisk_drive_get_partition_text(ata, 0, TAVDISK_PARTITION_TEXT_MOUNT_POINTS, text, sizeof text, &size) ==
                  1 &&
              strcmp(text, "C:\\; C:\\mnt\\data\\") == 0);
        CHECK(tavdisk_drive_get_partition_text(ata, 0, TAVDISK_PARTITION_TEXT_NAME, text, sizeof text, &size) == 1 &&
              size == 1);
        CHECK(tavdisk_drive_get_partition_text(ata, 0, 99, text, sizeof text, &size) == 0 && size == 0);
        CHECK(tavdisk_drive_get_partition_table(sas, &style, &count) == 0 && style == TAVDISK_PARTITION_STYLE_MBR);
    }

    CHECK(text_is(ata, TAVDISK_TEXT_IDE_DRIVE_MODEL_NO, "TAV MODEL 1000"));
    CHECK(text_is(ata, TAVDISK_TEXT_IDE_DRIVE_SERIAL_NO, "SN0001"));
    CHECK(text_is(ata, TAVDISK_TEXT_IDE_DRIVE_FIRMWARE_REVISION, "FW01"));
    CHECK(text_is(ata, TAVDISK_TEXT_PRODUCT_ID, "TAV MODEL 1000"));
    CHECK(text_is(sas, TAVDISK_TEXT_SCSI_VENDOR_ID, "TAV"));
    CHECK(text_is(sas, TAVDISK_TEXT_SCSI_PRODUCT_ID, "ARRAY DISK"));
    CHECK(text_is(sas, TAVDISK_TEXT_SCSI_PRODUCT_REVISION, "0001"));
    CHECK(text_is(sas, TAVDISK_TEXT_SERIAL_NUMBER, "ABC123"));
    CHECK(text_is(sas, TAVDISK_TEXT_DEVICE_PATH,
                  "\\\\?\\scsi#disk&ven_tav&prod_array#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"));
    CHECK(text_is(sas, TAVDISK_TEXT_DRIVE_LETTERS, "E"));
    CHECK(text_is(sas, TAVDISK_TEXT_MOUNT_POINTS, "E:\\x; y\\; E:\\z\\"));
    /* Absent and not applicable: the empty text, size 1. */
    CHECK(text_is(ata, TAVDISK_TEXT_VENDOR_ID, ""));
    CHECK(text_is(ata, TAVDISK_TEXT_SCSI_VENDOR_ID, ""));
    CHECK(text_is(sas, TAVDISK_TEXT_IDE_DRIVE_MODEL_NO, ""));
    CHECK(tavdisk_drive_get_text(sas, 0, text, sizeof text, &size) == 0 && size == 0);
    CHECK(tavdisk_drive_get_text(sas, 14, text, sizeof text, &size) == 0 && size == 0);

    /* The mount paths one by one: "; " inside a path stays in it. */
    CHECK(tavdisk_drive_get_mount_point_count(sas) == 2 && tavdisk_drive_get_mount_point_count(ata) == 1);
    CHECK(tavdisk_drive_get_mount_point(sas, 0, text, 3, &size) == 0 && size == 9);
    CHECK(tavdisk_drive_get_mount_point(sas, 0, text, size, &size) == 1 && strcmp(text, "E:\\x; y\\") == 0);
    CHECK(tavdisk_drive_get_mount_point(sas, 1, text, sizeof text, &size) == 1 && strcmp(text, "E:\\z\\") == 0);
    CHECK(tavdisk_drive_get_mount_point(sas, 2, text, sizeof text, &size) == 0 && size == 0);

    {
        tavdisk_adapter *adapter = tavdisk_adapter_new(set, tavdisk_drive_get_device_parent_instance(sas));
        CHECK(tavdisk_adapter_get_description_text(adapter, text, 4, &size) == 0 && size == 30);
        CHECK(tavdisk_adapter_get_description_text(adapter, text, size, &size) == 1 &&
              strcmp(text, "Standard SATA AHCI Controller") == 0);
        tavdisk_adapter_free(adapter);
    }
    tavdisk_drive_free(ata);
    tavdisk_drive_free(sas);
}

struct failures_seen {
    int count;
    char first[256];
};

static void TAVDISK_CALL remember(const tavdisk_failure *failure, void *context) {
    struct failures_seen *seen = (struct failures_seen *)context;
    if (seen->count++ == 0)
        snprintf(seen->first, sizeof seen->first, "%s|%lu|%s", failure->request, (unsigned long)failure->error,
                 failure->error_name);
}

static void unopenable(tavdisk_set *set) {
    struct failures_seen seen = {0, ""};
    tavdisk_drive *d;
    char text[64];
    uint32_t count;

    tavtest_make_unopenable(1);
    tavdisk_set_failure_handler(remember, &seen);
    d = tavdisk_drive_new(set, 1);
    tavdisk_set_failure_handler(NULL, NULL);
    CHECK(d != NULL);
    CHECK(tavdisk_drive_is_ata(d) == 0 && tavdisk_drive_get_bus_type(d) == TAVDISK_BUS_UNKNOWN);
    CHECK(tavdisk_drive_access(d) == TAVDISK_ACCESS_NONE);
    CHECK((tavdisk_drive_get_scsi_port(d) | tavdisk_drive_get_scsi_target_id(d)) == 0);
    CHECK(narrow(d, tavdisk_drive_get_vendor_id, 16, text, &count) == 1 && count == 1 && text[0] == 0);
    CHECK(tavdisk_drive_get_sectors(d) == 0 && tavdisk_drive_get_size_bytes(d) == 0);
    /* The number is unknown, not disk 0's. */
    count = 77;
    CHECK(tavdisk_drive_query_drive_number(d, &count) == 0 && count == 77);
    CHECK(tavdisk_drive_get_drive_number(d) == 0);
    /* Why the open failed, without the platform's own functions. */
    tavdisk_set_last_error(0);
    tavdisk_drive_free(tavdisk_drive_new(set, 1));
    CHECK(tavdisk_last_error() == 5);
    /* The open was the first request to fail. */
    CHECK(seen.count > 1);
    CHECK(strcmp(seen.first, "CreateFileW|5|ERROR_ACCESS_DENIED") == 0);
    tavdisk_drive_free(d);
}

int main(void) {
    BOOL done = FALSE;
    enum colour c = Unknown;
    tavdisk_set *set;

    CHECK(tavdisk_version() == ((uint32_t)TAVDISK_TEST_VERSION_MAJOR << 16 | (uint32_t)TAVDISK_TEST_VERSION_MINOR << 8 |
                                (uint32_t)TAVDISK_TEST_VERSION_PATCH));
    CHECK(strcmp(tavdisk_version_string(), TAVDISK_TEST_VERSION) == 0);

    tavtest_install_two_disks();
    set = tavdisk_set_new();
    CHECK(set != NULL);
    enumeration(set);
    texts(set);
    size_and_sectors(set);
    volumes_and_adapter(set);
    exact_answers(set);
    unopenable(set);
    tavdisk_set_free(set);
    tavdisk_set_free(NULL);
    CHECK(tavtest_leftovers() == 0);
    tavtest_uninstall();

    /* Null handles answer nothing. */
    CHECK(tavdisk_drive_get_sectors(NULL) == 0 && tavdisk_drive_is_ata(NULL) == 0);
    {
        char text[8] = "keep";
        uint32_t count = 9;
        CHECK(tavdisk_drive_get_vendor_id(NULL, text, sizeof text, &count) == 0 && count == 9 &&
              strcmp(text, "keep") == 0);
    }

    done = TRUE;
    if (failures)
        fprintf(stderr, "%d checks failed\n", failures);
    else
        printf("C interface: all checks passed (%d, %d, %d, %d)\n", done, c, MAX_PATH, ERROR_SUCCESS);
    return failures ? 1 : 0;
}
