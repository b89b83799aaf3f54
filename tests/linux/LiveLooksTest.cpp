// Every device-number request and every volume search sees this machine as
// it is at that moment, on loop devices changed between two looks: a disk
// that gets a size or loses it, a partition resized, deleted and added
// again under the same name at another place, a file system mounted and
// unmounted. Needs root, util-linux and e2fsprogs; skips with the reason
// otherwise.
#include "LinuxTestSupport.h"
#include "LiveShell.h"

#include <gtest/gtest.h>

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

std::wstring Wide(const std::string &s) {
    return std::wstring(s.begin(), s.end());
}

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

struct Handle {
    explicit Handle(const std::wstring &path)
        : h(P::CreateFileW(path.c_str(), 0, 3, nullptr, OPEN_EXISTING, 0, nullptr)) {}
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE)
            P::CloseHandle(h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE h;
};

std::optional<DWORD> DeviceNumber(HANDLE h) {
    STORAGE_DEVICE_NUMBER n{};
    DWORD returned = 0;
    if (!P::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr))
        return std::nullopt;
    return n.DeviceNumber;
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
