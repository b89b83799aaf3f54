// SPDX-License-Identifier: MIT
// The Linux backend against this machine's own disks: a loop device over a
// sparse image with an MBR and two partitions, the first formatted and
// mounted at two paths (one with a space), checked against lsblk and
// blockdev. Needs root, util-linux and e2fsprogs; skips with the reason
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
#include <set>
#include <sys/stat.h>
#include <thread>
#include <unistd.h>

#if defined(TAVDISK_HAVE_JSON)
#include <nlohmann/json.hpp>
#endif

using namespace TavLinuxTest;
namespace fs = std::filesystem;

namespace {

// One loop device set up for the whole suite.
struct LiveLoop {
    std::string skip; // why the live tests cannot run here
    std::string dir, image, device, mountA, mountB;
    bool mountedA = false, mountedB = false, partitioned = false;

    void SetUp() {
        if (geteuid() != 0) {
            skip = "needs root (loop devices, mounts)";
            return;
        }
        for (const char *tool : {"losetup", "partx", "mkfs.ext4", "mount", "umount", "blockdev", "lsblk"}) {
            if (Shell(std::string("command -v ") + tool) != 0) {
                skip = std::string("needs ") + tool;
                return;
            }
        }
        if (access("/dev/loop-control", F_OK) != 0) {
            skip = "this machine has no loop devices";
            return;
        }
        char pattern[] = "/tmp/tavdisk-live-XXXXXX";
        if (!mkdtemp(pattern)) {
            skip = "no temporary directory";
            return;
        }
        dir = pattern;
        image = dir + "/disk.img";
        // 64 MiB, sparse; MBR with partitions at 1 MiB (20 MiB) and 22 MiB (to the end).
        int fd = open(image.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        unsigned char mbr[512] = {};
        auto entry = [&mbr](int i, uint32_t start, uint32_t count) {
            unsigned char *e = mbr + 446 + 16 * i;
            e[4] = 0x83;
            std::memcpy(e + 8, &start, 4);
            std::memcpy(e + 12, &count, 4);
        };
        entry(0, 2048, 40960);
        entry(1, 45056, 131072 - 45056);
        mbr[510] = 0x55;
        mbr[511] = 0xAA;
        bool written = fd >= 0 && ftruncate(fd, 64 << 20) == 0 && pwrite(fd, mbr, 512, 0) == 512;
        if (fd >= 0)
            close(fd);
        std::string out;
        if (!written || Shell("losetup -f --show " + Quote(image), &out) != 0) {
            skip = "losetup failed: " + Trim(out);
            return;
        }
        device = Trim(out);
        DropPartitions(device); // another program's, left on this device
        Shell("partx -a " + device);
        for (int i = 0; i < 50 && access((device + "p1").c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        if (access((device + "p1").c_str(), F_OK) != 0) {
            skip = "the loop device's partitions did not appear";
            return;
        }
        partitioned = true;
        mountA = dir + "/mount one";
        mountB = dir + "/mount-two";
        fs::create_directories(mountA);
        fs::create_directories(mountB);
        if (Shell("mkfs.ext4 -q -F " + device + "p1", &out) != 0) {
            skip = "mkfs.ext4 failed: " + Trim(out);
            return;
        }
        if (Shell("mount " + device + "p1 " + Quote(mountA), &out) != 0) {
            skip = "mount failed: " + Trim(out);
            return;
        }
        mountedA = true;
        mountedB = Shell("mount --bind " + Quote(mountA) + " " + Quote(mountB)) == 0;
    }

    void TearDown() {
        if (mountedB)
            Shell("umount " + Quote(mountB));
        if (mountedA)
            Shell("umount " + Quote(mountA));
        if (partitioned)
            DropPartitions(device);
        if (!device.empty())
            Shell("losetup -d " + device);
        if (!dir.empty()) {
            std::error_code ignored;
            fs::remove_all(dir, ignored);
        }
    }
};

LiveLoop loop;

class Live : public ::testing::Test {
protected:
    static void SetUpTestSuite() { loop.SetUp(); }
    static void TearDownTestSuite() { loop.TearDown(); }
    void SetUp() override {
        if (!loop.skip.empty())
            GTEST_SKIP() << loop.skip;
        const char *root = std::getenv("TAVDISK_ROOT");
        if (root)
            savedRoot = root, hadRoot = true;
        unsetenv("TAVDISK_ROOT");
    }
    void TearDown() override {
        if (hadRoot)
            setenv("TAVDISK_ROOT", savedRoot.c_str(), 1);
    }
    std::wstring Path() const { return std::wstring(loop.device.begin(), loop.device.end()); }
    std::string savedRoot;
    bool hadRoot = false;
};

uint64_t Blockdev(const std::string &option, const std::string &device) {
    std::string out;
    if (Shell("blockdev " + option + " " + device, &out) != 0)
        return 0;
    return std::strtoull(out.c_str(), nullptr, 10);
}

} // namespace

TEST_F(Live, LoopDiskSizesEqualBlockdevs) {
    Set set;
    auto d = DriveAt(set.handle, Path());
    ASSERT_TRUE(d) << "the loop device is not in the disk set";
    EXPECT_EQ(d->GetBusType(), BusTypeFileBackedVirtual);
    EXPECT_EQ(d->IsAta(), 0);
    uint64_t bytes = Blockdev("--getsize64", loop.device);
    uint64_t sector = Blockdev("--getss", loop.device);
    ASSERT_GT(sector, 0u);
    EXPECT_EQ(d->GetBytesPerSector(), sector);
    EXPECT_EQ(static_cast<uint64_t>(d->GetSectors().QuadPart), bytes / sector);
    EXPECT_EQ(static_cast<uint64_t>(d->GetCylinders().QuadPart), bytes / (255 * 63 * sector));
    EXPECT_EQ(Text(*d, &Drive::GetScsiVendorId), "Linux");
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()), L"loop");
}

TEST_F(Live, EveryOpenableDiskAgreesWithBlockdev) {
    Set set;
    int checked = 0;
    for (auto &d : AllDrives(set.handle)) {
        std::string path = Narrow(DevicePath(*d));
        if (d->GetBusType() == BusTypeUnknown) {
            // The disk could not be opened for reading and writing (a confined guest may refuse it).
            continue;
        }
        uint64_t bytes = Blockdev("--getsize64", path), sector = Blockdev("--getss", path);
        if (sector == 0)
            continue;
        EXPECT_EQ(d->GetBytesPerSector(), sector) << path;
        if (!d->IsAta()) {
            EXPECT_EQ(static_cast<uint64_t>(d->GetSectors().QuadPart), bytes / sector) << path;
        }
        ++checked;
    }
    EXPECT_GE(checked, 1);
}

// Each physical fact against lsblk's column for it, on every disk that
// tells them; a loop disk attached read-only reads so.
TEST_F(Live, PhysicalFactsEqualLsblks) {
    Set set;
    int checked = 0;
    for (auto &d : AllDrives(set.handle)) {
        const std::string path = Narrow(DevicePath(*d));
        std::string columns;
        if (d->GetBusType() == BusTypeUnknown ||
            Shell("lsblk -d -b -n -o PHY-SEC,ALIGNMENT,ROTA,DISC-MAX,RO,RM " + path, &columns) != 0)
            continue;
        unsigned long long physical = 0, offset = 0, rotational = 0, discard = 0, readOnly = 0, removable = 0;
        if (std::sscanf(columns.c_str(), "%llu %llu %llu %llu %llu %llu", &physical, &offset, &rotational, &discard,
                        &readOnly, &removable) != 6)
            continue;
        ULONG bytes = 0;
        int flag = -1;
        EXPECT_TRUE(d->GetPhysicalBytesPerSector(&bytes) && bytes == physical) << path;
        EXPECT_TRUE(d->GetAlignmentOffset(&bytes) && bytes == offset) << path;
        EXPECT_TRUE(d->IsRotational(&flag) && flag == static_cast<int>(rotational != 0)) << path;
        EXPECT_TRUE(d->SupportsTrim(&flag) && flag == static_cast<int>(discard != 0)) << path;
        EXPECT_TRUE(d->IsReadOnly(&flag) && flag == static_cast<int>(readOnly != 0)) << path;
        ++checked;
    }
    EXPECT_GE(checked, 1);

    const std::string image = loop.dir + "/read-only.img";
    std::string device;
    ASSERT_EQ(Shell("truncate -s 1M " + image + " && losetup -r -f --show " + image, &device), 0);
    device.erase(device.find_last_not_of("\n") + 1);
    Set again;
    auto d = DriveAt(again.handle, std::wstring(device.begin(), device.end()));
    int readOnly = -1;
    const bool told = d && d->IsReadOnly(&readOnly);
    Shell("losetup -d " + device);
    EXPECT_TRUE(told && readOnly == 1) << device;
}

// A GPT and an MBR table (with logical partitions) written by sfdisk on
// loop disks of the test's own, against sfdisk's reading of them; the
// kernel's partitions against lsblk's.
TEST_F(Live, PartitionTablesEqualSfdisks) {
#if defined(TAVDISK_HAVE_JSON)
    if (Shell("command -v sfdisk") != 0)
        GTEST_SKIP() << "needs sfdisk";
    struct Table {
        const char *label, *script;
    };
    const Table tables[] = {
        {"gpt", "label: gpt\nsize=8MiB, type=L, name=first\n"
                "size=4MiB, type=0FC63DAF-8483-4772-8E79-3D69D8477DE4, name=\"two words\"\nsize=4MiB, type=U\n"},
        {"dos", "label: dos\nlabel-id: 0x1234abcd\nsize=8MiB, type=83, bootable\nsize=4MiB, type=7\n"
                "size=32MiB, type=5\nsize=4MiB, type=82\nsize=4MiB, type=83\n"},
    };
    for (const Table &t : tables) {
        const std::string image = loop.dir + "/" + t.label + ".img", script = loop.dir + "/" + t.label + ".sfdisk";
        FILE *f = std::fopen(script.c_str(), "w");
        ASSERT_TRUE(f);
        std::fputs(t.script, f);
        std::fclose(f);
        std::string device, table, tree;
        ASSERT_EQ(Shell("truncate -s 64M " + image + " && sfdisk -q " + image + " < " + script, &device), 0) << device;
        ASSERT_EQ(Shell("losetup -f --show " + image, &device), 0) << device;
        device = Trim(device);
        DropPartitions(device); // another program's, left on this device
        Shell("partx -a " + device);
        for (int i = 0; i < 50 && access((device + "p1").c_str(), F_OK) != 0; ++i)
            std::this_thread::sleep_for(std::chrono::milliseconds(40));
        const bool read = Shell("sfdisk --json " + device, &table) == 0 &&
                          Shell("lsblk -J -b -o NAME,START,SIZE " + device, &tree) == 0;
        int style = -1;
        ULONG count = 0;
        char id[40] = {};
        ULONG length = 0;
        // A look taken while other programs' devices come and go may fail
        // (a read refused mid-removal): it is told as a failure, and the
        // next set takes a new one.
        std::unique_ptr<Drive> d;
        std::unique_ptr<Set> set;
        bool told = false;
        for (int attempt = 0; attempt < 3 && !told; ++attempt) {
            d.reset();
            set = std::make_unique<Set>();
            d = DriveAt(set->handle, std::wstring(device.begin(), device.end()));
            told = d && d->GetPartitionStyle(&style) && d->GetPartitionCount(&count) &&
                   d->GetPartitionTableId(id, sizeof id, &length);
        }
        std::vector<TavPartition> ours(count);
        for (ULONG i = 0; told && i < count; ++i)
            EXPECT_TRUE(d->GetPartition(i, &ours[i])) << t.label << " " << i;
        d.reset();
        DropPartitions(device);
        Shell("losetup -d " + device);
        ASSERT_TRUE(read && told) << t.label;

        const auto sf = nlohmann::json::parse(table).at("partitiontable");
        const bool gpt = sf.at("label") == "gpt";
#if defined(TAVDISK_HAVE_LIBBLKID)
        const bool tableRead = true;
#else
        const bool tableRead = false; // the kernel's partitions only, in a table of unknown kind
#endif
        EXPECT_EQ(style, !tableRead ? TavPartitionStyleUnknown
                         : gpt      ? TavPartitionStyleGpt
                                    : TavPartitionStyleMbr)
            << t.label;
        EXPECT_EQ(id, tableRead ? sf.at("id").get<std::string>() : "") << t.label;
        const uint64_t sector = sf.value("sectorsize", 512);
        const auto &theirs = sf.at("partitions");
        ASSERT_EQ(count, theirs.size()) << t.label;
        const auto children = nlohmann::json::parse(tree).at("blockdevices").at(0).at("children");
        EXPECT_EQ(count, children.size()) << t.label;
        for (size_t i = 0; i < theirs.size(); ++i) {
            const auto &p = theirs[i];
            const std::string node = p.at("node");
            const TavPartition &o = ours[i];
            EXPECT_EQ(o.Number, std::stoul(node.substr(node.rfind('p') + 1))) << node;
            EXPECT_EQ(o.StartingOffset, p.at("start").get<uint64_t>() * sector) << node;
            if (!tableRead) {
                // The kernel gives an extended partition as its first 1 KiB.
                if (p.at("type") != "5") {
                    EXPECT_EQ(o.Length, p.at("size").get<uint64_t>() * sector) << node;
                }
                EXPECT_EQ(o.MbrType + o.Active + o.TypeGuid[0] + o.PartitionGuid[0] + o.Name[0], 0) << node;
                continue;
            }
            EXPECT_EQ(o.Length, p.at("size").get<uint64_t>() * sector) << node;
            if (gpt) {
                EXPECT_EQ(o.TypeGuid, p.at("type").get<std::string>()) << node;
                EXPECT_EQ(o.PartitionGuid, p.at("uuid").get<std::string>()) << node;
                EXPECT_EQ(Narrow(std::wstring(o.Name)), p.value("name", "")) << node;
            } else {
                EXPECT_EQ(o.MbrType, std::stoul(p.at("type").get<std::string>(), nullptr, 16)) << node;
                EXPECT_EQ(o.Active != 0, p.value("bootable", false)) << node;
            }
        }
    }
#else
    GTEST_SKIP() << "built without nlohmann-json: sfdisk's JSON is not read";
#endif
}

TEST_F(Live, MountPointsEqualLsblks) {
    Set set;
    auto d = DriveAt(set.handle, Path());
    ASSERT_TRUE(d);
    std::string mounts = MountPoints(*d);
    std::set<std::string> ours;
    for (size_t at = 0; at <= mounts.size();) {
        size_t end = mounts.find("; ", at);
        if (end == std::string::npos)
            end = mounts.size();
        if (end > at)
            ours.insert(mounts.substr(at, end - at));
        at = end + 2;
    }
    std::set<std::string> expected = {loop.mountA};
    if (loop.mountedB)
        expected.insert(loop.mountB);
    EXPECT_EQ(ours, expected);

#if defined(TAVDISK_HAVE_JSON)
    std::string out;
    ASSERT_EQ(Shell("lsblk -J -b -O " + loop.device, &out), 0) << out;
    auto json = nlohmann::json::parse(out);
    const auto &disk = json.at("blockdevices").at(0);
    EXPECT_EQ(disk.at("size").get<uint64_t>(),
              static_cast<uint64_t>(d->GetSectors().QuadPart) * d->GetBytesPerSector());
    EXPECT_EQ(disk.at("log-sec").get<uint64_t>(), d->GetBytesPerSector());
    std::set<std::string> theirs;
    for (const auto &child : disk.value("children", nlohmann::json::array()))
        for (const auto &m : child.value("mountpoints", nlohmann::json::array()))
            if (m.is_string())
                theirs.insert(m.get<std::string>());
    EXPECT_EQ(ours, theirs);
#else
    GTEST_SKIP() << "built without nlohmann-json: lsblk's JSON is not compared";
#endif
}

TEST_F(Live, SectorRoundTripReachesTheBackingFile) {
    Set set;
    auto d = DriveAt(set.handle, Path());
    ASSERT_TRUE(d);
    // Sector 1 lies between the MBR and the first partition.
    unsigned char out[512], in[512] = {};
    for (int i = 0; i < 512; ++i)
        out[i] = static_cast<unsigned char>(0xA5 ^ i);
    ASSERT_NE(d->WriteSector(1, out), 0);
    ASSERT_NE(d->ReadSector(1, in), 0);
    EXPECT_EQ(0, std::memcmp(in, out, 512));
    ASSERT_EQ(Shell("blockdev --flushbufs " + loop.device), 0);
    sync();
    int fd = open(loop.image.c_str(), O_RDONLY | O_CLOEXEC);
    ASSERT_GE(fd, 0);
    unsigned char file[512] = {};
    ASSERT_EQ(pread(fd, file, 512, 512), 512);
    close(fd);
    EXPECT_EQ(0, std::memcmp(file, out, 512));
    // The MBR before it is intact.
    ASSERT_NE(d->ReadSector(0, in), 0);
    EXPECT_EQ(in[510], 0x55);
    EXPECT_EQ(in[511], 0xAA);
    // Past the end nothing moves.
    uint64_t sectors = static_cast<uint64_t>(d->GetSectors().QuadPart);
    EXPECT_EQ(d->ReadSector(static_cast<ULONG>(sectors), in), 0);
}

TEST_F(Live, PartitionVolumesLieOnTheLoopDisk) {
    Set set;
    auto d = DriveAt(set.handle, Path());
    ASSERT_TRUE(d);
    ULONG number = d->GetDriveNumber();
    int onDisk = 0;
    wchar_t name[51];
    HANDLE search = TavPlatform::FindFirstVolumeW(name, 51);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do {
        std::wstring bare(name, 48);
        HANDLE v = TavPlatform::CreateFileW(bare.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        if (v == INVALID_HANDLE_VALUE)
            continue;
        unsigned char block[8 + 24 * 8] = {};
        DWORD returned = 0;
        if (TavPlatform::DeviceIoControl(v, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, block, sizeof block,
                                         &returned, nullptr)) {
            VOLUME_DISK_EXTENTS e;
            std::memcpy(&e, block, sizeof e);
            if (e.NumberOfDiskExtents == 1 && e.Extents[0].DiskNumber == number) {
                ++onDisk;
                EXPECT_TRUE(e.Extents[0].StartingOffset.QuadPart == 2048LL * 512 ||
                            e.Extents[0].StartingOffset.QuadPart == 45056LL * 512);
            }
        }
        TavPlatform::CloseHandle(v);
    } while (TavPlatform::FindNextVolumeW(search, name, 51));
    TavPlatform::FindVolumeClose(search);
    EXPECT_EQ(onDisk, 2);
}
