// SPDX-License-Identifier: MIT
// Every device-number request and every volume search sees this machine as
// it is at that moment, on loop devices changed between two looks: a disk
// that gets a size or loses it, a partition resized, deleted and added
// again under the same name at another place, a file system mounted and
// unmounted. Needs root, util-linux and e2fsprogs; skips with the reason
// otherwise.
#include "LinuxTestSupport.h"
#include "LiveShell.h"
#include "TavDiskLib/platform/linux/Errors.h"
#include "TavDiskLib/platform/linux/Looks.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <csignal>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <filesystem>
#include <optional>
#include <thread>
#include <tuple>
#include <sched.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
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
            DropPartitions(device);
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
    // dir/disk.img with one partition (2048 sectors on, 40960 long),
    // attached; empty after a failure.
    std::string AttachDiskImage() {
        if (!WriteImage(dir + "/disk.img", 2048, 40960)) {
            ADD_FAILURE() << "cannot write " << dir << "/disk.img";
            return {};
        }
        return Attach(dir + "/disk.img");
    }

    std::string Attach(const std::string &image) {
        std::string out;
        if (Shell("losetup -f --show " + Quote(image), &out) != 0) {
            ADD_FAILURE() << "losetup failed: " << Trim(out);
            return {};
        }
        std::string device = Trim(out);
        devices.push_back(device);
        DropPartitions(device); // another program's, left on this device
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
    std::string device = AttachDiskImage();
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
    std::string device = AttachDiskImage();
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

// Each case with the change signals as they are, as where no inotify
// instance can be had (a fanotify group tells the same), and as where no
// fanotify group can be had either (what they tell is polled instead).
class LiveKeptLooks : public LiveLooks, public ::testing::WithParamInterface<TavLinux::NodeWatcher> {
protected:
    void SetUp() override {
        LiveLooks::SetUp();
        if (IsSkipped())
            return;
        // A look is kept only where the kernel's changes can be learnt of.
        if (!TavLinux::LooksCanBeKept())
            GTEST_SKIP() << "no look is kept here (no uevents reach this process): every request takes a new one";
        TavLinux::WatchNodesWithForTesting(GetParam());
        EXPECT_TRUE(TavLinux::LooksCanBeKept()) << "without an inotify instance looks are kept all the same";
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
        TavLinux::WatchNodesWithForTesting(TavLinux::NodeWatcher::Inotify);
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

TEST_P(LiveKeptLooks, AttachDetachAndResizeOfADiskAreSeen) {
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

TEST_P(LiveKeptLooks, PartitionResizedInPlaceIsSeen) {
    // The kernel announces no uevent for a partition resized through BLKPG.
    std::string device = AttachDiskImage();
    ASSERT_FALSE(device.empty());
    ASSERT_TRUE(WaitFor(device + "p1", true));
    Settle([&] { VolumesOf(device); });
    ASSERT_EQ(Shell("resizepart " + device + " 1 61440"), 0);
    auto volumes = VolumesOf(device);
    ASSERT_EQ(volumes.size(), 1u);
    EXPECT_EQ(volumes[0].length, 61440LL * 512);
}

TEST_P(LiveKeptLooks, MountsAndAFileSystemWrittenOntoAWholeDiskAreSeen) {
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

TEST_P(LiveKeptLooks, DeviceMapperDiskComesAndGoes) {
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
TEST_P(LiveKeptLooks, ListingCostPerDiskDoesNotGrowWithTheMachine) {
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
    std::string device = AttachDiskImage();
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

// ---- Reads that fail ---------------------------------------------------------

namespace {

// Every descriptor up to a low limit taken (given back at the end of the
// scope), and handed back one by one.
struct DescriptorShortage {
    DescriptorShortage() {
        getrlimit(RLIMIT_NOFILE, &saved);
        rlimit low = saved;
        low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, 512);
        setrlimit(RLIMIT_NOFILE, &low);
        for (int fd; (fd = open("/dev/null", O_RDONLY | O_CLOEXEC)) >= 0;)
            held.push_back(fd);
    }
    ~DescriptorShortage() {
        while (GiveOneBack()) {
        }
        setrlimit(RLIMIT_NOFILE, &saved);
    }
    bool GiveOneBack() {
        if (held.empty())
            return false;
        close(held.back());
        held.pop_back();
        return true;
    }
    rlimit saved{};
    std::vector<int> held;
};

bool HasVolumeSearchStarting() {
    wchar_t name[51] = {};
    HANDLE search = P::FindFirstVolumeW(name, 51);
    if (search == INVALID_HANDLE_VALUE)
        return false;
    P::FindVolumeClose(search);
    return true;
}

} // namespace

// A request that meets a shortage of descriptors fails with its reason, or
// answers as the machine is; it never shows disks missing or numbered
// wrongly, and once descriptors are free again nothing of the shortage
// stays behind.
TEST_F(LiveLooks, DescriptorShortageFailsRequestsAndIsNotKept) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "a sanitizer's runtime needs descriptors of its own (it probes memory through a pipe)";
#endif
    std::string image = dir + "/disk.img";
    ASSERT_TRUE(WriteImage(image, 2048, 40960));
    SetPaths();
    std::string device = Attach(image); // announced to a kept look, not taken in yet
    ASSERT_FALSE(device.empty());
    ASSERT_TRUE(WaitFor(device + "p1", true));
    Handle h(Wide(device));
    ASSERT_NE(h.h, INVALID_HANDLE_VALUE);
    const DWORD shortage = ERROR_TOO_MANY_OPEN_FILES;
    int failed = 0, rounds = 0;
    {
        DescriptorShortage s;
        ASSERT_FALSE(s.held.empty());
        do {
            void *set = Drive::GetDeviceInfoSet();
            DWORD error = P::GetLastError();
            if (set == INVALID_HANDLE_VALUE) {
                EXPECT_EQ(error, shortage);
                ++failed;
            } else {
                std::vector<std::wstring> paths;
                for (auto &d : AllDrives(set))
                    paths.push_back(DevicePath(*d));
                P::SetupDiDestroyDeviceInfoList(set);
                EXPECT_TRUE(Has(paths, device)) << s.held.size() << " descriptors held";
            }
            // Other programs' disks come and go: the number itself may move.
            if (!DeviceNumber(h.h)) {
                EXPECT_EQ(P::GetLastError(), shortage) << s.held.size() << " descriptors held";
            }
            if (!HasVolumeSearchStarting()) {
                EXPECT_EQ(P::GetLastError(), shortage);
            }
        } while (++rounds < 48 && s.GiveOneBack());
    }
    EXPECT_GT(failed, 0) << "no request met the shortage";
    EXPECT_TRUE(Has(SetPaths(), device));
    EXPECT_TRUE(DeviceNumber(h.h).has_value());
    EXPECT_EQ(VolumesOf(device).size(), 1u);
}

// A partition removed and made again under the same sysfs path: looks are
// kept again afterwards, not taken anew for every request from then on.
TEST_P(LiveKeptLooks, DeviceMadeAgainUnderTheSamePathLetsLooksBeKept) {
    std::string device = AttachDiskImage();
    ASSERT_FALSE(device.empty());
    ASSERT_TRUE(WaitFor(device + "p1", true));
    Settle([&] { VolumesOf(device); });
    ASSERT_EQ(Shell("partx -d " + device), 0);
    ASSERT_TRUE(WaitFor(device + "p1", false));
    ASSERT_EQ(Shell("partx -a " + device), 0);
    ASSERT_TRUE(WaitFor(device + "p1", true));
    Settle([&] { VolumesOf(device); });
    EXPECT_EQ(VolumesOf(device).size(), 1u);
}

// ---- Namespaces --------------------------------------------------------------

namespace {

// Runs `body` in a child process and returns its exit status (what it
// returns), or -1.
template <class Body> int InChild(Body body) {
    std::fflush(nullptr);
    pid_t pid = fork();
    if (pid == 0)
        _exit(body());
    int status = 0;
    if (pid < 0 || waitpid(pid, &status, 0) != pid || !WIFEXITED(status))
        return -1;
    return WEXITSTATUS(status);
}

} // namespace

// A process that moves to a mount namespace of its own sees the mounts made
// there, not those of the namespace it kept its look in.
TEST_P(LiveKeptLooks, MountsOfANewMountNamespaceAreSeen) {
    std::string image = Image("disk.img", 32 << 20);
    std::string out;
    ASSERT_EQ(Shell("mkfs.ext4 -q -F " + Quote(image), &out), 0) << out;
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    std::string mnt = dir + "/mnt";
    fs::create_directories(mnt);
    int status = InChild([&] {
        Settle([&] { VolumesOf(device); });
        if (VolumesOf(device).size() != 1)
            return 2;
        if (unshare(CLONE_NEWNS) != 0 || mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) != 0 ||
            mount(device.c_str(), mnt.c_str(), "ext4", 0, nullptr) != 0)
            return 3;
        auto volumes = VolumesOf(device);
        return volumes.size() == 1 && volumes[0].paths == std::vector<std::wstring>{Wide(mnt)} ? 0 : 1;
    });
    EXPECT_EQ(status, 0) << "1: the mount was not seen; 2, 3: the test could not be set up";
}

// Uevents reach only network namespaces owned by the initial user
// namespace. A process whose network namespace is owned by another counts
// them instead, whatever its own user namespace maps: it keeps its looks,
// and a disk attached while one is kept is listed at the very next request.
// Both such places: a user namespace of its own mapping every id to itself,
// with a network namespace of its own; the initial user namespace in that
// network namespace.
TEST_F(LiveLooks, LooksKeptWhereUeventsAreOnlyCountedSeeANewDisk) {
    // Asked of a process whose first looks these are: a child forked by a
    // process that kept looks before keeps none in the joined network
    // namespace (its answers stay fresh; not mended yet). When the suite runs
    // in one process, this test runs again in one of its own.
    if (!std::getenv("TAVDISK_LOOKS_FRESH_PROCESS")) {
        std::string output;
        const std::string self = fs::read_symlink("/proc/self/exe").string();
        EXPECT_EQ(Shell("TAVDISK_LOOKS_FRESH_PROCESS=1 '" + self +
                            "' --gtest_filter=LiveLooks.LooksKeptWhereUeventsAreOnlyCountedSeeANewDisk 2>&1",
                        &output),
                  0)
            << output;
        return;
    }
    if (!TavLinux::LooksCanBeKept())
        GTEST_SKIP() << "no look is kept in the initial namespaces here";
    if (access("/sys/kernel/uevent_seqnum", R_OK) != 0)
        GTEST_SKIP() << "this kernel does not count its uevents";
    ASSERT_TRUE(WriteImage(dir + "/disk.img", 2048, 40960));
    int go[2], told[2];
    ASSERT_EQ(pipe(go), 0);
    ASSERT_EQ(pipe(told), 0);
    // A child that tells 'u' once in its own namespaces (or 'x'), then, when
    // let go, whether two set requests in a row shared a look ('k'), then,
    // given a device path, whether a new set lists it ('y').
    auto child = [&](auto enter) {
        std::fflush(nullptr);
        pid_t pid = fork();
        if (pid == 0) {
            char c = 0;
            char path[64] = {};
            (void)!write(told[1], enter() ? "u" : "x", 1);
            (void)!read(go[0], &c, 1);
            // Any uevent on the machine ends a look kept by counting them:
            // the ones a disk detached just before sends may still come (and
            // others may change the machine), so ask again for up to 5 s.
            bool kept = false;
            for (int attempt = 0; attempt < 250 && !kept; ++attempt) {
                if (attempt > 0)
                    usleep(20000);
                SetPaths();
                uint64_t before = Reused();
                SetPaths();
                kept = Reused() > before;
            }
            (void)!write(told[1], kept ? "k" : "n", 1);
            (void)!read(go[0], path, sizeof path - 1);
            (void)!write(told[1], Has(SetPaths(), path) ? "y" : "n", 1);
            _exit(0);
        }
        return pid;
    };
    // Lets a child go, attaches a disk, tells the child its path and
    // detaches it again; what the child told.
    auto run = [&](pid_t pid) {
        std::string answers;
        char c = 'x';
        (void)!read(told[0], &c, 1);
        if (c == 'u') {
            (void)!write(go[1], "g", 1);
            (void)!read(told[0], &c, 1);
            answers += c;
            std::string device = Attach(dir + "/disk.img");
            (void)!write(go[1], device.c_str(), device.size());
            (void)!read(told[0], &c, 1);
            answers += c;
            Shell("losetup -d " + device);
        } else {
            kill(pid, SIGKILL);
            answers = "x";
        }
        waitpid(pid, nullptr, 0);
        return answers;
    };
    // The owner of the network namespace stays, for the second child to join.
    int hold[2];
    ASSERT_EQ(pipe(hold), 0);
    std::fflush(nullptr);
    pid_t owner = fork();
    if (owner == 0) {
        char c = 0;
        bool ok = unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0;
        (void)!write(told[1], ok ? "u" : "x", 1);
        (void)!read(hold[0], &c, 1);
        _exit(0);
    }
    ASSERT_GT(owner, 0);
    std::string proc = "/proc/" + std::to_string(owner);
    std::string maps = "echo '0 0 4294967295' > " + proc + "/uid_map && echo '0 0 4294967295' > " + proc + "/gid_map";
    char c = 0;
    (void)!read(told[0], &c, 1);
    bool made = c == 'u' && Shell(maps) == 0;
    // In the owner's user and network namespaces.
    std::string inOwn = made ? run(child([&] {
        for (const char *kind : {"user", "net"}) {
            int ns = open((proc + "/ns/" + kind).c_str(), O_RDONLY | O_CLOEXEC);
            if (ns < 0 || setns(ns, 0) != 0)
                return false;
            close(ns);
        }
        return true;
    }))
                             : "x";
    // The initial user namespace in the owner's network namespace.
    std::string joined = made ? run(child([&] {
        int net = open((proc + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        bool ok = net >= 0 && setns(net, CLONE_NEWNET) == 0;
        if (net >= 0)
            close(net);
        return ok;
    }))
                              : "x";
    (void)!write(hold[1], "g", 1);
    waitpid(owner, nullptr, 0);
    for (int fd : {go[0], go[1], told[0], told[1], hold[0], hold[1]})
        close(fd);
    if (!made || inOwn == "x")
        GTEST_SKIP() << "no user namespace could be made or joined here";
    EXPECT_EQ(inOwn, "ky") << "a user namespace mapping every id, with its own network namespace";
    EXPECT_EQ(joined, "ky") << "the initial user namespace in a network namespace owned by another";
}

// Content changed without a write() through the watched node: the volume
// list follows each change at the very next request.
TEST_P(LiveKeptLooks, ContentChangedWithoutAWriteThroughTheNodeIsSeen) {
    if (Shell("command -v blkdiscard") != 0)
        GTEST_SKIP() << "needs blkdiscard";
    std::string image = Image("disk.img", 32 << 20);
    std::string device = Attach(image);
    ASSERT_FALSE(device.empty());
    struct Step {
        const char *what;
        std::string command;
        size_t volumes;
    };
    const Step steps[] = {
        {"mkfs on the backing file", "mkfs.ext4 -q -F " + Quote(image), 1},
        {"zeroed by ioctl (blkdiscard -z)", "blkdiscard -z " + device, 0},
        {"mkfs again", "mkfs.ext4 -q -F " + device, 1},
        {"discarded (blkdiscard)", "blkdiscard " + device, 0},
    };
    for (const Step &step : steps) {
        Settle([&] { VolumesOf(device); });
        std::string out;
        ASSERT_EQ(Shell(step.command, &out), 0) << step.what << ": " << out;
        EXPECT_EQ(VolumesOf(device).size(), step.volumes) << step.what;
    }
}

// A compressed RAM disk of our own gets its size and loses it through
// sysfs: no uevent, no node opened.
TEST_P(LiveKeptLooks, SizeSetThroughSysfsIsSeen) {
    std::string id;
    if (access("/sys/class/zram-control/hot_add", R_OK) != 0 || Shell("cat /sys/class/zram-control/hot_add", &id) != 0)
        GTEST_SKIP() << "no zram here";
    std::string name = "zram" + Trim(id), sys = "/sys/block/" + name;
    auto write = [&](const std::string &attribute, const std::string &value) {
        return Shell("echo " + value + " > " + sys + "/" + attribute) == 0;
    };
    Settle(SetPaths);
    EXPECT_TRUE(write("disksize", "64M"));
    EXPECT_TRUE(Has(SetPaths(), "/dev/" + name));
    Settle(SetPaths);
    // Another process probing every disk holds it open for a moment: the
    // reset is refused (EBUSY) until it closes.
    bool reset = false;
    for (int i = 0; i < 50 && !(reset = write("reset", "1")); ++i)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    EXPECT_TRUE(reset);
    EXPECT_FALSE(Has(SetPaths(), "/dev/" + name));
    Shell("echo " + Trim(id) + " > /sys/class/zram-control/hot_remove");
}

// A loop disk's backing file renamed: its volume keeps its name, in a kept
// look and in a new one.
TEST_P(LiveKeptLooks, VolumeNameOfALoopDiskSurvivesARenameOfItsFile) {
    std::string image = dir + "/disk.img";
    std::string device = AttachDiskImage();
    ASSERT_FALSE(device.empty());
    ASSERT_TRUE(WaitFor(device + "p1", true));
    auto names = [&] {
        std::vector<std::wstring> out;
        wchar_t name[51] = {};
        HANDLE search = P::FindFirstVolumeW(name, 51);
        if (search == INVALID_HANDLE_VALUE)
            return out;
        do {
            std::wstring bare(name, 48);
            Handle v(bare);
            if (v.h == INVALID_HANDLE_VALUE)
                continue;
            unsigned char block[8 + 24 * 8] = {};
            DWORD returned = 0;
            DISK_EXTENT e{};
            auto disk = DeviceNumber(Handle(Wide(device)).h);
            if (P::DeviceIoControl(v.h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, block, sizeof block,
                                   &returned, nullptr)) {
                std::memcpy(&e, block + offsetof(VOLUME_DISK_EXTENTS, Extents), sizeof e);
                if (disk && e.DiskNumber == *disk)
                    out.push_back(name);
            }
        } while (P::FindNextVolumeW(search, name, 51));
        P::FindVolumeClose(search);
        return out;
    };
    Settle([&] { names(); });
    auto before = names();
    ASSERT_EQ(before.size(), 1u);
    ASSERT_EQ(rename(image.c_str(), (dir + "/renamed.img").c_str()), 0);
    EXPECT_EQ(names(), before) << "kept look";
    fs::create_directories(dir + "/mnt"); // a mount and an unmount: a new look
    EXPECT_EQ(Shell("mount -t tmpfs none " + Quote(dir + "/mnt") + " && umount " + Quote(dir + "/mnt")), 0);
    EXPECT_EQ(names(), before) << "new look";
}

INSTANTIATE_TEST_SUITE_P(Signals, LiveKeptLooks,
                         ::testing::Values(TavLinux::NodeWatcher::Inotify, TavLinux::NodeWatcher::Fanotify,
                                           TavLinux::NodeWatcher::Polling),
                         [](const ::testing::TestParamInfo<TavLinux::NodeWatcher> &param) {
                             switch (param.param) {
                             case TavLinux::NodeWatcher::Inotify: return std::string("Inotify");
                             case TavLinux::NodeWatcher::Fanotify: return std::string("NoInotifyInstance");
                             case TavLinux::NodeWatcher::Polling: break;
                             }
                             return std::string("NeitherInotifyNorFanotify");
                         });
