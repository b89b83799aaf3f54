// SPDX-License-Identifier: MIT
// Volumes of recorded machines: which block devices are volumes, their
// names, the disks beneath them and their mount points.
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <fstream>
#include <map>
#include <set>

using namespace TavLinuxTest;
namespace P = TavPlatform;

namespace {

std::vector<std::wstring> VolumeNames() {
    std::vector<std::wstring> names;
    wchar_t name[51] = {};
    HANDLE search = P::FindFirstVolumeW(name, 51);
    if (search == INVALID_HANDLE_VALUE)
        return names;
    do
        names.push_back(name);
    while (P::FindNextVolumeW(search, name, 51));
    EXPECT_EQ(P::GetLastError(), ERROR_NO_MORE_FILES);
    EXPECT_TRUE(P::FindVolumeClose(search));
    return names;
}

struct ExtentView {
    DWORD disk;
    LONGLONG start, length;
    bool operator==(const ExtentView &o) const { return disk == o.disk && start == o.start && length == o.length; }
};

// The extents of a volume, asked the way the library asks: 32 bytes first,
// then a block of the announced size.
std::vector<ExtentView> Extents(const std::wstring &volume) {
    std::wstring bare = volume.substr(0, volume.size() - 1);
    HANDLE h = P::CreateFileW(bare.c_str(), GENERIC_READ, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                              nullptr);
    EXPECT_NE(h, INVALID_HANDLE_VALUE);
    if (h == INVALID_HANDLE_VALUE)
        return {};
    VOLUME_DISK_EXTENTS first{};
    DWORD returned = 0;
    BOOL ok = P::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &first, sizeof first, &returned,
                                 nullptr);
    if (first.NumberOfDiskExtents > 1) {
        EXPECT_FALSE(ok);
        EXPECT_EQ(P::GetLastError(), ERROR_MORE_DATA);
    }
    std::vector<unsigned char> block(offsetof(VOLUME_DISK_EXTENTS, Extents) +
                                     first.NumberOfDiskExtents * sizeof(DISK_EXTENT));
    EXPECT_TRUE(P::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, block.data(),
                                   static_cast<DWORD>(block.size()), &returned, nullptr));
    EXPECT_EQ(returned, block.size());
    std::vector<ExtentView> out;
    for (DWORD i = 0; i < first.NumberOfDiskExtents; ++i) {
        DISK_EXTENT e;
        std::memcpy(&e, block.data() + offsetof(VOLUME_DISK_EXTENTS, Extents) + i * sizeof e, sizeof e);
        out.push_back({e.DiskNumber, e.StartingOffset.QuadPart, e.ExtentLength.QuadPart});
    }
    P::CloseHandle(h);
    return out;
}

std::vector<std::wstring> PathNames(const std::wstring &volume) {
    DWORD needed = 0;
    wchar_t probe[2];
    P::GetVolumePathNamesForVolumeNameW(volume.c_str(), probe, 2, &needed);
    std::vector<wchar_t> list(needed);
    DWORD returned = 0;
    EXPECT_TRUE(P::GetVolumePathNamesForVolumeNameW(volume.c_str(), list.data(), needed, &returned));
    EXPECT_EQ(returned, needed);
    std::vector<std::wstring> out;
    for (const wchar_t *p = list.data(); *p; p += std::wcslen(p) + 1)
        out.emplace_back(p);
    return out;
}

// The volumes keyed by the paths they are mounted at (first path), plus
// the unmounted ones under "<n>".
std::map<std::wstring, std::wstring> VolumesByFirstPath() {
    std::map<std::wstring, std::wstring> out;
    int unnamed = 0;
    for (const auto &v : VolumeNames()) {
        auto paths = PathNames(v);
        out[paths.empty() ? L"<" + std::to_wstring(unnamed++) + L">" : paths[0]] = v;
    }
    return out;
}

} // namespace

TEST(ReplayVolumes, EveryPartitionMapperDeviceAndWholeDiskFileSystemIsAVolume) {
    Machine m("workstation");
    auto names = VolumeNames();
    // dm-0, sda1, sda2, sdc1, nvme0n1p1, nvme1n1 (btrfs on the whole disk), mmcblk0p1;
    // not sdb, a whole disk held by dm-0.
    EXPECT_EQ(names.size(), 7u);
    std::set<std::wstring> distinct(names.begin(), names.end());
    EXPECT_EQ(distinct.size(), names.size());
    for (const auto &n : names) {
        ASSERT_EQ(n.size(), 49u);
        EXPECT_EQ(n.substr(0, 11), L"\\\\?\\Volume{");
        EXPECT_EQ(n.substr(47), L"}\\");
        EXPECT_EQ(n[19], L'-');
        EXPECT_EQ(n[24], L'-');
    }
}

TEST(ReplayVolumes, NamesAreStableAcrossScansAndReplays) {
    std::vector<std::wstring> first, second, third;
    {
        Machine m("workstation");
        first = VolumeNames();
        second = VolumeNames();
    }
    {
        Machine m("workstation"); // another directory: names do not depend on where the tree lies
        third = VolumeNames();
    }
    EXPECT_EQ(first, second);
    EXPECT_EQ(first, third);
}

TEST(ReplayVolumes, SpannedVolumeHasAnExtentOnEachDisk) {
    Machine m("workstation");
    auto volumes = VolumesByFirstPath();
    ASSERT_TRUE(volumes.count(L"/data"));
    auto extents = Extents(volumes[L"/data"]);
    // dm-0 (disk 6) itself, sdb (disk 1) whole, and nvme0n1p1 on nvme0n1 (disk 3) from 1 MiB on.
    EXPECT_EQ(extents,
              (std::vector<ExtentView>{
                  {6, 0, 1961910272LL * 512}, {1, 0, 8388608LL * 512}, {3, 2048LL * 512, 1953521664LL * 512}}));
    EXPECT_EQ(PathNames(volumes[L"/data"]), (std::vector<std::wstring>{L"/data", L"/srv/my projects"}));
}

TEST(ReplayVolumes, PartitionExtentIsItsPlaceOnTheDisk) {
    Machine m("workstation");
    auto volumes = VolumesByFirstPath();
    ASSERT_TRUE(volumes.count(L"/"));
    EXPECT_EQ(Extents(volumes[L"/"]), (std::vector<ExtentView>{{0, 1050624LL * 512, 1952474511LL * 512}}));
    ASSERT_TRUE(volumes.count(L"/mnt/fast"));
    EXPECT_EQ(Extents(volumes[L"/mnt/fast"]), (std::vector<ExtentView>{{4, 0, 500118192LL * 512}}));
    ASSERT_TRUE(volumes.count(L"/media/user/My Passport"));
}

TEST(ReplayVolumes, UnmountedWholeDiskFileSystemIsFoundByItsContent) {
    Machine m("server");
    auto volumes = VolumesByFirstPath();
    // vda (/), md0 (/srv), sda1, sdb1, and vdb whose ext4 is not mounted; vdc holds nothing.
    EXPECT_EQ(volumes.size(), 5u);
    ASSERT_TRUE(volumes.count(L"/srv"));
    EXPECT_EQ(PathNames(volumes[L"/srv"]), (std::vector<std::wstring>{L"/srv", L"/var/www"}));
    EXPECT_EQ(Extents(volumes[L"/srv"]), (std::vector<ExtentView>{{6, 0, 976508928LL * 512},
                                                                  {0, 2048LL * 512, 976771072LL * 512},
                                                                  {1, 2048LL * 512, 976771072LL * 512}}));
    bool sawVdb = false;
    for (const auto &[path, name] : volumes) {
        auto e = Extents(name);
        if (e.size() == 1 && e[0].disk == 4) {
            sawVdb = true;
            EXPECT_TRUE(PathNames(name).empty());
        }
        EXPECT_FALSE(e.size() == 1 && e[0].disk == 5) << "vdc holds no file system";
    }
    EXPECT_TRUE(sawVdb);
}

// What the whole disk vdc of the server holds, written at `offset` of its
// recording.
void PutOnVdc(Machine &m, std::streamoff offset, const std::string &bytes) {
    std::fstream disk(m.tree.Path("dev/vdc"), std::ios::in | std::ios::out | std::ios::binary);
    disk.seekp(offset);
    disk.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
    ASSERT_TRUE(disk.good());
}

bool VdcIsAVolume() {
    for (const auto &name : VolumeNames()) {
        auto e = Extents(name);
        if (e.size() == 1 && e[0].disk == 5)
            return true;
    }
    return false;
}

// Signatures on an unmounted whole disk: a file system is a volume, swap
// space is not. With libblkid every file system it knows counts (JFS here);
// without it, the usual ones the backend checks itself.
TEST(ReplayVolumes, WholeDiskSignaturesThatMakeAVolume) {
    {
        Machine m("server");
        EXPECT_FALSE(VdcIsAVolume());
        // A swap area: the page's last ten bytes, version 1, last page.
        PutOnVdc(m, 4086, "SWAPSPACE2");
        PutOnVdc(m, 1024, std::string("\x01\0\0\0\xff\x3f\0\0", 8));
        EXPECT_FALSE(VdcIsAVolume());
    }
    {
        Machine m("server");
        // A JFS superblock at 32 KiB: 4096-byte blocks of 512-byte sectors.
        PutOnVdc(m, 32768, std::string("JFS1\x01\0\0\0\0\0\x01\0\0\0\0\0\0\x10\0\0\x0c\0\x03\0\0\x02\0\0\x09\0", 30));
#if defined(TAVDISK_HAVE_LIBBLKID)
        EXPECT_TRUE(VdcIsAVolume());
#else
        EXPECT_FALSE(VdcIsAVolume());
#endif
    }
    {
        Machine m("server");
        PutOnVdc(m, 1080, "\x53\xEF"); // ext2/3/4
        EXPECT_TRUE(VdcIsAVolume());
    }
}

TEST(ReplayVolumes, PathNameListFollowsTheMultiStringContract) {
    Machine m("workstation");
    auto volumes = VolumesByFirstPath();
    const std::wstring &v = volumes[L"/media/user/My Passport"];
    ASSERT_FALSE(v.empty());
    std::wstring expected = std::wstring(L"/media/user/My Passport") + L'\0' + L'\0';
    DWORD needed = 0;
    EXPECT_FALSE(P::GetVolumePathNamesForVolumeNameW(v.c_str(), nullptr, 0, &needed));
    EXPECT_EQ(P::GetLastError(), ERROR_MORE_DATA);
    EXPECT_EQ(needed, expected.size());
    std::vector<wchar_t> buffer(needed + 4, L'#');
    EXPECT_FALSE(P::GetVolumePathNamesForVolumeNameW(v.c_str(), buffer.data(), needed - 1, &needed));
    EXPECT_EQ(buffer[0], L'#'); // untouched
    EXPECT_TRUE(P::GetVolumePathNamesForVolumeNameW(v.c_str(), buffer.data(), needed, &needed));
    EXPECT_EQ(std::wstring(buffer.data(), needed), expected);
    EXPECT_EQ(buffer[needed], L'#');

    // Not a volume name, or one of no volume.
    EXPECT_FALSE(P::GetVolumePathNamesForVolumeNameW(L"/dev/sda1", buffer.data(), needed, &needed));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_NAME);
    std::wstring unknown = L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\";
    EXPECT_FALSE(P::GetVolumePathNamesForVolumeNameW(unknown.c_str(), buffer.data(), needed, &needed));
    EXPECT_EQ(P::GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_FALSE(P::GetVolumePathNamesForVolumeNameW(nullptr, buffer.data(), needed, &needed));
}

TEST(ReplayVolumes, WithoutMountinfoVolumesRemainWithoutPaths) {
    Machine m("workstation");
    m.tree.Remove("proc/self/mountinfo");
    auto names = VolumeNames();
    // nvme1n1 was a volume only because it was mounted: its content is blank here.
    EXPECT_EQ(names.size(), 6u);
    for (const auto &n : names)
        EXPECT_TRUE(PathNames(n).empty());
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sda");
    ASSERT_TRUE(d);
    EXPECT_EQ(MountPoints(*d), "");
}

TEST(ReplayVolumes, MountPathsAreUnescaped) {
    Machine m("workstation");
    m.tree.Append("proc/self/mountinfo", "40 22 8:1 / /mnt/tab\\011and\\134backslash\\012x rw - vfat /dev/sda1 rw\n"
                                         "41 22 8:1 / /mnt/bad\\9escape rw - vfat /dev/sda1 rw\n"
                                         "42 22 8:1 short line\n");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sda");
    ASSERT_TRUE(d);
    EXPECT_EQ(MountPoints(*d), "/boot/efi; /mnt/tab\tand\\backslash\nx; /mnt/bad\\9escape; /");
}

TEST(ReplayVolumes, SearchHandlesAndBuffersAreChecked) {
    Machine m("workstation");
    wchar_t small[48];
    EXPECT_EQ(P::FindFirstVolumeW(small, 48), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_EQ(P::FindFirstVolumeW(nullptr, 51), INVALID_HANDLE_VALUE);
    wchar_t name[51];
    HANDLE search = P::FindFirstVolumeW(name, 51);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(P::FindNextVolumeW(search, small, 48));
    EXPECT_EQ(P::GetLastError(), ERROR_FILENAME_EXCED_RANGE);
    EXPECT_FALSE(P::CloseHandle(search)); // not a file handle
    EXPECT_TRUE(P::FindVolumeClose(search));
    EXPECT_FALSE(P::FindVolumeClose(search));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(P::FindNextVolumeW(search, name, 51));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);

    m.tree.Remove("sys/class/block");
    EXPECT_EQ(P::FindFirstVolumeW(name, 51), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_NO_MORE_FILES);
}

TEST(ReplayVolumes, PartitionHandleAnswersDeviceNumberAndExtents) {
    Machine m("workstation");
    HANDLE h = P::CreateFileW(L"/dev/sda2", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(h, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER n{};
    DWORD returned = 0;
    ASSERT_TRUE(P::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr));
    EXPECT_EQ(n.DeviceType, FILE_DEVICE_DISK);
    EXPECT_EQ(n.DeviceNumber, 0u);
    EXPECT_EQ(n.PartitionNumber, 2u);
    VOLUME_DISK_EXTENTS e{};
    ASSERT_TRUE(
        P::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, &e, sizeof e, &returned, nullptr));
    EXPECT_EQ(e.NumberOfDiskExtents, 1u);
    EXPECT_EQ(e.Extents[0].StartingOffset.QuadPart, 1050624LL * 512);
    P::CloseHandle(h);
}

TEST(ReplayVolumes, NoDriveLettersAndNoWindowsDirectory) {
    Machine m("vm");
    wchar_t buffer[260] = {L'x'};
    EXPECT_EQ(P::GetWindowsDirectoryW(buffer, 260), 0u);
    EXPECT_EQ(buffer[0], L'x');
    Set set;
    for (auto &d : AllDrives(set.handle)) {
        wchar_t letters[27];
        ULONG length = 0;
        EXPECT_EQ(d->GetDriveLetters(letters, 27, &length), 1);
        EXPECT_EQ(length, 1u);
        EXPECT_EQ(d->ContainsWindowsBootPartition(), 0);
    }
}

TEST(ReplaySystemVolume, TheDisksBeneathTheRootFileSystem) {
    // The disk holding "/" through a partition, a whole disk, software RAID,
    // a logical volume, a loop disk to the disk holding its image file or
    // the disk it is backed by; none where "/" is no volume (an initramfs
    // rootfs).
    const std::string mountinfo = "proc/self/mountinfo", loop0 = "sys/devices/virtual/block/loop0/loop/backing_file",
                      loop1 = "sys/devices/virtual/block/loop1/loop/backing_file";
    const std::string rootOnRaid = "21 1 9:0 / / rw,relatime - xfs /dev/md0 rw\n";
    const std::string rootOnLvm = "25 1 253:0 / / rw,relatime - xfs /dev/mapper/vg0-data rw\n";
    // A live system: "/" on the image's partition, the image on the medium.
    const std::string rootOnImage = "30 1 259:0 / / rw - ext4 /dev/loop0p1 rw\n"
                                    "31 30 254:0 / /run/medium rw - ext4 /dev/vda rw\n";
    const std::string rootOnLoopOnLoop = "30 1 7:1 / / rw - ext4 /dev/loop1 rw\n";
    using Files = std::vector<std::pair<std::string, std::string>>;
    const struct {
        const char *machine;
        Files files; // written over the recording
        const wchar_t *disk;
        int expected;
    } cases[] = {
        {"workstation", {}, L"/dev/sda", 1},
        {"workstation", {}, L"/dev/sdb", 0},
        {"server", {}, L"/dev/vda", 1},
        {"server", {{mountinfo, rootOnRaid}}, L"/dev/sda", 1},
        {"server", {{mountinfo, rootOnRaid}}, L"/dev/sdb", 1},
        {"server", {{mountinfo, rootOnRaid}}, L"/dev/vda", 0},
        {"workstation", {{mountinfo, rootOnLvm}}, L"/dev/sdb", 1},
        {"workstation", {{mountinfo, rootOnLvm}}, L"/dev/nvme0n1", 1},
        {"workstation", {{mountinfo, rootOnLvm}}, L"/dev/sda", 0},
        {"qemu-virtio", {}, L"/dev/vda", 0},
        {"vm", {{mountinfo, rootOnImage}, {loop0, "/run/medium/live.img"}}, L"/dev/loop0", 1},
        {"vm", {{mountinfo, rootOnImage}, {loop0, "/run/medium/live.img"}}, L"/dev/vda", 1},
        {"vm", {{mountinfo, rootOnImage}, {loop0, "/run/medium/live.img"}}, L"/dev/loop1", 0},
        // The image file deleted since: nothing of this machine holds it.
        {"vm", {{mountinfo, rootOnImage}, {loop0, "/run/medium/live.img (deleted)"}}, L"/dev/vda", 0},
        // An image on the image's own file system leads nowhere further.
        {"vm", {{mountinfo, rootOnImage}, {loop0, "/live.img"}}, L"/dev/vda", 0},
        {"vm", {{mountinfo, rootOnLoopOnLoop}, {loop1, "/dev/loop0"}}, L"/dev/loop1", 1},
        {"vm", {{mountinfo, rootOnLoopOnLoop}, {loop1, "/dev/loop0"}}, L"/dev/loop0", 1},
        {"vm", {{mountinfo, rootOnLoopOnLoop}, {loop1, "/dev/loop0"}}, L"/dev/vda", 0},
    };
    for (const auto &c : cases) {
        SCOPED_TRACE(std::string(c.machine) + " " + Narrow(c.disk) + " " +
                     (c.files.empty() ? std::string() : c.files.back().second));
        Machine m(c.machine);
        for (const auto &[path, content] : c.files)
            m.tree.Write(path, content);
        Set set;
        auto d = DriveAt(set.handle, c.disk);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->ContainsSystemVolume(), c.expected);
        EXPECT_EQ(d->ContainsWindowsBootPartition(), 0);
    }
}

// A dm or md disk that is mounted, and the disks beneath it, tell the mount
// point of a sector and refuse a guarded write (the recorded machine cannot
// be claimed: mounts, swaps and holders decide); a disk holding nothing
// takes the write.
TEST(ReplayVolumes, StackedDisksAndTheirMembersRefuseGuardedWritesWhileInUse) {
    struct Case {
        const char *tree;
        const wchar_t *disk;
        ULONG sector;
        const wchar_t *mount; // nullptr: none, and the write lands
    } cases[] = {
        {"workstation", L"/dev/dm-0", 5000, L"/data"},
        {"workstation", L"/dev/sdb", 5000, L"/data"}, // a whole dm member
        {"server", L"/dev/md0", 1000, L"/srv"},
        {"server", L"/dev/sdb", 2048 + 10, L"/srv"}, // in the md member partition
        {"server", L"/dev/sdb", 0, nullptr},         // the table of a disk in use
        {"server", L"/dev/vdc", 10, nullptr},
    };
    for (const Case &c : cases) {
        Machine m(c.tree);
        Set set;
        auto d = DriveAt(set.handle, c.disk);
        ASSERT_TRUE(d) << Narrow(c.disk);
        std::vector<wchar_t> name(256, 0);
        ULONG length = 0;
        int found = d->GetSectorMountPoint(c.sector, name.data(), 256, &length);
        EXPECT_EQ(found, c.mount ? 1 : 0) << c.tree << " " << Narrow(c.disk);
        if (c.mount) {
            EXPECT_EQ(std::wstring(name.data()), c.mount);
        }
        std::vector<unsigned char> before(d->GetBytesPerSector()), after(before.size());
        ASSERT_TRUE(d->ReadSector(c.sector, before.data()));
        std::vector<unsigned char> data(before.size(), 0xA5);
        const bool tableInUse = c.sector == 0 && std::wstring(c.disk) == L"/dev/sdb";
        const int expected = c.mount || tableInUse ? -1 : 1;
        EXPECT_EQ(d->WriteSectorIfUnused(c.sector, data.data()), expected) << c.tree << " " << Narrow(c.disk);
        if (expected < 0) {
            EXPECT_EQ(GetLastError(), ERROR_BUSY);
        }
        ASSERT_TRUE(d->ReadSector(c.sector, after.data()));
        EXPECT_EQ(after, expected < 0 ? before : data) << c.tree << " " << Narrow(c.disk);
    }
}
