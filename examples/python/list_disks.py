#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Lists the disks of this machine with TavDiskLib's C interface (ctypes):
every text whole, in UTF-8, and each mount path on its own line.

Usage: list_disks.py [LIBRARY]   (default: libTavDiskLib.so.0.1, or TavDiskLib.dll on Windows)
"""
import ctypes
import sys

name = sys.argv[1] if len(sys.argv) > 1 else ("TavDiskLib.dll" if sys.platform == "win32" else "libTavDiskLib.so.0.1")
lib = ctypes.CDLL(name)
handle, u32, size_p = ctypes.c_void_p, ctypes.c_uint32, ctypes.POINTER(ctypes.c_uint32)
for function, result, arguments in [
    ("tavdisk_set_new", handle, []),
    ("tavdisk_set_free", None, [handle]),
    ("tavdisk_drive_new", handle, [handle, u32]),
    ("tavdisk_drive_free", None, [handle]),
    ("tavdisk_drive_is_ata", ctypes.c_int, [handle]),
    ("tavdisk_drive_get_bus_type", u32, [handle]),
    ("tavdisk_drive_get_sectors", ctypes.c_int64, [handle]),
    ("tavdisk_drive_get_size_bytes", ctypes.c_uint64, [handle]),
    ("tavdisk_drive_get_bytes_per_sector", u32, [handle]),
    ("tavdisk_drive_query_drive_number", ctypes.c_int, [handle, size_p]),
    ("tavdisk_drive_get_text", ctypes.c_int, [handle, u32, ctypes.c_char_p, u32, size_p]),
    ("tavdisk_drive_get_mount_point_count", u32, [handle]),
    ("tavdisk_drive_get_mount_point", ctypes.c_int, [handle, u32, ctypes.c_char_p, u32, size_p]),
]:
    getattr(lib, function).restype = result
    getattr(lib, function).argtypes = arguments

# The text numbers of tavdisk.h (enum tavdisk_text).
(VENDOR_ID, PRODUCT_ID, PRODUCT_REVISION, SERIAL_NUMBER, IDE_DRIVE_SERIAL_NO, IDE_DRIVE_FIRMWARE_REVISION,
 IDE_DRIVE_MODEL_NO, SCSI_VENDOR_ID, SCSI_PRODUCT_ID, SCSI_PRODUCT_REVISION, DEVICE_PATH, DRIVE_LETTERS) = range(1, 13)


def whole(getter, *arguments):
    """A UTF-8 text, asked for its size first: that size always suffices."""
    size = u32(0)
    getter(*arguments, None, 0, ctypes.byref(size))
    buffer = ctypes.create_string_buffer(max(size.value, 1))
    getter(*arguments, buffer, size.value, ctypes.byref(size))
    return buffer.value.decode("utf-8")


def quoted(drive, texts):
    return " ".join(f'"{whole(lib.tavdisk_drive_get_text, drive, t)}"' for t in texts)


disk_set = lib.tavdisk_set_new()
if not disk_set:
    sys.exit(1)
index = 0
while True:
    drive = lib.tavdisk_drive_new(disk_set, index)
    if not drive:
        break
    ata = lib.tavdisk_drive_is_ata(drive)
    path = whole(lib.tavdisk_drive_get_text, drive, DEVICE_PATH)
    model = whole(lib.tavdisk_drive_get_text, drive, IDE_DRIVE_MODEL_NO if ata else SCSI_PRODUCT_ID)
    print(f"{index} {path}: bus {lib.tavdisk_drive_get_bus_type(drive)}, {model}, "
          f"{lib.tavdisk_drive_get_sectors(drive)} sectors")
    number = u32(0)
    known = lib.tavdisk_drive_query_drive_number(drive, ctypes.byref(number))
    print(f"  disk {number.value if known else 'unknown'}, {lib.tavdisk_drive_get_size_bytes(drive)} bytes, "
          f"{lib.tavdisk_drive_get_bytes_per_sector(drive)} bytes per sector, "
          f"letters \"{whole(lib.tavdisk_drive_get_text, drive, DRIVE_LETTERS)}\"")
    print(f"  descriptor {quoted(drive, [VENDOR_ID, PRODUCT_ID, PRODUCT_REVISION, SERIAL_NUMBER])}")
    if ata:
        print(f"  ata {quoted(drive, [IDE_DRIVE_MODEL_NO, IDE_DRIVE_SERIAL_NO, IDE_DRIVE_FIRMWARE_REVISION])}")
    else:
        print(f"  scsi {quoted(drive, [SCSI_VENDOR_ID, SCSI_PRODUCT_ID, SCSI_PRODUCT_REVISION])}")
    for mount in range(lib.tavdisk_drive_get_mount_point_count(drive)):
        print(f"  mount \"{whole(lib.tavdisk_drive_get_mount_point, drive, mount)}\"")
    lib.tavdisk_drive_free(drive)
    index += 1
lib.tavdisk_set_free(disk_set)
