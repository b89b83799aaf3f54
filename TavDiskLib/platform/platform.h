// SPDX-License-Identifier: MIT
// The device request layer: every platform operation the Drive and Adapter
// logic calls, by its Windows name and with the Windows signature.
//
// Exactly one backend defines these functions in a given build:
//   windows/   forwards each to the real KERNEL32 / SETUPAPI / CFGMGR32 call;
//   linux/     answers them from sysfs, SG_IO, block ioctls and mountinfo;
//   simulated/ answers them from an in-memory machine scripted by tests.
// The logic includes this header and no operating-system header.
#ifndef TAVDISKLIB_PLATFORM_PLATFORM_H
#define TAVDISKLIB_PLATFORM_PLATFORM_H

#include "types.h"

#include <string>

namespace TavPlatform {

// Memory for request records. Blocks from LocalAlloc are released with
// LocalFree; LMEM_ZEROINIT clears them. LocalSize gives the bytes a block
// holds (at least the size asked for; 0 for a null or unknown block).
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);
SIZE_T LocalSize(HLOCAL hMem);

// The calling thread's last-error code.
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Device handles and control requests.
//
// A disk opened with desired access 0 (for queries only, as a process
// without administrator rights may) answers the control requests whose code
// asks for no access (bits 14-15 of the code: 0 any, 1 read, 2 write, 3
// both): the property queries, the device number, the geometry requests, the
// SCSI address and the controller number. Requests that ask for read or
// write access (SMART, SCSI pass-through) and ReadFile/WriteFile fail on it
// with ERROR_ACCESS_DENIED; SetFilePointerEx needs no access.
//
// IOCTL_DISK_GET_DRIVE_GEOMETRY_EX (0x700A0, any access): no input; output a
// DISK_GEOMETRY_EX of at least offsetof(DISK_GEOMETRY_EX, Data) bytes (a
// shorter buffer fails with ERROR_INSUFFICIENT_BUFFER), receiving the same
// geometry as IOCTL_DISK_GET_DRIVE_GEOMETRY and DiskSize, the disk's size in
// bytes as its driver knows it (not rounded to whole cylinders). Partition
// and detection information may follow in Data where the buffer has room;
// the library reads neither.
// Whether a handle opened with desired access `access` may read (or write)
// data: GENERIC_READ/GENERIC_WRITE, GENERIC_ALL, or the specific right.
inline bool GrantsData(DWORD access, bool write) {
    return (access & ((write ? GENERIC_WRITE | FILE_WRITE_DATA : GENERIC_READ | FILE_READ_DATA) | GENERIC_ALL)) != 0;
}

// Whether a handle opened with `access` may send control code `code`.
inline bool AllowsControl(DWORD access, DWORD code) {
    const DWORD need = (code >> 14) & 3;
    return (!(need & 1) || GrantsData(access, false)) && (!(need & 2) || GrantsData(access, true));
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
// A second handle on what a device or volume handle from CreateFileW is
// open on. The library asks only within its own process: both process
// handles are GetCurrentProcess()'s pseudo handle, dwOptions is
// DUPLICATE_SAME_ACCESS (dwDesiredAccess and bInheritHandle are then 0).
// On success *lpTargetHandle gets a new handle with the old one's access;
// the two are closed independently, in either order, and requests through
// either answer as through the other (they may share the file position: the
// library positions before every transfer). On failure (a handle that is
// closed, of another kind or never given out: ERROR_INVALID_HANDLE)
// *lpTargetHandle is left alone and the last-error code says why.
HANDLE GetCurrentProcess();
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);
// The handle's access is checked first (AllowsControl: ERROR_ACCESS_DENIED);
// then a buffer that is null but given a size fails with
// ERROR_INVALID_USER_BUFFER. SMART_GET_VERSION on an ATA disk answers
// fCapabilities CAP_ATA_ID_CMD | CAP_SMART_CMD (0x5); on another disk it
// fails with ERROR_INVALID_FUNCTION.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
// Input records hold whatever bytes the caller put there. The two fields of
// IOCTL_STORAGE_QUERY_PROPERTY's query are any 32-bit values, read as such
// (TavPlatform::ReadPropertyQuery): a property other than the device and
// adapter descriptors and the three physical facts below fails with
// ERROR_NOT_SUPPORTED, a query type other
// than PropertyStandardQuery and PropertyExistsQuery with
// ERROR_INVALID_PARAMETER. IOCTL_SCSI_PASS_THROUGH_DIRECT with a CdbLength
// of 0 or above 16 fails with ERROR_INVALID_PARAMETER; no byte of the block
// past CdbLength is read. A command in a block shorter than its operation
// code's length is, where the backend answers the command itself (recorded
// and simulated disks), refused as a command it does not know: CHECK
// CONDITION, ILLEGAL REQUEST. A live device answers such a block as it does.
// FSCTL_LOCK_VOLUME (no input, no output) on a disk or volume handle claims
// the device for that handle alone until FSCTL_UNLOCK_VOLUME on the same
// handle or its close; it fails, claiming nothing, while anything else uses
// the device. Windows: the system's volume lock (refused with
// ERROR_ACCESS_DENIED while files are open on the volume). Linux: an
// exclusive open (O_EXCL) of the block device, held by the handle, and of
// every loop device stacked on it or beneath it, followed to any depth;
// EBUSY answers ERROR_BUSY. On a volume the claim is the device itself: a
// partition, a dm or md device, a whole disk mounted as a volume. On a
// whole disk it is the disk as a whole: a partition in use does not make
// the disk as a whole in use when this process holds a claim on one of its
// partitions or can take one (then held with the claim), or one of them is
// visibly mounted, swap or held by another device, as the kernel
// refuses a claim of the whole disk while a partition is claimed and a claim
// of a partition while the whole disk is. On a recorded machine, where no
// claim can be taken, a device is in use when it is mounted, an active swap
// area or held by another device. Simulated machine: refused with
// ERROR_ACCESS_DENIED for a disk or volume marked in use. A second lock on
// a handle that holds one succeeds; FSCTL_UNLOCK_VOLUME on a handle that
// holds none fails with ERROR_NOT_LOCKED.
// The disk's physical facts answer on a handle of any access, a handle for
// queries only included. IOCTL_STORAGE_QUERY_PROPERTY with
// StorageAccessAlignmentProperty (STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR: the
// logical and physical sector sizes, and BytesOffsetForSectorAlignment,
// how far into the disk the first physical sector boundary lies), with
// StorageDeviceSeekPenaltyProperty (DEVICE_SEEK_PENALTY_DESCRIPTOR:
// IncursSeekPenalty, a disk that rotates) and with StorageDeviceTrimProperty
// (DEVICE_TRIM_DESCRIPTOR: TrimEnabled, the disk takes unmap/discard): as
// with the descriptors, an output that holds the record's header but not
// the whole record receives the part that fits, and a device that does not
// tell fails with ERROR_NOT_SUPPORTED. Documented with the request and
// STORAGE_PROPERTY_ID on Microsoft Learn. IOCTL_DISK_IS_WRITABLE (no input,
// no output) succeeds on a disk that takes writes and fails with
// ERROR_WRITE_PROTECT on a read-only one. Linux answers all four from the
// disk's sysfs attributes (queue/logical_block_size,
// queue/physical_block_size, alignment_offset, queue/rotational,
// queue/discard_max_bytes, ro); a recording that lacks one fails with
// ERROR_NOT_SUPPORTED.

// Sector transfer.
BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod);
// Transfers move whole logical sectors: a position or a length that is no
// multiple of the device's sector size fails with ERROR_INVALID_PARAMETER
// (on Windows a disk or volume handle is unbuffered, and unbuffered
// transfers must be so aligned). A handle for queries only fails with
// ERROR_ACCESS_DENIED.
BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped);
// A WriteFile on a disk handle succeeds only once the device has the data:
// on Windows a disk handle is unbuffered; on Linux the backend follows each
// write with fdatasync and a failed sync fails the write.
BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped);
// Pushes what the system holds of a handle's writes to the device; needs a
// handle opened for writing (else ERROR_ACCESS_DENIED). Windows: the
// system's call. Linux: fdatasync on the device (nothing on a recording).
// Simulated machine: succeeds on a disk handle with write access.
BOOL FlushFileBuffers(HANDLE hFile);

// Volumes and the Windows directory.
HANDLE FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength);
BOOL FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName, DWORD cchBufferLength);
BOOL FindVolumeClose(HANDLE hFindVolume);
BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames, DWORD cchBufferLength,
                                      PDWORD lpcchReturnLength);
UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize);

// The system's own volume. GetSystemDirectoryW gives the directory of the
// running system's files, as GetWindowsDirectoryW does (the length without
// the terminator; the size needed with it when the buffer is too small; 0 on
// failure): on Windows its System32 folder; on Linux the root directory "/"
// as the process sees it. GetVolumePathNameW gives the path name (drive root
// or folder, as GetVolumePathNamesForVolumeNameW lists them) of the mounted
// volume that holds a path; GetVolumeNameForVolumeMountPointW the volume
// name (\\?\Volume{GUID}\, as FindFirstVolumeW gives it) of the volume
// mounted at such a path name, failing (ERROR_NOT_A_REPARSE_POINT on Windows)
// when no volume of the machine is mounted there: on Linux a file system
// that is no volume (an overlay, a tmpfs) has none.
UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize);
BOOL GetVolumePathNameW(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName, DWORD cchBufferLength);
BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName, DWORD cchBufferLength);

// What a virtual disk's content lies in. With
// GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES (the only flags the library
// sends) on a volume handle from CreateFileW (any access; with
// GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE added, a disk handle): one
// Version2Entries record for each virtual disk the volume (or disk) lies on,
// whose HostVolumeName names what holds that disk's content: the volume
// holding its image file (\\?\Volume{GUID}\, as FindFirstVolumeW gives
// it; DependentVolumeRelativePath the file's path inside it), or, for a disk
// backed by a block device, the volume that device is or else the whole
// disk as \\.\PhysicalDriveN (DependentVolumeRelativePath empty). The
// strings lie in the caller's buffer, after the records. A volume on no
// virtual disk answers ERROR_SUCCESS with NumberEntries 0.
// The caller sets Version to STORAGE_DEPENDENCY_INFO_VERSION_2 (read as a
// number: another value is ERROR_INVALID_PARAMETER, as are a null
// SizeUsed, a null buffer and a size below 8 bytes). The result is the error
// code (the last-error code is no part of the answer). A buffer too small
// for the whole answer: ERROR_INSUFFICIENT_BUFFER with *SizeUsed the size
// needed, the buffer's content unspecified; on success *SizeUsed is the
// size used. A handle that is no disk or volume handle: ERROR_INVALID_HANDLE.
// Windows: virtdisk.dll's call (documented for attached VHD, VHDX and ISO
// disks), loaded when first asked for; without it ERROR_CALL_NOT_IMPLEMENTED.
// Where Windows answers a volume on no virtual disk with an error instead,
// the library takes that as "no host" too. Linux: the loop disks beneath
// the volume (itself, through partitions, dm and md): a regular backing
// file is held by the volume mounted innermost above it
// (GetVolumePathNameW, GetVolumeNameForVolumeMountPointW; no record where
// that file system is no volume), a block device as above. Simulated
// machine: the volume's `hosts`.
DWORD GetStorageDependencyInformation(HANDLE ObjectHandle, GET_STORAGE_DEPENDENCY_FLAG Flags,
                                      ULONG StorageDependencyInfoSize, PSTORAGE_DEPENDENCY_INFO StorageDependencyInfo,
                                      PULONG SizeUsed);

// Device set-up services.
HDEVINFO SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags,
                                HDEVINFO DeviceInfoSet, PCWSTR MachineName, void *Reserved);
BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData);
BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO DeviceInfoSet, PCWSTR DevicePath, DWORD OpenFlags,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData);
BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize);
CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags);
CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags);

// Not a platform operation: for reports of failed requests, what a handle
// from CreateFileW or FindFirstVolumeW is open on (a device path, a volume
// name); empty when the backend cannot tell. Makes no request and leaves the
// last-error code alone.
std::wstring HandleTarget(HANDLE hObject);

} // namespace TavPlatform

#endif
