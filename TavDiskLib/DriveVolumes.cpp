// SPDX-License-Identifier: MIT
// The volumes that lie on a disk: their drive letters and mount paths, found
// by one scan over every volume of the machine, and the system volume test.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <cwchar>
#include <new>
#include <optional>
#include <string>
#include <vector>

using namespace TavRecords;
namespace P = TavRequests;

namespace {

constexpr DWORD VolumeNameCapacity = 51;
constexpr size_t VolumeNameBackslash = 48;
// Extents and path lists beyond these sizes are absurd answers, not volumes.
constexpr size_t MaxExtentsBlock = 1024 * 1024;
constexpr DWORD MaxPathNamesLength = 1024 * 1024;

// The first failure a pass that must not miss a volume met, with its code
// (never 0). A pass that only lists what it finds leaves it unset.
void NoteFailure(DWORD *failed) {
    if (failed && *failed == ERROR_SUCCESS) {
        DWORD code = P::GetLastError();
        *failed = code != ERROR_SUCCESS ? code : ERROR_GEN_FAILURE;
    }
}

struct ScanState {
    wchar_t *letters; // 26 slots
    std::wstring mounts;
};

// Calls `take(name, length)` for each path name of a volume, in the
// platform's order, until it returns false. A list is used only when the
// platform delivered it whole (see below). Returns false only when memory
// ran out; a volume without names, or whose answer cannot be used, has no
// name to take. With `failed`, an answer that could not be used is noted
// there.
template <class Take> bool ForEachPathName(const wchar_t *volumeName, Take take, DWORD *failed = nullptr) {
    DWORD needed = 100;
    auto *probe = Alloc<wchar_t>(2 * sizeof(wchar_t));
    if (!probe)
        return false;
    BOOL fits = P::GetVolumePathNamesForVolumeNameW(volumeName, probe, 2, &needed);
    if (!fits && P::GetLastError() != ERROR_MORE_DATA)
        NoteFailure(failed);
    Release(probe);
    if (needed == 0 || needed > MaxPathNamesLength) {
        if (failed && *failed == ERROR_SUCCESS)
            *failed = ERROR_INVALID_DATA;
        return true; // no usable answer: the volume contributes nothing
    }

    auto *list = Alloc<wchar_t>(size_t{needed} * sizeof(wchar_t));
    if (!list)
        return false;
    DWORD returned = 0;
    BOOL ok = P::GetVolumePathNamesForVolumeNameW(volumeName, list, needed, &returned);
    if (!ok)
        NoteFailure(failed);

    // Walk only a list the platform delivered whole, and only inside the
    // buffer: it was zero-filled, so nothing unwritten is read. Every name
    // must end inside the buffer; the list ends at the empty name, or where
    // the buffer ends right after a name. The length the call returns only
    // tells a list cut short (one that does not cover the names found):
    // platforms differ on whether it counts the list's final terminator.
    bool whole = false;
    size_t covered = 0; // the characters the names take, terminators included
    for (size_t at = 0; ok;) {
        if (at == needed || list[at] == 0) {
            whole = true;
            break;
        }
        size_t end = at;
        while (end < needed && list[end] != 0)
            ++end;
        if (end == needed)
            break; // a name that runs off the buffer
        covered = at = end + 1;
    }
    if (whole && returned >= covered) {
        bool more = true;
        for (size_t at = 0; at < covered && more;) {
            size_t length = std::wcslen(list + at);
            more = take(list + at, length);
            at += length + 1;
        }
    } else if (ok && failed && *failed == ERROR_SUCCESS) {
        *failed = ERROR_INVALID_DATA; // a list that is not whole
    }
    Release(list);
    return true;
}

// Appends the path names of one volume of this disk: its drive letter when
// the list is headed by a drive root (three characters, the second and
// third ":\\"), every other name to the mount list. Returns false only when
// memory ran out.
bool TakePathNames(const wchar_t *volumeName, ScanState &scan) {
    bool first = true, enough = true;
    bool read = ForEachPathName(volumeName, [&](const wchar_t *name, size_t length) {
        if (first && length == 3 && name[1] == L':' && name[2] == L'\\') {
            first = false;
            if (name[0] >= L'A' && name[0] <= L'Z')
                scan.letters[name[0] - L'A'] = name[0];
            return true;
        }
        first = false;
        try {
            scan.mounts.append(name, length);
            scan.mounts.push_back(0);
        } catch (...) {
            enough = false;
        }
        return enough;
    });
    return read && enough;
}

// Opens a volume by its name without the trailing backslash (with it, the
// name is the volume's root directory). A volume name is 49 characters
// ending in one; a name of another shape is opened as it is rather than cut
// short. Where read access is refused (without administrator rights) a
// volume opened for a scan is opened for queries only: its extents need no
// access.
HANDLE OpenVolume(wchar_t *volumeName, DWORD access = GENERIC_READ) {
    const bool trailing = volumeName[VolumeNameBackslash] == L'\\' && volumeName[VolumeNameBackslash + 1] == 0;
    if (trailing)
        volumeName[VolumeNameBackslash] = 0;
    HANDLE volume =
        P::CreateFileW(volumeName, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (volume == INVALID_HANDLE_VALUE && access == GENERIC_READ && P::GetLastError() == ERROR_ACCESS_DENIED)
        volume = P::CreateFileW(volumeName, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    if (trailing)
        volumeName[VolumeNameBackslash] = L'\\';
    return volume;
}

void CloseVolume(HANDLE volume) {
    if (volume != INVALID_HANDLE_VALUE && volume != nullptr)
        P::CloseHandle(volume);
}

// Calls `take(extent)` for each extent of the volume, in order, until it
// returns true. Returns false only when memory ran out. With `failed`, an
// extents request that failed is noted there; a volume that has no disk
// extents to give (ERROR_INVALID_FUNCTION: an optical or floppy drive) is
// none.
template <class Take> bool ForEachExtent(HANDLE volume, Take take, DWORD *failed = nullptr) {
    auto *first = Alloc<VOLUME_DISK_EXTENTS>();
    if (!first)
        return false;
    DWORD returned = 0;
    // A volume with several extents answers "more data" with the count.
    if (!P::DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, first,
                            sizeof(VOLUME_DISK_EXTENTS), &returned, nullptr)) {
        DWORD why = P::GetLastError();
        if (why != ERROR_MORE_DATA && why != ERROR_INVALID_FUNCTION)
            NoteFailure(failed);
    }
    DWORD count = first->NumberOfDiskExtents;
    Release(first);

    const size_t header = offsetof(VOLUME_DISK_EXTENTS, Extents);
    if (count > (MaxExtentsBlock - header) / sizeof(DISK_EXTENT) && failed && *failed == ERROR_SUCCESS)
        *failed = ERROR_INVALID_DATA;
    if (count == 0 || count > (MaxExtentsBlock - header) / sizeof(DISK_EXTENT))
        return true;
    size_t size = header + size_t{count} * sizeof(DISK_EXTENT);
    auto *all = Alloc<VOLUME_DISK_EXTENTS>(size);
    if (!all)
        return false;
    if (P::DeviceIoControl(volume, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, all, static_cast<DWORD>(size),
                           &returned, nullptr)) {
        // The volume may have changed between the two answers.
        DWORD delivered = all->NumberOfDiskExtents < count ? all->NumberOfDiskExtents : count;
        for (DWORD i = 0; i < delivered; ++i) {
            DISK_EXTENT extent;
            std::memcpy(&extent, RecordBytes(all) + header + size_t{i} * sizeof(DISK_EXTENT), sizeof extent);
            if (take(extent))
                break;
        }
    } else {
        NoteFailure(failed);
    }
    Release(all);
    return true;
}

// Looks at one volume: when one of its extents lies on disk `number`, takes
// its path names. Returns false only when memory ran out.
bool ScanVolume(wchar_t *volumeName, ULONG number, ScanState &scan) {
    HANDLE volume = OpenVolume(volumeName);
    bool onThisDisk = false;
    bool enough = ForEachExtent(volume, [&](const DISK_EXTENT &extent) {
        onThisDisk = extent.DiskNumber == number;
        return onThisDisk;
    });
    if (enough && onThisDisk)
        enough = TakePathNames(volumeName, scan);
    CloseVolume(volume);
    return enough;
}

// How many volumes and disks ContainsSystemVolume visits at most, following
// virtual disks to what holds them.
constexpr size_t MaxHostLevels = 16;
// The largest answer asked for when a host list does not fit at first.
constexpr ULONG MaxDependencyBlock = 64 * 1024;

// The disk number of a \\.\PhysicalDriveN name.
std::optional<ULONG> PhysicalDriveNumber(const std::wstring &name) {
    static const std::wstring prefix = L"\\\\.\\PhysicalDrive";
    if (name.size() <= prefix.size() || name.size() > prefix.size() + 9 || name.compare(0, prefix.size(), prefix) != 0)
        return std::nullopt;
    ULONG number = 0;
    for (size_t i = prefix.size(); i < name.size(); ++i) {
        if (name[i] < L'0' || name[i] > L'9')
            return std::nullopt;
        number = number * 10 + static_cast<ULONG>(name[i] - L'0');
    }
    return number;
}

// A terminated string that lies wholly inside [begin, end); nullopt when
// the pointer is null, outside, misaligned or the string runs past the end.
std::optional<std::wstring> TextInside(const WCHAR *text, const uint8_t *begin, const uint8_t *end) {
    const uintptr_t at = reinterpret_cast<uintptr_t>(text);
    const uintptr_t first = reinterpret_cast<uintptr_t>(begin), last = reinterpret_cast<uintptr_t>(end);
    if (!text || at < first || at >= last || (at - first) % sizeof(WCHAR) != 0)
        return std::nullopt;
    std::wstring out;
    for (const uint8_t *p = begin + (at - first); p + sizeof(WCHAR) <= end; p += sizeof(WCHAR)) {
        WCHAR c;
        std::memcpy(&c, p, sizeof c);
        if (c == 0)
            return out;
        out.push_back(static_cast<wchar_t>(c));
    }
    return std::nullopt;
}

// What holds the content of the virtual disks the volume lies on, as the
// platform names it (volume names, or \\.\PhysicalDriveN); none when the
// volume lies on no virtual disk or the platform cannot tell.
std::vector<std::wstring> HostsOf(HANDLE volume) {
    std::vector<std::wstring> hosts;
    if (volume == INVALID_HANDLE_VALUE || volume == nullptr)
        return hosts;
    ULONG size = 1024;
    for (int attempt = 0; attempt < 3; ++attempt) {
        auto *info = Alloc<STORAGE_DEPENDENCY_INFO>(size);
        if (!info)
            return hosts;
        info->Version = STORAGE_DEPENDENCY_INFO_VERSION_2;
        ULONG used = 0;
        DWORD result =
            P::GetStorageDependencyInformation(volume, GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES, size, info, &used);
        if (result == ERROR_INSUFFICIENT_BUFFER && used > size && used <= MaxDependencyBlock) {
            Release(info);
            size = used;
            continue;
        }
        if (result == ERROR_SUCCESS) {
            const uint8_t *begin = RecordBytes(info);
            const size_t header = offsetof(STORAGE_DEPENDENCY_INFO, Version2Entries);
            const size_t fit = (size - header) / sizeof(STORAGE_DEPENDENCY_INFO_TYPE_2);
            ULONG count = 0;
            std::memcpy(&count, begin + offsetof(STORAGE_DEPENDENCY_INFO, NumberEntries), sizeof count);
            for (size_t i = 0; i < count && i < fit; ++i) {
                STORAGE_DEPENDENCY_INFO_TYPE_2 entry;
                std::memcpy(&entry, begin + header + i * sizeof entry, sizeof entry);
                if (auto name = TextInside(entry.HostVolumeName, begin, begin + size))
                    hosts.push_back(std::move(*name));
            }
        }
        Release(info);
        break;
    }
    return hosts;
}

} // namespace

// One pass over every volume of the machine for this disk: `visit(name,
// number)` is called for each volume with this disk's number, asked once
// right after the search started, and returns false to stop (memory ran
// out). Returns false when the pass stopped for want of memory. With
// `failed`, a search or device number that failed is noted there (a search
// that finds no volume at all is no failure).
template <class Visit> bool Drive::WalkVolumes(Visit visit, DWORD *failed) {
    bool enough = true;
    wchar_t volumeName[VolumeNameCapacity] = {};
    HANDLE search = P::FindFirstVolumeW(volumeName, VolumeNameCapacity);
    if (search == INVALID_HANDLE_VALUE) {
        if (P::GetLastError() != ERROR_NO_MORE_FILES)
            NoteFailure(failed);
        return true;
    }
    // Without this disk's number no volume can be matched to it: a failed
    // request must not be taken for disk 0.
    ULONG number = 0;
    int asked = QueryDeviceNumber(&number);
    enough = asked >= 0;
    if (asked == 0)
        NoteFailure(failed);
    if (asked > 0) {
        bool more = true;
        do {
            volumeName[VolumeNameCapacity - 1] = 0;
            enough = visit(volumeName, number);
            more = enough && P::FindNextVolumeW(search, volumeName, VolumeNameCapacity);
        } while (more);
        if (enough && P::GetLastError() != ERROR_NO_MORE_FILES)
            NoteFailure(failed);
    }
    P::FindVolumeClose(search);
    return enough;
}

void Drive::ScanVolumes() {
    ScanState scan{Alloc<wchar_t>(26 * sizeof(wchar_t)), {}};
    if (!scan.letters)
        return;

    bool enough =
        WalkVolumes([&scan](wchar_t *volumeName, ULONG number) { return ScanVolume(volumeName, number, scan); });

    // A failure handler called during this pass may have asked this disk
    // for its volumes, and so run (and kept) a whole pass of its own inside
    // this one: that answer stands, this one goes.
    if (DriveLetterTable) {
        Release(scan.letters);
        return;
    }
    // The paths are kept as they came, each with its terminator, the list
    // ended by an empty one; GetMountPoints joins them.
    size_t kept = scan.mounts.size();
    wchar_t *list = enough ? Alloc<wchar_t>((kept + 1) * sizeof(wchar_t)) : nullptr;
    if (!list) {
        // Both records or neither: a later call runs the scan again.
        Release(scan.letters);
        return;
    }
    if (kept)
        std::wmemcpy(list, scan.mounts.data(), kept);
    list[kept] = 0;
    DriveLetterTable = scan.letters;
    MountPointList = list;
}

// Whether one of a volume's extents on disk `number` has a byte of the
// `size` bytes from `first`.
static bool ExtentHolds(const DISK_EXTENT &extent, ULONG number, uint64_t first, ULONG size) {
    uint64_t start = static_cast<uint64_t>(extent.StartingOffset.QuadPart);
    uint64_t end = start + static_cast<uint64_t>(extent.ExtentLength.QuadPart);
    if (end < start)
        end = UINT64_MAX; // an absurd length reaches the end of the disk
    return extent.DiskNumber == number && first < end && start < first + (size ? size : 1);
}

int Drive::GetSectorMountPoint(ULONG Sector, wchar_t *Buffer, ULONG Capacity, ULONG *Length) {
    ULONG size = GetBytesPerSector();
    return VolumePathsAt(uint64_t{Sector} * size, size, false, Buffer, Capacity, Length);
}

// The path names of the volume with an extent on this disk holding a byte
// of the `size` bytes from `first`: its first one, or with `all` every one,
// joined by "; ".
int Drive::VolumePathsAt(unsigned long long first, ULONG size, bool all, wchar_t *Buffer, ULONG Capacity,
                         ULONG *Length) {
    ULONG ignored = 0;
    if (!Length)
        Length = &ignored;
    *Length = 0;

    // A fresh pass, not the kept scan: the question is about now. Every
    // volume must be examined: one that cannot be makes the answer "could
    // not tell", unless another volume is found mounted there.
    std::wstring found;
    DWORD failed = ERROR_SUCCESS;
    bool enough = true;
    WalkVolumes(
        [&](wchar_t *volumeName, ULONG number) {
            HANDLE volume = OpenVolume(volumeName);
            if (volume == INVALID_HANDLE_VALUE || volume == nullptr) {
                NoteFailure(&failed);
                return true;
            }
            bool holds = false;
            enough = ForEachExtent(
                volume,
                [&](const DISK_EXTENT &extent) {
                    holds = ExtentHolds(extent, number, first, size);
                    return holds;
                },
                &failed);
            bool named = false;
            if (enough && holds)
                enough = ForEachPathName(
                    volumeName,
                    [&](const wchar_t *name, size_t length) {
                        try {
                            if (named)
                                found.append(L"; ");
                            found.append(name, length);
                            named = true;
                        } catch (...) {
                            enough = false;
                            return false;
                        }
                        return all; // else the first name is the one
                    },
                    &failed);
            CloseVolume(volume);
            return enough && !named; // a volume found: no need to look further
        },
        &failed);
    if (found.empty()) {
        if (!enough && failed == ERROR_SUCCESS)
            failed = ERROR_NOT_ENOUGH_MEMORY;
        if (failed != ERROR_SUCCESS) {
            P::SetLastError(failed);
            return -1;
        }
        return 0;
    }
    *Length = static_cast<ULONG>(found.size() + 1);
    if (Capacity < *Length || !Buffer)
        return 0;
    std::wmemcpy(Buffer, found.c_str(), found.size() + 1);
    return 1;
}

int Drive::IsPartitionTableSector(ULONG Sector, ULONG Size) {
    if (Sector == 0)
        return 1; // the (protective) MBR
    auto *header = Alloc<unsigned char>(Size);
    if (!header)
        return 1; // cannot tell: taken for one
    int table = 0;
    if (!ReadSector(1, header)) {
        table = 1;
    } else if (Size >= 92 && std::memcmp(header, "EFI PART", 8) == 0) {
        uint64_t alternate = 0, entries = 0;
        uint32_t count = 0, entrySize = 0;
        std::memcpy(&alternate, header + 32, 8);
        std::memcpy(&entries, header + 72, 8);
        std::memcpy(&count, header + 80, 4);
        std::memcpy(&entrySize, header + 84, 4);
        // The entry array, at most 16 MiB of it (an absurd header still
        // covers the usual 32 sectors after it), and its backup just before
        // the backup header at the end of the disk.
        uint64_t bytes = uint64_t{count} * entrySize;
        uint64_t sectors = (std::min<uint64_t>(bytes, 16u << 20) + Size - 1) / Size;
        if (sectors < 32)
            sectors = 32;
        uint64_t s = Sector;
        table = s == 1 || (s >= entries && s - entries < sectors) || s == alternate ||
                (s < alternate && alternate - s <= sectors);
    }
    Release(header);
    return table;
}

int Drive::WriteSectorIfUnused(ULONG Sector, unsigned char *Buffer) {
    ULONG size = GetBytesPerSector();
    if (size == 0 || !Buffer) {
        P::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    const uint64_t first = uint64_t{Sector} * size;
    // A partition table sector is in use when anything on the disk is.
    const bool table = IsPartitionTableSector(Sector, size) != 0;

    // Every volume with an extent holding the sector is locked first, the
    // disk as a whole last (a lock on the disk may take a partition's claim
    // to show that nothing else holds the disk).
    std::vector<HANDLE> held;
    DWORD failed = ERROR_SUCCESS;
    bool enough = true;
    WalkVolumes(
        [&](wchar_t *volumeName, ULONG number) {
            HANDLE volume = OpenVolume(volumeName, GENERIC_READ | GENERIC_WRITE);
            if (volume == INVALID_HANDLE_VALUE || volume == nullptr) {
                NoteFailure(&failed);
                return false;
            }
            bool holds = false;
            enough = ForEachExtent(
                volume,
                [&](const DISK_EXTENT &extent) {
                    holds = table ? extent.DiskNumber == number : ExtentHolds(extent, number, first, size);
                    return holds;
                },
                &failed);
            if (enough && failed == ERROR_SUCCESS && holds) {
                DWORD returned = 0;
                if (!P::DeviceIoControl(volume, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr)) {
                    NoteFailure(&failed);
                } else {
                    try {
                        held.push_back(volume);
                        return true;
                    } catch (...) {
                        enough = false;
                    }
                }
            }
            CloseVolume(volume);
            return enough && failed == ERROR_SUCCESS;
        },
        &failed);
    if (!enough && failed == ERROR_SUCCESS)
        failed = ERROR_NOT_ENOUGH_MEMORY;
    bool diskLocked = false;
    if (failed == ERROR_SUCCESS) {
        DWORD returned = 0;
        diskLocked = P::DeviceIoControl(DeviceHandle, FSCTL_LOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
        if (!diskLocked)
            NoteFailure(&failed);
    }
    int result = -1;
    if (failed == ERROR_SUCCESS)
        result = WriteSector(Sector, Buffer) ? 1 : 0;
    DWORD why = failed != ERROR_SUCCESS ? failed : P::GetLastError();
    DWORD returned = 0;
    if (diskLocked)
        P::DeviceIoControl(DeviceHandle, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
    for (HANDLE volume : held) {
        P::DeviceIoControl(volume, FSCTL_UNLOCK_VOLUME, nullptr, 0, nullptr, 0, &returned, nullptr);
        CloseVolume(volume);
    }
    if (result != 1)
        P::SetLastError(why);
    return result;
}

int Drive::GetDriveLetters(wchar_t *Buffer, ULONG Capacity, ULONG *Length) {
    if (!DriveLetterTable)
        ScanVolumes();
    wchar_t staging[27];
    ULONG count = 0;
    if (DriveLetterTable) {
        for (int slot = 0; slot < 26; ++slot)
            if (DriveLetterTable[slot] != 0)
                staging[count++] = DriveLetterTable[slot];
    }
    staging[count++] = 0;
    if (Length)
        *Length = count;
    if (Capacity < count || !Buffer)
        return 0;
    std::wmemcpy(Buffer, staging, count);
    return 1;
}

namespace {

// Calls `take(path, length)` for each path of a kept mount list (none for
// no list) until it returns false.
template <class Take> void ForEachKept(const wchar_t *list, Take take) {
    for (const wchar_t *at = list; at && *at;) {
        size_t length = std::wcslen(at);
        if (!take(at, length))
            return;
        at += length + 1;
    }
}

// Delivers `length` characters and a terminator under the wide text rules.
int DeliverWide(const wchar_t *text, size_t length, wchar_t *Buffer, ULONG Capacity, ULONG *Length) {
    ULONG needed = static_cast<ULONG>(length + 1);
    if (Length)
        *Length = needed;
    if (Capacity < needed || !Buffer)
        return 0;
    std::wmemcpy(Buffer, text, length);
    Buffer[length] = 0;
    return 1;
}

} // namespace

int Drive::GetMountPoints(wchar_t *Buffer, ULONG Capacity, ULONG *Length) {
    if (!DriveLetterTable) {
        ULONG ignored = 0;
        GetDriveLetters(nullptr, 0, &ignored);
    }
    // The paths joined by "; ", written straight into the caller's buffer.
    size_t length = 0;
    ForEachKept(MountPointList, [&](const wchar_t *, size_t pathLength) {
        length += (length ? 2 : 0) + pathLength;
        return true;
    });
    ULONG needed = static_cast<ULONG>(length + 1);
    if (Length)
        *Length = needed;
    if (Capacity < needed || !Buffer)
        return 0;
    size_t at = 0;
    ForEachKept(MountPointList, [&](const wchar_t *path, size_t pathLength) {
        if (at) {
            Buffer[at++] = L';';
            Buffer[at++] = L' ';
        }
        std::wmemcpy(Buffer + at, path, pathLength);
        at += pathLength;
        return true;
    });
    Buffer[at] = 0;
    return 1;
}

ULONG Drive::GetMountPointCount() {
    if (!DriveLetterTable)
        GetDriveLetters(nullptr, 0, nullptr);
    ULONG count = 0;
    ForEachKept(MountPointList, [&](const wchar_t *, size_t) { return ++count != 0; });
    return count;
}

int Drive::GetMountPoint(ULONG Index, wchar_t *Buffer, ULONG Capacity, ULONG *Length) {
    if (!DriveLetterTable)
        GetDriveLetters(nullptr, 0, nullptr);
    ULONG at = 0;
    int delivered = -1;
    ForEachKept(MountPointList, [&](const wchar_t *path, size_t length) {
        if (at++ != Index)
            return true;
        delivered = DeliverWide(path, length, Buffer, Capacity, Length);
        return false;
    });
    if (delivered >= 0)
        return delivered;
    if (Length)
        *Length = 0;
    return 0;
}

int Drive::ContainsWindowsBootPartition() {
    wchar_t letters[27] = {};
    ULONG length = 0;
    GetDriveLetters(letters, 27, &length);

    wchar_t directory[MAX_PATH] = {};
    UINT written = P::GetWindowsDirectoryW(directory, MAX_PATH);
    // 0 is a failure; MAX_PATH or more is the size a longer path would need,
    // with nothing written.
    if (written == 0 || written >= MAX_PATH)
        return 0;
    for (int i = 0; i < 26 && letters[i] != 0; ++i)
        if (letters[i] == directory[0])
            return 1;
    return 0;
}

int Drive::ContainsSystemVolume() {
    // The system's directory, the volume path name that holds it, and the
    // volume mounted there; each step that fails leaves the answer 0.
    wchar_t directory[MAX_PATH] = {};
    UINT written = P::GetSystemDirectoryW(directory, MAX_PATH);
    if (written == 0 || written >= MAX_PATH)
        return 0;
    wchar_t mountPoint[MAX_PATH + 1] = {};
    if (!P::GetVolumePathNameW(directory, mountPoint, MAX_PATH))
        return 0;
    mountPoint[MAX_PATH] = 0;
    wchar_t volumeName[VolumeNameCapacity] = {};
    if (!P::GetVolumeNameForVolumeMountPointW(mountPoint, volumeName, VolumeNameCapacity - 1))
        return 0;
    // Without this disk's number no extent can be matched to it: a failed
    // request must not be taken for disk 0.
    ULONG number = 0;
    if (QueryDeviceNumber(&number) <= 0)
        return 0;
    // The volume's extents name every disk it lies on, through partitions and
    // the volumes stacked beneath it. Where one of those is a virtual disk (an
    // image file, a loop device), what holds its content holds the system
    // too: followed a few levels down.
    std::vector<std::wstring> pending{volumeName}, seen;
    while (!pending.empty() && seen.size() < MaxHostLevels) {
        std::wstring name = std::move(pending.back());
        pending.pop_back();
        if (std::find(seen.begin(), seen.end(), name) != seen.end())
            continue;
        seen.push_back(name);
        if (auto disk = PhysicalDriveNumber(name)) {
            if (*disk == number)
                return 1;
            continue;
        }
        if (name.size() >= VolumeNameCapacity)
            continue;
        wchar_t buffer[VolumeNameCapacity] = {};
        std::wmemcpy(buffer, name.data(), name.size());
        HANDLE volume = OpenVolume(buffer);
        bool onThisDisk = false;
        ForEachExtent(volume, [&](const DISK_EXTENT &extent) {
            onThisDisk = extent.DiskNumber == number;
            return onThisDisk;
        });
        if (!onThisDisk)
            for (std::wstring &host : HostsOf(volume))
                pending.push_back(std::move(host));
        CloseVolume(volume);
        if (onThisDisk)
            return 1;
    }
    return 0;
}
