// SPDX-License-Identifier: MIT
// The device request layer: every platform operation the Drive and Adapter
// logic calls, by its Windows name and with the Windows signature.
//
// Exactly one backend defines these functions in a given build:
//   windows/   forwards each to the real KERNEL32 / SETUPAPI / CFGMGR32 call;
//   linux/     answers them from sysfs, SG_IO, block ioctls and mountinfo;
//   simulated/ answers them from an in-memory machine scripted by tests.
// The logic includes this header and no operating-system header.
//
// The contract. Beside each request stands what every backend answers: the
// Windows behaviour, named by the Microsoft Learn page that documents it
// ("Learn: <page title>"), or, where Windows documents none, the one
// behaviour this library chooses ("Chosen:"). The Windows backend is the
// system itself; the Linux backend and the simulated machine answer as it
// does. tests/platform/SeamCases.h holds the expectations that every backend
// is run against. Rules shared by all requests:
// - Failure: a BOOL request returns FALSE, a HANDLE request
//   INVALID_HANDLE_VALUE, a UINT/SIZE_T request 0, and the reason is the
//   calling thread's last-error code (GetLastError). Requests that return
//   their error code (GetStorageDependencyInformation, the CM_* calls) say
//   so. Success leaves the last-error code unspecified unless stated.
// - A handle that is closed, was never given out, or is of another kind
//   (a volume search where a device handle is wanted): ERROR_INVALID_HANDLE
//   (CM_* and the set-up calls: see their own notes).
// - Strings are counted in WCHARs with their terminator; a buffer too small
//   for the answer is never written past its size.
#ifndef TAVDISKLIB_PLATFORM_PLATFORM_H
#define TAVDISKLIB_PLATFORM_PLATFORM_H

#include "types.h"

#include <string>

namespace TavPlatform {

// Memory for request records. Blocks from LocalAlloc are released with
// LocalFree; LMEM_ZEROINIT clears them (without it the content is
// unspecified). LocalSize gives the bytes a block holds (at least the size
// asked for; 0 for a null block). LocalAlloc fails with
// ERROR_NOT_ENOUGH_MEMORY and a null result; LocalFree returns null on
// success and LocalFree(nullptr) is a no-op that returns null. Learn:
// "LocalAlloc function (winbase.h)", "LocalFree function", "LocalSize
// function". Chosen: the library asks only LMEM_FIXED (0) or LMEM_ZEROINIT;
// other flags are the backend's to refuse (ERROR_INVALID_PARAMETER).
HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes);
HLOCAL LocalFree(HLOCAL hMem);
SIZE_T LocalSize(HLOCAL hMem);

// The calling thread's last-error code: each thread has its own; a request
// that fails sets it before it returns. Learn: "GetLastError function
// (errhandlingapi.h)", "SetLastError function".
DWORD GetLastError();
void SetLastError(DWORD dwErrCode);

// Device handles and control requests.
//
// CreateFileW opens a disk by the device path its interface gives
// (SetupDiGetDeviceInterfaceDetailW) or as \\.\PhysicalDriveN, a volume
// by its name without the trailing backslash; the library passes
// OPEN_EXISTING, no flags, shared read and write. A name that names nothing:
// ERROR_FILE_NOT_FOUND (or ERROR_PATH_NOT_FOUND for a path whose folder is
// missing); access the caller lacks: ERROR_ACCESS_DENIED; a null name or a
// disposition outside 1-5: ERROR_INVALID_PARAMETER. A disk or volume handle
// is unbuffered (see the transfers). Learn: "CreateFileW function
// (fileapi.h)", section "Physical Disks and Volumes". CloseHandle releases a
// handle once; a second close of the same value fails with
// ERROR_INVALID_HANDLE. Learn: "CloseHandle function (handleapi.h)".
//
// DeviceIoControl, for every code (Learn: "DeviceIoControl function
// (ioapiset.h)" and the page of each code, "<code> IOCTL (winioctl.h)" or
// "(ntddscsi.h)"): the request is synchronous (the library passes no
// OVERLAPPED). *lpBytesReturned (when given) is set on every outcome, 0 on
// failure. Checked in this order: the handle (ERROR_INVALID_HANDLE), the
// handle's access for the code (below: ERROR_ACCESS_DENIED), a buffer that
// is null but given a size (Chosen: ERROR_INVALID_USER_BUFFER; Windows
// probes the buffer and answers a fault), then the request itself:
// - a code the device does not take: ERROR_INVALID_FUNCTION, and a request
//   the device cannot answer (no SCSI address, no controller number, no
//   geometry, SMART on a disk that is not ATA) answers the same;
// - an input record shorter than the request's: ERROR_INVALID_PARAMETER;
// - an output buffer shorter than a fixed-size answer (STORAGE_DEVICE_NUMBER,
//   GETVERSIONINPARAMS, DISK_CONTROLLER_NUMBER, SCSI_ADDRESS, DISK_GEOMETRY,
//   the 528-byte IDENTIFY answer): ERROR_INSUFFICIENT_BUFFER, nothing
//   written. Answers of varying length say so below: a descriptor is cut to
//   the buffer (success), a volume's extents answer ERROR_MORE_DATA.
// Each answer is written only within nOutBufferSize and *lpBytesReturned is
// the count written. Which codes a disk handle takes: the property queries,
// the device number, SMART_GET_VERSION, SMART_RCV_DRIVE_DATA and
// SMART_SEND_DRIVE_COMMAND (ATA disks), the controller number and the SCSI address (disks behind a
// SCSI-addressed controller), SCSI pass-through, both geometry requests,
// IOCTL_DISK_IS_WRITABLE and the locks. A volume handle takes IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS and
// the locks (the library asks a volume nothing else); on a disk handle the
// extents request fails with ERROR_INVALID_FUNCTION.
//
// A disk opened with desired access 0 (for queries only, as a process
// without administrator rights may) answers the control requests whose code
// asks for no access (bits 14-15 of the code: 0 any, 1 read, 2 write, 3
// both): the property queries, the device number, the geometry requests, the
// SCSI address, the controller number and IOCTL_DISK_IS_WRITABLE. Requests that ask for read or
// write access (SMART, SCSI pass-through) and ReadFile/WriteFile fail on it
// with ERROR_ACCESS_DENIED; SetFilePointerEx needs no access.
//
// IOCTL_STORAGE_QUERY_PROPERTY (0x2D1400, any access): input a 12-byte
// STORAGE_PROPERTY_QUERY (shorter: ERROR_INVALID_PARAMETER; its fields are
// read as numbers, see below). StorageDeviceProperty and
// StorageAdapterProperty with PropertyStandardQuery answer the descriptor;
// an output of at least a STORAGE_DESCRIPTOR_HEADER (8 bytes; less:
// ERROR_INSUFFICIENT_BUFFER) receives as much of it as fits, and the
// header's Size says how much there is (the library asks 8 bytes first,
// then Size). PropertyExistsQuery succeeds with no output for a property the
// device has. Learn: "IOCTL_STORAGE_QUERY_PROPERTY IOCTL (winioctl.h)".
// IOCTL_STORAGE_GET_DEVICE_NUMBER (0x2D1080, any access): no input; a
// 12-byte STORAGE_DEVICE_NUMBER: FILE_DEVICE_DISK, the disk's number (the N
// of \\.\PhysicalDriveN) and PartitionNumber 0 for a whole disk, else the
// partition's number. Learn: "IOCTL_STORAGE_GET_DEVICE_NUMBER IOCTL".
// SMART_GET_VERSION (0x74080, read access): no input; a 24-byte
// GETVERSIONINPARAMS (see the capabilities below). SMART_RCV_DRIVE_DATA
// (0x7C088, read and write access): input a SENDCMDINPARAMS of at least 32
// bytes (the library sends 33) whose bCommandReg is ID_CMD; output at least
// the 16-byte SENDCMDOUTPARAMS header plus 512 bytes of IDENTIFY DEVICE data
// (528); the SMART commands it answers are under disk health below. Learn: "SMART_GET_VERSION IOCTL", "SMART_RCV_DRIVE_DATA IOCTL".
// IOCTL_DISK_CONTROLLER_NUMBER (0x70044, any access): an 8-byte
// DISK_CONTROLLER_NUMBER (ntdddisk.h; undocumented on Learn). Chosen: answered
// for a disk on a SCSI-addressed controller (host, target), else
// ERROR_INVALID_FUNCTION. IOCTL_SCSI_GET_ADDRESS (0x41018, any access): an
// 8-byte SCSI_ADDRESS with Length 8. Learn: "IOCTL_SCSI_GET_ADDRESS IOCTL
// (ntddscsi.h)". IOCTL_DISK_GET_DRIVE_GEOMETRY (0x70000, any access): a
// 24-byte DISK_GEOMETRY whose BytesPerSector is the logical sector size that
// transfers align to. Learn: "IOCTL_DISK_GET_DRIVE_GEOMETRY IOCTL".
// IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS (0x560000, any access, volume
// handles): output at least a 32-byte VOLUME_DISK_EXTENTS (less:
// ERROR_INSUFFICIENT_BUFFER); NumberOfDiskExtents is always the whole
// count, the extents that fit follow, and a buffer too small for all of them
// fails with ERROR_MORE_DATA (the library then asks again with room for the
// count). Learn: "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS IOCTL (winioctl.h)".
//
// IOCTL_SCSI_PASS_THROUGH_DIRECT (0x4D014, read and write access): input and
// output the same SCSI_PASS_THROUGH_DIRECT (44 bytes, 56 in a 64-bit
// process; shorter either way, a Length other than the record's size, a
// DataIn above SCSI_IOCTL_DATA_UNSPECIFIED, a null DataBuffer with a
// DataTransferLength, or sense bytes placed outside the output:
// ERROR_INVALID_PARAMETER). The command goes to the device; the request
// succeeds when the command was delivered, whatever ScsiStatus the device
// answers (CHECK CONDITION included, with sense data where SenseInfoLength
// asks for it); DataTransferLength comes back as the bytes moved. The data
// moves straight to and from DataBuffer; Windows refuses a DataBuffer that
// misses the adapter descriptor's AlignmentMask with ERROR_INVALID_PARAMETER,
// as the simulated machine does (Linux's SG_IO takes any address; the
// library's heap blocks meet every mask). Learn:
// "IOCTL_SCSI_PASS_THROUGH_DIRECT IOCTL (ntddscsi.h)".
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
// *lpTargetHandle is left alone and the last-error code says why. Learn:
// "DuplicateHandle function (handleapi.h)".
HANDLE GetCurrentProcess();
BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions);
// The handle's access is checked first (AllowsControl: ERROR_ACCESS_DENIED);
// then a buffer that is null but given a size fails with
// ERROR_INVALID_USER_BUFFER (the order above). SMART_GET_VERSION on an ATA
// disk answers fCapabilities CAP_ATA_ID_CMD | CAP_SMART_CMD (0x5); on another
// disk it fails with ERROR_INVALID_FUNCTION.
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
// Input records hold whatever bytes the caller put there. The two fields of
// IOCTL_STORAGE_QUERY_PROPERTY's query are any 32-bit values, read as such
// (TavPlatform::ReadPropertyQuery): a property other than the device and
// adapter descriptors, the three physical facts and the identifiers below
// fails with
// ERROR_NOT_SUPPORTED, a query type other than PropertyStandardQuery and
// PropertyExistsQuery with ERROR_INVALID_PARAMETER. IOCTL_SCSI_PASS_THROUGH_DIRECT with a CdbLength
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
// IOCTL_STORAGE_QUERY_PROPERTY with StorageDeviceIdProperty and
// PropertyStandardQuery (any access, a handle for queries only included)
// answers the disk's identifiers as a STORAGE_DEVICE_ID_DESCRIPTOR (Size:
// the bytes of the whole answer; NumberOfIdentifiers STORAGE_IDENTIFIER
// records, each NextOffset bytes after the one before, with the code set,
// type and association of a Device Identification designator). Learn:
// "STORAGE_DEVICE_ID_DESCRIPTOR structure (winioctl.h)", "STORAGE_IDENTIFIER
// structure (ntddstor.h)". As with the descriptors, an output of at least
// the 8-byte STORAGE_DESCRIPTOR_HEADER receives as much as fits and Size
// tells how much there is (less: ERROR_INSUFFICIENT_BUFFER); a disk without
// identifiers fails with ERROR_NOT_SUPPORTED. DeviceIds.h (beside this)
// builds and walks the records. Linux (Chosen): a disk that speaks SCSI
// (SCSI, SATA, USB) answers the designators of the page its sysfs device
// keeps (device/vpd_pg83) one for one; an NVMe namespace answers its NGUID
// (an EUI-64 of 16 bytes) and EUI-64 (8 bytes) from its `nguid` and `eui`
// attributes, binary, and its `wwid` attribute as a SCSI name string (code
// set UTF-8) unless it names one of those two, so that the preferred name
// is the kernel's wwid; a disk with neither fails with ERROR_NOT_SUPPORTED,
// and one whose attribute could not be read with the read's error.
// Simulated machine: the disk's `deviceId` bytes as they are.
//
// Disk health, read without changing the disk. SMART_RCV_DRIVE_DATA answers
// two commands beside IDENTIFY: bCommandReg SMART_CMD (0xB0) with
// bFeaturesReg READ_ATTRIBUTES (0xD0) or READ_THRESHOLDS (0xD1) and the
// signature SMART_CYL_LOW/SMART_CYL_HI in cylinder low/high, each with the
// 16-byte SENDCMDOUTPARAMS header and the drive's 512-byte block (528; less:
// ERROR_INSUFFICIENT_BUFFER). SMART_SEND_DRIVE_COMMAND (0x7C084, read and
// write access) answers one: SMART_CMD with RETURN_SMART_STATUS (0xDA),
// whose output is the header followed by the IDEREGS the drive left (24
// bytes; less: ERROR_INSUFFICIENT_BUFFER): cylinder low/high 0x4F/0xC2 when
// no threshold is exceeded, 0xF4/0x2C when one is. Chosen: on every
// backend any other command or feature through either request (a
// self-test, an enable or disable, a write of any kind) is refused with
// ERROR_INVALID_PARAMETER and nothing reaches the drive; the checks run in
// the order ATA disk (ERROR_INVALID_FUNCTION), input record, command,
// output size. An ATA disk that cannot answer SMART now fails with the error
// of its transport (ERROR_NOT_SUPPORTED where nothing can be asked: a
// recording without SMART data). Linux sends SMART as ATA PASS-THROUGH
// (16) through SG_IO (12 for USB bridges that know only that), RETURN STATUS
// with CK_COND and the registers from the sense data. Learn:
// "SMART_SEND_DRIVE_COMMAND IOCTL", "SMART_RCV_DRIVE_DATA IOCTL".
// IOCTL_STORAGE_QUERY_PROPERTY with StorageDeviceProtocolSpecificProperty
// and PropertyStandardQuery: the query's AdditionalParameters hold a
// STORAGE_PROTOCOL_SPECIFIC_DATA (input shorter than the query's header
// and that record: ERROR_INVALID_PARAMETER) asking ProtocolTypeNvme,
// NVMeDataTypeLogPage, ProtocolDataRequestValue 2 (the SMART / Health
// Information log), ProtocolDataOffset at least the record's size and
// ProtocolDataLength 512 (else ERROR_INVALID_PARAMETER). The answer is a
// STORAGE_PROTOCOL_DATA_DESCRIPTOR whose record repeats the request, with
// the log ProtocolDataOffset bytes after the record's start; an output
// without room for it fails with ERROR_INSUFFICIENT_BUFFER. A disk that is
// not NVMe, or an NVMe disk that cannot be asked (a recording without the
// log), fails with ERROR_NOT_SUPPORTED. Linux: NVME_IOCTL_ADMIN_CMD, Get
// Log Page 02h for every namespace. It asks the device, so it needs read
// access (Chosen: a handle for queries only fails with
// ERROR_ACCESS_DENIED). Learn: "Working with NVMe drives". SCSI health
// (LOG SENSE of the Temperature page 0Dh and the Informational Exceptions
// page 2Fh) is an ordinary command through IOCTL_SCSI_PASS_THROUGH_DIRECT;
// a disk without those pages answers CHECK CONDITION, ILLEGAL REQUEST.
// IOCTL_DISK_GET_DRIVE_LAYOUT_EX (no input; a handle of any access) answers
// the disk's partition table as DRIVE_LAYOUT_INFORMATION_EX: the style
// (PARTITION_STYLE_MBR with the disk signature, PARTITION_STYLE_GPT with the
// disk GUID, PARTITION_STYLE_RAW and no entries for a disk without a
// table), then PartitionCount PARTITION_INFORMATION_EX entries. An output
// smaller than sizeof(DRIVE_LAYOUT_INFORMATION_EX), or than the header
// (offsetof PartitionEntry) and every entry, fails with
// ERROR_INSUFFICIENT_BUFFER and receives nothing; the caller asks again
// with a larger one (documented with the request on Microsoft Learn). An
// MBR layout may hold unused slots (PartitionNumber 0, PartitionType 0),
// as Windows lists four per table sector; every other entry is a
// partition. Linux answers with one entry per partition the kernel lists
// for the disk in sysfs, in number order, its offset and length from
// `start` and `size` (512-byte units); the style, the signature or GUID,
// and each entry's type, GUID, name and active flag from libblkid's
// partition probe of the disk's node, opened for reading only (an MBR
// extended partition's length, which the kernel gives as 1 KiB, from the
// table as well). Built without libblkid, or when the node cannot be
// probed (a recording without it), a disk with partitions answers
// PartitionStyle TavPlatform::PartitionStyleUnknown with numbers, offsets
// and lengths only: the kernel tells where partitions lie, not the kind of
// table, and no guessed style must read as a fact; a disk without
// partitions and without a table libblkid finds answers
// PARTITION_STYLE_RAW.

// Sector transfer.
//
// SetFilePointerEx sets the handle's position (FILE_BEGIN, FILE_CURRENT,
// FILE_END; another method: ERROR_INVALID_PARAMETER; a position before 0:
// ERROR_NEGATIVE_SEEK). It needs no access, asks nothing of the device and
// takes any position from 0 on, past the end too; the transfer that follows
// checks it. Learn: "SetFilePointerEx function (fileapi.h)". ReadFile and
// WriteFile move bytes at the position and advance it by what moved;
// *lpNumberOfBytes... (when given) is set to 0 before anything is checked.
// Learn: "ReadFile function", "WriteFile function", "File Buffering" (the
// alignment of unbuffered transfers). Beyond the rules below, Chosen: a
// null buffer with a count fails with ERROR_INVALID_USER_BUFFER; a transfer
// that starts at or past the end of the disk fails with
// ERROR_SECTOR_NOT_FOUND; one that starts inside and runs past the end
// moves the whole sectors before the end and returns that count; a write to
// a write-protected disk fails with ERROR_WRITE_PROTECT. The buffer's own
// alignment in memory is not required (a disk takes any address the
// library's heap gives).
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
//
// FindFirstVolumeW/FindNextVolumeW give the machine's volumes one by one as
// \\?\Volume{GUID}\ (with the trailing backslash); the end is
// ERROR_NO_MORE_FILES (FindFirstVolumeW: INVALID_HANDLE_VALUE); a name that
// does not fit in cchBufferLength: ERROR_FILENAME_EXCED_RANGE.
// FindVolumeClose ends the search once.
// Learn: "FindFirstVolumeW function (fileapi.h)", "FindNextVolumeW
// function", "FindVolumeClose function". GetVolumePathNamesForVolumeNameW
// lists the volume's drive roots and folders (each with a trailing
// backslash, each terminated, the list ended by an empty string); a buffer
// too small: ERROR_MORE_DATA with *lpcchReturnLength the size needed; a
// name without its trailing backslash: ERROR_INVALID_NAME; a volume that is
// not there: ERROR_FILE_NOT_FOUND. Learn:
// "GetVolumePathNamesForVolumeNameW function (fileapi.h)".
// GetWindowsDirectoryW: the length without the terminator, or with it when
// uSize is too small (nothing written), 0 on failure. Learn:
// "GetWindowsDirectoryW function (sysinfoapi.h)". Linux has no Windows
// directory: 0 with ERROR_PATH_NOT_FOUND.
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
// that is no volume (an overlay, a tmpfs) has none. Learn:
// "GetSystemDirectoryW function (sysinfoapi.h)", "GetVolumePathNameW
// function (fileapi.h)", "GetVolumeNameForVolumeMountPointW function".
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
// for the whole answer (never smaller than sizeof(STORAGE_DEPENDENCY_INFO),
// the header with room for one record, even when there is none):
// ERROR_INSUFFICIENT_BUFFER with *SizeUsed the size needed, the buffer's
// content unspecified; on success *SizeUsed is the size used. A handle that is
// no disk or volume handle: ERROR_INVALID_HANDLE.
// Windows: virtdisk.dll's call (Learn: "GetStorageDependencyInformation
// function (virtdisk.h)", documented for attached VHD, VHDX and ISO disks),
// loaded when first asked for; without it ERROR_CALL_NOT_IMPLEMENTED.
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

// Device set-up services. Learn: the page of each function, "<name>
// function (setupapi.h)" or "(cfgmgr32.h)".
// SetupDiGetClassDevsExW with DIGCF_PRESENT | DIGCF_DEVICEINTERFACE and
// GUID_DEVINTERFACE_DISK (or, with DIGCF_ALLCLASSES, an empty set to open
// nodes into) gives a set released once by SetupDiDestroyDeviceInfoList
// (a set that is none: ERROR_INVALID_HANDLE); on failure
// INVALID_HANDLE_VALUE. SetupDiEnumDeviceInterfaces gives member
// MemberIndex (0, 1, ... in a stable order for the set's life), past the
// last ERROR_NO_MORE_ITEMS; its record's cbSize must be
// sizeof(SP_DEVICE_INTERFACE_DATA) (else ERROR_INVALID_USER_BUFFER).
// SetupDiGetDeviceInterfaceDetailW: with no buffer (null and size 0) fails
// with ERROR_INSUFFICIENT_BUFFER and *RequiredSize the bytes needed; a
// buffer whose cbSize is not sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W):
// ERROR_INVALID_USER_BUFFER; a buffer too small: ERROR_INSUFFICIENT_BUFFER;
// DeviceInfoData (when given, with its cbSize) receives the interface's
// device node. SetupDiOpenDeviceInfoW adds a node by instance ID
// (unknown: ERROR_NO_SUCH_DEVINST); SetupDiOpenDeviceInterfaceW an
// interface by device path (unknown: ERROR_NO_SUCH_DEVICE_INTERFACE); a
// record whose cbSize is wrong: ERROR_INVALID_USER_BUFFER; flags the library
// does not send: ERROR_INVALID_FLAGS. SetupDiGetDeviceRegistryPropertyW: a
// property the node lacks: ERROR_INVALID_DATA; a buffer too small:
// ERROR_INSUFFICIENT_BUFFER with *RequiredSize the bytes needed; text
// properties are REG_SZ, terminated. The CM_* calls return their CONFIGRET
// (the last-error code is no part of the answer): a null out-pointer:
// CR_INVALID_POINTER; flags other than 0: CR_INVALID_FLAG; node 0:
// CR_INVALID_DEVNODE; a node that is gone or was never given out:
// CR_NO_SUCH_DEVNODE or CR_INVALID_DEVNODE (the library reads both as "no
// such node"). CM_Get_Parent of a root node: CR_NO_SUCH_DEVNODE.
// CM_Get_Device_ID_Size gives the ID's length without
// the terminator; CM_Get_Device_IDW terminates the ID where the buffer has
// room, gives it unterminated in a buffer of exactly its length, and
// answers CR_BUFFER_SMALL to a shorter buffer (Windows writes the part that
// fits; Chosen: nothing written).
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

// Not a platform operation: releases what the backend keeps between
// requests (tables, caches, kept looks and the descriptors that watch for
// changes); the next request makes what it needs again. Chosen: while a
// handle, device information set or volume search of the backend is open
// nothing is released and the answer is ERROR_BUSY (they hold parts of
// it); otherwise 0, also when nothing was kept. The Windows backend keeps
// nothing (the system holds it all) and answers 0. No other thread may be
// inside a request meanwhile. Leaves the last-error code alone.
DWORD ReleaseBackendState();

// Not a platform operation: for reports of failed requests, what a handle
// from CreateFileW or FindFirstVolumeW is open on (a device path, a volume
// name); empty when the backend cannot tell. Makes no request and leaves the
// last-error code alone.
std::wstring HandleTarget(HANDLE hObject);

} // namespace TavPlatform

#endif
