// SPDX-License-Identifier: MIT
// GetStorageDependencyInformation: what holds the content of the loop disks
// a volume or disk lies on. A loop disk is Linux's virtual disk: its content
// is a file in some volume, or another block device.
#include "Device.h"
#include "Handles.h"
#include "Looks.h"
#include "Mounts.h"
#include "Text.h"
#include "Tree.h"
#include "Volumes.h"
#include "../platform.h"

#include "../Dependencies.h"

#include <algorithm>
#include <cstring>

namespace TavLinux {
namespace {

using TavPlatform::DependencyHost;

std::wstring PhysicalDrivePath(DWORD number) { return L"\\\\.\\PhysicalDrive" + std::to_wstring(number); }

// What holds loop disk `slot`'s content; nullopt when it is no bound loop
// disk, or when what holds it is no volume or disk of this machine (a file
// on a tmpfs or an overlay, a file deleted since).
std::optional<DependencyHost> HostOf(Look &look, size_t slot) {
    BlockView &view = look.view;
    auto backing = view.LoopBacking(slot);
    if (!backing || !backing->first || backing->first->empty())
        return std::nullopt;
    const std::string &path = *backing->first;
    static const std::string deleted = " (deleted)";
    if (path.size() > deleted.size() && path.compare(path.size() - deleted.size(), deleted.size(), deleted) == 0)
        return std::nullopt;
    // Backed by a block device: the volume it is, else the whole disk.
    if (path.compare(0, 5, "/dev/") == 0) {
        auto device = view.Find(BaseName(Resolve(view.GetRoot(), path).value_or(path)));
        if (!device)
            return std::nullopt;
        const std::string &sys = view.Entry(*device).sys;
        for (const VolumeFacts &v : look.Volumes()->volumes)
            if (v.entry.block.sys == sys)
                return DependencyHost{v.entry.name, std::wstring()};
        if (auto number = view.DiskNumber(*device))
            return DependencyHost{PhysicalDrivePath(*number), std::wstring()};
        return std::nullopt;
    }
    // Backed by a file: the volume mounted innermost above it.
    const std::string mountPoint = InnermostMount(look.Mounts(), path);
    if (mountPoint.empty())
        return std::nullopt;
    for (const VolumeFacts &v : look.Candidates()->volumes)
        if (std::find(v.mounts.begin(), v.mounts.end(), mountPoint) != v.mounts.end())
            return DependencyHost{v.entry.name, Widen(mountPoint == "/" ? path : path.substr(mountPoint.size()))};
    return std::nullopt;
}

} // namespace
} // namespace TavLinux

namespace TavPlatform {

using namespace TavLinux;

DWORD GetStorageDependencyInformation(HANDLE ObjectHandle, GET_STORAGE_DEPENDENCY_FLAG Flags,
                                      ULONG StorageDependencyInfoSize, PSTORAGE_DEPENDENCY_INFO StorageDependencyInfo,
                                      PULONG SizeUsed) {
    if (DWORD error = DependencyRequestError(StorageDependencyInfoSize, StorageDependencyInfo, SizeUsed))
        return error;
    const DWORD flags = static_cast<DWORD>(Flags);
    if (!(flags & GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES))
        return ERROR_NOT_SUPPORTED;
    auto f = Find<FileObject>(ObjectHandle);
    const bool diskHandle = (flags & GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE) != 0;
    if (!f || (diskHandle ? !f->isDisk : !f->isVolume))
        return ERROR_INVALID_HANDLE;
    std::vector<DependencyHost> hosts;
    {
        LookInUse look(f->root);
        BlockView &view = look->view;
        // The whole disks beneath: the disk itself, its partition's disk, dm
        // and md members to any depth.
        for (const Extent &extent : VolumeExtents(view, f->volume ? f->volume->entry.block : f->block)) {
            auto disk = view.NthDisk(extent.disk);
            auto host = disk ? HostOf(*look.operator->(), *disk) : std::nullopt;
            if (host && std::none_of(hosts.begin(), hosts.end(),
                                     [&](const DependencyHost &h) { return h.hostVolume == host->hostVolume; }))
                hosts.push_back(std::move(*host));
        }
        if (DWORD failure = look.Failure())
            return failure;
    }
    const std::vector<uint8_t> answer = DependencyAnswer(hosts, StorageDependencyInfo);
    *SizeUsed = static_cast<ULONG>(answer.size());
    if (answer.size() > StorageDependencyInfoSize)
        return ERROR_INSUFFICIENT_BUFFER;
    std::memcpy(StorageDependencyInfo, answer.data(), answer.size());
    return ERROR_SUCCESS;
}

} // namespace TavPlatform
