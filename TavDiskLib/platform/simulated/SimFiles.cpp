// SPDX-License-Identifier: MIT
// Opening and closing disks and volumes, the file position and sector
// transfers on the simulated machine.
#include "SimCall.h"

#include <cwchar>

namespace TavSim {
namespace {

// Sector transfers: aligned to the disk's sector size and starting inside
// the disk; one that runs past the end moves the sectors before it
// (`count` is cut to them).
DWORD CheckTransfer(const Disk &d, uint64_t position, DWORD &count) {
    const uint64_t sector = d.geometry && d.geometry->BytesPerSector ? d.geometry->BytesPerSector : d.blockLength;
    if (sector != 0 && (position % sector != 0 || count % sector != 0))
        return ERROR_INVALID_PARAMETER;
    if (count != 0 && position >= d.sizeBytes)
        return ERROR_SECTOR_NOT_FOUND;
    if (count > d.sizeBytes - position)
        count = static_cast<DWORD>(d.sizeBytes - position);
    return ERROR_SUCCESS;
}

// Fails a positioning or a transfer whose handle found no disk (`slot`: the
// slot the handle found as a disk handle): ERROR_INVALID_FUNCTION for a
// volume handle, ERROR_INVALID_HANDLE for no handle, ERROR_DEV_NOT_EXIST
// for a disk that has gone.
BOOL FailWithoutDisk(Call<BOOL> &c, const Slot *slot, HANDLE h) {
    if (slot)
        return c.Fail(ERROR_DEV_NOT_EXIST);
    return c.Fail(FindSlot(*c.s, h, HandleKind::Volume) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE);
}

template <bool Write> BOOL Transfer(Op op, HANDLE h, const void *src, void *dst, DWORD count, DWORD *moved) {
    if (moved)
        *moved = 0; // set before any work or checking, as the platform does
    Call<BOOL> c(op, FALSE);
    Slot *slot = nullptr;
    if (!c.Begin([&] {
            slot = FindSlot(*c.s, h, HandleKind::Disk);
            c.req.outSize = count;
            if (slot) {
                c.req.disk = slot->target;
                c.req.position = slot->position;
            }
        }))
        return c.Failed();
    Disk *d = slot ? c.DiskAt(slot->target) : nullptr;
    if (!d)
        return FailWithoutDisk(c, slot, h);
    if (!TavPlatform::GrantsData(slot->access, Write))
        return c.Fail(ERROR_ACCESS_DENIED);
    if (count != 0 && !(Write ? src : dst))
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (DWORD e = CheckTransfer(*d, slot->position, count))
        return c.Fail(e);
    const size_t k = c.Delivered(count);
    if (Write)
        StoreWrite(*d, slot->position, static_cast<const uint8_t *>(src), k);
    else
        StoreRead(*d, slot->position, static_cast<uint8_t *>(dst), k);
    slot->position += k;
    if (moved)
        *moved = static_cast<DWORD>(k);
    return c.Ok(TRUE);
}

// The disk or volume `name` opens. A volume name with its trailing backslash
// names the volume's root directory (`root` set).
void FindOpenTarget(CallBase &c, const wchar_t *name, bool &root) {
    // The likely kind first, so that an ordinary open finds its target at once.
    const bool volumeLike = std::wcsncmp(name, L"\\\\?\\Volume{", 11) == 0;
    if (!volumeLike)
        c.req.disk = FindDisk(*c.s, *c.m, name);
    if (c.req.disk < 0) {
        c.req.volume = FindVolume(*c.s, *c.m, name, true);
        if (c.req.volume < 0) {
            c.req.volume = FindVolume(*c.s, *c.m, name, false);
            root = c.req.volume >= 0;
        }
    }
    if (volumeLike && c.req.volume < 0)
        c.req.disk = FindDisk(*c.s, *c.m, name);
}

} // namespace
} // namespace TavSim

namespace TavPlatform {

using namespace TavSim;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    Call<HANDLE> c(Op::CreateFileW, INVALID_HANDLE_VALUE);
    bool volumeRoot = false;
    if (!c.Begin([&] {
            if (c.Logging()) {
                c.req.path = lpFileName ? lpFileName : L"";
                c.req.access = dwDesiredAccess;
                c.req.share = dwShareMode;
                c.req.disposition = dwCreationDisposition;
                c.req.flags = dwFlagsAndAttributes;
            }
            if (lpFileName)
                FindOpenTarget(c, lpFileName, volumeRoot);
        }))
        return c.Failed();
    if (!lpFileName || dwCreationDisposition < 1 || dwCreationDisposition > 5)
        return c.Fail(ERROR_INVALID_PARAMETER);
    HANDLE h = INVALID_HANDLE_VALUE;
    if (c.req.disk >= 0) {
        const Disk &d = c.m->disks[static_cast<size_t>(c.req.disk)];
        if (!d.openable || (d.queryOnly && (GrantsData(dwDesiredAccess, false) || GrantsData(dwDesiredAccess, true))))
            return c.Fail(d.openError);
        h = NewHandle(*c.s, HandleKind::Disk, c.req.disk, dwDesiredAccess);
    } else if (c.req.volume >= 0) {
        // A directory opened without backup semantics is refused.
        const Volume &v = c.m->volumes[static_cast<size_t>(c.req.volume)];
        if (volumeRoot || !v.openable ||
            (v.queryOnly && (GrantsData(dwDesiredAccess, false) || GrantsData(dwDesiredAccess, true))))
            return c.Fail(ERROR_ACCESS_DENIED);
        h = NewHandle(*c.s, HandleKind::Volume, c.req.volume, dwDesiredAccess);
    } else {
        return c.Fail(ERROR_FILE_NOT_FOUND);
    }
    if (h == INVALID_HANDLE_VALUE)
        return c.Fail(ERROR_NO_SYSTEM_RESOURCES);
    return c.Ok(h);
}

BOOL CloseHandle(HANDLE hObject) {
    Call<BOOL> c(Op::CloseHandle, FALSE);
    Slot *slot = nullptr;
    if (!c.Begin([&] { slot = c.Address(FindDeviceSlot(*c.s, hObject)); }))
        return c.Failed();
    return Release(c, slot);
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD, BOOL, DWORD dwOptions) {
    Call<BOOL> c(Op::DuplicateHandle, FALSE);
    Slot *slot = nullptr;
    if (!c.Begin([&] {
            c.req.flags = dwOptions;
            slot = c.Address(FindDeviceSlot(*c.s, hSourceHandle));
        }))
        return c.Failed();
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() || !lpTargetHandle ||
        !(dwOptions & DUPLICATE_SAME_ACCESS))
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (!slot)
        return c.Fail(ERROR_INVALID_HANDLE);
    const HandleKind kind = slot->kind;
    const int target = slot->target;
    const DWORD access = slot->access;
    const uint64_t position = slot->position;
    HANDLE h = NewHandle(*c.s, kind, target, access); // may move the slots
    if (h == INVALID_HANDLE_VALUE)
        return c.Fail(ERROR_NO_SYSTEM_RESOURCES);
    FindSlot(*c.s, h, kind)->position = position;
    *lpTargetHandle = h;
    return c.Ok(TRUE);
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
    Call<BOOL> c(Op::SetFilePointerEx, FALSE);
    const int64_t distance = liDistanceToMove.QuadPart;
    Slot *slot = nullptr;
    if (!c.Begin([&] {
            c.req.position = static_cast<uint64_t>(distance);
            c.req.flags = dwMoveMethod;
            slot = FindSlot(*c.s, hFile, HandleKind::Disk);
            if (slot)
                c.req.disk = slot->target;
        }))
        return c.Failed();
    const Disk *d = slot ? c.DiskAt(slot->target) : nullptr;
    if (!d)
        return FailWithoutDisk(c, slot, hFile);
    uint64_t base;
    switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = slot->position; break;
    case FILE_END: base = d->sizeBytes; break;
    default: return c.Fail(ERROR_INVALID_PARAMETER);
    }
    uint64_t position;
    if (distance < 0) {
        const uint64_t back = 0 - static_cast<uint64_t>(distance);
        if (back > base)
            return c.Fail(ERROR_NEGATIVE_SEEK);
        position = base - back;
    } else {
        position = base + static_cast<uint64_t>(distance);
        if (position < base || position > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return c.Fail(ERROR_INVALID_PARAMETER);
    }
    slot->position = position; // a disk accepts any position; transfers check it
    if (lpNewFilePointer) {
        LARGE_INTEGER answer;
        answer.QuadPart = static_cast<LONGLONG>(position);
        c.PutAt(lpNewFilePointer, 0, &answer, sizeof answer);
    }
    return c.Ok(TRUE);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
    return Transfer<false>(Op::ReadFile, hFile, nullptr, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED) {
    return Transfer<true>(Op::WriteFile, hFile, lpBuffer, nullptr, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
}

BOOL FlushFileBuffers(HANDLE hFile) {
    Call<BOOL> c(Op::FlushFileBuffers, FALSE);
    Slot *slot = nullptr;
    if (!c.Begin([&] {
            slot = FindSlot(*c.s, hFile, HandleKind::Disk);
            if (slot)
                c.req.disk = slot->target;
        }))
        return c.Failed();
    if (!slot || !c.DiskAt(slot->target))
        return FailWithoutDisk(c, slot, hFile);
    if (!(slot->access & (GENERIC_WRITE | GENERIC_ALL)))
        return c.Fail(ERROR_ACCESS_DENIED);
    return c.Ok(TRUE); // the machine keeps no cache: every write is on its disk
}

} // namespace TavPlatform
