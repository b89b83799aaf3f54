// SPDX-License-Identifier: MIT
// What the public Drive/Adapter API reports about recorded machines, one
// bus at a time, answered by the Linux backend.
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>
#include <optional>
#include <string>
#include <vector>

using namespace TavLinuxTest;

namespace {

// A PCI controller's description: its name from the PCI ID database (the
// tree's own, else the machine's), whichever way the backend reads it; the
// driver's name only where no database can be read at all.
const wchar_t *Pci(const wchar_t *name, const wchar_t *driver) {
    static_cast<void>(driver);
    return name;
}

} // namespace

TEST(ReplayEnumeration, WorkstationListsWholeDisksInTheirFixedOrder) {
    Machine m("workstation");
    Set set;
    auto drives = AllDrives(set.handle);
    std::vector<std::wstring> paths;
    for (auto &d : drives)
        paths.push_back(DevicePath(*d));
    // No partitions, no optical drive, no hidden NVMe controller path; the
    // software devices (dm) after the physical ones.
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"/dev/sda", L"/dev/sdb", L"/dev/sdc", L"/dev/nvme0n1", L"/dev/nvme1n1",
                                                L"/dev/mmcblk0", L"/dev/dm-0"}));
    for (size_t i = 0; i < drives.size(); ++i)
        EXPECT_EQ(drives[i]->GetDriveNumber(), i) << Narrow(paths[i]);
    EXPECT_EQ(Drive::GetDrive(set.handle, static_cast<ULONG>(drives.size())), nullptr);
}

TEST(ReplayEnumeration, VmSkipsUnboundLoopDevices) {
    Machine m("vm");
    Set set;
    std::vector<std::wstring> paths;
    for (auto &d : AllDrives(set.handle))
        paths.push_back(DevicePath(*d));
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"/dev/vda", L"/dev/loop0", L"/dev/loop1", L"/dev/zram0"}));
}

// What one disk of a recorded machine answers, fact by fact: each disk of
// the recordings with the facts that tell its bus and kind apart.
namespace {

struct Number {
    const char *what;
    long long (*read)(Drive &);
    long long expected;
};

struct Words {
    const char *what;
    TextGetter getter;
    std::string expected;
};

struct DiskFacts {
    const char *name; // the test's name
    const char *machine;
    const wchar_t *path;
    void (*prepare)(const TavReplay::Tree &); // the test's change to the recording, or null
    std::vector<Number> numbers;
    std::vector<Words> texts;
    std::optional<std::string> mounts;
    std::optional<std::wstring> adapter; // the parent device node's description
};

// The table is laid out by hand, one fact per group, macros included.
// clang-format off
#define NUMBER(call, value)                                                                                           \
    Number { #call, [](Drive &d) { return static_cast<long long>(d.call); }, value }
#define TEXT(getter, value)                                                                                           \
    Words { #getter, &Drive::getter, value }

// GetDriveLetters with room for every letter: the letter count, or -1 when
// the call does not answer 1.
long long DriveLetterCount(Drive &d) {
    wchar_t letters[27];
    ULONG length = 0;
    return d.GetDriveLetters(letters, 27, &length) == 1 ? static_cast<long long>(length) : -1;
}

void WithoutIdentify(const TavReplay::Tree &tree) { tree.Remove("ioctl/sdc/identify"); }
// As a confined guest answers for its root disk.
void RootDiskRefused(const TavReplay::Tree &tree) { tree.Write("ioctl/vda/open_errno", "EPERM\n"); }

const DiskFacts Disks[] = {
    // IDENTIFY strings come back in reading order: the backend handed over the
    // drive's own word layout. The driver's geometry wraps its 16-bit cylinder
    // count on a 1 TB disk; the cylinders are computed from the size.
    {"SataLibataDiskIsAtaWithItsIdentifyAndDescriptor", "workstation", L"/dev/sda", nullptr,
     {NUMBER(GetBusType(), BusTypeSata), NUMBER(IsAta(), 1), NUMBER(GetIdeSupports48BitAddressing(), 1),
      NUMBER(GetIdeSupportsSecurity(), 1), NUMBER(GetIdeSecurityEraseUnitTime(), 60),
      NUMBER(GetIdeEnhancedSecurityEraseUnitTime(), 510), NUMBER(GetSectors().QuadPart, 1953525168),
      NUMBER(GetIdeControllerNumber(), 0), NUMBER(GetIdeDiskNumber(), 0), NUMBER(GetBytesPerSector(), 512),
      NUMBER(GetTracksPerCylinder(), 255), NUMBER(GetSectorsPerTrack(), 63), NUMBER(GetCylinders().QuadPart, 121601),
      NUMBER(GetCapacity().QuadPart, 121601LL * 255 * 63 * 512), {"GetDriveLetters", DriveLetterCount, 1},
      NUMBER(ContainsWindowsBootPartition(), 0)},
     {TEXT(GetIdeDriveModelNo, "WDC WD10EZEX-08WN4A0"), TEXT(GetIdeDriveSerialNo, "WD-WCC6Y1234567"),
      TEXT(GetIdeDriveFirmwareRevision, "01.01A01"), TEXT(GetVendorId, "ATA"),
      TEXT(GetProductId, "WDC WD10EZEX-08W"), TEXT(GetProductRevision, "1A01"),
      TEXT(GetSerialNumber, "WD-WCC6Y1234567"),
      TEXT(GetScsiVendorId, "<none>")}, // an ATA disk has no INQUIRY texts
     "/boot/efi; /",
     Pci(L"Intel Corporation 82801IR/IO/IH (ICH9R/DO/DH) 6 port SATA Controller [AHCI mode]", L"ahci")},
    // The slave of the third port (host 2, target 1), its sector count from
    // words 60-61; a geometry the driver reports consistently with the size
    // is kept. It is a member of the dm volume that spans it and nvme0n1p1.
    {"SataPataDiskIdentifiesThroughHdioWithStringsSwappedBack", "workstation", L"/dev/sdb", nullptr,
     {NUMBER(GetBusType(), BusTypeAta), NUMBER(IsAta(), 1), NUMBER(GetIdeSupports48BitAddressing(), 0),
      NUMBER(GetSectors().QuadPart, 8388608), NUMBER(GetIdeControllerNumber(), 2), NUMBER(GetIdeDiskNumber(), 1),
      NUMBER(GetScsiPort(), 2), NUMBER(GetScsiTargetId(), 1), NUMBER(GetTracksPerCylinder(), 16),
      NUMBER(GetSectorsPerTrack(), 63), NUMBER(GetCylinders().QuadPart, 8322)},
     {TEXT(GetIdeDriveModelNo, "QEMU HARDDISK"), TEXT(GetIdeDriveSerialNo, "QM00002"),
      TEXT(GetIdeDriveFirmwareRevision, "2.5+")},
     "/data; /srv/my projects", std::nullopt},
    {"NvmeNamespaceGetsTranslatedInquiryAndCapacity", "workstation", L"/dev/nvme0n1", nullptr,
     {NUMBER(GetBusType(), BusTypeNvme), NUMBER(IsAta(), 0), NUMBER(GetSectors().QuadPart, 1953525168),
      NUMBER(GetScsiPort(), 0), NUMBER(GetScsiLogicalUnitId(), 0)},
     {TEXT(GetVendorId, "NVMe"), TEXT(GetProductId, "Samsung SSD 970 EVO Plus 1TB"),
      TEXT(GetProductRevision, "2B2QEXM7"), TEXT(GetSerialNumber, "S4EWNX0R123456A"), TEXT(GetScsiVendorId, "NVMe"),
      TEXT(GetScsiProductId, "Samsung SSD 970"), TEXT(GetScsiProductRevision, "2B2Q")},
     "/data; /srv/my projects", Pci(L"Samsung Electronics Co Ltd NVMe SSD Controller SM981/PM981/PM983", L"nvme")},
    // btrfs reports an anonymous device number: the mount is found by its source.
    {"NvmeMultipathHeadReachesItsController", "workstation", L"/dev/nvme1n1", nullptr,
     {NUMBER(GetBusType(), BusTypeNvme), NUMBER(GetScsiPort(), 1)},
     {TEXT(GetProductId, "Sabrent Rocket Q")},
     "/mnt/fast", Pci(L"Phison Electronics Corporation E12 NVMe Controller", L"nvme")},
    // No VPD pages in sysfs for usb-storage: page 0x80 is asked of the device.
    {"UsbBridgePassesAtaThroughAndSerialComesFromTheDevice", "workstation", L"/dev/sdc", nullptr,
     {NUMBER(GetBusType(), BusTypeUsb), NUMBER(IsAta(), 1), NUMBER(GetSectors().QuadPart, 3907029168LL),
      NUMBER(GetScsiPort(), 6)},
     {TEXT(GetIdeDriveModelNo, "WDC WD20SPZX-22UA7T0"), TEXT(GetVendorId, "WD"), TEXT(GetProductRevision, "40"),
      TEXT(GetSerialNumber, "WX21A12B3456")},
     "/media/user/My Passport", L"Western Digital My Passport 25E2"},
    {"UsbBridgeWithoutAtaGivesInquiryWithNulPaddingTrimmed", "workstation", L"/dev/sdc", WithoutIdentify,
     {NUMBER(IsAta(), 0), NUMBER(GetSectors().QuadPart, 3907029168LL)},
     {TEXT(GetScsiVendorId, "WD"), TEXT(GetScsiProductId, "My Passport 25E2"), TEXT(GetScsiProductRevision, "40")},
     std::nullopt, std::nullopt},
    {"MmcSdCardOnPciHost", "workstation", L"/dev/mmcblk0", nullptr,
     {NUMBER(GetBusType(), BusTypeSd), NUMBER(GetSectors().QuadPart, 124735488)},
     {TEXT(GetProductId, "SC64G"), TEXT(GetScsiProductId, "SC64G"), TEXT(GetSerialNumber, "0x1a2b3c4d")},
     "/media/user/SDCARD", Pci(L"O2 Micro, Inc. SD/MMC Card Reader Controller", L"sdhci-pci")},
    // Its volume lies on dm-0 itself (the disk mounted) and on the disks beneath it.
    {"DmMapperDeviceIsARaidDiskDescribedByItsDriver", "workstation", L"/dev/dm-0", nullptr,
     {NUMBER(GetBusType(), BusTypeRAID), NUMBER(GetSectors().QuadPart, 1961910272)},
     {TEXT(GetVendorId, "Linux"), TEXT(GetProductId, "vg0-data")},
     "/data; /srv/my projects", L"device-mapper"},
    // More than 2^32 blocks: READ CAPACITY(10) says so, READ CAPACITY(16) counts.
    {"SasDiskAnswersRecordedInquiryAndLargeCapacity", "server", L"/dev/sda", nullptr,
     {NUMBER(GetBusType(), BusTypeSas), NUMBER(IsAta(), 0), NUMBER(GetSectors().QuadPart, 7814037168LL)},
     {TEXT(GetScsiVendorId, "SEAGATE"), TEXT(GetScsiProductId, "ST4000NM0025"), TEXT(GetScsiProductRevision, "E003"),
      TEXT(GetSerialNumber, "ZC1A2B3C0000C1234567")},
     "/srv; /var/www", Pci(L"Broadcom / LSI SAS3008 PCI-Express Fusion-MPT SAS-3", L"mpt3sas")},
    {"SasSataDiskBehindSasHbaIsAta", "server", L"/dev/sdb", nullptr,
     {NUMBER(GetBusType(), BusTypeSas), NUMBER(IsAta(), 1), NUMBER(GetSectors().QuadPart, 976773168),
      NUMBER(GetScsiTargetId(), 1)},
     {TEXT(GetIdeDriveModelNo, "Samsung SSD 860 EVO 500GB")},
     std::nullopt, std::nullopt},
    // No INQUIRY copy was recorded: the answer is made from sysfs. The
    // driver's geometry counts 512-byte units; the one reported is computed.
    {"ScsiVirtioScsiDiskWith4096ByteSectors", "server", L"/dev/sdc", nullptr,
     {NUMBER(GetBusType(), BusTypeScsi), NUMBER(IsAta(), 0), NUMBER(GetBytesPerSector(), 4096),
      NUMBER(GetTracksPerCylinder(), 255), NUMBER(GetSectorsPerTrack(), 63),
      NUMBER(GetCylinders().QuadPart, 1073741824LL / (255 * 63 * 4096)), NUMBER(GetSectors().QuadPart, 262144),
      NUMBER(GetScsiPort(), 2)},
     {TEXT(GetScsiVendorId, "QEMU"), TEXT(GetScsiProductId, "QEMU HARDDISK"), TEXT(GetScsiProductRevision, "2.5+")},
     std::nullopt, Pci(L"Red Hat, Inc. Virtio 1.0 SCSI", L"virtio-pci")},
    // An absent revision reads empty; a virtio disk has no SCSI address.
    {"VirtioBlockDiskWithFileSystemOnTheWholeDevice", "server", L"/dev/vda", nullptr,
     {NUMBER(GetBusType(), BusTypeVirtual), NUMBER(GetSectors().QuadPart, 41943040), NUMBER(GetScsiPort(), 0)},
     {TEXT(GetVendorId, "Virtio"), TEXT(GetSerialNumber, "rootdisk"), TEXT(GetProductRevision, ""),
      TEXT(GetScsiProductId, "Block Device")},
     "/", Pci(L"Red Hat, Inc. Virtio 1.0 block device", L"virtio-pci")},
    // A RAID array is a disk of its own, and each member disk reports its volumes.
    {"MdRaidArrayIsADiskOfItsOwn", "server", L"/dev/md0", nullptr,
     {NUMBER(GetBusType(), BusTypeRAID), NUMBER(GetDriveNumber(), 6)},
     {TEXT(GetProductId, "md raid1")},
     "/srv; /var/www", std::nullopt},
    {"MdRaidArrayIsReportedByItsMemberDisk", "server", L"/dev/sdb", nullptr, {}, {}, "/srv; /var/www", std::nullopt},
    // A loop disk with partitions mounted twice and at a path with a space.
    {"LoopDiskWithPartitionsMountedTwiceAndAtAPathWithASpace", "vm", L"/dev/loop0", nullptr,
     {NUMBER(GetBusType(), BusTypeFileBackedVirtual), NUMBER(GetSectors().QuadPart, 131072),
      NUMBER(GetBytesPerSector(), 512)},
     {},
     "/mnt/tav data; /mnt/tavbind; /mnt/tavp2", L"loop"},
    {"LoopDiskWithAFileSystemOnTheWholeDevice", "vm", L"/dev/loop1", nullptr, {}, {}, "/mnt/tavwhole", std::nullopt},
    {"LoopZramDiskWith4096ByteSectors", "vm", L"/dev/zram0", nullptr,
     {NUMBER(GetBusType(), BusTypeVirtual), NUMBER(GetBytesPerSector(), 4096), NUMBER(GetSectors().QuadPart, 16384)},
     {},
     std::nullopt, L"zram"},
    // A disk whose device node may not be opened (as a sandbox refuses it)
    // is opened for queries only: bus, size, sector size and mount points
    // from sysfs, no command sent to it; its node and controller as ever.
    {"RefusedDiskIsOpenedForQueriesOnly", "vm", L"/dev/vda", RootDiskRefused,
     {NUMBER(GetAccess(), Drive::AccessQuery), NUMBER(GetBusType(), BusTypeVirtual), NUMBER(IsAta(), 0),
      NUMBER(GetSectors().QuadPart, 536870912), NUMBER(GetBytesPerSector(), 512),
      NUMBER(GetDeviceInstance() != 0, 1), NUMBER(ContainsSystemVolume(), 1)},
     {TEXT(GetScsiVendorId, "")},
     "/", Pci(L"Red Hat, Inc. Virtio 1.0 block device", L"virtio-pci")},
    // The other disks are not disturbed.
    {"UnopenableDiskLeavesTheOthersAlone", "vm", L"/dev/loop0", RootDiskRefused,
     {NUMBER(GetBusType(), BusTypeFileBackedVirtual), NUMBER(ContainsSystemVolume(), 0)},
     {},
     std::nullopt, std::nullopt},
};

#undef NUMBER
#undef TEXT
// clang-format on

// The name, not the bytes, when a case fails.
void PrintTo(const DiskFacts &facts, std::ostream *out) { *out << facts.name; }

} // namespace

class ReplayDisk : public ::testing::TestWithParam<DiskFacts> {};

TEST_P(ReplayDisk, AnswersItsRecordedFacts) {
    const DiskFacts &facts = GetParam();
    Machine m(facts.machine);
    if (facts.prepare)
        facts.prepare(m.tree);
    Set set;
    auto d = DriveAt(set.handle, facts.path);
    ASSERT_TRUE(d) << Narrow(facts.path);
    for (const Number &n : facts.numbers)
        EXPECT_EQ(n.read(*d), n.expected) << n.what;
    for (const Words &t : facts.texts)
        EXPECT_EQ(Text(*d, t.getter), t.expected) << t.what;
    if (facts.mounts) {
        EXPECT_EQ(MountPoints(*d), *facts.mounts);
    }
    if (facts.adapter) {
        EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()), *facts.adapter);
    }
}

INSTANTIATE_TEST_SUITE_P(RecordedMachines, ReplayDisk, ::testing::ValuesIn(Disks),
                         [](const ::testing::TestParamInfo<DiskFacts> &param) { return param.param.name; });

TEST(ReplaySectors, WriteThenReadOneSectorLandsInTheDeviceFile) {
    Machine m("vm");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/loop1");
    ASSERT_TRUE(d);
    unsigned char out[512], in[512] = {};
    for (int i = 0; i < 512; ++i)
        out[i] = static_cast<unsigned char>(i * 7 + 3);
    ASSERT_NE(d->WriteSector(5, out), 0);
    ASSERT_NE(d->ReadSector(5, in), 0);
    EXPECT_EQ(0, std::memcmp(in, out, 512));
    std::string file = m.tree.Read("dev/loop1");
    ASSERT_GE(file.size(), 6u * 512);
    EXPECT_EQ(0, std::memcmp(file.data() + 5 * 512, out, 512));
    EXPECT_EQ(file[4 * 512 + 511], '\0'); // the neighbours stay untouched
    EXPECT_EQ(file[6 * 512], '\0');

    // The last sector reads; those at and past the end do not.
    EXPECT_NE(d->ReadSector(65535, in), 0);
    EXPECT_EQ(d->ReadSector(65536, in), 0);
    EXPECT_EQ(TavPlatform::GetLastError(), ERROR_SECTOR_NOT_FOUND);
    EXPECT_EQ(d->ReadSector(65537, in), 0);
    EXPECT_EQ(d->WriteSector(65536, out), 0);
}

TEST(ReplaySectors, ReadOnlyDiskRefusesWrites) {
    Machine m("vm");
    m.tree.Write("sys/devices/virtual/block/loop1/ro", "1\n");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/loop1");
    ASSERT_TRUE(d);
    unsigned char buffer[512] = {1, 2, 3};
    EXPECT_EQ(d->WriteSector(0, buffer), 0);
    EXPECT_EQ(TavPlatform::GetLastError(), ERROR_WRITE_PROTECT);
    EXPECT_NE(d->ReadSector(0, buffer), 0);
}
