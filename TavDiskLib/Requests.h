// SPDX-License-Identifier: MIT
// The platform requests as the Drive and Adapter logic makes them: each one
// goes to the backend unchanged (same arguments, same result, same
// last-error code) and, when it fails and someone listens, is reported with
// its target and error code (Diagnostics.h). The logic calls these through
// `namespace P = TavRequests`.
#ifndef TAVDISKLIB_REQUESTS_H
#define TAVDISKLIB_REQUESTS_H

#include "Diagnostics.h"
#include "platform/platform.h"

namespace TavRequests {

using TavPlatform::DiskInterfaceClass;
using TavPlatform::GetLastError;
using TavPlatform::LocalAlloc;
using TavPlatform::LocalFree;
using TavPlatform::SetLastError;

namespace Report {
// Reports the calling thread's last-error code for a failed request, unless
// it only says "no more members" or "a larger buffer is needed".
void Failed(const char *request, const char *detail, const std::string &target);
void FailedOn(const char *request, const char *detail, HANDLE handle);
void FailedOnName(const char *request, const char *detail, LPCWSTR name);
void FailedOnNode(const char *request, const char *detail, DEVINST node);
void FailedOnNodeWith(const char *request, DEVINST node, CONFIGRET result);
// For a request that returns its error code rather than setting the thread's.
void FailedOnWith(const char *request, HANDLE handle, DWORD code);
const char *PropertyName(DWORD property);
} // namespace Report

inline HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode,
                          LPSECURITY_ATTRIBUTES lpSecurityAttributes, DWORD dwCreationDisposition,
                          DWORD dwFlagsAndAttributes, HANDLE hTemplateFile) {
    HANDLE h = TavPlatform::CreateFileW(lpFileName, dwDesiredAccess, dwShareMode, lpSecurityAttributes,
                                        dwCreationDisposition, dwFlagsAndAttributes, hTemplateFile);
    if (h == INVALID_HANDLE_VALUE)
        Report::FailedOnName("CreateFileW", nullptr, lpFileName);
    return h;
}

inline BOOL CloseHandle(HANDLE hObject) {
    BOOL ok = TavPlatform::CloseHandle(hObject);
    if (!ok)
        Report::FailedOn("CloseHandle", nullptr, hObject);
    return ok;
}

using TavPlatform::GetCurrentProcess;

inline BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                            LPHANDLE lpTargetHandle, DWORD dwDesiredAccess, BOOL bInheritHandle, DWORD dwOptions) {
    BOOL ok = TavPlatform::DuplicateHandle(hSourceProcessHandle, hSourceHandle, hTargetProcessHandle, lpTargetHandle,
                                           dwDesiredAccess, bInheritHandle, dwOptions);
    if (!ok)
        Report::FailedOn("DuplicateHandle", nullptr, hSourceHandle);
    return ok;
}

inline BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                            LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned,
                            LPOVERLAPPED lpOverlapped) {
    BOOL ok = TavPlatform::DeviceIoControl(hDevice, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer,
                                           nOutBufferSize, lpBytesReturned, lpOverlapped);
    if (!ok)
        Report::FailedOn("DeviceIoControl", TavDiagnostics::ControlCodeName(dwIoControlCode), hDevice);
    return ok;
}

inline BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                             DWORD dwMoveMethod) {
    BOOL ok = TavPlatform::SetFilePointerEx(hFile, liDistanceToMove, lpNewFilePointer, dwMoveMethod);
    if (!ok)
        Report::FailedOn("SetFilePointerEx", nullptr, hFile);
    return ok;
}

inline BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                     LPOVERLAPPED lpOverlapped) {
    BOOL ok = TavPlatform::ReadFile(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
    if (!ok)
        Report::FailedOn("ReadFile", nullptr, hFile);
    return ok;
}

inline BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
                      LPOVERLAPPED lpOverlapped) {
    BOOL ok = TavPlatform::WriteFile(hFile, lpBuffer, nNumberOfBytesToWrite, lpNumberOfBytesWritten, lpOverlapped);
    if (!ok)
        Report::FailedOn("WriteFile", nullptr, hFile);
    return ok;
}

inline HANDLE FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    HANDLE h = TavPlatform::FindFirstVolumeW(lpszVolumeName, cchBufferLength);
    if (h == INVALID_HANDLE_VALUE)
        Report::Failed("FindFirstVolumeW", nullptr, std::string());
    return h;
}

inline BOOL FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    BOOL ok = TavPlatform::FindNextVolumeW(hFindVolume, lpszVolumeName, cchBufferLength);
    if (!ok)
        Report::FailedOn("FindNextVolumeW", nullptr, hFindVolume);
    return ok;
}

inline BOOL FindVolumeClose(HANDLE hFindVolume) {
    BOOL ok = TavPlatform::FindVolumeClose(hFindVolume);
    if (!ok)
        Report::FailedOn("FindVolumeClose", nullptr, hFindVolume);
    return ok;
}

inline BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames, DWORD cchBufferLength,
                                             PDWORD lpcchReturnLength) {
    BOOL ok = TavPlatform::GetVolumePathNamesForVolumeNameW(lpszVolumeName, lpszVolumePathNames, cchBufferLength,
                                                            lpcchReturnLength);
    if (!ok)
        Report::FailedOnName("GetVolumePathNamesForVolumeNameW", nullptr, lpszVolumeName);
    return ok;
}

inline UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    UINT length = TavPlatform::GetWindowsDirectoryW(lpBuffer, uSize);
    if (length == 0)
        Report::Failed("GetWindowsDirectoryW", nullptr, std::string());
    return length;
}

inline UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    UINT length = TavPlatform::GetSystemDirectoryW(lpBuffer, uSize);
    if (length == 0)
        Report::Failed("GetSystemDirectoryW", nullptr, std::string());
    return length;
}

inline BOOL GetVolumePathNameW(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName, DWORD cchBufferLength) {
    BOOL ok = TavPlatform::GetVolumePathNameW(lpszFileName, lpszVolumePathName, cchBufferLength);
    if (!ok)
        Report::FailedOnName("GetVolumePathNameW", nullptr, lpszFileName);
    return ok;
}

inline BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName,
                                              DWORD cchBufferLength) {
    BOOL ok = TavPlatform::GetVolumeNameForVolumeMountPointW(lpszVolumeMountPoint, lpszVolumeName, cchBufferLength);
    if (!ok)
        Report::FailedOnName("GetVolumeNameForVolumeMountPointW", nullptr, lpszVolumeMountPoint);
    return ok;
}

inline DWORD GetStorageDependencyInformation(HANDLE ObjectHandle, GET_STORAGE_DEPENDENCY_FLAG Flags,
                                             ULONG StorageDependencyInfoSize,
                                             PSTORAGE_DEPENDENCY_INFO StorageDependencyInfo, PULONG SizeUsed) {
    DWORD result = TavPlatform::GetStorageDependencyInformation(ObjectHandle, Flags, StorageDependencyInfoSize,
                                                                StorageDependencyInfo, SizeUsed);
    if (result != ERROR_SUCCESS)
        Report::FailedOnWith("GetStorageDependencyInformation", ObjectHandle, result);
    return result;
}

inline HDEVINFO SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR Enumerator, HWND hwndParent, DWORD Flags,
                                       HDEVINFO DeviceInfoSet, PCWSTR MachineName, void *Reserved) {
    HDEVINFO set = TavPlatform::SetupDiGetClassDevsExW(ClassGuid, Enumerator, hwndParent, Flags, DeviceInfoSet,
                                                       MachineName, Reserved);
    if (set == INVALID_HANDLE_VALUE)
        Report::Failed("SetupDiGetClassDevsExW", nullptr, std::string());
    return set;
}

inline BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    BOOL ok = TavPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet);
    if (!ok)
        Report::Failed("SetupDiDestroyDeviceInfoList", nullptr, std::string());
    return ok;
}

inline BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                        const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    BOOL ok = TavPlatform::SetupDiEnumDeviceInterfaces(DeviceInfoSet, DeviceInfoData, InterfaceClassGuid, MemberIndex,
                                                       DeviceInterfaceData);
    if (!ok)
        Report::Failed("SetupDiEnumDeviceInterfaces", nullptr, "member " + std::to_string(MemberIndex));
    return ok;
}

inline BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                             PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                             DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                             PSP_DEVINFO_DATA DeviceInfoData) {
    BOOL ok =
        TavPlatform::SetupDiGetDeviceInterfaceDetailW(DeviceInfoSet, DeviceInterfaceData, DeviceInterfaceDetailData,
                                                      DeviceInterfaceDetailDataSize, RequiredSize, DeviceInfoData);
    if (!ok)
        Report::Failed("SetupDiGetDeviceInterfaceDetailW", nullptr, std::string());
    return ok;
}

inline BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND hwndParent, DWORD OpenFlags,
                                   PSP_DEVINFO_DATA DeviceInfoData) {
    BOOL ok =
        TavPlatform::SetupDiOpenDeviceInfoW(DeviceInfoSet, DeviceInstanceId, hwndParent, OpenFlags, DeviceInfoData);
    if (!ok)
        Report::FailedOnName("SetupDiOpenDeviceInfoW", nullptr, DeviceInstanceId);
    return ok;
}

inline BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO DeviceInfoSet, PCWSTR DevicePath, DWORD OpenFlags,
                                        PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    BOOL ok = TavPlatform::SetupDiOpenDeviceInterfaceW(DeviceInfoSet, DevicePath, OpenFlags, DeviceInterfaceData);
    if (!ok)
        Report::FailedOnName("SetupDiOpenDeviceInterfaceW", nullptr, DevicePath);
    return ok;
}

inline BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                              PDWORD PropertyRegDataType, PBYTE PropertyBuffer,
                                              DWORD PropertyBufferSize, PDWORD RequiredSize) {
    BOOL ok = TavPlatform::SetupDiGetDeviceRegistryPropertyW(
        DeviceInfoSet, DeviceInfoData, Property, PropertyRegDataType, PropertyBuffer, PropertyBufferSize, RequiredSize);
    if (!ok)
        Report::FailedOnNode("SetupDiGetDeviceRegistryPropertyW", Report::PropertyName(Property),
                             DeviceInfoData ? DeviceInfoData->DevInst : 0);
    return ok;
}

inline CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    CONFIGRET result = TavPlatform::CM_Get_Parent(pdnDevInst, dnDevInst, ulFlags);
    if (result != CR_SUCCESS)
        Report::FailedOnNodeWith("CM_Get_Parent", dnDevInst, result);
    return result;
}

inline CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    CONFIGRET result = TavPlatform::CM_Get_Device_ID_Size(pulLen, dnDevInst, ulFlags);
    if (result != CR_SUCCESS)
        Report::FailedOnNodeWith("CM_Get_Device_ID_Size", dnDevInst, result);
    return result;
}

inline CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    CONFIGRET result = TavPlatform::CM_Get_Device_IDW(dnDevInst, Buffer, BufferLen, ulFlags);
    if (result != CR_SUCCESS)
        Report::FailedOnNodeWith("CM_Get_Device_IDW", dnDevInst, result);
    return result;
}

} // namespace TavRequests

#endif
