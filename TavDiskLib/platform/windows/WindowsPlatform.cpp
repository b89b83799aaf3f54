// SPDX-License-Identifier: MIT
// The device request layer on Windows: every operation is the system's own
// call, passed its arguments unchanged and answering with the system's
// result. Nothing is added here; what the answers mean is decided by the
// Drive and Adapter logic.
#include "../platform.h"

#include <cstddef>

// The records the logic sizes with sizeof are the system's, at the sizes the
// system expects in their cbSize/Length fields for this process's width.
#if defined(_WIN64)
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 8, "64-bit interface detail fixed part");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 32, "64-bit interface record");
static_assert(sizeof(SP_DEVINFO_DATA) == 32, "64-bit device node record");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 56, "64-bit SCSI pass-through record");
#else
static_assert(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) == 6, "32-bit interface detail fixed part");
static_assert(sizeof(SP_DEVICE_INTERFACE_DATA) == 28, "32-bit interface record");
static_assert(sizeof(SP_DEVINFO_DATA) == 28, "32-bit device node record");
static_assert(sizeof(SCSI_PASS_THROUGH_DIRECT) == 44, "32-bit SCSI pass-through record");
#endif
static_assert(sizeof(STORAGE_PROPERTY_QUERY) == 12, "property query");
static_assert(sizeof(STORAGE_ADAPTER_DESCRIPTOR) == 32, "adapter descriptor");
static_assert(sizeof(STORAGE_DESCRIPTOR_HEADER) == 8, "descriptor header");
static_assert(sizeof(STORAGE_DEVICE_NUMBER) == 12, "device number");
static_assert(sizeof(GETVERSIONINPARAMS) == 24, "SMART version");
static_assert(sizeof(SENDCMDINPARAMS) == 33, "SMART command input");
static_assert(sizeof(SENDCMDOUTPARAMS) == 17, "SMART command output header");
static_assert(sizeof(DISK_CONTROLLER_NUMBER) == 8, "controller number");
static_assert(sizeof(SCSI_ADDRESS) == 8, "SCSI address");
static_assert(sizeof(DISK_GEOMETRY) == 24, "disk geometry");
static_assert(offsetof(DISK_GEOMETRY_EX, DiskSize) == 24 && offsetof(DISK_GEOMETRY_EX, Data) == 32,
              "disk geometry with size");
static_assert(sizeof(DISK_EXTENT) == 24, "disk extent");
static_assert(sizeof(VOLUME_DISK_EXTENTS) == 32, "volume extents");
#if defined(_WIN64)
static_assert(sizeof(STORAGE_DEPENDENCY_INFO_TYPE_2) == 64, "64-bit dependency record");
#else
static_assert(sizeof(STORAGE_DEPENDENCY_INFO_TYPE_2) == 48, "32-bit dependency record");
#endif
static_assert(offsetof(STORAGE_DEPENDENCY_INFO, Version2Entries) == 8, "dependency answer header");
static_assert(sizeof(PARTITION_INFORMATION_EX) == 144 && sizeof(DRIVE_LAYOUT_INFORMATION_EX) == 192 &&
                  offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry) == 48,
              "drive layout and its partition entries");
static_assert(sizeof(ULONG) == 4 && sizeof(DWORD) == 4 && sizeof(WCHAR) == 2, "Windows integer and character widths");

namespace TavPlatform {

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) { return ::LocalAlloc(uFlags, uBytes); }

HLOCAL LocalFree(HLOCAL hMem) { return ::LocalFree(hMem); }

SIZE_T LocalSize(HLOCAL hMem) { return ::LocalSize(hMem); }

DWORD GetLastError() { return ::GetLastError(); }

void SetLastError(DWORD dwErrCode) { ::SetLastError(dwErrCode); }

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                   LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes,
                   HANDLE hTemplateFile) {
    return ::CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes, dwCreationDisposition,
                         dwFlagsAndAttributes, hTemplateFile);
}

BOOL CloseHandle(HANDLE hObject) { return ::CloseHandle(hObject); }

HANDLE GetCurrentProcess() { return ::GetCurrentProcess(); }

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions) {
    return ::DuplicateHandle(hSourceProcessHandle, hSourceHandle, hTargetProcessHandle, lpTargetHandle, dwDesiredAccess,
                             bInheritHandle, dwOptions);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED lpOverlapped) {
    return ::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize,
                             lpBytesReturned, lpOverlapped);
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
    return ::SetFilePointerEx(hFile, liDistanceToMove, lpNewFilePointer, dwMoveMethod);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    return ::ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    return ::WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
}

BOOL FlushFileBuffers(HANDLE hFile) { return ::FlushFileBuffers(hFile); }

HANDLE FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    return ::FindFirstVolumeW(lpszVolumeName, cchBufferLength);
}

BOOL FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    return ::FindNextVolumeW(hFindVolume, lpszVolumeName, cchBufferLength);
}

BOOL FindVolumeClose(HANDLE hFindVolume) { return ::FindVolumeClose(hFindVolume); }

BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames, DWORD cchBufferLength,
                                      PDWORD lpcchReturnLength) {
    return ::GetVolumePathNamesForVolumeNameW(lpszVolumeName, lpszVolumePathNames, cchBufferLength, lpcchReturnLength);
}

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) { return ::GetWindowsDirectoryW(lpBuffer, uSize); }

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) { return ::GetSystemDirectoryW(lpBuffer, uSize); }

BOOL GetVolumePathNameW(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName, DWORD cchBufferLength) {
    return ::GetVolumePathNameW(lpszFileName, lpszVolumePathName, cchBufferLength);
}

BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    return ::GetVolumeNameForVolumeMountPointW(lpszVolumeMountPoint, lpszVolumeName, cchBufferLength);
}

DWORD GetStorageDependencyInformation(HANDLE ObjectHandle, GET_STORAGE_DEPENDENCY_FLAG Flags,
                                      ULONG StorageDependencyInfoSize, PSTORAGE_DEPENDENCY_INFO StorageDependencyInfo,
                                      PULONG SizeUsed) {
    // virtdisk.dll is loaded from the system folder when first asked for, so
    // the library also loads where it is absent.
    using Function = DWORD(WINAPI *)(HANDLE, GET_STORAGE_DEPENDENCY_FLAG, ULONG, PSTORAGE_DEPENDENCY_INFO, PULONG);
    static const Function call = [] {
        HMODULE module = ::LoadLibraryExW(L"virtdisk.dll", nullptr, LOAD_LIBRARY_SEARCH_SYSTEM32);
        FARPROC proc = module ? ::GetProcAddress(module, "GetStorageDependencyInformation") : nullptr;
        return reinterpret_cast<Function>(reinterpret_cast<void (*)()>(proc));
    }();
    if (!call)
        return ERROR_CALL_NOT_IMPLEMENTED;
    return call(ObjectHandle, Flags, StorageDependencyInfoSize, StorageDependencyInfo, SizeUsed);
}

HDEVINFO SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags,
                                HDEVINFO DeviceInfoSet, PCWSTR MachineName, void *Reserved) {
    return ::SetupDiGetClassDevsExW(ClassGuid, Enumerator, hwndParent, Flags, DeviceInfoSet, MachineName, Reserved);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) { return ::SetupDiDestroyDeviceInfoList(DeviceInfoSet); }

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    return ::SetupDiEnumDeviceInterfaces(DeviceInfoSet, DeviceInfoData, InterfaceClassGuid, MemberIndex,
                                         DeviceInterfaceData);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    return ::SetupDiGetDeviceInterfaceDetailW(DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData,
                                              DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
}

BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData) {
    return ::SetupDiOpenDeviceInfoW(DeviceInfoSet, DeviceInstanceId, hwndParent, OpenFlags, DeviceInfoData);
}

BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO DeviceInfoSet, PCWSTR DevicePath, DWORD OpenFlags,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    return ::SetupDiOpenDeviceInterfaceW(DeviceInfoSet, DevicePath, OpenFlags, DeviceInterfaceData);
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    return ::SetupDiGetDeviceRegistryPropertyW(DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType,
                                               PropertyBuffer, PropertyBufferSize, RequiredSize);
}

CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    return ::CM_Get_Parent(pdnDevInst, dnDevInst, ulFlags);
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    return ::CM_Get_Device_ID_Size(pulLen, dnDevInst, ulFlags);
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    return ::CM_Get_Device_IDW(dnDevInst, Buffer, BufferLen, ulFlags);
}

DWORD ReleaseBackendState() {
    // Everything open belongs to the system: the backend keeps nothing.
    return ERROR_SUCCESS;
}

std::wstring HandleTarget(HANDLE) {
    // The system keeps no name of a device handle worth asking for; the
    // report names the handle itself.
    return std::wstring();
}

} // namespace TavPlatform
