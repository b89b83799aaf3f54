// Volume enumeration and volume path names of the Linux backend, and the
// Windows directory, which a Linux system does not have.
//
// A volume search takes one snapshot of every volume with its extents and
// mount points. While the search is open, requests on its volumes (opening
// one, its extents, its path names) are answered from that snapshot, so a
// scan over all volumes costs one pass over sysfs instead of one per volume.
#include "Linux.h"

#include <algorithm>
#include <cwchar>
#include <mutex>

namespace TavLinux {
namespace {

struct Snapshot {
    Root root;
    std::vector<VolumeRecord> volumes;
    std::vector<std::wstring> lowerNames; // the volumes' names in lower case, for lookups
    std::vector<BlockEntry> disks;        // the disk list of the look, in device-number order
};

// The search the calling thread opened last and has not closed.
thread_local std::weak_ptr<Snapshot> t_openSearch;

struct VolumeSearch : Object {
    static constexpr Kind TheKind = Kind::VolumeSearch;
    VolumeSearch() : Object(Kind::VolumeSearch) {}
    std::shared_ptr<Snapshot> snapshot;
    size_t next = 0;
};

struct OpenSearches {
    std::mutex lock;
    std::vector<std::weak_ptr<Snapshot>> snapshots; // newest last
};

OpenSearches &Searches() {
    static OpenSearches *searches = new OpenSearches; // lives as long as the process
    return *searches;
}

constexpr size_t VolumeNameLength = 49; // \\?\Volume{GUID}\ without its terminator

bool WellFormedVolumeName(const std::wstring &name) {
    return name.size() == VolumeNameLength && name.compare(0, 11, L"\\\\?\\Volume{") == 0 &&
           name.compare(VolumeNameLength - 2, 2, L"}\\") == 0;
}

std::wstring Lower(std::wstring s) {
    for (auto &c : s)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return s;
}

std::shared_ptr<Snapshot> TakeSnapshot(const Root &root) {
    auto snapshot = std::make_shared<Snapshot>();
    snapshot->root = root;
    BlockView view(root);
    std::vector<Mount> mounts = ReadMounts(root);
    for (auto &v : ListVolumes(view, true, mounts)) {
        VolumeRecord r;
        r.extents = VolumeExtents(view, v.block);
        r.mounts = MountPointsOf(view, v.block, mounts);
        r.entry = std::move(v);
        snapshot->lowerNames.push_back(Lower(r.entry.name));
        snapshot->volumes.push_back(std::move(r));
    }
    for (size_t i : view.Disks())
        snapshot->disks.push_back(view.Entry(i));
    return snapshot;
}

} // namespace

std::optional<VolumeRecord> LookupVolume(const Root &root, const std::wstring &name) {
    std::wstring wanted = Lower(name);
    if (!wanted.empty() && wanted.back() != L'\\')
        wanted.push_back(L'\\');
    {
        OpenSearches &s = Searches();
        std::lock_guard<std::mutex> guard(s.lock);
        s.snapshots.erase(std::remove_if(s.snapshots.begin(), s.snapshots.end(),
                                         [](const std::weak_ptr<Snapshot> &w) { return w.expired(); }),
                          s.snapshots.end());
        for (auto it = s.snapshots.rbegin(); it != s.snapshots.rend(); ++it) {
            auto snapshot = it->lock();
            if (!snapshot || !(snapshot->root == root))
                continue;
            for (size_t i = 0; i < snapshot->volumes.size(); ++i)
                if (snapshot->lowerNames[i] == wanted)
                    return snapshot->volumes[i];
        }
    }
    BlockView view(root);
    for (auto &v : ListVolumes(view, false, {})) {
        if (Lower(v.name) != wanted)
            continue;
        VolumeRecord r;
        r.extents = VolumeExtents(view, v.block);
        r.mounts = MountPointsOf(view, v.block, ReadMounts(root));
        r.entry = std::move(v);
        return r;
    }
    return std::nullopt;
}

bool DiskNumberInOpenSearch(const Root &root, const BlockEntry &disk, std::optional<DWORD> &number) {
    number.reset();
    std::shared_ptr<Snapshot> snapshot = t_openSearch.lock();
    if (!snapshot || !(snapshot->root == root))
        return false;
    for (size_t n = 0; n < snapshot->disks.size(); ++n) {
        const BlockEntry &e = snapshot->disks[n];
        if (e.name == disk.name && e.sys == disk.sys && e.partition == disk.partition) {
            number = static_cast<DWORD>(n);
            break;
        }
    }
    return true;
}

} // namespace TavLinux

namespace TavPlatform {

using namespace TavLinux;

HANDLE FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    if (!lpszVolumeName) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    auto search = std::make_shared<VolumeSearch>();
    search->snapshot = TakeSnapshot(CurrentRoot());
    const auto &volumes = search->snapshot->volumes;
    if (volumes.empty()) {
        Fail(ERROR_NO_MORE_FILES);
        return INVALID_HANDLE_VALUE;
    }
    if (cchBufferLength < volumes[0].entry.name.size() + 1) {
        Fail(ERROR_FILENAME_EXCED_RANGE);
        return INVALID_HANDLE_VALUE;
    }
    CopyWide(volumes[0].entry.name, lpszVolumeName, cchBufferLength);
    search->next = 1;
    {
        OpenSearches &s = Searches();
        std::lock_guard<std::mutex> guard(s.lock);
        s.snapshots.push_back(search->snapshot);
    }
    t_openSearch = search->snapshot;
    return AddHandle(search);
}

BOOL FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    auto search = Find<VolumeSearch>(hFindVolume);
    if (!search)
        return Fail(ERROR_INVALID_HANDLE);
    if (!lpszVolumeName)
        return Fail(ERROR_INVALID_PARAMETER);
    const auto &volumes = search->snapshot->volumes;
    if (search->next >= volumes.size())
        return Fail(ERROR_NO_MORE_FILES);
    const std::wstring &name = volumes[search->next].entry.name;
    if (cchBufferLength < name.size() + 1)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    CopyWide(name, lpszVolumeName, cchBufferLength);
    ++search->next;
    return TRUE;
}

BOOL FindVolumeClose(HANDLE hFindVolume) {
    if (auto search = Find<VolumeSearch>(hFindVolume); search && t_openSearch.lock() == search->snapshot)
        t_openSearch.reset();
    return RemoveHandle(hFindVolume, Object::Kind::VolumeSearch) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames, DWORD cchBufferLength,
                                      PDWORD lpcchReturnLength) {
    if (!lpszVolumeName)
        return Fail(ERROR_INVALID_PARAMETER);
    std::wstring name(lpszVolumeName);
    if (!WellFormedVolumeName(name))
        return Fail(ERROR_INVALID_NAME);
    auto volume = LookupVolume(CurrentRoot(), name);
    if (!volume)
        return Fail(ERROR_FILE_NOT_FOUND);
    // The mount points, each with its terminator, and one more terminator
    // ending the list (two when there is no mount point at all).
    std::wstring list;
    for (const auto &path : volume->mounts) {
        list += Widen(path);
        list.push_back(L'\0');
    }
    if (list.empty())
        list.push_back(L'\0');
    list.push_back(L'\0');
    if (lpcchReturnLength)
        *lpcchReturnLength = static_cast<DWORD>(list.size());
    if (!lpszVolumePathNames && cchBufferLength)
        return Fail(ERROR_INVALID_PARAMETER);
    if (cchBufferLength < list.size())
        return Fail(ERROR_MORE_DATA);
    std::wmemcpy(lpszVolumePathNames, list.data(), list.size());
    return TRUE;
}

UINT GetWindowsDirectoryW(LPWSTR, UINT) {
    // There is no Windows directory here: no disk holds the system volume.
    Fail(ERROR_PATH_NOT_FOUND);
    return 0;
}

} // namespace TavPlatform
