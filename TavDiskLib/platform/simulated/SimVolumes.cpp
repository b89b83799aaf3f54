// SPDX-License-Identifier: MIT
// The volume search, volume path names and the Windows directory on the
// simulated machine.
#include "SimCall.h"
#include "../Dependencies.h"

namespace TavSim {
namespace {

// Writes volume `index`'s name if the buffer holds it with its terminator;
// false when the call has failed.
bool PutVolumeName(CallBase &c, size_t index, LPWSTR buffer, DWORD capacity) {
    const std::wstring &name = c.m->volumes[index].name;
    if (!buffer)
        return c.Refuse(ERROR_INVALID_PARAMETER);
    if (capacity < name.size() + 1)
        return c.Refuse(ERROR_FILENAME_EXCED_RANGE);
    c.PutAt(buffer, 0, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return true;
}

// GetWindowsDirectoryW and GetSystemDirectoryW: the machine's directory, or
// a failure when it has none.
UINT AnswerDirectory(Op op, std::optional<std::wstring> Machine::*directory, LPWSTR lpBuffer, UINT uSize) {
    Call<UINT> c(op, 0);
    if (!c.Begin([&] { c.req.outSize = uSize; }))
        return c.Failed();
    if (!(c.m->*directory))
        return c.Fail(ERROR_PATH_NOT_FOUND);
    const std::wstring &dir = *(c.m->*directory);
    // Fits: the length without the terminator; else the size needed with it.
    if (!lpBuffer || uSize < dir.size() + 1)
        return c.Ok(static_cast<UINT>(dir.size() + 1));
    c.PutAt(lpBuffer, 0, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
    return c.Ok(static_cast<UINT>(dir.size()));
}

} // namespace
} // namespace TavSim

namespace TavPlatform {

using namespace TavSim;

HANDLE FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    Call<HANDLE> c(Op::FindFirstVolumeW, INVALID_HANDLE_VALUE);
    if (!c.Begin([&] {
            c.req.outSize = cchBufferLength;
            if (!c.m->volumes.empty())
                c.req.volume = 0;
        }))
        return c.Failed();
    if (c.m->volumes.empty())
        return c.Fail(ERROR_NO_MORE_FILES);
    if (!PutVolumeName(c, 0, lpszVolumeName, cchBufferLength))
        return c.Failed();
    // The search's slot holds the next volume to give.
    HANDLE h = NewHandle(*c.s, HandleKind::VolumeSearch, 1, 0);
    if (h == INVALID_HANDLE_VALUE)
        return c.Fail(ERROR_NO_SYSTEM_RESOURCES);
    return c.Ok(h);
}

BOOL FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    Call<BOOL> c(Op::FindNextVolumeW, FALSE);
    Slot *slot = nullptr;
    bool more = false;
    if (!c.Begin([&] {
            c.req.outSize = cchBufferLength;
            slot = FindSlot(*c.s, hFindVolume, HandleKind::VolumeSearch);
            more = slot && static_cast<size_t>(slot->target) < c.m->volumes.size();
            if (more)
                c.req.volume = slot->target;
        }))
        return c.Failed();
    if (!slot)
        return c.Fail(ERROR_INVALID_HANDLE);
    if (!more)
        return c.Fail(ERROR_NO_MORE_FILES);
    // A name that does not fit is not consumed: a retry with room gets it.
    if (!PutVolumeName(c, static_cast<size_t>(slot->target), lpszVolumeName, cchBufferLength))
        return c.Failed();
    ++slot->target;
    return c.Ok(TRUE);
}

BOOL FindVolumeClose(HANDLE hFindVolume) {
    Call<BOOL> c(Op::FindVolumeClose, FALSE);
    Slot *slot = nullptr;
    if (!c.Begin([&] { slot = FindSlot(*c.s, hFindVolume, HandleKind::VolumeSearch); }))
        return c.Failed();
    return Release(c, slot);
}

BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames, DWORD cchBufferLength,
                                      PDWORD lpcchReturnLength) {
    Call<BOOL> c(Op::GetVolumePathNamesForVolumeNameW, FALSE);
    bool withoutBackslash = false; // the volume's device name instead of its name
    if (!c.Begin([&] {
            c.req.outSize = cchBufferLength;
            if (c.Logging())
                c.req.path = lpszVolumeName ? lpszVolumeName : L"";
            if (lpszVolumeName) {
                c.req.volume = FindVolume(*c.s, *c.m, lpszVolumeName, false);
                withoutBackslash = c.req.volume < 0 && FindVolume(*c.s, *c.m, lpszVolumeName, true) >= 0;
            }
        }))
        return c.Failed();
    if (!lpszVolumeName)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (c.req.volume < 0)
        return c.Fail(withoutBackslash ? ERROR_INVALID_NAME : ERROR_FILE_NOT_FOUND);
    const Volume &v = c.m->volumes[static_cast<size_t>(c.req.volume)];
    // The multi-string: each name with its terminator, then the empty name.
    size_t whole = 1;
    for (const std::wstring &p : v.pathNames)
        whole += p.size() + 1;
    const size_t needed = c.m->pathNameLengthsCountFinalTerminator ? whole : whole - 1;
    if (cchBufferLength < needed) {
        if (lpcchReturnLength)
            *lpcchReturnLength = static_cast<DWORD>(needed);
        return c.Fail(ERROR_MORE_DATA);
    }
    if (!lpszVolumePathNames)
        return c.Fail(ERROR_INVALID_PARAMETER);
    size_t at = 0;
    for (const std::wstring &p : v.pathNames) {
        c.PutAt(lpszVolumePathNames, at * sizeof(WCHAR), p.c_str(), (p.size() + 1) * sizeof(WCHAR));
        at += p.size() + 1;
    }
    const WCHAR nul = 0;
    if (at < cchBufferLength)
        c.PutAt(lpszVolumePathNames, at * sizeof(WCHAR), &nul, sizeof nul);
    // On success the length is the count of characters copied.
    if (lpcchReturnLength)
        *lpcchReturnLength = static_cast<DWORD>(c.Delivered(needed * sizeof(WCHAR)) / sizeof(WCHAR));
    return c.Ok(TRUE);
}

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    return AnswerDirectory(Op::GetWindowsDirectoryW, &Machine::windowsDirectory, lpBuffer, uSize);
}

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    return AnswerDirectory(Op::GetSystemDirectoryW, &Machine::systemDirectory, lpBuffer, uSize);
}

BOOL GetVolumePathNameW(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName, DWORD cchBufferLength) {
    Call<BOOL> c(Op::GetVolumePathNameW, FALSE);
    if (!c.Begin([&] {
            c.req.outSize = cchBufferLength;
            if (c.Logging())
                c.req.path = lpszFileName ? lpszFileName : L"";
        }))
        return c.Failed();
    if (!lpszFileName || !lpszVolumePathName)
        return c.Fail(ERROR_INVALID_PARAMETER);
    // The longest path name of a volume that the path lies below (a path
    // name ends in a backslash; the path may lack its own).
    const std::wstring path = std::wstring(lpszFileName) + L"\\";
    const std::wstring *best = nullptr;
    for (const Volume &v : c.m->volumes)
        for (const std::wstring &name : v.pathNames)
            if (path.compare(0, name.size(), name) == 0 && (!best || name.size() > best->size()))
                best = &name;
    if (!best)
        return c.Fail(ERROR_PATH_NOT_FOUND);
    if (cchBufferLength < best->size() + 1)
        return c.Fail(ERROR_FILENAME_EXCED_RANGE);
    c.PutAt(lpszVolumePathName, 0, best->c_str(), (best->size() + 1) * sizeof(WCHAR));
    return c.Ok(TRUE);
}

DWORD GetStorageDependencyInformation(HANDLE ObjectHandle, GET_STORAGE_DEPENDENCY_FLAG Flags,
                                      ULONG StorageDependencyInfoSize, PSTORAGE_DEPENDENCY_INFO StorageDependencyInfo,
                                      PULONG SizeUsed) {
    CodeCall c(Op::GetStorageDependencyInformation, NoMachineError);
    Slot *slot = nullptr;
    if (!c.Begin([&] {
            c.req.flags = static_cast<DWORD>(Flags);
            c.req.outSize = StorageDependencyInfoSize;
            slot = c.Address(FindDeviceSlot(*c.s, ObjectHandle));
        }))
        return c.Failed();
    if (DWORD error = DependencyRequestError(StorageDependencyInfoSize, StorageDependencyInfo, SizeUsed))
        return c.Code(error);
    const DWORD flags = static_cast<DWORD>(Flags);
    if (!(flags & GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES))
        return c.Code(ERROR_NOT_SUPPORTED);
    const bool diskHandle = (flags & GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE) != 0;
    if (!slot || (slot->kind == HandleKind::Disk) != diskHandle)
        return c.Code(ERROR_INVALID_HANDLE);
    std::vector<DependencyHost> hosts;
    if (const Volume *v = diskHandle ? nullptr : c.VolumeAt(slot->target))
        for (const std::wstring &host : v->hosts)
            hosts.push_back({host, std::wstring()});
    const std::vector<uint8_t> answer = DependencyAnswer(hosts, StorageDependencyInfo);
    *SizeUsed = static_cast<ULONG>(answer.size());
    if (answer.size() > StorageDependencyInfoSize)
        return c.Code(ERROR_INSUFFICIENT_BUFFER);
    c.PutAt(StorageDependencyInfo, 0, answer.data(), answer.size());
    return c.Code(ERROR_SUCCESS);
}

BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    Call<BOOL> c(Op::GetVolumeNameForVolumeMountPointW, FALSE);
    if (!c.Begin([&] {
            c.req.outSize = cchBufferLength;
            if (c.Logging())
                c.req.path = lpszVolumeMountPoint ? lpszVolumeMountPoint : L"";
            for (size_t i = 0; lpszVolumeMountPoint && c.req.volume < 0 && i < c.m->volumes.size(); ++i)
                for (const std::wstring &name : c.m->volumes[i].pathNames)
                    if (name == lpszVolumeMountPoint)
                        c.req.volume = static_cast<int>(i);
        }))
        return c.Failed();
    if (!lpszVolumeMountPoint)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (c.req.volume < 0)
        return c.Fail(ERROR_NOT_A_REPARSE_POINT);
    if (!PutVolumeName(c, static_cast<size_t>(c.req.volume), lpszVolumeName, cchBufferLength))
        return c.Failed();
    return c.Ok(TRUE);
}

} // namespace TavPlatform
