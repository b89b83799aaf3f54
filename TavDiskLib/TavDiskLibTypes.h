// SPDX-License-Identifier: MIT
// The types of TavDiskLib's public signatures, in the namespace TavDiskLib.
//
// On Windows they are the platform's own, from its SDK headers (ULONG is
// `unsigned long`, LARGE_INTEGER and STORAGE_BUS_TYPE the SDK's), and the
// namespace merely names them a second time.
//
// Elsewhere the namespace is their only home: including TavDiskLib.h puts
// no Windows name (BOOL, TRUE, ULONG, MAX_PATH, ERROR_*, Unknown ...) into
// the caller's global namespace and defines no macro but the library's own
// TAVDISKLIB_* ones. ULONG is a 32-bit unsigned integer there, so that every
// 32-bit quantity stays 32 bits wide, and wide text is the system's wchar_t.
// The records a Drive or an Adapter keeps are only declared, by the
// platform's structure tags (names reserved to the implementation, which no
// program defines); their layouts are the library's business.
#ifndef TAVDISKLIB_TAVDISKLIBTYPES_H
#define TAVDISKLIB_TAVDISKLIBTYPES_H

#if defined(_WIN32)

// The caller's choice of windows.h parts is left alone (no
// WIN32_LEAN_AND_MEAN); only the min/max macros are kept away.
#ifndef NOMINMAX
#define NOMINMAX
#endif
#include <windows.h>
#include <winioctl.h>
#include <setupapi.h>
#include <cfgmgr32.h>
#include <ntddscsi.h>

namespace TavDiskLib {
using ::HANDLE;
using ::HDEVINFO;
using ::LARGE_INTEGER;
using ::STORAGE_BUS_TYPE;
using ::ULONG;
using ::DISK_CONTROLLER_NUMBER;
using ::DISK_GEOMETRY;
using ::GETVERSIONINPARAMS;
using ::SCSI_ADDRESS;
using ::SENDCMDOUTPARAMS;
using ::SP_DEVICE_INTERFACE_DATA;
using ::SP_DEVICE_INTERFACE_DETAIL_DATA_W;
using ::SP_DEVINFO_DATA;
using ::STORAGE_ADAPTER_DESCRIPTOR;
using ::STORAGE_DEVICE_DESCRIPTOR;

// What Drive::GetDeviceInfoSet answers when the set cannot be made.
inline HANDLE InvalidHandleValue() { return INVALID_HANDLE_VALUE; }
} // namespace TavDiskLib

#else // not Windows

#include <stdint.h>

struct _DISK_CONTROLLER_NUMBER;
struct _DISK_GEOMETRY;
struct _GETVERSIONINPARAMS;
struct _SCSI_ADDRESS;
struct _SENDCMDOUTPARAMS;
struct _SP_DEVICE_INTERFACE_DATA;
struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W;
struct _SP_DEVINFO_DATA;
struct _STORAGE_ADAPTER_DESCRIPTOR;
struct _STORAGE_DEVICE_DESCRIPTOR;

namespace TavDiskLib {

typedef uint32_t ULONG;
typedef void *HANDLE;
typedef void *HDEVINFO;

// A signed 64-bit quantity (capacity, cylinders, sector count), laid out as
// the platform's LARGE_INTEGER.
union LARGE_INTEGER {
    struct {
        uint32_t LowPart;
        int32_t HighPart;
    } u;
    int64_t QuadPart;
};

// The bus an adapter reports, with the platform's values.
enum STORAGE_BUS_TYPE {
    BusTypeUnknown = 0x00,
    BusTypeScsi = 0x01,
    BusTypeAtapi = 0x02,
    BusTypeAta = 0x03,
    BusType1394 = 0x04,
    BusTypeSsa = 0x05,
    BusTypeFibre = 0x06,
    BusTypeUsb = 0x07,
    BusTypeRAID = 0x08,
    BusTypeiScsi = 0x09,
    BusTypeSas = 0x0A,
    BusTypeSata = 0x0B,
    BusTypeSd = 0x0C,
    BusTypeMmc = 0x0D,
    BusTypeVirtual = 0x0E,
    BusTypeFileBackedVirtual = 0x0F,
    BusTypeSpaces = 0x10,
    BusTypeNvme = 0x11,
    BusTypeSCM = 0x12,
    BusTypeUfs = 0x13,
    BusTypeMax = 0x14,
    BusTypeMaxReserved = 0x7F
};

typedef ::_DISK_CONTROLLER_NUMBER DISK_CONTROLLER_NUMBER;
typedef ::_DISK_GEOMETRY DISK_GEOMETRY;
typedef ::_GETVERSIONINPARAMS GETVERSIONINPARAMS;
typedef ::_SCSI_ADDRESS SCSI_ADDRESS;
typedef ::_SENDCMDOUTPARAMS SENDCMDOUTPARAMS;
typedef ::_SP_DEVICE_INTERFACE_DATA SP_DEVICE_INTERFACE_DATA;
typedef ::_SP_DEVICE_INTERFACE_DETAIL_DATA_W SP_DEVICE_INTERFACE_DETAIL_DATA_W;
typedef ::_SP_DEVINFO_DATA SP_DEVINFO_DATA;
typedef ::_STORAGE_ADAPTER_DESCRIPTOR STORAGE_ADAPTER_DESCRIPTOR;
typedef ::_STORAGE_DEVICE_DESCRIPTOR STORAGE_DEVICE_DESCRIPTOR;

// What Drive::GetDeviceInfoSet answers when the set cannot be made (the
// platform's INVALID_HANDLE_VALUE).
inline HANDLE InvalidHandleValue() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

} // namespace TavDiskLib

#endif // not Windows

#endif
