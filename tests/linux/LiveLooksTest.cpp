// SPDX-License-Identifier: MIT
// Every device-number request and every volume search sees this machine as
// it is at that moment, on loop devices changed between two looks: a disk
// that gets a size or loses it, a partition resized, deleted and added
// again under the same name at another place, a file system mounted and
// unmounted. Needs root, util-linux and e2fsprogs; skips with the reason
// otherwise.
#include "LinuxTestSupport.h"
#include "LiveShell.h"
#include "TavDiskLib/platform/linux/Linux.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <thread>
#include <tuple>
#include <unistd.h>

using namespace TavLinuxTest;
namespace fs = std::filesystem;
namespace P = TavPlatform;

namespace {

std::wstring Wide(const std::string &s) { return std::wstring(s.begin(), s.end()); }

// A 64 MiB sparse image whose MBR holds one partition.
bool WriteImage(const std::string &path, uint32_t start, uint32_t count) {
    int fd = open(path.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (fd < 0)
        return false;
    unsigned char mbr[512] = {};
    unsigned char *e = mbr + 446;
    e[4] = 0x83;
    std::memcpy(e + 8, &start, 4);
    std::memcpy(e + 12, &count, 4);
    mbr[510] = 0x55;
    mbr[511] = 0xAA;
    bool ok = ftruncate(fd, 64 << 20) == 0 && pwrite(fd, mbr, 512, 0) == 512;
    close(fd);
    return ok;
}

bool WaitFor(const std::string &node, bool present) {
    for (int i = 0; i < 50; ++i) {
        if ((access(node.c_str(), F_OK) == 0) == present)
            return true;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
    return false;
}

struct VolumeOnDisk {
    LONGLONG start = 0, length = 0;
    std::vector<std::wstring> paths;
};

// One volume search: the volumes with an extent on the disk at `path`.
std::vector<VolumeOnDisk> VolumesOf(const std::string &path) {
    std::vector<VolumeOnDisk> out;
    wchar_t name[51] = {};
    HANDLE search = P::FindFirstVolumeW(name, 51);
    EXPECT_NE(search, INVALID_HANDLE_VALUE);
    if (search == INVALID_HANDLE_VALUE)
        return out;
    std::optional<DWORD> disk;
    {
        Handle h(Wide(path));
        disk = DeviceNumber(h.h);
    }
    EXPECT_TRUE(disk.has_value());
    do {
        std::wstring bare(name, 48);
        HANDLE v = P::CreateFileW(bare.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        if (v == INVALID_HANDLE_VALUE)
            continue;
        unsigned char block[8 + 24 * 8] = {};
        DWORD returned = 0;
        if (P::DeviceIoControl(v, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, block, sizeof block, &returned,
                               nullptr)) {
            DISK_EXTENT e;
            std::memcpy(&e, block + offsetof(VOLUME_DISK_EXTENTS, Extents), sizeof e);
            if (disk && e.DiskNumber == *disk) {
                VolumeOnDisk found{e.StartingOffset.QuadPart, e.ExtentLength.QuadPart, {}};
                wchar_t list[1024] = {};
                DWORD length = 0;
                if (P::GetVolumePathNamesForVolumeNameW(name, list, 1024, &length))
                    for (const wchar_t *p = list; *p; p += std::wcslen(p) + 1)
                        found.paths.emplace_back(p);
                out.push_back(found);
            }
        }
        P::CloseHandle(v);
    } while (P::FindNextVolumeW(search, name, 51));
    P::FindVolumeClose(search);
    return out;
}

class LiveLooks : public ::testing::Test {
protected:
    void SetUp() override {
        if (geteuid() != 0)
            GTEST_SKIP() << "needs root (loop devices, mounts)";
        for (const char *tool : {"losetup", "partx", "resizepart", "mkfs.ext4", "mount", "umount"})
            if (Shell(std::string("command -v ") + tool) != 0)
                GTEST_SKIP() << "needs " << tool;
        if (access("/dev/loop-control", F_OK) != 0)
            GTEST_SKIP() << "this machine has no loop devices";
        char pattern[] = "/tmp/tavdisk-looks-XXXXXX";
        if (!mkdtemp(pattern))
            GTEST_SKIP() << "no temporary directory";
        dir = pattern;
        const char *root = std::getenv("TAVDISK_ROOT");
        if (root)
            savedRoot = root, hadRoot = true;
        unsetenv("TAVDISK_ROOT");
    }

    void TearDown() override {
        if (mounted)
            Shell("umount " + Quote(dir + "/mnt"));
        for (const auto &device : devices) {
            Shell("partx -d " + device);
            Shell("losetup -d " + device);
        }
        if (!dir.empty()) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
        if (hadRoot)
            setenv("TAVDISK_ROOT", savedRoot.c_str(), 1);
    }

    // Attaches an image to the first free loop device, with its partitions.
    std::string Attach(const std::string &image) {
        std::string out;
        if (Shell("losetup -f --show " + Quote(image), &out) != 0) {
            ADD_FAILURE() << "losetup failed: " << Trim(out);
            return {};
        }
        std::string device = Trim(out);
        devices.push_back(device);
        Shell("partx -a " + device);
        return device;
    }

    std::string dir, savedRoot;
    bool hadRoot = false, mounted = false;
    std::vector<std::string> devices;
};

} // namespace

TEST_F(LiveLooks, DeviceNumberSeesTheDiskGetAndLoseItsSize) {
    std::string image = dir + "/disk.img";
    ASSERT_TRUE(WriteImage(image, 2048, 40960));
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    // One handle, held throughout: every request reads the list anew.
    Handle h(Wide(device));
    ASSERT_NE(h.h, INVALID_HANDLE_VALUE);
    auto number = DeviceNumber(h.h);
    ASSERT_TRUE(number.has_value());
    {
        Handle same(L"\\\\.\\PhysicalDrive" + std::to_wstring(*number));
        EXPECT_NE(same.h, INVALID_HANDLE_VALUE);
    }

    // The backing file shrinks to nothing: a disk of size 0 is no disk.
    ASSERT_EQ(truncate(image.c_str(), 0), 0);
    ASSERT_EQ(Shell("losetup -c " + device), 0);
    EXPECT_EQ(DeviceNumber(h.h), std::nullopt);
    EXPECT_EQ(P::GetLastError(), static_cast<DWORD>(ERROR_INVALID_FUNCTION));

    // And back.
    ASSERT_TRUE(WriteImage(image, 2048, 40960));
    ASSERT_EQ(Shell("losetup -c " + device), 0);
    EXPECT_TRUE(DeviceNumber(h.h).has_value());
}

TEST_F(LiveLooks, VolumeSearchSeesResizeRepartitionAndMounts) {
    std::string image = dir + "/disk.img";
    ASSERT_TRUE(WriteImage(image, 2048, 40960));
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    std::string part = device + "p1";
    ASSERT_TRUE(WaitFor(part, true)) << "the loop device's partition did not appear";

    auto volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].start, 2048LL * 512);
    EXPECT_EQ(volumes[0].length, 40960LL * 512);
    EXPECT_TRUE(volumes[0].paths.empty());

    // The partition grows in place.
    ASSERT_EQ(Shell("resizepart " + device + " 1 61440"), 0);
    volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].start, 2048LL * 512);
    EXPECT_EQ(volumes[0].length, 61440LL * 512);

    // Deleted and added again under the same name, somewhere else.
    ASSERT_EQ(Shell("partx -d " + device), 0);
    ASSERT_TRUE(WaitFor(part, false));
    ASSERT_TRUE(WriteImage(image, 4096, 20480));
    ASSERT_EQ(Shell("partx -a " + device), 0);
    ASSERT_TRUE(WaitFor(part, true));
    volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].start, 4096LL * 512);
    EXPECT_EQ(volumes[0].length, 20480LL * 512);

    // Mounted, then unmounted.
    std::string out;
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + part, &out), 0) << out;
    fs::create_directories(dir + "/mnt");
    ASSERT_EQ(Shell("mount " + part + " " + Quote(dir + "/mnt"), &out), 0) << out;
    mounted = true;
    volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].paths, std::vector<std::wstring>{Wide(dir + "/mnt")});
    ASSERT_EQ(Shell("umount " + Quote(dir + "/mnt")), 0);
    mounted = false;
    volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].paths.empty());
}

// ---- Kept looks ------------------------------------------------------------
//
// On the live system a look is kept between requests while the kernel
// reports no change. The tests below first make sure a look is kept (the
// same request twice in a row reuses it), then change the machine in one
// way and require the very next request to see the change.

namespace {

uint64_t Reused() { return TavLinux::CountLooks().reused; }

// The device paths of a new device information set.
std::vector<std::wstring> SetPaths() {
    std::vector<std::wstring> paths;
    Set set;
    for (auto &d : AllDrives(set.handle))
        paths.push_back(DevicePath(*d));
    return paths;
}

bool Has(const std::vector<std::wstring> &paths, const std::string &path) {
    return std::find(paths.begin(), paths.end(), Wide(path)) != paths.end();
}

} // namespace

class LiveKeptLooks : public LiveLooks {
protected:
    void SetUp() override {
        LiveLooks::SetUp();
        if (IsSkipped())
            return;
        // A look is kept only where the kernel's changes can be learnt of.
        if (!TavLinux::LooksCanBeKept())
            GTEST_SKIP() << "no look is kept here (no uevents reach this process): every request takes a new one";
    }

    // The same request twice: the second must find the look kept, so that
    // what follows tests a kept look, not a new one.
    template <class Request> void Settle(Request request) {
        for (int attempt = 0; attempt < 100; ++attempt) {
            request();
            auto before = Reused();
            request();
            if (Reused() > before)
                return;
            // Another program changed the machine meanwhile: again.
            std::this_thread::sleep_for(std::chrono::milliseconds(30));
        }
        ADD_FAILURE() << "no look was kept for two requests in a row";
    }

    void TearDown() override {
        if (!dmName.empty())
            Shell("dmsetup remove " + dmName);
        LiveLooks::TearDown();
    }

    // A sparse image of zeros.
    std::string Image(const std::string &name, off_t bytes) {
        std::string path = dir + "/" + name;
        int fd = open(path.c_str(), O_CREAT | O_TRUNC | O_RDWR | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        if (fd >= 0) {
            EXPECT_EQ(ftruncate(fd, bytes), 0);
            close(fd);
        }
        return path;
    }

    std::string dmName;
};

TEST_F(LiveKeptLooks, AttachDetachAndResizeOfADiskAreSeen) {
    std::string image = Image("disk.img", 32 << 20);
    Settle(SetPaths);
    std::string device = Attach(image); // a loop device bound to a file
    ASSERT_FALSE(device.empty());
    EXPECT_TRUE(Has(SetPaths(), device));

    // A whole-disk file system, mounted: its volume's extent is the disk.
    std::string out;
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + device, &out), 0) << out;
    fs::create_directories(dir + "/mnt");
    ASSERT_EQ(Shell("mount " + device + " " + Quote(dir + "/mnt"), &out), 0) << out;
    mounted = true;
    Settle([&] { VolumesOf(device); });
    auto volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].length, 32LL << 20);

    // The disk grows: the same volume is longer.
    ASSERT_EQ(truncate(image.c_str(), 48 << 20), 0);
    ASSERT_EQ(Shell("losetup -c " + device), 0);
    volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].length, 48LL << 20);

    ASSERT_EQ(Shell("umount " + Quote(dir + "/mnt")), 0);
    mounted = false;
    Settle(SetPaths);
    ASSERT_EQ(Shell("losetup -d " + device), 0);
    devices.clear();
    // Another program that has the disk open (a test listing every disk)
    // delays the release until it lets go.
    ASSERT_TRUE(WaitFor("/sys/block/" + device.substr(5) + "/loop", false));
    EXPECT_FALSE(Has(SetPaths(), device));
}

TEST_F(LiveKeptLooks, PartitionResizedInPlaceIsSeen) {
    // The kernel announces no uevent for a partition resized through BLKPG.
    std::string image = dir + "/disk.img";
    ASSERT_TRUE(WriteImage(image, 2048, 40960));
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    ASSERT_TRUE(WaitFor(device + "p1", true));
    Settle([&] { VolumesOf(device); });
    ASSERT_EQ(Shell("resizepart " + device + " 1 61440"), 0);
    auto volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].length, 61440LL * 512);
}

TEST_F(LiveKeptLooks, MountsAndAFileSystemWrittenOntoAWholeDiskAreSeen) {
    std::string image = Image("disk.img", 32 << 20);
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    // No partition table and no file system: no volume.
    Settle([&] { VolumesOf(device); });
    EXPECT_TRUE(VolumesOf(device).empty());

    // A file system written onto the disk (no uevent announces content).
    std::string out;
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + device, &out), 0) << out;
    auto volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].paths.empty());

    fs::create_directories(dir + "/mnt");
    Settle([&] { VolumesOf(device); });
    ASSERT_EQ(Shell("mount " + device + " " + Quote(dir + "/mnt"), &out), 0) << out;
    mounted = true;
    volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].paths, std::vector<std::wstring>{Wide(dir + "/mnt")});

    Settle([&] { VolumesOf(device); });
    ASSERT_EQ(Shell("umount " + Quote(dir + "/mnt")), 0);
    mounted = false;
    volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_TRUE(volumes[0].paths.empty());
}

TEST_F(LiveKeptLooks, DeviceMapperDiskComesAndGoes) {
    if (Shell("command -v dmsetup") != 0)
        GTEST_SKIP() << "needs dmsetup";
    std::string image = Image("disk.img", 32 << 20);
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    std::string name = "tavdisk-looks-" + std::to_string(getpid());
    Settle(SetPaths);
    std::string out;
    if (Shell("dmsetup create " + name + " --table '0 65536 linear " + device + " 0'", &out) != 0)
        GTEST_SKIP() << "device-mapper is not available here: " << Trim(out);
    dmName = name;
    std::string dm;
    Shell("dmsetup info -c --noheadings -o blkdevname " + name, &dm);
    dm = "/dev/" + Trim(dm);
    EXPECT_TRUE(Has(SetPaths(), dm)) << dm;
    Settle(SetPaths);
    ASSERT_EQ(Shell("dmsetup remove " + name), 0);
    dmName.clear();
    EXPECT_FALSE(Has(SetPaths(), dm)) << dm;
}

// ---- The cost of a listing -------------------------------------------------

namespace {

// Read system calls this process has made (/proc/self/io), or nullopt.
std::optional<uint64_t> ReadCalls() {
    std::FILE *f = std::fopen("/proc/self/io", "r");
    if (!f)
        return std::nullopt;
    char line[128];
    std::optional<uint64_t> calls;
    unsigned long long value = 0;
    while (std::fgets(line, sizeof line, f))
        if (std::sscanf(line, "syscr: %llu", &value) == 1)
            calls = value;
    std::fclose(f);
    return calls;
}

struct ListingCost {
    size_t disks = 0;
    uint64_t reads = 0, looks = 0;
};

// What tavdisk asks of every disk: identity, size, volumes, controller.
ListingCost ListEverything() {
    ListingCost cost;
    auto reads = ReadCalls().value_or(0);
    auto looks = TavLinux::CountLooks().taken;
    Set set;
    for (auto &d : AllDrives(set.handle)) {
        ++cost.disks;
        Text(*d, &Drive::GetVendorId);
        Text(*d, &Drive::GetScsiProductId);
        d->GetDriveNumber();
        d->GetCapacity();
        d->GetSectors();
        MountPoints(*d);
        d->ContainsWindowsBootPartition();
        AdapterDescription(set.handle, d->GetDeviceParentInstance());
    }
    cost.reads = ReadCalls().value_or(0) - reads;
    cost.looks = TavLinux::CountLooks().taken - looks;
    return cost;
}

} // namespace

// Listing more disks, each with a volume, costs the same per disk: no
// request walks every disk or volume while the look is kept.
TEST_F(LiveKeptLooks, ListingCostPerDiskDoesNotGrowWithTheMachine) {
    if (!ReadCalls())
        GTEST_SKIP() << "no /proc/self/io here";
    auto cheapest = [] {
        // The least disturbed of five listings: other programs attaching or
        // detaching disks meanwhile cost looks and reads that are not ours.
        ListingCost best = ListEverything();
        for (int i = 0; i < 4; ++i) {
            ListingCost c = ListEverything();
            if (c.looks < best.looks || (c.looks == best.looks && c.reads < best.reads))
                best = c;
        }
        return best;
    };
    auto attach = [&](int count) {
        for (int i = 0; i < count; ++i) {
            std::string image = dir + "/disk" + std::to_string(devices.size()) + ".img";
            ASSERT_TRUE(WriteImage(image, 2048, 40960));
            ASSERT_FALSE(Attach(image).empty());
        }
    };
    attach(2);
    ListingCost small = cheapest();
    attach(14);
    ListingCost large = cheapest();
    // Our own disks at least, whatever other programs attach or detach.
    ASSERT_GE(large.disks, devices.size());
    // A listing takes one look, give or take what other programs change.
    EXPECT_LE(small.looks, 3u);
    EXPECT_LE(large.looks, 3u);
    double perDiskSmall = double(small.reads) / double(small.disks);
    double perDiskLarge = double(large.reads) / double(large.disks);
    EXPECT_LE(perDiskLarge, perDiskSmall * 1.25 + 2)
        << small.reads << " reads for " << small.disks << " disks, " << large.reads << " for " << large.disks;
}

// The node of a kernel driver (the parent of a loop disk) has no sysfs
// directory: nothing about it is read from a path relative to the process's
// working directory, whatever lies there.
TEST_F(LiveLooks, KernelDriverNodeIgnoresTheWorkingDirectory) {
    std::string image = dir + "/disk.img";
    ASSERT_TRUE(WriteImage(image, 2048, 40960));
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    fs::create_directories(dir + "/cwd/driver:loop");
    for (const char *file : {"idVendor", "manufacturer", "product"}) {
        std::FILE *f = std::fopen((dir + "/cwd/driver:loop/" + file).c_str(), "w");
        ASSERT_TRUE(f);
        std::fputs("crafted\n", f);
        std::fclose(f);
    }
    auto cwd = fs::current_path();
    fs::current_path(dir + "/cwd");
    std::wstring description, maker = L"<none>";
    GUID cls{};
    {
        Set set;
        auto d = DriveAt(set.handle, Wide(device));
        ASSERT_TRUE(d);
        DEVINST parent = d->GetDeviceParentInstance();
        description = AdapterDescription(set.handle, parent);
        wchar_t id[256] = {};
        ASSERT_EQ(P::CM_Get_Device_IDW(parent, id, 256, 0), CR_SUCCESS);
        SP_DEVINFO_DATA node{};
        node.cbSize = sizeof node;
        ASSERT_TRUE(P::SetupDiOpenDeviceInfoW(set.handle, id, nullptr, 0, &node));
        cls = node.ClassGuid;
        wchar_t text[128] = {};
        DWORD type = 0, required = 0;
        if (P::SetupDiGetDeviceRegistryPropertyW(set.handle, &node, SPDRP_MFG, &type, reinterpret_cast<BYTE *>(text),
                                                 sizeof text, &required))
            maker = text;
    }
    fs::current_path(cwd);
    EXPECT_EQ(description, L"loop");
    EXPECT_EQ(maker, L"<none>");
    const GUID none{};
    EXPECT_EQ(std::memcmp(&cls, &none, sizeof cls), 0);
}
