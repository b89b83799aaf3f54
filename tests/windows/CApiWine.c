/* SPDX-License-Identifier: MIT */
/* The C interface of TavDiskLib.dll from C, built against the installed
 * header and the DLL's C exports only, and run under Wine (run-wine.sh):
 * the version, a set with no disks, the failure handler called back across
 * the DLL, and null handles. Exit status 0 when every check passed. */
#include <TavDiskLib/tavdisk.h>

#include <stdio.h>
#include <string.h>

static int failures = 0;

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "check failed: %s\n", #condition);                                                         \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

struct seen {
    int count;
    char first[200];
};

static void TAVDISK_CALL remember(const tavdisk_failure *failure, void *context) {
    struct seen *s = (struct seen *)context;
    if (s->count++ == 0)
        snprintf(s->first, sizeof s->first, "%s", failure->line);
}

int main(int argc, char **argv) {
    struct seen seen = {0, ""};
    tavdisk_set *set;
    tavdisk_adapter *adapter;
    wchar_t description[16];
    uint32_t required = 7;
    char text[8] = "keep";
    uint32_t count = 9;

    CHECK(argc == 2 && strcmp(tavdisk_version_string(), argv[1]) == 0);
    CHECK((tavdisk_version() >> 16) == (uint32_t)(argv[1][0] - '0'));

    set = tavdisk_set_new();
    CHECK(set != NULL);
    tavdisk_set_failure_handler(remember, &seen);
    /* Wine has no disk interfaces: the first member is already past the last,
     * which is how a list ends, not a failure. */
    CHECK(tavdisk_drive_new(set, 0) == NULL);
    CHECK(seen.count == 0);
    /* A device node that does not exist: the handler hears of it. */
    adapter = tavdisk_adapter_new(set, 0x7FFFFFF0u);
    CHECK(adapter != NULL);
    memset(description, 0, sizeof description);
    tavdisk_adapter_get_description(adapter, description, sizeof description, &required);
    CHECK(description[0] == 0);
    tavdisk_adapter_free(adapter);
    tavdisk_set_failure_handler(NULL, NULL);
    CHECK(seen.count >= 1 && strstr(seen.first, "TavDiskLib: CM_Get_Device_ID_Size on device node") == seen.first);
    tavdisk_set_free(set);

    CHECK(tavdisk_drive_get_vendor_id(NULL, text, sizeof text, &count) == 0 && count == 9 && strcmp(text, "keep") == 0);
    CHECK(tavdisk_drive_get_sectors(NULL) == 0);
    tavdisk_drive_free(NULL);
    tavdisk_set_free(NULL);

    if (failures == 0)
        printf("C interface under Wine: all checks passed (first failure told: %s)\n", seen.first);
    return failures ? 1 : 0;
}
