// SPDX-License-Identifier: MIT
// The answers the Linux backend gave on emulated hardware (tests/hardware),
// replayed from the guest's recorded sysfs, mountinfo and device answers.
// Expected values are the identities set on the emulator's command line.
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

#include <cctype>

using namespace TavLinuxTest;

namespace {

struct Expected {
    const char *tree;
    const wchar_t *path;
    STORAGE_BUS_TYPE bus;
    bool ata;
    const char *model;    // IDENTIFY model (ATA) or INQUIRY vendor + product
    const char *serial;   // descriptor serial
    const char *revision; // IDENTIFY firmware (ATA) or INQUIRY revision
    long long sectors;
    ULONG bytesPerSector;
    int target, lun; // SCSI address, -1 when not checked
    const char *mounts;
};

const Expected Disks[] = {
    {"qemu-sata", L"/dev/sdb", BusTypeSata, true, "TAV SATA DISK ONE", "TAVSATA0001", "SF1.2", 2097152, 512, 0, 0,
     "/mnt/tavdata; /mnt/tavbind; /mnt/tav space"},
    {"qemu-sata", L"/dev/sdc", BusTypeSata, true, "TAV BIG SATA 3T", "TAVBIGATA01", "BA48", 6442450944LL, 512, 0, 0,
     ""},
    {"qemu-ide", L"/dev/sda", BusTypeAta, true, "TAV PATA SLAVE", "TAVIDE00042", "PF7", 131072, 512, 1, 0, ""},
    {"qemu-scsi", L"/dev/sdd", BusTypeScsi, false, "TAVVEND TAV VSCSI LUN2", "TAVVS0302", "V3", 262144, 512, 3, 2, ""},
    {"qemu-scsi", L"/dev/sde", BusTypeScsi, false, "TAVBIG TAV BIG SCSI 3T", "TAVBIGSCSI01", "BS16", 6442450944LL, 512,
     5, 0, ""},
    {"qemu-lsi4k", L"/dev/sdf", BusTypeScsi, false, "TAV4KN TAV LSI 4K DISK", "TAVLSI4K01", "4K01", 32768, 4096, 2, 0,
     "/mnt/tav4k"},
    {"qemu-usb", L"/dev/sdg", BusTypeUsb, false, "TAVUAS TAV UAS DISK", "TAVUAS0001", "U1", 131072, 512, 0, 0, ""},
    {"qemu-usb", L"/dev/sdh", BusTypeUsb, false, "QEMU QEMU HARDDISK", "TAVUSB00001", "2.5+", 131072, 512, 0, 0, ""},
    {"qemu-nvme", L"/dev/nvme0n1", BusTypeNvme, false, "NVMe QEMU NVMe Ctrl", "TAVNVME0001", nullptr, 524288, 512, -1,
     -1, nullptr},
    {"qemu-virtio", L"/dev/vda", BusTypeVirtual, false, "Virtio Block Device", "TAVVBLK0001", nullptr, 524288, 512, -1,
     -1, nullptr},
    // The device-mapper volume spans the first partitions of both disks.
    {"qemu-span", L"/dev/vda", BusTypeVirtual, false, nullptr, nullptr, nullptr, 524288, 512, -1, -1, "/mnt/tavspan"},
    {"qemu-span", L"/dev/nvme0n1", BusTypeNvme, false, nullptr, nullptr, nullptr, 524288, 512, -1, -1, "/mnt/tavspan"},
};

std::string Model(Drive &d, bool ata) {
    if (ata)
        return Text(d, &Drive::GetIdeDriveModelNo);
    return Text(d, &Drive::GetScsiVendorId) + " " + Text(d, &Drive::GetScsiProductId);
}

} // namespace

class ReplayQemu : public ::testing::TestWithParam<Expected> {};

TEST_P(ReplayQemu, DiskAnswersAsConfigured) {
    const Expected &e = GetParam();
    Machine m(e.tree);
    Set set;
    auto d = DriveAt(set.handle, e.path);
    ASSERT_TRUE(d) << Narrow(e.path);
    EXPECT_EQ(d->GetBusType(), e.bus);
    EXPECT_EQ(d->IsAta(), e.ata ? 1 : 0);
    if (e.model) {
        EXPECT_EQ(Model(*d, e.ata), e.model);
    }
    if (e.serial) {
        EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), e.serial);
    }
    if (e.revision) {
        EXPECT_EQ(Text(*d, e.ata ? &Drive::GetIdeDriveFirmwareRevision : &Drive::GetScsiProductRevision), e.revision);
    }
    if (e.ata) {
        EXPECT_EQ(Text(*d, &Drive::GetIdeDriveSerialNo), e.serial);
        EXPECT_EQ(d->GetIdeSupports48BitAddressing(), 1);
    }
    EXPECT_EQ(d->GetSectors().QuadPart, e.sectors);
    EXPECT_EQ(d->GetBytesPerSector(), e.bytesPerSector);
    if (e.target >= 0) {
        EXPECT_EQ(d->GetScsiTargetId(), e.target);
        EXPECT_EQ(d->GetScsiLogicalUnitId(), e.lun);
    }
    if (e.mounts) {
        EXPECT_EQ(MountPoints(*d), e.mounts);
    }
    EXPECT_FALSE(AdapterDescription(set.handle, d->GetDeviceParentInstance()).empty());
}

INSTANTIATE_TEST_SUITE_P(EmulatedDisks, ReplayQemu, ::testing::ValuesIn(Disks),
                         [](const ::testing::TestParamInfo<Expected> &param) {
                             std::string label = std::string(param.param.tree) + "_" + Narrow(param.param.path);
                             for (char &c : label)
                                 if (!isalnum(static_cast<unsigned char>(c)))
                                     c = '_';
                             return label;
                         });
