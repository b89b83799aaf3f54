/* SPDX-License-Identifier: MIT */
/* Loads the shared library, lists the disks of the machine it sees (a
 * recorded one where TAVDISK_ROOT names it) with every part that keeps
 * something between calls in use (sets, drives, volume searches, adapters
 * and their PCI names, kept looks), releases it, lists again, and unloads
 * it. Fails when the release is not refused while a drive is open, when a
 * second listing differs from the first, or when a descriptor is left open
 * after a release or after the unloading. tests/memcheck.sh runs it under valgrind, which fails it on a
 * leak or on memory the library still holds.
 *
 *   tavdisk_load_unload path/to/libTavDiskLib.so */
#include "../../TavDiskLib/tavdisk.h"

#include <dirent.h>
#include <dlfcn.h>
#include <stdio.h>
#include <string.h>
#include <wchar.h>

struct api {
    tavdisk_set *(*set_new)(void);
    void (*set_free)(tavdisk_set *);
    tavdisk_drive *(*drive_new)(tavdisk_set *, uint32_t);
    void (*drive_free)(tavdisk_drive *);
    int (*mount_points)(tavdisk_drive *, wchar_t *, uint32_t, uint32_t *);
    uint32_t (*parent)(tavdisk_drive *);
    tavdisk_adapter *(*adapter_new)(tavdisk_set *, uint32_t);
    void (*adapter_free)(tavdisk_adapter *);
    int (*description)(tavdisk_adapter *, char *, uint32_t, uint32_t *);
    int (*release)(void);
    uint32_t (*last_error)(void);
};

static int failures;

#define CHECK(condition)                                                                                               \
    do {                                                                                                               \
        if (!(condition)) {                                                                                            \
            fprintf(stderr, "%s:%d: %s\n", __FILE__, __LINE__, #condition);                                            \
            ++failures;                                                                                                \
        }                                                                                                              \
    } while (0)

static int open_descriptors(void) {
    DIR *dir = opendir("/proc/self/fd");
    int count = 0;
    if (!dir)
        return -1;
    while (readdir(dir))
        ++count;
    closedir(dir);
    return count;
}

/* The disks of one listing, each asked for its mount points and its
 * controller's name; keeps the last drive open when `keep` is given. */
static int list(const struct api *a, tavdisk_drive **keep) {
    tavdisk_set *set = a->set_new();
    int count = 0;
    if (!set)
        return -1;
    for (uint32_t i = 0;; ++i) {
        tavdisk_drive *d = a->drive_new(set, i);
        wchar_t points[512];
        char name[256];
        uint32_t length = 0;
        if (!d)
            break;
        ++count;
        a->mount_points(d, points, 512, &length);
        tavdisk_adapter *adapter = a->adapter_new(set, a->parent(d));
        if (adapter) {
            a->description(adapter, name, sizeof name, &length);
            a->adapter_free(adapter);
        }
        if (keep) {
            if (*keep)
                a->drive_free(*keep);
            *keep = d;
        } else {
            a->drive_free(d);
        }
    }
    a->set_free(set);
    return count;
}

#define SYMBOL(field, name) (*(void **)&api.field = dlsym(library, name)) != NULL

int main(int argc, char **argv) {
    if (argc != 2) {
        fprintf(stderr, "usage: tavdisk_load_unload path/to/libTavDiskLib.so\n");
        return 2;
    }
    const int before = open_descriptors();
    void *library = dlopen(argv[1], RTLD_NOW | RTLD_LOCAL);
    if (!library) {
        fprintf(stderr, "%s\n", dlerror());
        return 2;
    }
    struct api api;
    if (!(SYMBOL(set_new, "tavdisk_set_new") && SYMBOL(set_free, "tavdisk_set_free") &&
          SYMBOL(drive_new, "tavdisk_drive_new") && SYMBOL(drive_free, "tavdisk_drive_free") &&
          SYMBOL(mount_points, "tavdisk_drive_get_mount_points") &&
          SYMBOL(parent, "tavdisk_drive_get_device_parent_instance") && SYMBOL(adapter_new, "tavdisk_adapter_new") &&
          SYMBOL(adapter_free, "tavdisk_adapter_free") && SYMBOL(description, "tavdisk_adapter_get_description_text") &&
          SYMBOL(release, "tavdisk_release") && SYMBOL(last_error, "tavdisk_last_error"))) {
        fprintf(stderr, "a symbol is missing: %s\n", dlerror());
        return 2;
    }

    tavdisk_drive *open = NULL;
    const int first = list(&api, &open);
    CHECK(first >= 0);
    if (open) { /* a drive is open: nothing is released */
        CHECK(api.release() == 0 && api.last_error() == 170);
        api.drive_free(open);
    }
    CHECK(list(&api, NULL) == first); /* a kept look, where looks are kept */
    CHECK(api.release() == 1);
    CHECK(api.release() == 1);           /* twice: nothing left to release */
    CHECK(open_descriptors() == before); /* the change signals are closed too */
    CHECK(list(&api, NULL) == first);    /* made again */
    CHECK(api.release() == 1);
    CHECK(open_descriptors() == before);
    printf("%d disks\n", first);

    CHECK(dlclose(library) == 0);
    CHECK(open_descriptors() == before);
    return failures ? 1 : 0;
}
