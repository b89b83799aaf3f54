// SPDX-License-Identifier: MIT
// Volumes of the Linux backend: which block devices are volumes, their
// names (a GUID derived from the disk's lasting identity), the whole disks
// beneath each (its extents), the volume search, volume path names, and the
// Windows directory, which a Linux system does not have.
//
// A volume search takes the volumes of the current look, each with its
// extents and mount points. While the search is open, requests on its
// volumes (opening one, its extents, its path names) are answered from that
// snapshot, so a scan over all volumes costs one pass over sysfs instead of
// one per volume, and none at all while the look is kept.
#include "Volumes.h"
#include "Errors.h"
#include "Handles.h"
#include "Looks.h"
#include "Mounts.h"
#include "State.h"
#include "Text.h"
#include "Tree.h"
#include "../platform.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cwchar>
#include <map>
#include <mutex>
#include <set>

namespace TavLinux {

namespace {

// Two FNV-1a hashes of the identity text make the 128 bits of a name-based
// GUID (version 5 layout, RFC 4122 variant).
std::wstring VolumeName(const std::string &identity) {
    uint64_t h1 = 0xcbf29ce484222325ull, h2 = 0x84222325cbf29ce4ull;
    for (unsigned char c : identity) {
        h1 = (h1 ^ c) * 0x100000001b3ull;
        h2 = (h2 ^ static_cast<unsigned char>(c + 0x5B)) * 0x100000001b3ull;
    }
    unsigned char b[16];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<unsigned char>(h1 >> (56 - 8 * i));
        b[8 + i] = static_cast<unsigned char>(h2 >> (56 - 8 * i));
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x50);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[64];
    std::snprintf(text, sizeof text,
                  "\\\\?\\Volume{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}\\", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return Widen(text);
}

} // namespace

std::vector<VolumeEntry> ListVolumes(Look &look, bool probeContent) {
    BlockView &view = look.view;
    std::set<std::string> partitioned;
    for (size_t i = 0; i < view.Listed(); ++i)
        if (view.Entry(i).partition)
            partitioned.insert(DirName(view.Entry(i).sys));

    std::vector<VolumeEntry> volumes;
    std::vector<size_t> slots;
    std::vector<std::string> identities;
    for (size_t i = 0; i < view.Listed(); ++i) {
        const BlockEntry &e = view.Entry(i);
        std::string identity;
        bool whole = false;
        if (e.partition) {
            std::string parentSys = DirName(e.sys);
            auto parent = view.FindSys(parentSys);
            std::string parentId = parent ? view.Identity(*parent) : "path:" + parentSys;
            identity = parentId + "/part@" + view.StartText(i).value_or(e.name);
        } else if (view.HasDm(i) || view.HasMd(i)) {
            identity = view.Identity(i);
        } else {
            if (view.SizeSectors(i) == 0 || view.Hidden(i))
                continue;
            // A whole disk that carries a partition table is a volume of its
            // own only while it is mounted as a whole (a hybrid image).
            if (partitioned.count(e.sys) && MountPointsOf(view, e, look.Mounts()).empty())
                continue;
            whole = true;
            identity = view.Identity(i) + "/whole";
        }
        VolumeEntry v;
        v.block = e;
        v.wholeDisk = whole;
        volumes.push_back(std::move(v));
        slots.push_back(i);
        identities.push_back(std::move(identity));
    }

    // Two devices that name themselves alike (cloned disks, identical sticks)
    // are told apart by their kernel names.
    std::map<std::string, int> uses;
    for (const auto &id : identities)
        ++uses[id];
    std::vector<VolumeEntry> out;
    for (size_t i = 0; i < volumes.size(); ++i) {
        std::string id = identities[i];
        if (uses[id] > 1)
            id += "|" + volumes[i].block.name;
        volumes[i].name = VolumeName(id);
        if (probeContent && volumes[i].wholeDisk) {
            const auto &e = volumes[i].block;
            bool mounted = !MountPointsOf(view, e, look.Mounts()).empty();
            bool held = !view.Holders(slots[i]).empty();
            if (!mounted && (held || !look.HoldsFileSystem(e.name)))
                continue;
        }
        out.push_back(std::move(volumes[i]));
    }
    return out;
}

std::vector<Extent> VolumeExtents(BlockView &view, const BlockEntry &volume) {
    std::vector<Extent> out;
    std::set<std::string> visited;
    // A dm or md device (or a partition of one) lies on its own disk as well
    // as on its members: that disk is the one mounted.
    const size_t own = view.Adopt(volume);
    if (!volume.partition && !view.Slaves(own).empty()) {
        if (auto n = view.DiskNumber(own))
            out.push_back({*n, 0, view.SizeSectors(own) * 512});
    } else if (volume.partition) {
        auto parent = view.FindSys(DirName(volume.sys));
        if (parent && !view.Slaves(*parent).empty())
            if (auto n = view.DiskNumber(*parent))
                out.push_back({*n, view.StartSectors(own) * 512, view.SizeSectors(own) * 512});
    }
    // Walks down from a block device to the whole disks it lies on.
    auto walk = [&](auto &self, size_t slot, int depth) -> void {
        const BlockEntry &e = view.Entry(slot);
        if (depth > 16 || !visited.insert(e.sys).second)
            return;
        if (e.partition) {
            std::string parentSys = DirName(e.sys);
            auto parent = view.Find(BaseName(parentSys));
            if (!parent || view.Entry(*parent).sys != parentSys)
                return;
            if (!view.Slaves(*parent).empty()) {
                self(self, *parent, depth + 1);
                return;
            }
            if (auto n = view.DiskNumber(*parent))
                out.push_back({*n, view.StartSectors(slot) * 512, view.SizeSectors(slot) * 512});
            return;
        }
        const auto &slaves = view.Slaves(slot);
        if (!slaves.empty()) {
            for (const auto &s : slaves)
                if (auto child = view.Find(s))
                    self(self, *child, depth + 1);
            return;
        }
        if (auto n = view.DiskNumber(slot))
            out.push_back({*n, 0, view.SizeSectors(slot) * 512});
    };
    walk(walk, own, 0);
    return out;
}

std::wstring VolumeKey(std::wstring_view name) {
    std::wstring key(name);
    for (auto &c : key)
        if (c >= L'A' && c <= L'Z')
            c = static_cast<wchar_t>(c - L'A' + L'a');
    return key;
}

namespace {

struct VolumeSearch : Object {
    static constexpr Kind TheKind = Kind::VolumeSearch;
    VolumeSearch() : Object(Kind::VolumeSearch) {}
    Root root;
    std::shared_ptr<const VolumeSnapshot> snapshot;
    size_t next = 0;
};

// A search as long as its handle is open: only the handle table owns the
// search, so a closed search answers nothing more, even while the look
// that took its snapshot is kept and the snapshot with it.
struct OpenSearch {
    std::weak_ptr<const VolumeSearch> search;
    // The volume the search gave last: the one a caller walking the
    // volumes opens next, found without a search of the snapshot.
    size_t last = SIZE_MAX;
};

// The search the calling thread opened last and has not closed.
thread_local OpenSearch t_openSearch;

struct OpenSearches {
    std::mutex lock;
    std::vector<OpenSearch> searches; // newest last
};

OpenSearches &Searches() { return Owned<OpenSearches>(Part::Searches); }

constexpr size_t VolumeNameLength = 49; // \\?\Volume{GUID}\ without its terminator

bool WellFormedVolumeName(const std::wstring &name) {
    return name.size() == VolumeNameLength && name.compare(0, 11, L"\\\\?\\Volume{") == 0 &&
           name.compare(VolumeNameLength - 2, 2, L"}\\") == 0;
}

// The volume's facts inside their snapshot, which the pointer keeps alive.
std::shared_ptr<const VolumeFacts> VolumeFactsIn(const std::shared_ptr<const VolumeSnapshot> &snapshot,
                                                 const std::wstring &key) {
    auto it = snapshot->byName.find(key);
    if (it == snapshot->byName.end())
        return nullptr;
    return std::shared_ptr<const VolumeFacts>(snapshot, &snapshot->volumes[it->second]);
}

} // namespace

// Whether `name` is the volume name `given` exactly as a search gave it,
// with or without its trailing backslash.
bool SameAsGiven(std::wstring_view name, const std::wstring &given) {
    const size_t n = name.size();
    return (n == given.size() || (n + 1 == given.size() && given.back() == L'\\')) && given.compare(0, n, name) == 0;
}

std::shared_ptr<const VolumeFacts> FindVolumeByName(const Root &root, std::wstring_view name, DWORD &failure) {
    failure = 0;
    // The calling thread's own search first: the device numbers it is
    // asked for meanwhile come from the same look (DiskNumberInOpenSearch).
    // A caller walking the volumes opens the one the search just gave.
    std::shared_ptr<const VolumeSnapshot> own;
    if (auto search = t_openSearch.search.lock(); search && search->root == root)
        own = search->snapshot;
    if (own && t_openSearch.last < own->volumes.size() && SameAsGiven(name, own->volumes[t_openSearch.last].entry.name))
        return std::shared_ptr<const VolumeFacts>(own, &own->volumes[t_openSearch.last]);
    std::wstring key = VolumeKey(name);
    if (!key.empty() && key.back() != L'\\')
        key.push_back(L'\\');
    if (own)
        if (auto facts = VolumeFactsIn(own, key))
            return facts;
    // Else the newest look among the searches other threads hold open; they
    // may have opened them in any order, so the order of opening says
    // nothing about which is newer.
    {
        OpenSearches &s = Searches();
        std::lock_guard<std::mutex> guard(s.lock);
        s.searches.erase(std::remove_if(s.searches.begin(), s.searches.end(),
                                        [](const OpenSearch &o) { return o.search.expired(); }),
                         s.searches.end());
        std::shared_ptr<const VolumeFacts> newest;
        uint64_t newestLook = 0;
        for (const OpenSearch &o : s.searches) {
            auto search = o.search.lock();
            if (!search || !(search->root == root))
                continue;
            const auto &snapshot = search->snapshot;
            if (snapshot->look < newestLook)
                continue;
            if (auto facts = VolumeFactsIn(snapshot, key)) {
                newest = std::move(facts);
                newestLook = snapshot->look;
            }
        }
        if (newest)
            return newest;
    }
    LookInUse look(root);
    auto facts = VolumeFactsIn(look->Candidates(), key);
    failure = look.Failure();
    return failure ? nullptr : facts;
}

bool DiskNumberInOpenSearch(const Root &root, const BlockEntry &disk, std::optional<DWORD> &number) {
    number.reset();
    auto search = t_openSearch.search.lock();
    if (!search || !(search->root == root))
        return false;
    const auto &snapshot = search->snapshot;
    auto it = snapshot->disks.find(disk.name);
    if (it != snapshot->disks.end() && it->second.first.sys == disk.sys && it->second.first.partition == disk.partition)
        number = it->second.second;
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
    search->root = CurrentRoot();
    {
        LookInUse look(search->root);
        search->snapshot = look->Volumes();
        if (DWORD failure = look.Failure()) {
            Fail(failure);
            return INVALID_HANDLE_VALUE;
        }
    }
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
        s.searches.push_back({search});
    }
    t_openSearch = {search, 0};
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
    if (t_openSearch.search.lock() == search)
        t_openSearch.last = search->next;
    ++search->next;
    return TRUE;
}

BOOL FindVolumeClose(HANDLE hFindVolume) {
    if (auto search = Find<VolumeSearch>(hFindVolume); search && t_openSearch.search.lock() == search)
        t_openSearch = {};
    return RemoveHandle(hFindVolume, Object::Kind::VolumeSearch) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames, DWORD cchBufferLength,
                                      PDWORD lpcchReturnLength) {
    if (!lpszVolumeName)
        return Fail(ERROR_INVALID_PARAMETER);
    std::wstring name(lpszVolumeName);
    if (!WellFormedVolumeName(name))
        return Fail(ERROR_INVALID_NAME);
    DWORD failure = 0;
    auto volume = FindVolumeByName(CurrentRoot(), name, failure);
    if (!volume)
        return Fail(failure ? failure : ERROR_FILE_NOT_FOUND);
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

UINT GetSystemDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    // The system's files hang below the root directory as this process sees
    // it: the volume mounted there is the system's own.
    if (!lpBuffer || uSize < 2)
        return 2;
    CopyWide(L"/", lpBuffer, uSize);
    return 1;
}

BOOL GetVolumePathNameW(LPCWSTR lpszFileName, LPWSTR lpszVolumePathName, DWORD cchBufferLength) {
    if (!lpszFileName || !lpszVolumePathName)
        return Fail(ERROR_INVALID_PARAMETER);
    const std::string path = Narrow(lpszFileName);
    if (path.empty() || path[0] != '/')
        return Fail(ERROR_INVALID_NAME);
    auto look = CurrentLook(CurrentRoot());
    std::string best;
    {
        std::lock_guard<std::mutex> guard(look->lock);
        best = InnermostMount(look->Mounts(), path);
    }
    if (best.empty())
        return Fail(ERROR_PATH_NOT_FOUND);
    const std::wstring wide = Widen(best);
    if (cchBufferLength < wide.size() + 1)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    CopyWide(wide, lpszVolumePathName, cchBufferLength);
    return TRUE;
}

BOOL GetVolumeNameForVolumeMountPointW(LPCWSTR lpszVolumeMountPoint, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    if (!lpszVolumeMountPoint || !lpszVolumeName)
        return Fail(ERROR_INVALID_PARAMETER);
    const std::string mountPoint = Narrow(lpszVolumeMountPoint);
    auto look = CurrentLook(CurrentRoot());
    std::wstring name;
    {
        std::lock_guard<std::mutex> guard(look->lock);
        // The volume whose mount points hold it; a file system there that is
        // no volume (an overlay, a tmpfs) has none.
        for (const VolumeFacts &v : look->Candidates()->volumes)
            if (std::find(v.mounts.begin(), v.mounts.end(), mountPoint) != v.mounts.end()) {
                name = v.entry.name;
                break;
            }
    }
    if (name.empty())
        return Fail(ERROR_NOT_A_REPARSE_POINT);
    if (cchBufferLength < name.size() + 1)
        return Fail(ERROR_FILENAME_EXCED_RANGE);
    CopyWide(name, lpszVolumeName, cchBufferLength);
    return TRUE;
}

} // namespace TavPlatform
