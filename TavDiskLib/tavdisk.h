// SPDX-License-Identifier: MIT
/* tavdisk.h: the C interface of TavDiskLib.
 *
 * The same shared library (libTavDiskLib.so, TavDiskLib.dll) that exports
 * the C++ classes Drive and Adapter exports these functions, with C names
 * and the C calling convention, so that C, Python (ctypes), C# (P/Invoke),
 * Go, Rust and programs built with any Windows compiler can use it. Each
 * function is a thin layer over one member of the classes (TavDiskLib.h):
 * the results, buffer rules and request sequences are those of the member.
 *
 *   tavdisk_set *set = tavdisk_set_new();
 *   for (uint32_t i = 0;; ++i) {
 *       tavdisk_drive *d = tavdisk_drive_new(set, i);
 *       if (!d) break;
 *       ... ask d ...
 *       tavdisk_drive_free(d);
 *   }
 *   tavdisk_set_free(set);
 *
 * Handles and ownership
 *   tavdisk_set     the disks present when it was made. Made by
 *                   tavdisk_set_new, released by tavdisk_set_free; keep it
 *                   while any drive or adapter made from it is in use.
 *   tavdisk_drive   one disk (a Drive). Made by tavdisk_drive_new, released
 *                   by tavdisk_drive_free. Use one drive from one thread at
 *                   a time.
 *   tavdisk_adapter one device node, typically a disk's controller (an
 *                   Adapter). Made by tavdisk_adapter_new, released by
 *                   tavdisk_adapter_free.
 *   Every handle belongs to the caller, who releases it exactly once. A
 *   null handle is accepted everywhere: queries then answer 0 and leave the
 *   caller's buffers and counts alone, releases do nothing.
 *
 * Buffers
 *   Every buffer comes with its capacity; nothing is written outside it.
 *   Narrow texts (device strings, bytes as the device gives them):
 *   (char *buffer, uint32_t capacity, uint32_t *count) with the capacity in
 *   bytes; the text is cut to the capacity, trimmed of leading spaces and
 *   trailing spaces and zero bytes, and terminated inside the buffer; count
 *   receives the characters delivered. The result is 1, or 0 when the text
 *   does not apply to the disk (IDENTIFY texts on a disk that is not ATA,
 *   INQUIRY texts on an ATA disk), which leaves buffer and count alone. A
 *   storage descriptor that holds no such string gives an empty text with
 *   count 1.
 *   Wide texts (paths, drive letters, mount points): (wchar_t *buffer,
 *   uint32_t capacity, uint32_t *length) with the capacity in wchar_t;
 *   length always receives the length including the terminator; a buffer
 *   that is too small (or null) is refused with 0 and left untouched.
 *   wchar_t is the system's: UTF-16 on Windows, UTF-32 elsewhere.
 *
 * Nothing is thrown or raised across this interface; a function that cannot
 * do its work (no memory, a failed request) gives the result documented for
 * it. Set TAVDISK_DEBUG=1 in the environment to have every failed platform
 * request printed on standard error, or install a failure handler.
 */
#ifndef TAVDISKLIB_TAVDISK_H
#define TAVDISKLIB_TAVDISK_H

#include <stddef.h>
#include <stdint.h>

#if defined(_WIN32)
#if defined(TAVDISKLIB_STATIC)
#define TAVDISK_C_API
#elif defined(TAVDISKLIB_BUILDING)
#define TAVDISK_C_API __declspec(dllexport)
#else
#define TAVDISK_C_API __declspec(dllimport)
#endif
#define TAVDISK_CALL __cdecl
#else
#if defined(__GNUC__)
#define TAVDISK_C_API __attribute__((visibility("default")))
#else
#define TAVDISK_C_API
#endif
#define TAVDISK_CALL
#endif

#ifdef __cplusplus
extern "C" {
#endif

typedef struct tavdisk_set tavdisk_set;
typedef struct tavdisk_drive tavdisk_drive;
typedef struct tavdisk_adapter tavdisk_adapter;

/* The platform's STORAGE_BUS_TYPE values, as tavdisk_drive_get_bus_type
 * answers them (other values may come as they are). */
enum tavdisk_bus_type {
    TAVDISK_BUS_UNKNOWN = 0x00,
    TAVDISK_BUS_SCSI = 0x01,
    TAVDISK_BUS_ATAPI = 0x02,
    TAVDISK_BUS_ATA = 0x03,
    TAVDISK_BUS_1394 = 0x04,
    TAVDISK_BUS_SSA = 0x05,
    TAVDISK_BUS_FIBRE = 0x06,
    TAVDISK_BUS_USB = 0x07,
    TAVDISK_BUS_RAID = 0x08,
    TAVDISK_BUS_ISCSI = 0x09,
    TAVDISK_BUS_SAS = 0x0A,
    TAVDISK_BUS_SATA = 0x0B,
    TAVDISK_BUS_SD = 0x0C,
    TAVDISK_BUS_MMC = 0x0D,
    TAVDISK_BUS_VIRTUAL = 0x0E,
    TAVDISK_BUS_FILE_BACKED_VIRTUAL = 0x0F,
    TAVDISK_BUS_SPACES = 0x10,
    TAVDISK_BUS_NVME = 0x11,
    TAVDISK_BUS_SCM = 0x12,
    TAVDISK_BUS_UFS = 0x13
};

/* ---- Version ------------------------------------------------------------ */

/* The library's version as (major << 16) | (minor << 8) | patch. */
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_version(void);
/* The same as text, "major.minor.patch"; a static string, not to be freed. */
TAVDISK_C_API const char *TAVDISK_CALL tavdisk_version_string(void);

/* ---- The library's state (Drive::ReleaseState) ------------------------------ */

/* Releases what the library keeps between calls (Linux: its tables and
 * caches, the kept look, the descriptors that watch for changes), as
 * unloading it does; the next call makes what it needs again. 1 when
 * released (or nothing was kept); 0, nothing released, with ERROR_BUSY (170)
 * in the last-error code while a set, drive or adapter is open. No other
 * thread may be inside the library meanwhile; calling it twice is harmless.
 * Device instance numbers kept from before may name other nodes after it. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_release(void);

/* ---- Device information set (Drive::GetDeviceInfoSet) ---------------------- */

/* A new set of the disks present now, or null when it cannot be made. */
TAVDISK_C_API tavdisk_set *TAVDISK_CALL tavdisk_set_new(void);
/* Releases a set (SetupDiDestroyDeviceInfoList). */
TAVDISK_C_API void TAVDISK_CALL tavdisk_set_free(tavdisk_set *set);

/* ---- Drive: enumeration and release (Drive::GetDrive, ~Drive) --------------- */

/* A new drive for member `index` (from 0) of the set, or null past the last
 * member. Building it opens the disk and asks it everything once; a disk
 * that cannot be opened for read and write is opened for queries only, and a
 * disk that cannot be opened at all still gives a drive, which then answers
 * nothing (bus 0, no strings, no geometry): tavdisk_drive_access tells. */
TAVDISK_C_API tavdisk_drive *TAVDISK_CALL tavdisk_drive_new(tavdisk_set *set, uint32_t index);
TAVDISK_C_API void TAVDISK_CALL tavdisk_drive_free(tavdisk_drive *drive);

/* The access the disk was opened with (Drive::GetAccess). */
enum tavdisk_access {
    /* The disk could not be opened: it answers nothing. */
    TAVDISK_ACCESS_NONE = 0,
    /* For queries only (without the rights for read and write access): the
     * descriptor strings, bus type, disk number, geometry, size and volumes
     * answer; the IDE and INQUIRY identity and sector transfers do not. */
    TAVDISK_ACCESS_QUERY = 1,
    /* For read and write: everything answers. */
    TAVDISK_ACCESS_FULL = 2
};
/* A tavdisk_access value; TAVDISK_ACCESS_NONE for a null drive. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_access(tavdisk_drive *drive);

/* ---- Storage descriptor and device node ------------------------------------ */

TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_vendor_id(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                           uint32_t *count);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_product_id(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                            uint32_t *count);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_product_revision(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                                  uint32_t *count);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_serial_number(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                               uint32_t *count);
/* A tavdisk_bus_type value; 0 when unknown. */
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_bus_type(tavdisk_drive *drive);
/* The disk number (N of PhysicalDriveN), asked of the device on each call. */
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_drive_number(tavdisk_drive *drive);
/* The device path the disk was opened by (wide text). */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_device_path(tavdisk_drive *drive, wchar_t *buffer, uint32_t capacity,
                                                             uint32_t *length);
/* The device node of the disk and of its parent (its controller; give it to
 * tavdisk_adapter_new). */
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_device_instance(tavdisk_drive *drive);
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_device_parent_instance(tavdisk_drive *drive);

/* ---- ATA identity (IDENTIFY DEVICE; 0 on a disk that is not ATA) ----------- */

/* 1 when the disk answered the SMART version request. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_is_ata(tavdisk_drive *drive);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_ide_drive_serial_no(tavdisk_drive *drive, char *buffer,
                                                                     uint32_t capacity, uint32_t *count);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_ide_drive_firmware_revision(tavdisk_drive *drive, char *buffer,
                                                                             uint32_t capacity, uint32_t *count);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_ide_drive_model_no(tavdisk_drive *drive, char *buffer,
                                                                    uint32_t capacity, uint32_t *count);
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_ide_controller_number(tavdisk_drive *drive);
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_ide_disk_number(tavdisk_drive *drive);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_ide_supports_48bit_addressing(tavdisk_drive *drive);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_ide_supports_security(tavdisk_drive *drive);
/* IDENTIFY words 89 and 90, in minutes. */
TAVDISK_C_API uint16_t TAVDISK_CALL tavdisk_drive_get_ide_security_erase_unit_time(tavdisk_drive *drive);
TAVDISK_C_API uint16_t TAVDISK_CALL tavdisk_drive_get_ide_enhanced_security_erase_unit_time(tavdisk_drive *drive);

/* ---- SCSI identity (INQUIRY; 0 on an ATA disk) and address ------------------ */

TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_scsi_vendor_id(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                                uint32_t *count);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_scsi_product_id(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                                 uint32_t *count);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_scsi_product_revision(tavdisk_drive *drive, char *buffer,
                                                                       uint32_t capacity, uint32_t *count);
TAVDISK_C_API uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_port(tavdisk_drive *drive);
TAVDISK_C_API uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_bus_id(tavdisk_drive *drive);
TAVDISK_C_API uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_target_id(tavdisk_drive *drive);
TAVDISK_C_API uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_logical_unit_id(tavdisk_drive *drive);
/* 1 when the disk has a SCSI address (its address request answered), so that
 * the four functions above tell it; 0 when it has none (they answer 0). */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_has_scsi_address(tavdisk_drive *drive);

/* ---- Geometry, capacity and sector count ----------------------------------- */

/* The geometry is asked for once, on first use, and kept. */
TAVDISK_C_API int64_t TAVDISK_CALL tavdisk_drive_get_capacity(tavdisk_drive *drive);
TAVDISK_C_API int64_t TAVDISK_CALL tavdisk_drive_get_cylinders(tavdisk_drive *drive);
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_tracks_per_cylinder(tavdisk_drive *drive);
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_sectors_per_track(tavdisk_drive *drive);
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_bytes_per_sector(tavdisk_drive *drive);
/* The sector count; 0 when unknown. */
TAVDISK_C_API int64_t TAVDISK_CALL tavdisk_drive_get_sectors(tavdisk_drive *drive);

/* ---- Single-sector transfers ------------------------------------------------ */

/* Moves exactly one sector of tavdisk_drive_get_bytes_per_sector bytes
 * between the disk and `buffer`. Nonzero on success; 0 when the transfer
 * failed or `capacity` (bytes) cannot hold a sector, in which case nothing
 * was moved. tavdisk_drive_write_sector is the only write to a disk. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_read_sector(tavdisk_drive *drive, uint32_t sector, void *buffer,
                                                         uint32_t capacity);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_write_sector(tavdisk_drive *drive, uint32_t sector, const void *buffer,
                                                          uint32_t capacity);
/* tavdisk_drive_write_sector while nothing else uses the storage the sector
 * lies in (Drive::WriteSectorIfUnused): 1 written, 0 the write failed, -1
 * nothing written as the storage is in use or could not be examined (the
 * reason in the last-error code); 0 as well for a buffer that cannot hold a
 * sector. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_write_sector_if_unused(tavdisk_drive *drive, uint32_t sector,
                                                                    const void *buffer, uint32_t capacity);

/* ---- Volumes on the disk ------------------------------------------------------ */

/* Drive letters ("CD") and the other mount paths (separated by "; ") of the
 * volumes with an extent on the disk, from one volume scan kept for the
 * drive's life (wide text). */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_drive_letters(tavdisk_drive *drive, wchar_t *buffer, uint32_t capacity,
                                                               uint32_t *length);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_mount_points(tavdisk_drive *drive, wchar_t *buffer, uint32_t capacity,
                                                              uint32_t *length);
/* The first path name of a mounted volume holding the sector, asked anew
 * (Drive::GetSectorMountPoint): 1 and the name; 0 with length 0 when none
 * holds it, with the length needed when the buffer is too small; -1 with
 * length 0 when it could not tell (the reason in the last-error code). */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_sector_mount_point(tavdisk_drive *drive, uint32_t sector,
                                                                    wchar_t *buffer, uint32_t capacity,
                                                                    uint32_t *length);
/* 1 when the Windows directory's drive letter is one of the disk's. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_contains_windows_boot_partition(tavdisk_drive *drive);
/* 1 when the disk holds the system's own volume (Drive::ContainsSystemVolume):
 * on Windows the Windows directory's volume, on Linux the file system mounted
 * at "/", found through partitions, stacked volumes and virtual disks (loop
 * devices, attached images) down to the disk holding their content; asked
 * anew on each call. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_contains_system_volume(tavdisk_drive *drive);

/* ---- Adapter ------------------------------------------------------------------ */

/* Opens device node `dev_inst` (e.g. tavdisk_drive_get_device_parent_instance)
 * into the set; null only when memory is exhausted. */
TAVDISK_C_API tavdisk_adapter *TAVDISK_CALL tavdisk_adapter_new(tavdisk_set *set, uint32_t dev_inst);
TAVDISK_C_API void TAVDISK_CALL tavdisk_adapter_free(tavdisk_adapter *adapter);
/* Writes the node's device description (wide text) into `buffer`, sizes in
 * bytes; `required_bytes` receives the size the whole description needs.
 * Reports nothing else: clear the buffer first to tell a failure from an
 * empty description. */
TAVDISK_C_API void TAVDISK_CALL tavdisk_adapter_get_description(tavdisk_adapter *adapter, wchar_t *buffer,
                                                                uint32_t capacity_bytes, uint32_t *required_bytes);

/* ---- Failed requests ------------------------------------------------------------ */

/* One platform request that failed: what was asked ("CreateFileW",
 * "DeviceIoControl IOCTL_SCSI_GET_ADDRESS"), of what (a device path, a
 * volume name, "device node 12"; may be empty), the platform's error code
 * (a Windows error code, or for CM_* requests their CONFIGRET), that code's
 * name ("ERROR_ACCESS_DENIED"), and the whole line TAVDISK_DEBUG prints,
 * without its newline. The strings live until the handler returns. */
typedef struct tavdisk_failure {
    const char *request;
    const char *target;
    uint32_t error;
    const char *error_name;
    const char *line;
} tavdisk_failure;

typedef void(TAVDISK_CALL *tavdisk_failure_handler)(const tavdisk_failure *failure, void *context);

/* Calls `handler` with `context` for each platform request that fails on
 * the calling thread from now on, until another handler (or null) is
 * installed on that thread. Answers that only say "no more members" or "a
 * larger buffer is needed", by which the library walks lists and learns
 * sizes, are not failures, nor are refusals that are the answer sought
 * (SMART_GET_VERSION or IOCTL_SCSI_GET_ADDRESS refused as an invalid or
 * unsupported function: the disk is not ATA, has no SCSI address; no
 * Windows directory on a system without one; no device interface named by
 * an adapter's node). Independent of TAVDISK_DEBUG. A handler may call
 * the library, the drive whose request failed included (e.g. ask it for
 * its mount points during its own volume scan: the scan it starts is the
 * one kept); failures of the handler's own calls are not reported to it. */
TAVDISK_C_API void TAVDISK_CALL tavdisk_set_failure_handler(tavdisk_failure_handler handler, void *context);

/* ---- Exact answers: errors, size in bytes, disk number, UTF-8 texts ---------- */

/* The calling thread's last-error code as the library's requests left it
 * (the platform's GetLastError; a Windows error code): clear it with
 * tavdisk_set_last_error(0), call, and read it to learn why a call failed,
 * e.g. why tavdisk_drive_new's disk could not be opened. */
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_last_error(void);
TAVDISK_C_API void TAVDISK_CALL tavdisk_set_last_error(uint32_t code);

/* The disk's exact size in bytes: the sector count times the bytes per
 * sector (tavdisk_drive_get_capacity is the geometry's cylinders × heads ×
 * sectors and falls short of it). 0 when either is unknown. */
TAVDISK_C_API uint64_t TAVDISK_CALL tavdisk_drive_get_size_bytes(tavdisk_drive *drive);

/* The disk number, asked of the device: 1 and *number set when the device
 * answered; 0, *number left alone, when the number is unknown (where
 * tavdisk_drive_get_drive_number answers 0, as for disk 0). */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_query_drive_number(tavdisk_drive *drive, uint32_t *number);

/* Physical facts of a disk, for tavdisk_drive_get_fact. */
enum tavdisk_fact {
    TAVDISK_FACT_PHYSICAL_SECTOR_BYTES = 1, /* the sector size the disk writes internally */
    TAVDISK_FACT_ALIGNMENT_OFFSET = 2,      /* bytes into the disk where its first such sector begins */
    TAVDISK_FACT_ROTATIONAL = 3,            /* 1: the disk rotates */
    TAVDISK_FACT_TRIM = 4,                  /* 1: the disk takes unmap/TRIM */
    TAVDISK_FACT_READ_ONLY = 5,             /* 1: the disk refuses writes */
    TAVDISK_FACT_REMOVABLE = 6              /* 1: removable media */
};

/* One physical fact (enum tavdisk_fact), asked of the disk on each call
 * (removable media: from the descriptor the drive holds): 1 and *value set
 * when the disk tells; 0, *value left alone, when it does not, the request
 * failed or the fact is unknown to this library (tavdisk_last_error says
 * which: ERROR_NOT_SUPPORTED, 50, for a disk that does not tell). */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_fact(tavdisk_drive *drive, uint32_t fact, uint32_t *value);

/* The disk's world-wide name (Drive::GetWorldWideName), asked of the disk on
 * each call: "naa." or "eui." and lower-case hex digits, "t10." and the
 * vendor's text, as the Linux kernel writes a disk's wwid. A UTF-8 text
 * under the rules of tavdisk_drive_get_text (below): 1 with the name; 0
 * with `size` the bytes needed when `capacity` is short; 0 and size 0 when
 * the disk has no name or the request failed (tavdisk_last_error says why:
 * ERROR_NOT_SUPPORTED, 50, for a disk without one; ERROR_INVALID_DATA, 13,
 * for a malformed answer). */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_world_wide_name(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                                 uint32_t *size);

/* A disk's health, for tavdisk_drive_get_health. A value the disk did not
 * give is absent: its bit is clear in `present` and the field 0. */
enum tavdisk_health_verdict { TAVDISK_HEALTH_UNKNOWN = 0, TAVDISK_HEALTH_PASSED = 1, TAVDISK_HEALTH_FAILING = 2 };
enum tavdisk_health_protocol {
    TAVDISK_HEALTH_NONE = 0,
    TAVDISK_HEALTH_ATA = 1,  /* SMART */
    TAVDISK_HEALTH_NVME = 2, /* the SMART / Health log */
    TAVDISK_HEALTH_SCSI = 3  /* LOG SENSE */
};
enum tavdisk_health_present {
    TAVDISK_HEALTH_HAS_TEMPERATURE = 1,
    TAVDISK_HEALTH_HAS_POWER_ON_HOURS = 2,
    TAVDISK_HEALTH_HAS_REALLOCATED = 4,            /* ATA attribute 5 */
    TAVDISK_HEALTH_HAS_PENDING = 8,                /* ATA attribute 197 */
    TAVDISK_HEALTH_HAS_OFFLINE_UNCORRECTABLE = 16, /* ATA attribute 198 */
    TAVDISK_HEALTH_HAS_PERCENTAGE_USED = 32,       /* NVMe */
    TAVDISK_HEALTH_HAS_AVAILABLE_SPARE = 64,       /* NVMe */
    TAVDISK_HEALTH_HAS_MEDIA_ERRORS = 128,         /* NVMe */
    TAVDISK_HEALTH_HAS_EXCEPTIONS = 256            /* SCSI: exception_asc, exception_ascq */
};
typedef struct tavdisk_health {
    uint32_t verdict;  /* enum tavdisk_health_verdict */
    uint32_t protocol; /* enum tavdisk_health_protocol: what was asked */
    uint32_t reason;   /* verdict unknown: why, as a last-error code */
    uint32_t present;  /* enum tavdisk_health_present bits */
    int32_t temperature_celsius;
    uint32_t percentage_used, available_spare; /* NVMe */
    uint32_t critical_warning;                 /* NVMe: the log's critical warning bits */
    uint32_t exception_asc, exception_ascq;    /* SCSI: the predicted exception (0: none) */
    uint64_t power_on_hours, reallocated_sectors, pending_sectors, offline_uncorrectable, media_errors;
} tavdisk_health;

/* The disk's health, asked of the disk on each call without changing it
 * (ATA SMART, the NVMe health log or SCSI LOG SENSE; one request per page):
 * 1 when the verdict is passed or failing; 0 when it is unknown, with
 * health->reason and tavdisk_last_error saying why (ERROR_NOT_SUPPORTED,
 * 50, for a disk that does not tell; ERROR_INVALID_DATA, 13, for an answer
 * that says neither). *health is filled in either case when given. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_health(tavdisk_drive *drive, tavdisk_health *health);

/* The texts of a drive, for tavdisk_drive_get_text. */
enum tavdisk_text {
    TAVDISK_TEXT_VENDOR_ID = 1,
    TAVDISK_TEXT_PRODUCT_ID = 2,
    TAVDISK_TEXT_PRODUCT_REVISION = 3,
    TAVDISK_TEXT_SERIAL_NUMBER = 4,
    TAVDISK_TEXT_IDE_DRIVE_SERIAL_NO = 5,
    TAVDISK_TEXT_IDE_DRIVE_FIRMWARE_REVISION = 6,
    TAVDISK_TEXT_IDE_DRIVE_MODEL_NO = 7,
    TAVDISK_TEXT_SCSI_VENDOR_ID = 8,
    TAVDISK_TEXT_SCSI_PRODUCT_ID = 9,
    TAVDISK_TEXT_SCSI_PRODUCT_REVISION = 10,
    TAVDISK_TEXT_DEVICE_PATH = 11,
    TAVDISK_TEXT_DRIVE_LETTERS = 12,
    TAVDISK_TEXT_MOUNT_POINTS = 13 /* joined by "; "; see tavdisk_drive_get_mount_point */
};

/* UTF-8 texts, whole or not at all: (char *buffer, uint32_t capacity,
 * uint32_t *size), capacity and size in bytes. `size` receives the bytes
 * the whole text takes with its terminator; when `capacity` holds that
 * many the text is written, terminated, and the result is 1, else the
 * result is 0 and the buffer is left alone: ask again with a buffer of
 * `size` bytes. A buffer of that size always receives the whole text
 * (the texts are kept for the drive's life). Device strings are trimmed as
 * the narrow getters trim them; their bytes outside ASCII are taken as
 * Latin-1. A string the disk does not have, or that does not apply to it
 * (IDENTIFY texts on a disk that is not ATA, INQUIRY texts on an ATA disk),
 * is the empty text: result 1 and size 1 (tavdisk_drive_is_ata tells which
 * apply). An unknown `text` number gives 0 and size 0. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_text(tavdisk_drive *drive, uint32_t text, char *buffer,
                                                      uint32_t capacity, uint32_t *size);

/* The mount paths of the disk's volumes (drive roots are the drive letters)
 * one by one, from the kept volume scan: the count, and path `index` (from
 * 0) as a UTF-8 text under the rules above. A path holding "; " comes
 * whole. An index past the last gives 0 and size 0. */
TAVDISK_C_API uint32_t TAVDISK_CALL tavdisk_drive_get_mount_point_count(tavdisk_drive *drive);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_mount_point(tavdisk_drive *drive, uint32_t index, char *buffer,
                                                             uint32_t capacity, uint32_t *size);

/* The partition table (additions), asked of the disk on each call, with
 * the 1/0 and tavdisk_last_error rules of tavdisk_drive_get_fact. */
enum tavdisk_partition_style {
    TAVDISK_PARTITION_STYLE_MBR = 0,
    TAVDISK_PARTITION_STYLE_GPT = 1,
    TAVDISK_PARTITION_STYLE_NONE = 2,   /* no table */
    TAVDISK_PARTITION_STYLE_UNKNOWN = 3 /* partitions, in a table whose kind could not be read */
};
typedef struct tavdisk_partition {
    uint32_t number;   /* as the platform numbers it (1 for the first) */
    uint32_t mbr_type; /* MBR: the type byte; 0 on other tables */
    uint64_t offset;   /* bytes from the start of the disk */
    uint64_t length;   /* bytes */
    uint32_t active;   /* MBR: 1 for the active (boot) partition */
    uint32_t reserved; /* 0 */
} tavdisk_partition;
/* The table's style (enum tavdisk_partition_style) and how many partitions
 * it holds (unused MBR slots are none); either pointer may be NULL. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_partition_table(tavdisk_drive *drive, uint32_t *style,
                                                                 uint32_t *count);
/* Partition `index` (from 0); 0 with ERROR_INVALID_PARAMETER (87) past the
 * last. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_partition(tavdisk_drive *drive, uint32_t index,
                                                           tavdisk_partition *partition);
/* The texts of a partition, for tavdisk_drive_get_partition_text. */
enum tavdisk_partition_text {
    TAVDISK_PARTITION_TEXT_TYPE_GUID = 1,   /* GPT: upper-case GUID; "" on other tables */
    TAVDISK_PARTITION_TEXT_GUID = 2,        /* GPT: the partition's own GUID */
    TAVDISK_PARTITION_TEXT_NAME = 3,        /* GPT: its name */
    TAVDISK_PARTITION_TEXT_MOUNT_POINTS = 4 /* of the volume that begins in it, joined by "; " */
};
/* A text of partition `index` under the UTF-8 text rules above, except
 * that it is asked anew on each call (a table changed between two calls
 * may need a larger buffer again). `index` past the last, an unknown
 * `text`, or a failed request: 0 and size 0. The table's identifier (an
 * MBR signature "0x1234abcd", a GPT disk GUID; "" on other tables) is
 * tavdisk_drive_get_partition_table_id. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_partition_text(tavdisk_drive *drive, uint32_t index, uint32_t text,
                                                                char *buffer, uint32_t capacity, uint32_t *size);
TAVDISK_C_API int TAVDISK_CALL tavdisk_drive_get_partition_table_id(tavdisk_drive *drive, char *buffer,
                                                                    uint32_t capacity, uint32_t *size);

/* The adapter's device description as a UTF-8 text under the rules above;
 * 0 and size 0 when the description cannot be had. */
TAVDISK_C_API int TAVDISK_CALL tavdisk_adapter_get_description_text(tavdisk_adapter *adapter, char *buffer,
                                                                    uint32_t capacity, uint32_t *size);

#ifdef __cplusplus
}
#endif

#endif
