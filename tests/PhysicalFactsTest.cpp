// SPDX-License-Identifier: MIT
// Physical facts: what the disk tells, what it does not, a request that
// fails or answers short, and a handle for queries only; the world-wide name.
#include "TestSupport.h"
#include "TavDiskLib/platform/DeviceIds.h"

#include <cstring>
#include <optional>

using namespace TavTest;
using TavSim::Fault;
using TavSim::Op;

class PhysicalFacts : public MachineTest {};

namespace {

// Every fact as one row: its answer (-1: none) and the error when none.
struct Facts {
    long long physical, offset, rotational, trim, readOnly, removable;
};

Facts Read(Drive &d, DWORD *errors) {
    Facts f{-1, -1, -1, -1, -1, -1};
    long long *into[] = {&f.physical, &f.offset, &f.rotational, &f.trim, &f.readOnly, &f.removable};
    for (int i = 0; i < 6; ++i) {
        ULONG bytes = 77;
        int flag = 77;
        TavPlatform::SetLastError(0);
        int known = i == 0   ? d.GetPhysicalBytesPerSector(&bytes)
                    : i == 1 ? d.GetAlignmentOffset(&bytes)
                    : i == 2 ? d.IsRotational(&flag)
                    : i == 3 ? d.SupportsTrim(&flag)
                    : i == 4 ? d.IsReadOnly(&flag)
                             : d.IsRemovable(&flag);
        errors[i] = known ? ERROR_SUCCESS : TavPlatform::GetLastError();
        // A fact not told leaves the caller's value alone.
        EXPECT_TRUE(known || (bytes == 77 && flag == 77)) << i;
        *into[i] = !known ? -1 : i < 2 ? static_cast<long long>(bytes) : static_cast<long long>(flag);
    }
    return f;
}

} // namespace

TEST_F(PhysicalFacts, TheDiskTellsOrSaysItCannot) {
    auto told = AtaDisk(0);
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a{};
    a.BytesPerLogicalSector = 512;
    a.BytesPerPhysicalSector = 4096;
    a.BytesOffsetForSectorAlignment = 3584;
    told.alignment = a;
    told.seekPenalty = false;
    told.trim = true;
    told.writeProtected = true;
    told.queryOnly = true; // the facts need no access to the disk's data
    machine.AddDisk(told);
    machine.AddDisk(ScsiDisk(1)); // tells none but the descriptor's removable flag

    DWORD errors[6];
    DrivePtr d = Fresh(0);
    ASSERT_EQ(d->GetAccess(), Drive::AccessQuery);
    Facts f = Read(*d, errors);
    EXPECT_EQ(f.physical, 4096);
    EXPECT_EQ(f.offset, 3584);
    EXPECT_EQ(f.rotational, 0);
    EXPECT_EQ(f.trim, 1);
    EXPECT_EQ(f.readOnly, 1);
    EXPECT_EQ(f.removable, 0);

    DrivePtr none = Fresh(1);
    f = Read(*none, errors);
    for (int i = 0; i < 4; ++i)
        EXPECT_EQ(errors[i], ERROR_NOT_SUPPORTED) << i;
    EXPECT_EQ(f.physical + f.offset + f.rotational + f.trim, -4);
    EXPECT_EQ(f.readOnly, 0);
    EXPECT_EQ(f.removable, 0);
    // Each is asked anew: a disk made read-only answers so at once.
    machine.disks[1].writeProtected = true;
    int flag = 0;
    EXPECT_EQ(none->IsReadOnly(&flag), 1);
    EXPECT_EQ(flag, 1);
}

TEST_F(PhysicalFacts, AFailedOrShortAnswerIsNoFact) {
    auto disk = AtaDisk(0);
    disk.alignment = STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR{};
    disk.seekPenalty = true;
    disk.trim = true;
    machine.AddDisk(disk);
    DrivePtr d = Fresh(0);

    Fault failed;
    failed.op = Op::DeviceIoControl;
    failed.error = ERROR_IO_DEVICE;
    Fault shortAnswer = failed;
    shortAnswer.ioctl = IOCTL_STORAGE_QUERY_PROPERTY;
    shortAnswer.shortBytes = 9; // the header and one byte of the record
    struct Case {
        Fault fault;
        DWORD error;
    };
    for (const Case &c : {Case{failed, ERROR_IO_DEVICE}, Case{shortAnswer, ERROR_INVALID_DATA}}) {
        machine.ClearFaults();
        machine.AddFault(c.fault);
        DWORD errors[6];
        Facts f = Read(*d, errors);
        EXPECT_EQ(f.physical + f.offset + f.rotational + f.trim, -4);
        for (int i = 0; i < 4; ++i)
            EXPECT_EQ(errors[i], c.error) << i;
        // A failed writability request is no answer; a short one has nothing to cut.
        EXPECT_EQ(f.readOnly, c.error == ERROR_IO_DEVICE ? -1 : 0);
    }
}

TEST_F(PhysicalFacts, TheWorldWideNameIsTheKernelsChoiceAmongTheDisksIdentifiers) {
    using TavPlatform::DeviceIdentifier;
    using Bytes = std::vector<uint8_t>;
    const DeviceIdentifier naa8{StorageIdCodeSetBinary, StorageIdTypeFCPHName, StorageIdAssocDevice,
                                Bytes{0x50, 0x00, 0xc5, 0x00, 0x15, 0xea, 0x71, 0xad}};
    const DeviceIdentifier portNaa8{StorageIdCodeSetBinary, StorageIdTypeFCPHName, StorageIdAssocPort,
                                    Bytes{0x50, 1, 2, 3, 4, 5, 6, 7}};
    const DeviceIdentifier eui16{StorageIdCodeSetBinary, StorageIdTypeEUI64, StorageIdAssocDevice,
                                 Bytes{0x00, 0x25, 0x38, 0x5b, 0x71, 0xb0, 0x7e, 0x2f, 1, 2, 3, 4, 5, 6, 7, 8}};
    const DeviceIdentifier t10{StorageIdCodeSetAscii, StorageIdTypeVendorId, StorageIdAssocDevice,
                               Bytes{'T', 'A', 'V', ' ', 'D', 'I', 'S', 'K', ' '}};
    const std::string iqn = "iqn.2026-01.example.tav:disk0";
    const DeviceIdentifier scsiName{StorageIdCodeSetUtf8, StorageIdTypeScsiNameString, StorageIdAssocDevice,
                                    Bytes(iqn.begin(), iqn.end())};
    TavSim::ByteString claimsMore = TavPlatform::MakeDeviceIdDescriptor({naa8});
    claimsMore[offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Size)] += 16; // more than the answer holds

    // IDENTIFY data whose words 108-111 hold a name, and word 87 says so.
    TavSim::ByteString wwnIdentify = TavSim::MakeIdentify("TAV MODEL 1000", "SN0001", "FW01", 1953525168, true);
    const uint16_t wwn[4] = {0x5000, 0xc500, 0x15ea, 0x71ad};
    TavSim::SetIdentifyWord(wwnIdentify, 87, 0x4100);
    for (unsigned i = 0; i < 4; ++i)
        TavSim::SetIdentifyWord(wwnIdentify, 108 + i, wwn[i]);

    struct Case {
        const char *what;
        std::optional<TavSim::ByteString> deviceId;
        bool identifyWwn; // an ATA disk whose IDENTIFY data holds a name
        DWORD fault;      // the property query fails with this (0: it does not)
        ULONG capacity;
        int result;
        DWORD error;
        std::string name;
        ULONG length;
    };
    const auto ids = [](std::vector<DeviceIdentifier> v) { return TavPlatform::MakeDeviceIdDescriptor(v); };
    const std::string naa = "naa.5000c50015ea71ad";
    const Case cases[] = {
        {"NAA over T10 and a port's NAA", ids({t10, portNaa8, naa8}), false, 0, 64, 1, 0, naa, 21},
        {"EUI-64 of 16 over NAA of 8", ids({naa8, eui16}), false, 0, 64, 1, 0, "eui.0025385b71b07e2f0102030405060708",
         37},
        {"T10 vendor identification as it stands", ids({t10}), false, 0, 64, 1, 0, "t10.TAV DISK ", 14},
        {"SCSI name string first", ids({eui16, scsiName}), false, 0, 64, 1, 0, iqn, 30},
        {"no identifiers", std::nullopt, false, 0, 64, 0, ERROR_NOT_SUPPORTED, "", 0},
        {"only a port's", ids({portNaa8}), false, 0, 64, 0, ERROR_NOT_SUPPORTED, "", 0},
        {"IDENTIFY's name when the disk tells none", std::nullopt, true, 0, 64, 1, 0, naa, 21},
        {"a short buffer", ids({naa8}), false, 0, 20, 0, ERROR_INSUFFICIENT_BUFFER, "", 21},
        {"a failing request: no IDENTIFY fallback", ids({naa8}), true, ERROR_IO_DEVICE, 64, 0, ERROR_IO_DEVICE, "", 0},
        {"a descriptor claiming more than arrived", claimsMore, false, 0, 64, 0, ERROR_INVALID_DATA, "", 0},
    };
    int index = 0;
    for (const Case &c : cases) {
        TavSim::Disk disk = c.identifyWwn ? AtaDisk(static_cast<DWORD>(index)) : ScsiDisk(static_cast<DWORD>(index));
        if (c.identifyWwn)
            disk.identify = wwnIdentify;
        disk.deviceId = c.deviceId;
        disk.queryOnly = !c.identifyWwn; // the name needs no access to the disk's data
        machine.AddDisk(disk);
        DrivePtr d = Fresh(static_cast<ULONG>(index));
        if (c.fault) {
            Fault f;
            f.op = Op::DeviceIoControl;
            f.ioctl = IOCTL_STORAGE_QUERY_PROPERTY;
            f.disk = index;
            f.error = c.fault;
            machine.AddFault(f);
        }
        ++index;
        char name[64];
        std::memset(name, 0x5A, sizeof name);
        ULONG length = 77;
        TavPlatform::SetLastError(0);
        EXPECT_EQ(d->GetWorldWideName(name, c.capacity, &length), c.result) << c.what;
        if (!c.result) {
            EXPECT_EQ(TavPlatform::GetLastError(), c.error) << c.what;
        }
        EXPECT_EQ(length, c.length) << c.what;
        EXPECT_EQ(c.result ? std::string(name) : std::string(), c.name) << c.what;
        EXPECT_TRUE(c.result || name[0] == 0x5A) << c.what;
    }
}
