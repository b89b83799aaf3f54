#!/usr/bin/env python3
# SPDX-License-Identifier: MIT
"""Lists the disks of this machine with TavDiskLib's C interface (ctypes).

Usage: list_disks.py [LIBRARY]   (default: libTavDiskLib.so.0.1, or TavDiskLib.dll on Windows)
"""
import ctypes
import sys

name = sys.argv[1] if len(sys.argv) > 1 else ("TavDiskLib.dll" if sys.platform == "win32" else "libTavDiskLib.so.0.1")
lib = ctypes.CDLL(name)
handle, u32 = ctypes.c_void_p, ctypes.c_uint32
for function, result, arguments in [
    ("tavdisk_set_new", handle, []),
    ("tavdisk_set_free", None, [handle]),
    ("tavdisk_drive_new", handle, [handle, u32]),
    ("tavdisk_drive_free", None, [handle]),
    ("tavdisk_drive_get_device_path", ctypes.c_int, [handle, ctypes.c_wchar_p, u32, ctypes.POINTER(u32)]),
    ("tavdisk_drive_is_ata", ctypes.c_int, [handle]),
    ("tavdisk_drive_get_ide_drive_model_no", ctypes.c_int, [handle, ctypes.c_char_p, u32, ctypes.POINTER(u32)]),
    ("tavdisk_drive_get_scsi_product_id", ctypes.c_int, [handle, ctypes.c_char_p, u32, ctypes.POINTER(u32)]),
    ("tavdisk_drive_get_bus_type", u32, [handle]),
    ("tavdisk_drive_get_sectors", ctypes.c_int64, [handle]),
]:
    getattr(lib, function).restype = result
    getattr(lib, function).argtypes = arguments

disk_set = lib.tavdisk_set_new()
if not disk_set:
    sys.exit(1)
index = 0
while True:
    drive = lib.tavdisk_drive_new(disk_set, index)
    if not drive:
        break
    length = u32(0)
    path = ctypes.create_unicode_buffer(512)
    lib.tavdisk_drive_get_device_path(drive, path, 512, ctypes.byref(length))
    model = ctypes.create_string_buffer(64)
    if lib.tavdisk_drive_is_ata(drive):
        lib.tavdisk_drive_get_ide_drive_model_no(drive, model, 64, ctypes.byref(length))
    else:
        lib.tavdisk_drive_get_scsi_product_id(drive, model, 64, ctypes.byref(length))
    print(f"{index} {path.value}: bus {lib.tavdisk_drive_get_bus_type(drive)}, "
          f"{model.value.decode('latin-1')}, {lib.tavdisk_drive_get_sectors(drive)} sectors")
    lib.tavdisk_drive_free(drive)
    index += 1
lib.tavdisk_set_free(disk_set)
