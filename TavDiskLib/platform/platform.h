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
HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile);
BOOL CloseHandle(HANDLE hObject);
BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped);
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

// Sector transfer.
BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod);
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
