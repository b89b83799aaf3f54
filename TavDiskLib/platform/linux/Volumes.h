// SPDX-License-Identifier: MIT
// Volumes: which devices are volumes, their names, extents and mount
// points, and volume searches.
#ifndef TAVDISKLIB_PLATFORM_LINUX_VOLUMES_H
#define TAVDISKLIB_PLATFORM_LINUX_VOLUMES_H

#include "../types.h"
#include "BlockView.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <utility>
#include <vector>

namespace TavLinux {

class Look;

struct VolumeEntry {
    BlockEntry block;
    std::wstring name; // \\?\Volume{GUID}\  (49 characters)
    bool wholeDisk = false;
};

struct Extent {
    DWORD disk;
    uint64_t start, length;
};

// A volume with what requests on it answer.
struct VolumeFacts {
    VolumeEntry entry;
    std::vector<Extent> extents;
    std::vector<std::string> mounts;
};

// The volumes of the machine at one look, found by name (lower case), and
// the disks of that look by kernel name with their numbers, which the
// volumes' extents carry.
struct VolumeSnapshot {
    std::vector<VolumeFacts> volumes;
    std::unordered_map<std::wstring, size_t> byName;
    std::unordered_map<std::string, std::pair<BlockEntry, DWORD>> disks;
    uint64_t look = 0; // the sequence number of the look it was taken from: higher is newer
};

// The volumes of a look: partitions, dm and md devices, and whole disks
// that carry a file system without a partition table. With `probeContent`
// false, every whole disk without partitions is a candidate (used to find
// a volume by name without reading any disk).
std::vector<VolumeEntry> ListVolumes(Look &look, bool probeContent);
// The whole disks beneath a volume, with their disk numbers.
std::vector<Extent> VolumeExtents(BlockView &view, const BlockEntry &volume);
// The key of a volume name in a snapshot: the name in lower case.
std::wstring VolumeKey(std::wstring_view name);

// The volume of that name: from the snapshot of an open volume search that
// holds it (a scan over all volumes then costs one pass), else as the
// system has it now.
// Null when there is none; then `failure` gets the platform error when the
// system could not be read (0 when the volume is simply not there).
std::shared_ptr<const VolumeFacts> FindVolumeByName(const Root &root, std::wstring_view name, DWORD &failure);
// Whether a volume search opened on the calling thread is open; then
// `number` gets the number of the whole disk `disk` in the look that search
// took (nullopt when that look did not list it). So a volume scan matches
// the disk against extents numbered in the same look, even while disks come
// and go.
bool DiskNumberInOpenSearch(const Root &root, const BlockEntry &disk, std::optional<DWORD> &number);

} // namespace TavLinux

#endif
