// What the public Drive/Adapter API reports about recorded machines, one
// bus at a time, answered by the Linux backend.
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

#include <cstring>

using namespace TavLinuxTest;

namespace {

#if defined(TAVDISK_HAVE_LIBPCI)
constexpr bool HaveLibpci = true;
#else
constexpr bool HaveLibpci = false;
#endif

std::wstring Pci(const wchar_t *name, const wchar_t *driver) {
    return HaveLibpci ? name : driver;
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
    // kernel's own devices (dm) after the physical ones.
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

TEST(ReplaySata, LibataDiskIsAtaWithItsIdentifyAndDescriptor) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sda");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeSata);
    ASSERT_EQ(d->IsAta(), 1);
    // IDENTIFY strings come back in reading order: the backend handed over
    // the drive's own word layout.
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveModelNo), "WDC WD10EZEX-08WN4A0");
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveSerialNo), "WD-WCC6Y1234567");
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveFirmwareRevision), "01.01A01");
    EXPECT_EQ(d->GetIdeSupports48BitAddressing(), 1);
    EXPECT_EQ(d->GetIdeSupportsSecurity(), 1);
    EXPECT_EQ(d->GetIdeSecurityEraseUnitTime(), 60);
    EXPECT_EQ(d->GetIdeEnhancedSecurityEraseUnitTime(), 510);
    EXPECT_EQ(d->GetSectors().QuadPart, 1953525168);
    EXPECT_EQ(d->GetIdeControllerNumber(), 0u);
    EXPECT_EQ(d->GetIdeDiskNumber(), 0u);

    EXPECT_EQ(Text(*d, &Drive::GetVendorId), "ATA");
    EXPECT_EQ(Text(*d, &Drive::GetProductId), "WDC WD10EZEX-08W");
    EXPECT_EQ(Text(*d, &Drive::GetProductRevision), "1A01");
    EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), "WD-WCC6Y1234567");
    EXPECT_EQ(Text(*d, &Drive::GetScsiVendorId), "<none>"); // an ATA disk has no INQUIRY texts

    // The driver's geometry wraps its 16-bit cylinder count on a 1 TB disk;
    // the cylinders are computed from the size.
    EXPECT_EQ(d->GetBytesPerSector(), 512u);
    EXPECT_EQ(d->GetTracksPerCylinder(), 255u);
    EXPECT_EQ(d->GetSectorsPerTrack(), 63u);
    EXPECT_EQ(d->GetCylinders().QuadPart, 121601);
    EXPECT_EQ(d->GetCapacity().QuadPart, 121601LL * 255 * 63 * 512);

    EXPECT_EQ(MountPoints(*d), "/boot/efi; /");
    wchar_t letters[27];
    ULONG length = 0;
    EXPECT_EQ(d->GetDriveLetters(letters, 27, &length), 1);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(d->ContainsWindowsBootPartition(), 0);

    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"Intel Corporation 82801IR/IO/IH (ICH9R/DO/DH) 6 port SATA Controller [AHCI mode]", L"ahci"));
}

TEST(ReplaySata, PataDiskIdentifiesThroughHdioWithStringsSwappedBack) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sdb");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeAta);
    ASSERT_EQ(d->IsAta(), 1);
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveModelNo), "QEMU HARDDISK");
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveSerialNo), "QM00002");
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveFirmwareRevision), "2.5+");
    EXPECT_EQ(d->GetIdeSupports48BitAddressing(), 0);
    EXPECT_EQ(d->GetSectors().QuadPart, 8388608); // words 60-61
    // The slave of the third port: host 2, target 1.
    EXPECT_EQ(d->GetIdeControllerNumber(), 2u);
    EXPECT_EQ(d->GetIdeDiskNumber(), 1u);
    EXPECT_EQ(d->GetScsiPort(), 2);
    EXPECT_EQ(d->GetScsiTargetId(), 1);
    // A geometry the driver reports consistently with the size is kept.
    EXPECT_EQ(d->GetTracksPerCylinder(), 16u);
    EXPECT_EQ(d->GetSectorsPerTrack(), 63u);
    EXPECT_EQ(d->GetCylinders().QuadPart, 8322);
    // Member of the dm volume that spans it and nvme0n1p1.
    EXPECT_EQ(MountPoints(*d), "/data; /srv/my projects");
}

TEST(ReplayNvme, NamespaceGetsTranslatedInquiryAndCapacity) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/nvme0n1");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeNvme);
    EXPECT_EQ(d->IsAta(), 0);
    EXPECT_EQ(Text(*d, &Drive::GetVendorId), "NVMe");
    EXPECT_EQ(Text(*d, &Drive::GetProductId), "Samsung SSD 970 EVO Plus 1TB");
    EXPECT_EQ(Text(*d, &Drive::GetProductRevision), "2B2QEXM7");
    EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), "S4EWNX0R123456A");
    EXPECT_EQ(Text(*d, &Drive::GetScsiVendorId), "NVMe");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductId), "Samsung SSD 970");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductRevision), "2B2Q");
    EXPECT_EQ(d->GetSectors().QuadPart, 1953525168);
    EXPECT_EQ(d->GetScsiPort(), 0);
    EXPECT_EQ(d->GetScsiLogicalUnitId(), 0);
    EXPECT_EQ(MountPoints(*d), "/data; /srv/my projects");
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"Samsung Electronics Co Ltd NVMe SSD Controller SM981/PM981/PM983", L"nvme"));
}

TEST(ReplayNvme, MultipathHeadReachesItsController) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/nvme1n1");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeNvme);
    EXPECT_EQ(Text(*d, &Drive::GetProductId), "Sabrent Rocket Q");
    EXPECT_EQ(d->GetScsiPort(), 1);
    // btrfs reports an anonymous device number: the mount is found by its source.
    EXPECT_EQ(MountPoints(*d), "/mnt/fast");
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"Phison Electronics Corporation E12 NVMe Controller", L"nvme"));
}

TEST(ReplayUsb, BridgePassesAtaThroughAndSerialComesFromTheDevice) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sdc");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeUsb);
    ASSERT_EQ(d->IsAta(), 1);
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveModelNo), "WDC WD20SPZX-22UA7T0");
    EXPECT_EQ(d->GetSectors().QuadPart, 3907029168LL);
    EXPECT_EQ(Text(*d, &Drive::GetVendorId), "WD");
    EXPECT_EQ(Text(*d, &Drive::GetProductRevision), "40");
    // No VPD pages in sysfs for usb-storage: page 0x80 is asked of the device.
    EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), "WX21A12B3456");
    EXPECT_EQ(MountPoints(*d), "/media/user/My Passport");
    EXPECT_EQ(d->GetScsiPort(), 6);
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()), L"Western Digital My Passport 25E2");
}

TEST(ReplayUsb, BridgeWithoutAtaGivesInquiryWithNulPaddingTrimmed) {
    Machine m("workstation");
    m.tree.Remove("ioctl/sdc/identify");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sdc");
    ASSERT_TRUE(d);
    ASSERT_EQ(d->IsAta(), 0);
    EXPECT_EQ(Text(*d, &Drive::GetScsiVendorId), "WD");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductId), "My Passport 25E2");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductRevision), "40");
    EXPECT_EQ(d->GetSectors().QuadPart, 3907029168LL);
}

TEST(ReplayMmc, SdCardOnPciHost) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/mmcblk0");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeSd);
    EXPECT_EQ(Text(*d, &Drive::GetProductId), "SC64G");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductId), "SC64G");
    EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), "0x1a2b3c4d");
    EXPECT_EQ(d->GetSectors().QuadPart, 124735488);
    EXPECT_EQ(MountPoints(*d), "/media/user/SDCARD");
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"O2 Micro, Inc. SD/MMC Card Reader Controller", L"sdhci-pci"));
}

TEST(ReplayDm, MapperDeviceIsARaidDiskDescribedByItsDriver) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/dm-0");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeRAID);
    EXPECT_EQ(Text(*d, &Drive::GetVendorId), "Linux");
    EXPECT_EQ(Text(*d, &Drive::GetProductId), "vg0-data");
    EXPECT_EQ(d->GetSectors().QuadPart, 1961910272);
    // Its volume lies on the disks beneath it, not on dm-0 itself.
    EXPECT_EQ(MountPoints(*d), "");
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()), L"device-mapper");
}

TEST(ReplaySas, SasDiskAnswersRecordedInquiryAndLargeCapacity) {
    Machine m("server");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sda");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeSas);
    EXPECT_EQ(d->IsAta(), 0);
    EXPECT_EQ(Text(*d, &Drive::GetScsiVendorId), "SEAGATE");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductId), "ST4000NM0025");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductRevision), "E003");
    EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), "ZC1A2B3C0000C1234567");
    // More than 2^32 blocks: READ CAPACITY(10) says so, READ CAPACITY(16) counts.
    EXPECT_EQ(d->GetSectors().QuadPart, 7814037168LL);
    EXPECT_EQ(MountPoints(*d), "/srv; /var/www");
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"Broadcom / LSI SAS3008 PCI-Express Fusion-MPT SAS-3", L"mpt3sas"));
}

TEST(ReplaySas, SataDiskBehindSasHbaIsAta) {
    Machine m("server");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sdb");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeSas);
    ASSERT_EQ(d->IsAta(), 1);
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveModelNo), "Samsung SSD 860 EVO 500GB");
    EXPECT_EQ(d->GetSectors().QuadPart, 976773168);
    EXPECT_EQ(d->GetScsiTargetId(), 1);
}

TEST(ReplayScsi, VirtioScsiDiskWith4096ByteSectors) {
    Machine m("server");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sdc");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeScsi);
    EXPECT_EQ(d->IsAta(), 0);
    // No INQUIRY copy was recorded: the answer is made from sysfs.
    EXPECT_EQ(Text(*d, &Drive::GetScsiVendorId), "QEMU");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductId), "QEMU HARDDISK");
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductRevision), "2.5+");
    // The driver's geometry counts 512-byte units; the one reported is computed.
    EXPECT_EQ(d->GetBytesPerSector(), 4096u);
    EXPECT_EQ(d->GetTracksPerCylinder(), 255u);
    EXPECT_EQ(d->GetSectorsPerTrack(), 63u);
    EXPECT_EQ(d->GetCylinders().QuadPart, 1073741824LL / (255 * 63 * 4096));
    EXPECT_EQ(d->GetSectors().QuadPart, 262144);
    EXPECT_EQ(d->GetScsiPort(), 2);
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"Red Hat, Inc. Virtio 1.0 SCSI", L"virtio-pci"));
}

TEST(ReplayVirtio, BlockDiskWithFileSystemOnTheWholeDevice) {
    Machine m("server");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/vda");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeVirtual);
    EXPECT_EQ(Text(*d, &Drive::GetVendorId), "Virtio");
    EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), "rootdisk");
    EXPECT_EQ(Text(*d, &Drive::GetProductRevision), ""); // absent
    EXPECT_EQ(Text(*d, &Drive::GetScsiProductId), "Block Device");
    EXPECT_EQ(d->GetSectors().QuadPart, 41943040);
    EXPECT_EQ(MountPoints(*d), "/");
    EXPECT_EQ(d->GetScsiPort(), 0); // no SCSI address
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"Red Hat, Inc. Virtio 1.0 block device", L"virtio-pci"));
}

TEST(ReplayMd, RaidArrayIsReportedByBothMemberDisks) {
    Machine m("server");
    Set set;
    auto md = DriveAt(set.handle, L"/dev/md0");
    ASSERT_TRUE(md);
    EXPECT_EQ(md->GetBusType(), BusTypeRAID);
    EXPECT_EQ(Text(*md, &Drive::GetProductId), "md raid1");
    EXPECT_EQ(md->GetDriveNumber(), 6u);
    auto sdb = DriveAt(set.handle, L"/dev/sdb");
    ASSERT_TRUE(sdb);
    EXPECT_EQ(MountPoints(*sdb), "/srv; /var/www");
}

TEST(ReplayLoop, LoopDiskWithPartitionsMountedTwiceAndAtAPathWithASpace) {
    Machine m("vm");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/loop0");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeFileBackedVirtual);
    EXPECT_EQ(d->GetSectors().QuadPart, 131072);
    EXPECT_EQ(d->GetBytesPerSector(), 512u);
    EXPECT_EQ(MountPoints(*d), "/mnt/tav data; /mnt/tavbind; /mnt/tavp2");
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()), L"loop");

    auto whole = DriveAt(set.handle, L"/dev/loop1");
    ASSERT_TRUE(whole);
    EXPECT_EQ(MountPoints(*whole), "/mnt/tavwhole");

    auto zram = DriveAt(set.handle, L"/dev/zram0");
    ASSERT_TRUE(zram);
    EXPECT_EQ(zram->GetBusType(), BusTypeVirtual);
    EXPECT_EQ(zram->GetBytesPerSector(), 4096u);
    EXPECT_EQ(zram->GetSectors().QuadPart, 16384);
    EXPECT_EQ(AdapterDescription(set.handle, zram->GetDeviceParentInstance()), L"zram");
}

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

TEST(ReplayUnopenable, DiskThatCannotBeOpenedStillHasItsNodeAndController) {
    Machine m("vm");
    m.tree.Write("ioctl/vda/open_errno", "EPERM\n"); // as a confined guest answers for its root disk
    Set set;
    auto d = DriveAt(set.handle, L"/dev/vda");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetBusType(), BusTypeUnknown);
    EXPECT_EQ(d->IsAta(), 0);
    EXPECT_EQ(d->GetSectors().QuadPart, 0);
    EXPECT_EQ(d->GetBytesPerSector(), 0u);
    EXPECT_EQ(Text(*d, &Drive::GetScsiVendorId), "");
    EXPECT_EQ(MountPoints(*d), ""); // its volumes cannot be told from another disk's
    EXPECT_NE(d->GetDeviceInstance(), 0u);
    EXPECT_EQ(AdapterDescription(set.handle, d->GetDeviceParentInstance()),
              Pci(L"Red Hat, Inc. Virtio 1.0 block device", L"virtio-pci"));
    // The other disks are not disturbed.
    auto loop = DriveAt(set.handle, L"/dev/loop0");
    ASSERT_TRUE(loop);
    EXPECT_EQ(loop->GetBusType(), BusTypeFileBackedVirtual);
}
