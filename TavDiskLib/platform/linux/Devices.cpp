// SPDX-License-Identifier: MIT
// Device handles of the Linux backend: opening disks, partitions and
// volumes (CreateFileW), closing them, and reads and writes at the handle's
// own file position. The control requests on them are ControlRequests.cpp's.
#include "Device.h"
#include "Errors.h"
#include "Handles.h"
#include "Looks.h"
#include "Text.h"
#include "Tree.h"
#include "Volumes.h"
#include "../platform.h"

#include <algorithm>
#include <cerrno>
#include <cwchar>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <linux/fs.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TavLinux {
namespace {

// A recorded device may name the errno its open fails with (never on the
// live system, whose root is "/").
std::optional<int> RecordedOpenError(const Root &root, const std::string &name) {
    if (root.prefix.empty())
        return std::nullopt;
    auto text = ReadAttr(root, "/ioctl/" + name + "/open_errno");
    if (!text)
        return std::nullopt;
    static const struct {
        const char *name;
        int value;
    } names[] = {{"EACCES", EACCES}, {"EPERM", EPERM},         {"ENOENT", ENOENT}, {"EBUSY", EBUSY}, {"ENXIO", ENXIO},
                 {"ENODEV", ENODEV}, {"ENOMEDIUM", ENOMEDIUM}, {"EIO", EIO},       {"EROFS", EROFS}};
    for (const auto &n : names)
        if (*text == n.name)
            return n.value;
    int value = std::atoi(text->c_str());
    return value > 0 ? value : EIO;
}

// Whether the kernel holds the device read-only (sysfs ro).
bool WriteProtected(const FileObject &f) {
    return ReadNumber(f.root, "/sys/class/block/" + f.block.name + "/ro").value_or(0) == 1;
}

// The logical sector size sysfs gives the device (a partition: its disk's),
// 512 when it gives none.
uint32_t RecordedSectorSize(const FileObject &f) {
    const std::string queue = (f.block.partition ? DirName(f.block.sys) : f.block.sys) + "/queue/logical_block_size";
    const uint64_t size = ReadNumber(f.root, queue).value_or(0);
    return size >= 512 && size <= 65536 ? static_cast<uint32_t>(size) : 512;
}

// Opens the device file with the access asked for. A handle for queries
// only (no read or write access) opens nothing: its answers come from sysfs
// and the kept view, so a process that may not open the device node (no
// rights, or a sandbox that refuses it) still gets them. A volume handle
// needs no data access for a scan either, so `tolerateRefusal` leaves it
// without a descriptor when the open is refused.
DWORD OpenDescriptor(FileObject &f, DWORD access, bool tolerateRefusal) {
    bool read = TavPlatform::GrantsData(access, false);
    bool write = TavPlatform::GrantsData(access, true);
    if (!read && !write) {
        // A recording's device file is a regular file: its recorded answers
        // stand for the device's own.
        struct stat st {};
        f.replay = !f.root.prefix.empty() && ::stat(f.root.At("/dev/" + f.block.name).c_str(), &st) == 0 &&
                   S_ISREG(st.st_mode);
        return ERROR_SUCCESS;
    }
    if (auto error = RecordedOpenError(f.root, f.block.name))
        return tolerateRefusal ? ERROR_SUCCESS : ErrorFromErrno(*error);
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    int fd = ::open(f.root.At("/dev/" + f.block.name).c_str(), flags);
    int error = fd < 0 ? errno : 0; // before any other call can change errno
    if (fd < 0 && (error == EACCES || error == EROFS) && write && read && WriteProtected(f)) {
        // A write-protected disk opens for reading and writing on Windows,
        // and its writes fail with ERROR_WRITE_PROTECT: the kernel refuses
        // the open for writing instead, so the handle reads only.
        fd = ::open(f.root.At("/dev/" + f.block.name).c_str(), (flags & ~O_ACCMODE) | O_RDONLY);
        if (fd >= 0)
            f.writeProtected = true;
        else
            error = errno;
    }
    if (fd < 0) {
        return tolerateRefusal ? ERROR_SUCCESS : ErrorFromErrno(error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))) {
        ::close(fd);
        return ERROR_FILE_NOT_FOUND;
    }
    f.replay = S_ISREG(st.st_mode);
    // Transfers move whole logical sectors, as on Windows, whose disk and
    // volume handles are unbuffered: the device's own size, or the
    // recorded one.
    int sector = 0;
    if (!f.replay && ::ioctl(fd, BLKSSZGET, &sector) == 0 && sector >= 512 && sector <= 65536)
        f.sectorBytes = static_cast<uint32_t>(sector);
    else
        f.sectorBytes = RecordedSectorSize(f);
    f.fd = fd;
    f.canRead = read;
    f.canWrite = write && !f.writeProtected;
    return ERROR_SUCCESS;
}

HANDLE OpenBlock(const Root &root, const BlockEntry &block, DWORD access, bool asVolume,
                 std::shared_ptr<const VolumeFacts> volume = nullptr) {
    auto f = std::make_shared<FileObject>();
    f->root = root;
    f->block = block;
    f->isVolume = asVolume || block.partition;
    f->volume = std::move(volume);
    f->isDisk = !f->isVolume;
    f->desiredAccess = access;
    if (!asVolume) {
        // A disk or partition opened by its path is opened at once: an open
        // that fails fails the request.
        if (DWORD error = OpenDescriptor(*f, access, false)) {
            Fail(error);
            return INVALID_HANDLE_VALUE;
        }
        f->LoadDisk();
    }
    return AddHandle(f);
}

bool StartsWith(const std::wstring &s, const wchar_t *prefix) { return s.compare(0, std::wcslen(prefix), prefix) == 0; }

// The device a transfer works on: a volume handle's is opened now; a handle
// without a descriptor (for queries only) is refused.
DWORD DeviceForTransfer(FileObject &f) {
    if (DWORD error = f.OpenDevice())
        return error;
    return f.fd < 0 ? ERROR_ACCESS_DENIED : ERROR_SUCCESS;
}

} // namespace

DWORD FileObject::OpenVolumeDevice() {
    std::call_once(openOnce, [this] {
        if (fd < 0)
            openError = OpenDescriptor(*this, desiredAccess, true);
    });
    return openError;
}

} // namespace TavLinux

namespace TavPlatform {

using namespace TavLinux;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                   DWORD, HANDLE) {
    if (!lpFileName) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    Root root = CurrentRoot();
    // A volume is opened by the name a search gave: found without a copy.
    if (std::wcsncmp(lpFileName, L"\\\\?\\Volume{", 11) == 0) {
        const std::wstring_view name(lpFileName);
        DWORD failure = 0;
        auto volume = FindVolumeByName(root, name, failure);
        if (!volume) {
            Fail(failure ? failure : ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const VolumeFacts *facts = volume.get(); // held by the handle from here on
        return OpenBlock(root, facts->entry.block, dwDesiredAccess, true, std::move(volume));
    }
    const std::wstring name(lpFileName);
    if (StartsWith(name, L"\\\\.\\PhysicalDrive")) {
        std::string digits = Narrow(name.substr(17));
        char *end = nullptr;
        unsigned long n = std::strtoul(digits.c_str(), &end, 10);
        if (digits.empty() || *end || digits[0] < '0' || digits[0] > '9') {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        std::optional<BlockEntry> block;
        DWORD failure = 0;
        {
            LookInUse look(root);
            if (auto disk = look->view.NthDisk(n))
                block = look->view.Entry(*disk);
            failure = look.Failure();
        }
        if (failure || !block) {
            Fail(failure ? failure : ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return OpenBlock(root, *block, dwDesiredAccess, false);
    }
    if (StartsWith(name, L"/dev/")) {
        if (auto block = FindBlock(root, Narrow(name.substr(5))))
            return OpenBlock(root, *block, dwDesiredAccess, false);
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Fail(name.find(L'/') != std::wstring::npos ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

namespace {

// A sector transfer is a positioning and then a transfer on one handle.
// What the positioning found is handed to the transfer that follows on this
// thread, so that the two take one reference to the object between them
// (valid while no handle was removed since). Released by the next transfer,
// positioning or close on this thread.
struct Positioned {
    HANDLE handle = nullptr;
    uint64_t removals = 0;
    std::shared_ptr<FileObject> object;
};
thread_local Positioned positioned;

TAVDISK_HOT inline std::shared_ptr<FileObject> FindPositioned(HANDLE handle) {
    Positioned &p = positioned;
    if (p.handle == handle && p.removals == handleRemovals.load(std::memory_order_acquire) && p.object) {
        p.handle = nullptr;
        return std::move(p.object);
    }
    if (p.object)
        p.object.reset();
    return Find<FileObject>(handle);
}

} // namespace

BOOL CloseHandle(HANDLE hObject) {
    if (positioned.handle == hObject)
        positioned = {};
    return RemoveHandle(hObject, Object::Kind::File) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

HANDLE GetCurrentProcess() { return reinterpret_cast<HANDLE>(static_cast<intptr_t>(-1)); }

BOOL DuplicateHandle(HANDLE hSourceProcessHandle, HANDLE hSourceHandle, HANDLE hTargetProcessHandle,
                     LPHANDLE lpTargetHandle, DWORD, BOOL, DWORD dwOptions) {
    if (hSourceProcessHandle != GetCurrentProcess() || hTargetProcessHandle != GetCurrentProcess() || !lpTargetHandle ||
        !(dwOptions & DUPLICATE_SAME_ACCESS))
        return Fail(ERROR_INVALID_PARAMETER);
    // The new handle stands for the same open object: its descriptor, its
    // kept answers and its position; the object goes with the last handle.
    auto object = FindHandle(hSourceHandle, Object::Kind::File);
    if (!object)
        return Fail(ERROR_INVALID_HANDLE);
    *lpTargetHandle = AddHandle(std::move(object));
    return TRUE;
}

std::wstring HandleTarget(HANDLE hObject) {
    if (auto f = Find<FileObject>(hObject))
        return Widen("/dev/" + f->block.name);
    if (FindHandle(hObject, Object::Kind::VolumeSearch))
        return L"a volume search";
    return std::wstring();
}

TAVDISK_HOT BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                                  DWORD dwMoveMethod) {
    const uint64_t removals = handleRemovals.load(std::memory_order_acquire);
    auto f = FindPositioned(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    // Positioning needs no access: a handle for queries only may be
    // positioned, and its transfer is refused.
    if (DWORD error = f->OpenDevice())
        return Fail(error);
    if (dwMoveMethod > FILE_END)
        return Fail(ERROR_INVALID_PARAMETER);
    // The position is the handle's own: setting it asks nothing of the
    // device, and any position from 0 on may be set, past the end too (a
    // transfer there fails), as on Windows.
    LONGLONG base = 0;
    if (dwMoveMethod == FILE_CURRENT)
        base = static_cast<LONGLONG>(f->position.load(std::memory_order_relaxed));
    else if (dwMoveMethod == FILE_END)
        base = static_cast<LONGLONG>(f->SizeBytes());
    LONGLONG move = liDistanceToMove.QuadPart;
    if ((move < 0 && base + move < 0) || (move > 0 && base > INT64_MAX - move))
        return Fail(move < 0 ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_PARAMETER);
    LONGLONG target = base + move;
    f->position.store(static_cast<uint64_t>(target), std::memory_order_relaxed);
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = target;
    Positioned &p = positioned;
    p.handle = hFile;
    p.removals = removals;
    p.object = std::move(f);
    return TRUE;
}

namespace {

// One transfer at the handle's position (a pread or pwrite, more only when
// the device moves less at once), advancing the position by what moved.
template <bool Write>
TAVDISK_HOT BOOL Transfer(HANDLE hFile, void *buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    if (moved)
        *moved = 0;
    auto f = FindPositioned(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (overlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    if (count && !buffer)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DWORD error = DeviceForTransfer(*f))
        return Fail(error);
    if (Write && f->writeProtected)
        return Fail(ERROR_WRITE_PROTECT);
    if (!(Write ? f->canWrite : f->canRead))
        return Fail(ERROR_ACCESS_DENIED);
    const uint64_t at = f->position.load(std::memory_order_relaxed);
    if (DWORD unit = f->sectorBytes) {
        // A block device's logical sector is a power of two: a mask then
        // tells what two divisions would, at a fraction of their cost on
        // the path every sector takes.
        const bool whole =
            (unit & (unit - 1)) == 0 ? ((at | count) & (unit - 1)) == 0 : at % unit == 0 && count % unit == 0;
        if (!whole)
            return Fail(ERROR_INVALID_PARAMETER);
    }
    if (at > static_cast<uint64_t>(INT64_MAX) - count)
        return Fail(ERROR_SECTOR_NOT_FOUND);
    size_t want = count;
    if (Write && f->replay) {
        // A recording behaves as the disk it stands for: read-only when the
        // disk is, and no byte past its end.
        if (f->disk && f->disk->readOnly)
            return Fail(ErrorFromErrno(EROFS));
        uint64_t size = f->SizeBytes();
        want = static_cast<size_t>(std::min<uint64_t>(want, at < size ? size - at : 0));
        if (want == 0 && count > 0)
            return Fail(ERROR_SECTOR_NOT_FOUND);
    }
    if (Write)
        f->wrote = true;
    int error = 0;
    const size_t done = MoveAt(f->fd, Write, static_cast<uint8_t *>(buffer), want, at, error);
    if (error && done == 0) { // a failure after some bytes moved answers what moved
        if (Write && error == ENOSPC)
            return Fail(ERROR_SECTOR_NOT_FOUND);
        if (Write && (error == EPERM || error == EACCES || error == EROFS) && WriteProtected(*f))
            return Fail(ERROR_WRITE_PROTECT);
        return Fail(ErrorFromErrno(error));
    }
    // A write on a disk succeeds once the device has the data, as a
    // Windows disk handle (unbuffered) does: what the page cache holds is
    // pushed out, and a failure to push it is a failed write.
    if (Write && done > 0 && !f->replay && ::fdatasync(f->fd) != 0)
        return Fail(ErrorFromErrno(errno));
    f->position.store(at + done, std::memory_order_relaxed);
    if (moved)
        *moved = static_cast<DWORD>(done);
    // A disk has no end-of-file: reading at its end fails as the sector is not there.
    if (!Write && done == 0 && count > 0)
        return Fail(ERROR_SECTOR_NOT_FOUND);
    return TRUE;
}

} // namespace

BOOL FlushFileBuffers(HANDLE hFile) {
    auto f = Find<FileObject>(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (DWORD error = DeviceForTransfer(*f))
        return Fail(error);
    if (!f->canWrite)
        return Fail(ERROR_ACCESS_DENIED);
    if (!f->replay && ::fdatasync(f->fd) != 0)
        return Fail(ErrorFromErrno(errno));
    return TRUE;
}

TAVDISK_HOT BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
                          LPOVERLAPPED lpOverlapped) {
    return Transfer<false>(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    return Transfer<true>(hFile, const_cast<void *>(lpBuffer), nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                          lpOverlapped);
}

} // namespace TavPlatform
