// SPDX-License-Identifier: MIT
// Platform types, records, constants and control codes used by TavDiskLib.
//
// On Windows these are the platform's own definitions from its SDK headers.
// Elsewhere this header defines them itself, laid out as the published
// records are for the build's pointer width, so the same logic compiles and
// the same record sizes hold (sizeof is always taken from these definitions).
//
// Two deliberate differences away from Windows: DWORD/ULONG are 32-bit on
// every platform (on LP64 systems `unsigned long` is 64-bit), and WCHAR is the
// system's wchar_t (32-bit on Linux), so wide strings are UTF-32 there.
//
// The types of the public signatures come from the public TavDiskLibTypes.h,
// which away from Windows keeps them in the namespace TavDiskLib; this
// internal header names them in the global namespace again, beside the
// rest, for the library's own code, its backends and its tests.
#ifndef TAVDISKLIB_PLATFORM_TYPES_H
#define TAVDISKLIB_PLATFORM_TYPES_H

#include "../TavDiskLibTypes.h"

#if defined(_WIN32)

#include <virtdisk.h>

#ifndef SCSI_IOCTL_DATA_IN
#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2
#endif

#else // not Windows

#include <cstddef>
#include <cstdint>

using TavDiskLib::HANDLE;
using TavDiskLib::HDEVINFO;
using TavDiskLib::LARGE_INTEGER;
using TavDiskLib::STORAGE_BUS_TYPE;
using TavDiskLib::ULONG;
typedef LARGE_INTEGER *PLARGE_INTEGER;
typedef STORAGE_BUS_TYPE *PSTORAGE_BUS_TYPE;
using TavDiskLib::BusTypeUnknown;
using TavDiskLib::BusTypeScsi;
using TavDiskLib::BusTypeAtapi;
using TavDiskLib::BusTypeAta;
using TavDiskLib::BusType1394;
using TavDiskLib::BusTypeSsa;
using TavDiskLib::BusTypeFibre;
using TavDiskLib::BusTypeUsb;
using TavDiskLib::BusTypeRAID;
using TavDiskLib::BusTypeiScsi;
using TavDiskLib::BusTypeSas;
using TavDiskLib::BusTypeSata;
using TavDiskLib::BusTypeSd;
using TavDiskLib::BusTypeMmc;
using TavDiskLib::BusTypeVirtual;
using TavDiskLib::BusTypeFileBackedVirtual;
using TavDiskLib::BusTypeSpaces;
using TavDiskLib::BusTypeNvme;
using TavDiskLib::BusTypeSCM;
using TavDiskLib::BusTypeUfs;
using TavDiskLib::BusTypeMax;
using TavDiskLib::BusTypeMaxReserved;

typedef int BOOL;
typedef unsigned char BOOLEAN;
typedef unsigned char BYTE;
typedef unsigned char UCHAR;
typedef uint16_t WORD;
typedef uint16_t USHORT;
typedef uint32_t DWORD;
typedef uint32_t UINT;
typedef int32_t LONG;
typedef int64_t LONGLONG;
typedef uint64_t ULONGLONG;
typedef uintptr_t ULONG_PTR;
typedef size_t SIZE_T;
typedef wchar_t WCHAR;
typedef void *HLOCAL;
typedef void *HWND;
typedef DWORD DEVINST;
typedef DWORD CONFIGRET;
typedef DWORD DEVICE_TYPE;
typedef void *LPVOID;
typedef const void *LPCVOID;
typedef DWORD *LPDWORD;
typedef DWORD *PDWORD;
typedef ULONG *PULONG;
typedef BYTE *PBYTE;
typedef WCHAR *LPWSTR;
typedef WCHAR *PWSTR;
typedef HANDLE *LPHANDLE;
typedef const WCHAR *LPCWSTR;
typedef const WCHAR *PCWSTR;
typedef DEVINST *PDEVINST;

#ifndef TRUE
#define TRUE 1
#endif
#ifndef FALSE
#define FALSE 0
#endif

struct SECURITY_ATTRIBUTES;
typedef SECURITY_ATTRIBUTES *LPSECURITY_ATTRIBUTES;
struct OVERLAPPED;
typedef OVERLAPPED *LPOVERLAPPED;

typedef struct _GUID {
    uint32_t Data1;
    uint16_t Data2;
    uint16_t Data3;
    uint8_t Data4[8];
} GUID;

#define INVALID_HANDLE_VALUE (reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)))
// DuplicateHandle's option: the new handle has the access of the old.
#define DUPLICATE_SAME_ACCESS 0x00000002u

// Error codes (the platform's values).
#define ERROR_SUCCESS 0u
#define NO_ERROR 0u
#define ERROR_INVALID_FUNCTION 1u
#define ERROR_FILE_NOT_FOUND 2u
#define ERROR_PATH_NOT_FOUND 3u
#define ERROR_NOT_A_REPARSE_POINT 4390u
#define ERROR_TOO_MANY_OPEN_FILES 4u
#define ERROR_ACCESS_DENIED 5u
#define ERROR_INVALID_HANDLE 6u
#define ERROR_NOT_ENOUGH_MEMORY 8u
#define ERROR_OUTOFMEMORY 14u
#define ERROR_NO_MORE_FILES 18u
#define ERROR_WRITE_PROTECT 19u
#define ERROR_NOT_READY 21u
#define ERROR_CRC 23u
#define ERROR_SEEK 25u
#define ERROR_SECTOR_NOT_FOUND 27u
#define ERROR_WRITE_FAULT 29u
#define ERROR_READ_FAULT 30u
#define ERROR_GEN_FAILURE 31u
#define ERROR_SHARING_VIOLATION 32u
#define ERROR_HANDLE_EOF 38u
#define ERROR_HANDLE_DISK_FULL 39u
#define ERROR_NOT_SUPPORTED 50u
#define ERROR_DEV_NOT_EXIST 55u
#define ERROR_INVALID_PARAMETER 87u
#define ERROR_INSUFFICIENT_BUFFER 122u
#define ERROR_INVALID_NAME 123u
#define ERROR_NEGATIVE_SEEK 131u
#define ERROR_NOT_LOCKED 158u
#define ERROR_BUSY 170u
#define ERROR_CALL_NOT_IMPLEMENTED 120u
#define ERROR_FILENAME_EXCED_RANGE 206u
#define ERROR_MORE_DATA 234u
#define ERROR_NO_MORE_ITEMS 259u
#define ERROR_INVALID_ADDRESS 487u
#define ERROR_INVALID_FLAGS 1004u
#define ERROR_IO_DEVICE 1117u
#define ERROR_INVALID_USER_BUFFER 1784u
#define ERROR_NOT_FOUND 1168u
#define ERROR_NO_SUCH_DEVINST 0xE000020Bu
#define ERROR_INVALID_DATA 13u
#define ERROR_NO_SUCH_DEVICE_INTERFACE 0xE0000225u
#define ERROR_NO_SYSTEM_RESOURCES 1450u
#define ERROR_SEM_TIMEOUT 121u
#define ERROR_TIMEOUT 1460u

// CreateFileW.
#define GENERIC_READ 0x80000000u
#define GENERIC_WRITE 0x40000000u
#define GENERIC_ALL 0x10000000u
#define FILE_READ_DATA 0x00000001u
#define FILE_WRITE_DATA 0x00000002u
#define FILE_SHARE_READ 0x00000001u
#define FILE_SHARE_WRITE 0x00000002u
#define OPEN_EXISTING 3u

// SetFilePointerEx.
#define FILE_BEGIN 0u
#define FILE_CURRENT 1u
#define FILE_END 2u

// LocalAlloc.
#define LMEM_FIXED 0x0000u
#define LMEM_ZEROINIT 0x0040u
#define LPTR (LMEM_FIXED | LMEM_ZEROINIT)

#define MAX_PATH 260

// Device set-up.
#define DIGCF_DEFAULT 0x00000001u
#define DIGCF_PRESENT 0x00000002u
#define DIGCF_ALLCLASSES 0x00000004u
#define DIGCF_PROFILE 0x00000008u
#define DIGCF_DEVICEINTERFACE 0x00000010u
#define SPINT_ACTIVE 0x00000001u
#define DIOD_INHERIT_CLASSDRVS 0x00000002u
#define DIOD_CANCEL_REMOVE 0x00000004u
#define DIODI_NO_ADD 0x00000001u
#define SPDRP_DEVICEDESC 0x00000000u
#define SPDRP_HARDWAREID 0x00000001u
#define SPDRP_DRIVER 0x00000009u
#define SPDRP_MFG 0x0000000Bu
#define SPDRP_FRIENDLYNAME 0x0000000Cu
#define REG_SZ 1u
#define CR_SUCCESS 0x00000000u
#define CR_INVALID_POINTER 0x00000003u
#define CR_INVALID_FLAG 0x00000004u
#define CR_INVALID_DEVNODE 0x00000005u
#define CR_NO_SUCH_DEVNODE 0x0000000Du
#define CR_BUFFER_SMALL 0x0000001Au
#define CR_NO_SUCH_VALUE 0x00000025u

#define ANYSIZE_ARRAY 1

typedef struct _SP_DEVICE_INTERFACE_DATA {
    DWORD cbSize;
    GUID InterfaceClassGuid;
    DWORD Flags;
    ULONG_PTR Reserved;
} SP_DEVICE_INTERFACE_DATA, *PSP_DEVICE_INTERFACE_DATA;

typedef struct _SP_DEVINFO_DATA {
    DWORD cbSize;
    GUID ClassGuid;
    DWORD DevInst;
    ULONG_PTR Reserved;
} SP_DEVINFO_DATA, *PSP_DEVINFO_DATA;

typedef struct _SP_DEVICE_INTERFACE_DETAIL_DATA_W {
    DWORD cbSize;
    WCHAR DevicePath[ANYSIZE_ARRAY];
} SP_DEVICE_INTERFACE_DETAIL_DATA_W, *PSP_DEVICE_INTERFACE_DETAIL_DATA_W;

// Storage stack records.
typedef enum _STORAGE_PROPERTY_ID {
    StorageDeviceProperty = 0,
    StorageAdapterProperty = 1,
    StorageDeviceIdProperty = 2,
    StorageAccessAlignmentProperty = 6,
    StorageDeviceSeekPenaltyProperty = 7,
    StorageDeviceTrimProperty = 8,
    StorageDeviceProtocolSpecificProperty = 50
} STORAGE_PROPERTY_ID;

typedef enum _STORAGE_QUERY_TYPE {
    PropertyStandardQuery = 0,
    PropertyExistsQuery = 1,
    PropertyMaskQuery = 2,
    PropertyQueryMaxDefined = 3
} STORAGE_QUERY_TYPE;

typedef struct _STORAGE_PROPERTY_QUERY {
    STORAGE_PROPERTY_ID PropertyId;
    STORAGE_QUERY_TYPE QueryType;
    BYTE AdditionalParameters[1];
} STORAGE_PROPERTY_QUERY, *PSTORAGE_PROPERTY_QUERY;

typedef struct _STORAGE_DESCRIPTOR_HEADER {
    DWORD Version;
    DWORD Size;
} STORAGE_DESCRIPTOR_HEADER, *PSTORAGE_DESCRIPTOR_HEADER;

typedef struct _STORAGE_ADAPTER_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    DWORD MaximumTransferLength;
    DWORD MaximumPhysicalPages;
    DWORD AlignmentMask;
    BOOLEAN AdapterUsesPio;
    BOOLEAN AdapterScansDown;
    BOOLEAN CommandQueueing;
    BOOLEAN AcceleratedTransfer;
    BYTE BusType;
    WORD BusMajorVersion;
    WORD BusMinorVersion;
    BYTE SrbType;
    BYTE AddressType;
} STORAGE_ADAPTER_DESCRIPTOR, *PSTORAGE_ADAPTER_DESCRIPTOR;

typedef struct _STORAGE_DEVICE_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    BYTE DeviceType;
    BYTE DeviceTypeModifier;
    BOOLEAN RemovableMedia;
    BOOLEAN CommandQueueing;
    DWORD VendorIdOffset;
    DWORD ProductIdOffset;
    DWORD ProductRevisionOffset;
    DWORD SerialNumberOffset;
    STORAGE_BUS_TYPE BusType;
    DWORD RawPropertiesLength;
    BYTE RawDeviceProperties[1];
} STORAGE_DEVICE_DESCRIPTOR, *PSTORAGE_DEVICE_DESCRIPTOR;

typedef struct _STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    DWORD BytesPerCacheLine;
    DWORD BytesOffsetForCacheAlignment;
    DWORD BytesPerLogicalSector;
    DWORD BytesPerPhysicalSector;
    DWORD BytesOffsetForSectorAlignment;
} STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR, *PSTORAGE_ACCESS_ALIGNMENT_DESCRIPTOR;

typedef struct _DEVICE_SEEK_PENALTY_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    BOOLEAN IncursSeekPenalty;
} DEVICE_SEEK_PENALTY_DESCRIPTOR, *PDEVICE_SEEK_PENALTY_DESCRIPTOR;

typedef struct _DEVICE_TRIM_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    BOOLEAN TrimEnabled;
} DEVICE_TRIM_DESCRIPTOR, *PDEVICE_TRIM_DESCRIPTOR;

// The device's identifiers (StorageDeviceIdProperty): the header, then
// NumberOfIdentifiers STORAGE_IDENTIFIER records from Identifiers on, each
// NextOffset bytes after the one before. Code set, type and association
// carry the values of a SCSI designator's fields.
typedef enum _STORAGE_IDENTIFIER_CODE_SET {
    StorageIdCodeSetReserved = 0,
    StorageIdCodeSetBinary = 1,
    StorageIdCodeSetAscii = 2,
    StorageIdCodeSetUtf8 = 3
} STORAGE_IDENTIFIER_CODE_SET;

typedef enum _STORAGE_IDENTIFIER_TYPE {
    StorageIdTypeVendorSpecific = 0,
    StorageIdTypeVendorId = 1,
    StorageIdTypeEUI64 = 2,
    StorageIdTypeFCPHName = 3,
    StorageIdTypePortRelative = 4,
    StorageIdTypeTargetPortGroup = 5,
    StorageIdTypeLogicalUnitGroup = 6,
    StorageIdTypeMD5LogicalUnitIdentifier = 7,
    StorageIdTypeScsiNameString = 8
} STORAGE_IDENTIFIER_TYPE;

typedef enum _STORAGE_ASSOCIATION_TYPE {
    StorageIdAssocDevice = 0,
    StorageIdAssocPort = 1,
    StorageIdAssocTarget = 2
} STORAGE_ASSOCIATION_TYPE;

typedef struct _STORAGE_IDENTIFIER {
    STORAGE_IDENTIFIER_CODE_SET CodeSet;
    STORAGE_IDENTIFIER_TYPE Type;
    WORD IdentifierSize;
    WORD NextOffset;
    STORAGE_ASSOCIATION_TYPE Association;
    BYTE Identifier[1];
} STORAGE_IDENTIFIER, *PSTORAGE_IDENTIFIER;

typedef struct _STORAGE_DEVICE_ID_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    DWORD NumberOfIdentifiers;
    BYTE Identifiers[1];
} STORAGE_DEVICE_ID_DESCRIPTOR, *PSTORAGE_DEVICE_ID_DESCRIPTOR;

typedef struct _STORAGE_DEVICE_NUMBER {
    DEVICE_TYPE DeviceType;
    DWORD DeviceNumber;
    DWORD PartitionNumber;
} STORAGE_DEVICE_NUMBER, *PSTORAGE_DEVICE_NUMBER;

#define FILE_DEVICE_DISK 0x00000007u

// SMART / IDE records (byte-packed, as the platform declares them).
#pragma pack(push, 1)
typedef struct _GETVERSIONINPARAMS {
    BYTE bVersion;
    BYTE bRevision;
    BYTE bReserved;
    BYTE bIDEDeviceMap;
    DWORD fCapabilities;
    DWORD dwReserved[4];
} GETVERSIONINPARAMS, *PGETVERSIONINPARAMS;

typedef struct _IDEREGS {
    BYTE bFeaturesReg;
    BYTE bSectorCountReg;
    BYTE bSectorNumberReg;
    BYTE bCylLowReg;
    BYTE bCylHighReg;
    BYTE bDriveHeadReg;
    BYTE bCommandReg;
    BYTE bReserved;
} IDEREGS, *PIDEREGS;

typedef struct _SENDCMDINPARAMS {
    DWORD cBufferSize;
    IDEREGS irDriveRegs;
    BYTE bDriveNumber;
    BYTE bReserved[3];
    DWORD dwReserved[4];
    BYTE bBuffer[1];
} SENDCMDINPARAMS, *PSENDCMDINPARAMS;

typedef struct _DRIVERSTATUS {
    BYTE bDriverError;
    BYTE bIDEError;
    BYTE bReserved[2];
    DWORD dwReserved[2];
} DRIVERSTATUS, *PDRIVERSTATUS;

typedef struct _SENDCMDOUTPARAMS {
    DWORD cBufferSize;
    DRIVERSTATUS DriverStatus;
    BYTE bBuffer[1];
} SENDCMDOUTPARAMS, *PSENDCMDOUTPARAMS;
#pragma pack(pop)

#define ID_CMD 0xECu
#define IDENTIFY_BUFFER_SIZE 512u
// SMART through SMART_RCV_DRIVE_DATA / SMART_SEND_DRIVE_COMMAND: the command
// register, the signature in cylinder low/high, and the features read.
#define SMART_CMD 0xB0u
#define SMART_CYL_LOW 0x4Fu
#define SMART_CYL_HI 0xC2u
#define READ_ATTRIBUTES 0xD0u
#define READ_THRESHOLDS 0xD1u
#define RETURN_SMART_STATUS 0xDAu
#define READ_ATTRIBUTE_BUFFER_SIZE 512u
#define READ_THRESHOLD_BUFFER_SIZE 512u

// A protocol's own data through IOCTL_STORAGE_QUERY_PROPERTY with
// StorageDeviceProtocolSpecificProperty: the query's AdditionalParameters
// hold a STORAGE_PROTOCOL_SPECIFIC_DATA, and the answer a
// STORAGE_PROTOCOL_DATA_DESCRIPTOR whose data lies ProtocolDataOffset bytes
// after its ProtocolSpecificData.
typedef enum _STORAGE_PROTOCOL_TYPE {
    ProtocolTypeUnknown = 0,
    ProtocolTypeScsi = 1,
    ProtocolTypeAta = 2,
    ProtocolTypeNvme = 3
} STORAGE_PROTOCOL_TYPE;

typedef enum _STORAGE_PROTOCOL_NVME_DATA_TYPE {
    NVMeDataTypeUnknown = 0,
    NVMeDataTypeIdentify = 1,
    NVMeDataTypeLogPage = 2,
    NVMeDataTypeFeature = 3
} STORAGE_PROTOCOL_NVME_DATA_TYPE;

typedef struct _STORAGE_PROTOCOL_SPECIFIC_DATA {
    STORAGE_PROTOCOL_TYPE ProtocolType;
    DWORD DataType;
    DWORD ProtocolDataRequestValue;
    DWORD ProtocolDataRequestSubValue;
    DWORD ProtocolDataOffset;
    DWORD ProtocolDataLength;
    DWORD FixedProtocolReturnData;
    DWORD ProtocolDataRequestSubValue2;
    DWORD ProtocolDataRequestSubValue3;
    DWORD ProtocolDataRequestSubValue4;
} STORAGE_PROTOCOL_SPECIFIC_DATA, *PSTORAGE_PROTOCOL_SPECIFIC_DATA;

typedef struct _STORAGE_PROTOCOL_DATA_DESCRIPTOR {
    DWORD Version;
    DWORD Size;
    STORAGE_PROTOCOL_SPECIFIC_DATA ProtocolSpecificData;
} STORAGE_PROTOCOL_DATA_DESCRIPTOR, *PSTORAGE_PROTOCOL_DATA_DESCRIPTOR;

typedef struct _DISK_CONTROLLER_NUMBER {
    DWORD ControllerNumber;
    DWORD DiskNumber;
} DISK_CONTROLLER_NUMBER, *PDISK_CONTROLLER_NUMBER;

typedef struct _SCSI_ADDRESS {
    ULONG Length;
    UCHAR PortNumber;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
} SCSI_ADDRESS, *PSCSI_ADDRESS;

typedef struct _SCSI_PASS_THROUGH_DIRECT {
    USHORT Length;
    UCHAR ScsiStatus;
    UCHAR PathId;
    UCHAR TargetId;
    UCHAR Lun;
    UCHAR CdbLength;
    UCHAR SenseInfoLength;
    UCHAR DataIn;
    ULONG DataTransferLength;
    ULONG TimeOutValue;
    void *DataBuffer;
    ULONG SenseInfoOffset;
    UCHAR Cdb[16];
} SCSI_PASS_THROUGH_DIRECT, *PSCSI_PASS_THROUGH_DIRECT;

#define SCSI_IOCTL_DATA_OUT 0
#define SCSI_IOCTL_DATA_IN 1
#define SCSI_IOCTL_DATA_UNSPECIFIED 2

typedef enum _MEDIA_TYPE { Unknown = 0, RemovableMedia = 11, FixedMedia = 12 } MEDIA_TYPE;

typedef struct _DISK_GEOMETRY {
    LARGE_INTEGER Cylinders;
    MEDIA_TYPE MediaType;
    DWORD TracksPerCylinder;
    DWORD SectorsPerTrack;
    DWORD BytesPerSector;
} DISK_GEOMETRY, *PDISK_GEOMETRY;

// The geometry with the disk's size in bytes; partition and detection
// information may follow in Data when the buffer has room for it.
typedef struct _DISK_GEOMETRY_EX {
    DISK_GEOMETRY Geometry;
    LARGE_INTEGER DiskSize;
    BYTE Data[1];
} DISK_GEOMETRY_EX, *PDISK_GEOMETRY_EX;

typedef struct _DISK_EXTENT {
    DWORD DiskNumber;
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER ExtentLength;
} DISK_EXTENT, *PDISK_EXTENT;

typedef struct _VOLUME_DISK_EXTENTS {
    DWORD NumberOfDiskExtents;
    DISK_EXTENT Extents[ANYSIZE_ARRAY];
} VOLUME_DISK_EXTENTS, *PVOLUME_DISK_EXTENTS;

// The disk's partition table (IOCTL_DISK_GET_DRIVE_LAYOUT_EX): a header,
// then PartitionCount entries.
typedef enum _PARTITION_STYLE {
    PARTITION_STYLE_MBR = 0,
    PARTITION_STYLE_GPT = 1,
    PARTITION_STYLE_RAW = 2
} PARTITION_STYLE;

typedef struct _PARTITION_INFORMATION_MBR {
    BYTE PartitionType;
    BOOLEAN BootIndicator;
    BOOLEAN RecognizedPartition;
    DWORD HiddenSectors;
    GUID PartitionId;
} PARTITION_INFORMATION_MBR, *PPARTITION_INFORMATION_MBR;

typedef struct _PARTITION_INFORMATION_GPT {
    GUID PartitionType;
    GUID PartitionId;
    ULONGLONG Attributes;
    WCHAR Name[36];
} PARTITION_INFORMATION_GPT, *PPARTITION_INFORMATION_GPT;

typedef struct _PARTITION_INFORMATION_EX {
    PARTITION_STYLE PartitionStyle;
    LARGE_INTEGER StartingOffset;
    LARGE_INTEGER PartitionLength;
    DWORD PartitionNumber;
    BOOLEAN RewritePartition;
    BOOLEAN IsServicePartition;
    union {
        PARTITION_INFORMATION_MBR Mbr;
        PARTITION_INFORMATION_GPT Gpt;
    };
} PARTITION_INFORMATION_EX, *PPARTITION_INFORMATION_EX;

typedef struct _DRIVE_LAYOUT_INFORMATION_MBR {
    DWORD Signature;
    DWORD CheckSum;
} DRIVE_LAYOUT_INFORMATION_MBR, *PDRIVE_LAYOUT_INFORMATION_MBR;

typedef struct _DRIVE_LAYOUT_INFORMATION_GPT {
    GUID DiskId;
    LARGE_INTEGER StartingUsableOffset;
    LARGE_INTEGER UsableLength;
    DWORD MaxPartitionCount;
} DRIVE_LAYOUT_INFORMATION_GPT, *PDRIVE_LAYOUT_INFORMATION_GPT;

typedef struct _DRIVE_LAYOUT_INFORMATION_EX {
    DWORD PartitionStyle;
    DWORD PartitionCount;
    union {
        DRIVE_LAYOUT_INFORMATION_MBR Mbr;
        DRIVE_LAYOUT_INFORMATION_GPT Gpt;
    };
    PARTITION_INFORMATION_EX PartitionEntry[ANYSIZE_ARRAY];
} DRIVE_LAYOUT_INFORMATION_EX, *PDRIVE_LAYOUT_INFORMATION_EX;

// What a virtual disk's content lies in (GetStorageDependencyInformation).
typedef enum _GET_STORAGE_DEPENDENCY_FLAG {
    GET_STORAGE_DEPENDENCY_FLAG_NONE = 0x00000000,
    GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES = 0x00000001,
    GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE = 0x00000002
} GET_STORAGE_DEPENDENCY_FLAG;

typedef enum _STORAGE_DEPENDENCY_INFO_VERSION {
    STORAGE_DEPENDENCY_INFO_VERSION_UNSPECIFIED = 0,
    STORAGE_DEPENDENCY_INFO_VERSION_1 = 1,
    STORAGE_DEPENDENCY_INFO_VERSION_2 = 2
} STORAGE_DEPENDENCY_INFO_VERSION;

typedef enum _DEPENDENT_DISK_FLAG {
    DEPENDENT_DISK_FLAG_NONE = 0x00000000,
    DEPENDENT_DISK_FLAG_READ_ONLY = 0x00000008,
    DEPENDENT_DISK_FLAG_FULLY_ALLOCATED = 0x00000080,
    DEPENDENT_DISK_FLAG_REMOTE = 0x00000100,
    DEPENDENT_DISK_FLAG_SYSTEM_VOLUME = 0x00000200,
    DEPENDENT_DISK_FLAG_SYSTEM_VOLUME_PARENT = 0x00000400,
    DEPENDENT_DISK_FLAG_REMOVABLE = 0x00000800,
    DEPENDENT_DISK_FLAG_NO_DRIVE_LETTER = 0x00001000,
    DEPENDENT_DISK_FLAG_PARENT = 0x00002000,
    DEPENDENT_DISK_FLAG_NO_HOST_DISK = 0x00004000,
    DEPENDENT_DISK_FLAG_PERMANENT_LIFETIME = 0x00008000
} DEPENDENT_DISK_FLAG;

typedef struct _VIRTUAL_STORAGE_TYPE {
    ULONG DeviceId;
    GUID VendorId;
} VIRTUAL_STORAGE_TYPE, *PVIRTUAL_STORAGE_TYPE;

typedef struct _STORAGE_DEPENDENCY_INFO_TYPE_1 {
    DEPENDENT_DISK_FLAG DependencyTypeFlags;
    ULONG ProviderSpecificFlags;
    VIRTUAL_STORAGE_TYPE VirtualStorageType;
} STORAGE_DEPENDENCY_INFO_TYPE_1, *PSTORAGE_DEPENDENCY_INFO_TYPE_1;

typedef struct _STORAGE_DEPENDENCY_INFO_TYPE_2 {
    DEPENDENT_DISK_FLAG DependencyTypeFlags;
    ULONG ProviderSpecificFlags;
    VIRTUAL_STORAGE_TYPE VirtualStorageType;
    ULONG AncestorLevel;
    WCHAR *DependencyDeviceName;
    WCHAR *HostVolumeName;
    WCHAR *DependentVolumeName;
    WCHAR *DependentVolumeRelativePath;
} STORAGE_DEPENDENCY_INFO_TYPE_2, *PSTORAGE_DEPENDENCY_INFO_TYPE_2;

typedef struct _STORAGE_DEPENDENCY_INFO {
    STORAGE_DEPENDENCY_INFO_VERSION Version;
    ULONG NumberEntries;
    union {
        STORAGE_DEPENDENCY_INFO_TYPE_1 Version1Entries[1];
        STORAGE_DEPENDENCY_INFO_TYPE_2 Version2Entries[1];
    };
} STORAGE_DEPENDENCY_INFO, *PSTORAGE_DEPENDENCY_INFO;

// Control codes.
#define IOCTL_STORAGE_QUERY_PROPERTY 0x002D1400u
#define IOCTL_STORAGE_GET_DEVICE_NUMBER 0x002D1080u
#define SMART_GET_VERSION 0x00074080u
#define SMART_RCV_DRIVE_DATA 0x0007C088u
#define SMART_SEND_DRIVE_COMMAND 0x0007C084u
#define IOCTL_DISK_CONTROLLER_NUMBER 0x00070044u
#define IOCTL_DISK_IS_WRITABLE 0x00070024u
#define IOCTL_DISK_GET_DRIVE_LAYOUT_EX 0x00070050u
#define IOCTL_SCSI_GET_ADDRESS 0x00041018u
#define IOCTL_SCSI_PASS_THROUGH_DIRECT 0x0004D014u
#define IOCTL_DISK_GET_DRIVE_GEOMETRY 0x00070000u
#define IOCTL_DISK_GET_DRIVE_GEOMETRY_EX 0x000700A0u
#define IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS 0x00560000u
#define FSCTL_LOCK_VOLUME 0x00090018u
#define FSCTL_UNLOCK_VOLUME 0x0009001Cu

#endif // not Windows

#include <cstddef>
#include <cstdint>
#include <cstring>

// The few functions a sector transfer runs through, placed together in
// the code (GCC and Clang: the hot text section), so that a transfer
// touches as few code pages as it can: each system call may empty the
// address translation caches, and every page touched after it costs a
// page walk.
// TAVDISK_HOT_FIRST marks the first of them in link order, which starts
// the group at a page: the read path then fits one page of code. Writes
// wait for the device, so their page walks weigh nothing and they stay out.
#if defined(__GNUC__)
#define TAVDISK_HOT [[gnu::hot]]
#define TAVDISK_HOT_FIRST [[gnu::hot, gnu::aligned(4096)]]
#else
#define TAVDISK_HOT
#define TAVDISK_HOT_FIRST
#endif

// The disk device interface class, {53F56307-B6BF-11D0-94F2-00A0C91EFB8B},
// and the disk drive set-up class, {4D36E967-E325-11CE-BFC1-08002BE10318}.
// Kept under names of the library's own so they need no GUID-definition
// machinery from the platform headers. TavProtocol::SameGuid compares them.
namespace TavPlatform {

// The two fields of a STORAGE_PROPERTY_QUERY as a caller's bytes hold them:
// any 32-bit values, which the record's enumeration types need not be able
// to hold. Compared as integers, they are never loaded as enumerations.
struct PropertyQueryFields {
    uint32_t propertyId;
    uint32_t queryType;
};
inline PropertyQueryFields ReadPropertyQuery(const void *query) {
    PropertyQueryFields fields;
    const auto *bytes = static_cast<const unsigned char *>(query);
    std::memcpy(&fields.propertyId, bytes + offsetof(STORAGE_PROPERTY_QUERY, PropertyId), sizeof fields.propertyId);
    std::memcpy(&fields.queryType, bytes + offsetof(STORAGE_PROPERTY_QUERY, QueryType), sizeof fields.queryType);
    return fields;
}

// A drive layout's PartitionStyle when the disk has partitions but the
// kind of its table could not be read (a value no Windows style takes).
constexpr DWORD PartitionStyleUnknown = 3;

inline const GUID DiskInterfaceClass = {0x53F56307, 0xB6BF, 0x11D0, {0x94, 0xF2, 0x00, 0xA0, 0xC9, 0x1E, 0xFB, 0x8B}};
inline const GUID DiskDriveClass = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
} // namespace TavPlatform

#endif
