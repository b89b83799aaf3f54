// SPDX-License-Identifier: MIT
// Enumeration, the probe sequence of construction, failures while probing,
// and ownership of what a Drive holds.
#include "TestSupport.h"

#include <cstring>
#include <new>
#include <vector>

using namespace TavTest;
using TavSim::Fault;
using TavSim::Op;

namespace {

class Enumeration : public MachineTest {
protected:
    void ExpectNothingHeld() {
        EXPECT_EQ(machine.OpenHandles(), 0u);
        EXPECT_EQ(machine.LiveBlocks(), 0u);
        EXPECT_EQ(machine.BadReleases(), 0u);
    }
};

STORAGE_PROPERTY_QUERY QueryOf(const TavSim::Request &r) {
    STORAGE_PROPERTY_QUERY q{};
    EXPECT_EQ(r.input.size(), sizeof q);
    std::memcpy(&q, r.input.data(), std::min(r.input.size(), sizeof q));
    return q;
}

} // namespace

TEST_F(Enumeration, OneDrivePerInterfaceAndNullPastTheLast) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(ScsiDisk(1));
    machine.AddDisk(ScsiDisk(2));

    auto log = Requests(machine, Op::SetupDiGetClassDevsExW);
    void *set = Set();
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    auto classDevs = Requests(machine, Op::SetupDiGetClassDevsExW);
    ASSERT_EQ(classDevs.size(), 1u);
    EXPECT_EQ(classDevs[0].flags, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE);

    std::vector<DrivePtr> drives;
    for (ULONG i = 0; i < 3; ++i) {
        drives.push_back(Get(i));
        ASSERT_TRUE(drives.back()) << i;
        EXPECT_EQ(drives.back()->GetDriveNumber(), i);
    }
    EXPECT_EQ(Get(3), nullptr);
    EXPECT_EQ(Get(1000), nullptr);

    // The same index again is a second, independent object on the same disk.
    DrivePtr again = Get(1);
    ASSERT_TRUE(again);
    EXPECT_NE(DriveTestAccess::Handle(*again), DriveTestAccess::Handle(*drives[1]));
    again.reset();
    unsigned char text[32];
    ULONG count = 0;
    EXPECT_EQ(drives[1]->GetScsiProductId(text, sizeof text, &count), 1);
    EXPECT_EQ(Text(text), "ARRAY DISK");

    // A member's path, asked of the set alone: no disk opened, nothing held.
    machine.ClearLog();
    for (ULONG i = 0; i < 3; ++i) {
        wchar_t path[256], expected[256];
        ULONG length = 0, expectedLength = 0;
        EXPECT_EQ(Drive::GetMemberDevicePath(set, i, path, 4, &length), 0);
        drives[i]->GetDevicePath(expected, 256, &expectedLength);
        EXPECT_EQ(length, expectedLength);
        EXPECT_EQ(Drive::GetMemberDevicePath(set, i, path, length, &length), 1);
        EXPECT_EQ(std::wstring(path), std::wstring(expected));
    }
    ULONG length = 5;
    EXPECT_EQ(Drive::GetMemberDevicePath(set, 3, nullptr, 0, &length), -1);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(machine.Count(Op::CreateFileW), 0u);

    drives.clear();
    ExpectNothingHeld();
}

TEST_F(Enumeration, NoDriveFromAnInvalidSetOrAFailedAllocation) {
    machine.AddDisk(AtaDisk(0));
    machine.interfacesEnumerable = false;
    void *set = Drive::GetDeviceInfoSet();
    EXPECT_EQ(set, INVALID_HANDLE_VALUE);
    EXPECT_EQ(Drive::GetDrive(set, 0), nullptr);
    ExpectNothingHeld();

    machine.interfacesEnumerable = true;
    machine.FailAllocation(0); // the interface record
    EXPECT_EQ(Get(0), nullptr);
    ExpectNothingHeld();
    EXPECT_TRUE(Get(0));
}

TEST_F(Enumeration, AtaDiskProbeSequenceAndRequestContents) {
    machine.AddDisk(AtaDisk(0));
    Set();
    machine.ClearLog();
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);

    const std::vector<Step> expected = {
        {Op::SetupDiEnumDeviceInterfaces, 0},
        {Op::SetupDiGetDeviceInterfaceDetailW, 0},
        {Op::SetupDiGetDeviceInterfaceDetailW, 0},
        {Op::CreateFileW, 0},
        {Op::DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY},
        {Op::DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY},
        {Op::DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY},
        {Op::DeviceIoControl, SMART_GET_VERSION},
        {Op::DeviceIoControl, SMART_RCV_DRIVE_DATA},
        {Op::DeviceIoControl, IOCTL_DISK_CONTROLLER_NUMBER},
        {Op::DeviceIoControl, IOCTL_SCSI_GET_ADDRESS},
    };
    ASSERT_EQ(Sequence(machine), expected);

    auto open = Requests(machine, Op::CreateFileW);
    ASSERT_EQ(open.size(), 1u);
    EXPECT_EQ(open[0].path, machine.disks[0].devicePath);
    EXPECT_EQ(open[0].access, GENERIC_READ | GENERIC_WRITE);
    EXPECT_EQ(open[0].share, FILE_SHARE_READ | FILE_SHARE_WRITE);
    EXPECT_EQ(open[0].disposition, OPEN_EXISTING);
    EXPECT_EQ(open[0].flags, 0u);

    auto detail = Requests(machine, Op::SetupDiGetDeviceInterfaceDetailW);
    EXPECT_EQ(detail[0].outSize, 0u);
    EXPECT_GT(detail[1].outSize, 0u);

    auto queries = Requests(machine, Op::DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY);
    EXPECT_EQ(QueryOf(queries[0]).PropertyId, StorageAdapterProperty);
    EXPECT_EQ(queries[0].outSize, sizeof(STORAGE_ADAPTER_DESCRIPTOR));
    EXPECT_EQ(QueryOf(queries[1]).PropertyId, StorageDeviceProperty);
    EXPECT_EQ(queries[1].outSize, sizeof(STORAGE_DESCRIPTOR_HEADER));
    EXPECT_EQ(QueryOf(queries[2]).PropertyId, StorageDeviceProperty);
    EXPECT_EQ(queries[2].outSize, machine.disks[0].deviceDescriptor.size());
    for (const auto &q : queries)
        EXPECT_EQ(QueryOf(q).QueryType, PropertyStandardQuery);

    auto version = Requests(machine, Op::DeviceIoControl, SMART_GET_VERSION);
    EXPECT_EQ(version[0].inSize, 0u);
    EXPECT_EQ(version[0].outSize, sizeof(GETVERSIONINPARAMS));

    auto identify = Requests(machine, Op::DeviceIoControl, SMART_RCV_DRIVE_DATA);
    ASSERT_EQ(identify[0].input.size(), sizeof(SENDCMDINPARAMS));
    EXPECT_EQ(sizeof(SENDCMDINPARAMS), 33u);
    EXPECT_EQ(identify[0].outSize, 528u);
    for (size_t i = 0; i < identify[0].input.size(); ++i)
        EXPECT_EQ(identify[0].input[i], i == offsetof(SENDCMDINPARAMS, irDriveRegs) + 6 ? 0xEC : 0) << "byte " << i;

    EXPECT_EQ(Requests(machine, Op::DeviceIoControl, IOCTL_DISK_CONTROLLER_NUMBER)[0].outSize, 8u);
    EXPECT_EQ(Requests(machine, Op::DeviceIoControl, IOCTL_SCSI_GET_ADDRESS)[0].outSize, 8u);
    EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT), 0u);

    EXPECT_EQ(d->IsAta(), 1);
    EXPECT_TRUE(DriveTestAccess::HasIdentify(*d));
    EXPECT_TRUE(DriveTestAccess::HasControllerNumber(*d));
    const unsigned char *inquiry = DriveTestAccess::Inquiry(*d);
    for (int i = 0; i < 56; ++i)
        ASSERT_EQ(inquiry[i], 0) << i;
}

TEST_F(Enumeration, NonAtaDiskProbeSequenceAndInquiryCommand) {
    machine.AddDisk(ScsiDisk(0));
    Set();
    machine.ClearLog();
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);

    const std::vector<Step> expected = {
        {Op::SetupDiEnumDeviceInterfaces, 0},
        {Op::SetupDiGetDeviceInterfaceDetailW, 0},
        {Op::SetupDiGetDeviceInterfaceDetailW, 0},
        {Op::CreateFileW, 0},
        {Op::DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY},
        {Op::DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY},
        {Op::DeviceIoControl, IOCTL_STORAGE_QUERY_PROPERTY},
        {Op::DeviceIoControl, SMART_GET_VERSION},
        {Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT},
        {Op::DeviceIoControl, IOCTL_SCSI_GET_ADDRESS},
    };
    ASSERT_EQ(Sequence(machine), expected);

    auto pass = Requests(machine, Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT);
    ASSERT_EQ(pass[0].input.size(), sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(pass[0].outSize, sizeof(SCSI_PASS_THROUGH_DIRECT));
    SCSI_PASS_THROUGH_DIRECT sptd;
    std::memcpy(&sptd, pass[0].input.data(), sizeof sptd);
    EXPECT_EQ(sptd.Length, sizeof(SCSI_PASS_THROUGH_DIRECT));
    EXPECT_EQ(sptd.CdbLength, 6);
    // The allocation length is the 56 bytes the transfer takes, never more.
    const unsigned char cdb[6] = {0x12, 0x00, 0x00, 0x00, 56, 0x00};
    EXPECT_EQ(std::memcmp(sptd.Cdb, cdb, 6), 0);
    EXPECT_EQ(sptd.DataIn, SCSI_IOCTL_DATA_IN);
    EXPECT_EQ(sptd.DataTransferLength, 56u);
    EXPECT_EQ(sptd.TimeOutValue, 2u);
    EXPECT_EQ(sptd.SenseInfoLength, 0);
    EXPECT_EQ(sptd.SenseInfoOffset, 0u);
    EXPECT_EQ(sptd.PathId | sptd.TargetId | sptd.Lun | sptd.ScsiStatus, 0);
    // The data goes through an aligned block of its own, then into the record.
    EXPECT_EQ(reinterpret_cast<uintptr_t>(sptd.DataBuffer) % 16, 0u);
    EXPECT_TRUE(pass[0].succeeded);

    EXPECT_EQ(d->IsAta(), 0);
    EXPECT_FALSE(DriveTestAccess::HasIdentify(*d));
    EXPECT_FALSE(DriveTestAccess::HasControllerNumber(*d));
    EXPECT_EQ(std::memcmp(DriveTestAccess::Inquiry(*d), machine.disks[0].inquiry.data(), 36), 0);
    EXPECT_EQ(d->GetScsiTargetId(), 5);
    EXPECT_EQ(d->GetScsiLogicalUnitId(), 1);
}

TEST_F(Enumeration, RecordSizesComeFromThePlatformDefinitions) {
    machine.AddDisk(AtaDisk(0));
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);
    // The platform rejects a detail record whose cbSize is not its own size,
    // so a delivered path shows the size was right for this build.
    EXPECT_EQ(DriveTestAccess::Detail(*d)->cbSize, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
    ULONG length = 0;
    wchar_t path[256];
    ASSERT_EQ(d->GetDevicePath(path, 256, &length), 1);
    EXPECT_EQ(std::wstring(path), machine.disks[0].devicePath);
    EXPECT_EQ(d->GetDeviceInstance(), machine.disks[0].devInst);
    EXPECT_EQ(sizeof(SENDCMDINPARAMS), 33u);
    EXPECT_EQ(offsetof(SENDCMDOUTPARAMS, bBuffer), 16u);
    EXPECT_EQ(sizeof(STORAGE_ADAPTER_DESCRIPTOR), 32u);
    EXPECT_EQ(offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType), 24u);
    EXPECT_EQ(sizeof(STORAGE_PROPERTY_QUERY), 12u);
    EXPECT_EQ(sizeof(GETVERSIONINPARAMS), 24u);
    EXPECT_EQ(sizeof(DISK_GEOMETRY), 24u);
    EXPECT_EQ(sizeof(DISK_EXTENT), 24u);
    EXPECT_EQ(sizeof(VOLUME_DISK_EXTENTS), 32u);
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), sizeof(void *) == 8 ? 56u : 44u);
    // The sixteen fields of the Drive record and nothing else (the layout
    // itself is checked where the class is built).
    EXPECT_EQ(sizeof(Drive), sizeof(void *) == 8 ? 176u : 116u);
}

TEST_F(Enumeration, BusTypeBytesOutsideTheEnumerationAreUnknown) {
    for (unsigned bus : {0x00u, 0x0Bu, 0x11u, 0x7Fu, 0x80u, 0xC3u, 0xFFu}) {
        machine.disks.clear();
        auto disk = ScsiDisk(0);
        disk.adapterDescriptor[offsetof(STORAGE_ADAPTER_DESCRIPTOR, BusType)] = static_cast<uint8_t>(bus);
        machine.AddDisk(disk);
        DrivePtr d = Get(0);
        ASSERT_TRUE(d);
        EXPECT_EQ(static_cast<unsigned>(d->GetBusType()), bus <= 0x7Fu ? bus : 0u) << bus;
    }
}

// Every pass-through the library sends meets the adapter's alignment, which
// the machine enforces as the storage stack does.
TEST_F(Enumeration, PassThroughDataMeetsTheAdaptersAlignment) {
    for (DWORD mask : {0u, 1u, 3u, 7u, 511u, 4095u}) {
        machine.disks.clear();
        auto disk = ScsiDisk(0);
        disk.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSas, mask);
        disk.lastLba = 0x1FFFFFFFFull; // READ CAPACITY(10), then (16)
        machine.AddDisk(disk);
        machine.ClearLog();
        DrivePtr d = Get(0);
        ASSERT_TRUE(d);
        EXPECT_EQ(d->GetSectors().QuadPart, 0x200000000LL) << mask;
        unsigned char text[32];
        ULONG count = 0;
        ASSERT_EQ(d->GetScsiProductId(text, sizeof text, &count), 1);
        EXPECT_EQ(Text(text), "ARRAY DISK") << mask;
        EXPECT_EQ(std::memcmp(DriveTestAccess::Inquiry(*d), machine.disks[0].inquiry.data(), 36), 0) << mask;

        auto pass = Requests(machine, Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT);
        ASSERT_EQ(pass.size(), 3u) << mask;
        const uintptr_t alignment = mask < 16 ? 16 : uintptr_t{mask} + 1;
        for (const auto &r : pass) {
            SCSI_PASS_THROUGH_DIRECT sptd;
            std::memcpy(&sptd, r.input.data(), sizeof sptd);
            EXPECT_EQ(reinterpret_cast<uintptr_t>(sptd.DataBuffer) % alignment, 0u) << mask;
            EXPECT_TRUE(r.succeeded) << mask;
            EXPECT_EQ(r.error, 0u) << mask;
        }
    }
    ExpectNothingHeld();
}

TEST_F(Enumeration, MisalignedDirectPassThroughIsRefused) {
    auto disk = ScsiDisk(0);
    disk.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSas, 7);
    machine.AddDisk(disk);
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);
    alignas(16) unsigned char data[64] = {};
    for (size_t offset : {0u, 1u, 4u, 8u}) {
        SCSI_PASS_THROUGH_DIRECT sptd{};
        sptd.Length = sizeof sptd;
        sptd.CdbLength = 6;
        sptd.Cdb[0] = 0x12;
        sptd.Cdb[4] = 36;
        sptd.DataIn = SCSI_IOCTL_DATA_IN;
        sptd.TimeOutValue = 2;
        sptd.DataBuffer = data + offset;
        sptd.DataTransferLength = 36;
        DWORD returned = 0;
        TavPlatform::SetLastError(0);
        BOOL ok = TavPlatform::DeviceIoControl(DriveTestAccess::Handle(*d), IOCTL_SCSI_PASS_THROUGH_DIRECT, &sptd,
                                               sizeof sptd, &sptd, sizeof sptd, &returned, nullptr);
        EXPECT_EQ(ok != FALSE, offset % 8 == 0) << offset;
        if (!ok) {
            EXPECT_EQ(TavPlatform::GetLastError(), ERROR_INVALID_PARAMETER);
        }
    }

    // A mask beyond a page asks for more than the library aligns to: the
    // command fails cleanly, the INQUIRY stays empty and the count is 0.
    machine.disks[0].adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSas, 0xFFFFFFFFu);
    DrivePtr absurd = Get(0);
    ASSERT_TRUE(absurd);
    unsigned char text[32];
    ULONG count = 99;
    EXPECT_EQ(absurd->GetScsiVendorId(text, sizeof text, &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(absurd->GetSectors().QuadPart, 0);
}

// A command in a block of its full length is answered; the same block cut
// short is refused by the device, and an empty one by the request itself.
TEST_F(Enumeration, CutCommandBlocksAreRefused) {
    machine.AddDisk(ScsiDisk(0));
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);
    struct Case {
        std::vector<unsigned char> cdb;
        unsigned char length;
        ULONG error;
    } cases[] = {
        {{0x12, 0, 0, 0, 36, 0}, 6, ERROR_SUCCESS},
        {{0x12, 0, 0, 0, 36, 0}, 5, ERROR_IO_DEVICE},
        {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 10, ERROR_SUCCESS},
        {{0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, 9, ERROR_IO_DEVICE},
        {{0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, 15, ERROR_IO_DEVICE},
        {{0x12, 0, 0, 0, 36, 0}, 0, ERROR_INVALID_PARAMETER},
    };
    for (Case &c : cases) {
        unsigned char data[36] = {};
        EXPECT_EQ(DriveTestAccess::Pass(*d, c.cdb.data(), c.length, data, sizeof data), c.error)
            << int{c.cdb[0]} << " in " << int{c.length} << " bytes";
    }
}

TEST_F(Enumeration, AfterGetDriveTheThreadsCodeTellsWhyTheOpenFailed) {
    auto busy = ScsiDisk(0);
    busy.openable = false;
    busy.openError = ERROR_SHARING_VIOLATION;
    machine.AddDisk(busy);
    machine.AddDisk(ScsiDisk(1));
    TavPlatform::SetLastError(ERROR_SUCCESS);
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);
    // Every probe after the open failed as well, yet the code is the open's.
    EXPECT_EQ(TavPlatform::GetLastError(), ERROR_SHARING_VIOLATION);
#if !defined(_WIN32)
    EXPECT_EQ(::GetLastError(), ERROR_SHARING_VIOLATION); // the library's export
    ::SetLastError(7);
    EXPECT_EQ(TavPlatform::GetLastError(), 7u);
#endif
    // A disk that opened leaves the code to its probes, as before.
    TavPlatform::SetLastError(ERROR_SUCCESS);
    DrivePtr open = Get(1);
    ASSERT_TRUE(open);
    EXPECT_NE(TavPlatform::GetLastError(), ERROR_SHARING_VIOLATION);
}

TEST_F(Enumeration, DiskThatCannotBeOpened) {
    auto disk = ScsiDisk(0);
    disk.openable = false;
    disk.openError = ERROR_ACCESS_DENIED;
    machine.AddDisk(disk);
    DrivePtr d = Get(0);
    ASSERT_TRUE(d);
    EXPECT_EQ(DriveTestAccess::Handle(*d), INVALID_HANDLE_VALUE);
    EXPECT_EQ(d->IsAta(), 0);
    EXPECT_EQ(d->GetBusType(), BusTypeUnknown);
    EXPECT_EQ(d->GetScsiPort() | d->GetScsiBusId() | d->GetScsiTargetId() | d->GetScsiLogicalUnitId(), 0);
    EXPECT_EQ(DriveTestAccess::Address(*d)->Length, sizeof(SCSI_ADDRESS));
    const unsigned char *inquiry = DriveTestAccess::Inquiry(*d);
    for (int i = 0; i < 56; ++i)
        ASSERT_EQ(inquiry[i], 0) << i;
    unsigned char text[16];
    ULONG count = 0;
    EXPECT_EQ(d->GetVendorId(text, sizeof text, &count), 1);
    EXPECT_EQ(count, 1u);
    EXPECT_EQ(text[0], 0);
    EXPECT_EQ(d->GetScsiVendorId(text, sizeof text, &count), 1);
    EXPECT_EQ(count, 0u);
    EXPECT_EQ(d->GetDriveNumber(), 0u);
    EXPECT_EQ(d->GetSectors().QuadPart, 0);

    machine.ClearLog();
    d.reset();
    EXPECT_EQ(machine.Count(Op::CloseHandle), 0u);
    ExpectNothingHeld();
}

TEST_F(Enumeration, FailedProbesLeaveTheirRecordsInTheDefinedState) {
    // Adapter query fails: bus type 0.
    {
        machine.AddDisk(AtaDisk(0));
        Fault f;
        f.op = Op::DeviceIoControl;
        f.ioctl = IOCTL_STORAGE_QUERY_PROPERTY;
        f.times = 1;
        machine.AddFault(f);
        DrivePtr d = Get(0);
        EXPECT_EQ(d->GetBusType(), BusTypeUnknown);
        unsigned char text[64];
        ULONG count = 0;
        EXPECT_EQ(d->GetProductId(text, sizeof text, &count), 1);
        EXPECT_EQ(Text(text), "TAV MODEL 1000");
        machine.ClearFaults();
    }
    // Device descriptor header fails: every descriptor string is absent.
    {
        Fault f;
        f.op = Op::DeviceIoControl;
        f.ioctl = IOCTL_STORAGE_QUERY_PROPERTY;
        f.skip = 1;
        machine.AddFault(f);
        DrivePtr d = Get(0);
        EXPECT_EQ(d->GetBusType(), BusTypeSata);
        unsigned char text[64];
        ULONG count = 7;
        EXPECT_EQ(d->GetProductId(text, sizeof text, &count), 1);
        EXPECT_EQ(count, 1u);
        EXPECT_EQ(text[0], 0);
        EXPECT_EQ(d->GetSerialNumber(text, 0, &count), 0);
        EXPECT_EQ(count, 1u);
        machine.ClearFaults();
    }
    // SMART version fails: not ATA, and INQUIRY is sent instead of IDENTIFY.
    {
        Fault f;
        f.op = Op::DeviceIoControl;
        f.ioctl = SMART_GET_VERSION;
        f.error = ERROR_INVALID_FUNCTION;
        machine.AddFault(f);
        machine.ClearLog();
        DrivePtr d = Get(0);
        EXPECT_EQ(d->IsAta(), 0);
        EXPECT_EQ(machine.Count(Op::DeviceIoControl, SMART_RCV_DRIVE_DATA), 0u);
        EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_DISK_CONTROLLER_NUMBER), 0u);
        EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT), 1u);
        unsigned char text[64];
        ULONG count = 99;
        EXPECT_EQ(d->GetIdeDriveModelNo(text, sizeof text, &count), 0);
        EXPECT_EQ(count, 99u);
        machine.ClearFaults();
    }
    // IDENTIFY and controller number fail: still ATA, everything reads 0.
    {
        Fault f;
        f.op = Op::DeviceIoControl;
        f.ioctl = SMART_RCV_DRIVE_DATA;
        machine.AddFault(f);
        f.ioctl = IOCTL_DISK_CONTROLLER_NUMBER;
        machine.AddFault(f);
        DrivePtr d = Get(0);
        EXPECT_EQ(d->IsAta(), 1);
        unsigned char text[64];
        ULONG count = 99;
        EXPECT_EQ(d->GetIdeDriveModelNo(text, sizeof text, &count), 1);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(text[0], 0);
        EXPECT_EQ(d->GetIdeDriveSerialNo(text, sizeof text, &count), 1);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(d->GetIdeDriveFirmwareRevision(text, sizeof text, &count), 1);
        EXPECT_EQ(count, 0u);
        EXPECT_EQ(d->GetIdeSupports48BitAddressing(), 0);
        EXPECT_EQ(d->GetIdeSupportsSecurity(), 0);
        EXPECT_EQ(d->GetIdeSecurityEraseUnitTime(), 0);
        EXPECT_EQ(d->GetIdeEnhancedSecurityEraseUnitTime(), 0);
        EXPECT_EQ(d->GetIdeControllerNumber(), 0u);
        EXPECT_EQ(d->GetIdeDiskNumber(), 0u);
        EXPECT_EQ(d->GetSectors().QuadPart, 0);
        machine.ClearFaults();
    }
    // INQUIRY and SCSI address fail: empty texts, address 0/0/0/0.
    {
        machine.AddDisk(ScsiDisk(1));
        Fault f;
        f.op = Op::DeviceIoControl;
        f.ioctl = IOCTL_SCSI_PASS_THROUGH_DIRECT;
        machine.AddFault(f);
        f.ioctl = IOCTL_SCSI_GET_ADDRESS;
        machine.AddFault(f);
        DrivePtr d = Get(1);
        EXPECT_EQ(d->IsAta(), 0);
        unsigned char text[64];
        ULONG count = 99;
        for (auto getter : {&Drive::GetScsiVendorId, &Drive::GetScsiProductId, &Drive::GetScsiProductRevision}) {
            EXPECT_EQ(((*d).*getter)(text, sizeof text, &count), 1);
            EXPECT_EQ(count, 0u);
        }
        EXPECT_EQ(d->GetScsiPort() | d->GetScsiBusId() | d->GetScsiTargetId() | d->GetScsiLogicalUnitId(), 0);
        EXPECT_EQ(DriveTestAccess::Address(*d)->Length, sizeof(SCSI_ADDRESS));
        machine.ClearFaults();
    }
}

TEST_F(Enumeration, AStaleLastErrorDoesNotDecideAnything) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(ScsiDisk(1));
    Set();

    // A code left over from an earlier failure: the ATA disk stays ATA.
    TavPlatform::SetLastError(ERROR_ACCESS_DENIED);
    DrivePtr ata = Get(0);
    EXPECT_EQ(ata->IsAta(), 1);

    // ... and a good SCSI command is not taken for a failed one.
    DrivePtr scsi = Get(1);
    TavPlatform::SetLastError(ERROR_ACCESS_DENIED);
    EXPECT_EQ(scsi->GetSectors().QuadPart, 0x1E848);

    // The decision is still the last-error code: a version request that
    // reports success but leaves an error code means "not ATA".
    Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = SMART_GET_VERSION;
    f.succeedWithError = true;
    f.error = ERROR_INVALID_FUNCTION;
    machine.AddFault(f);
    EXPECT_EQ(Get(0)->IsAta(), 0);
}

TEST_F(Enumeration, PassThroughFailuresThatLeaveNoErrorCodeStillFail) {
    machine.AddDisk(ScsiDisk(0));
    DrivePtr d = Fresh(0);
    unsigned char cdb[10] = {0x25};
    unsigned char reply[8] = {};
    EXPECT_EQ(DriveTestAccess::Pass(*d, cdb, 10, reply, 8), 0u);

    // A device answering CHECK CONDITION: the platform reports success, yet
    // no data came.
    unsigned char unknown[6] = {0xEE};
    EXPECT_NE(DriveTestAccess::Pass(*d, unknown, 6, reply, 8), 0u);

    // A command block longer than the record's field is cut, not overrun.
    unsigned char longCdb[32] = {0x25};
    EXPECT_EQ(DriveTestAccess::Pass(*d, longCdb, 32, reply, 8), 0u);
    auto pass = Requests(machine, Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT);
    SCSI_PASS_THROUGH_DIRECT sptd;
    std::memcpy(&sptd, pass.back().input.data(), sizeof sptd);
    EXPECT_EQ(sptd.CdbLength, 16);
}

TEST_F(Enumeration, DestructionReleasesEveryRecordOnceAndClosesTheHandle) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(ScsiDisk(1));
    machine.AddVolume({{0, 1048576, 1ull << 30}}, {L"C:\\", L"C:\\mnt\\data\\"});
    machine.windowsDirectory = L"C:\\Windows";
    Set();
    size_t setBlocks = machine.LiveBlocks();
    for (ULONG i = 0; i < 2; ++i) {
        DrivePtr d = Get(i);
        // Fill every record made on first use as well.
        d->GetCapacity();
        d->ContainsWindowsBootPartition();
        EXPECT_TRUE(DriveTestAccess::HasGeometry(*d));
        EXPECT_TRUE(DriveTestAccess::HasMountPoints(*d));
        EXPECT_EQ(machine.OpenHandles(), 1u);
        machine.ClearLog();
        d.reset();
        EXPECT_EQ(machine.Count(Op::CloseHandle), 1u);
        EXPECT_EQ(machine.LiveBlocks(), setBlocks);
        EXPECT_EQ(machine.OpenHandles(), 0u);
        EXPECT_EQ(machine.BadReleases(), 0u);
    }

    // A Drive destroyed before any first-use getter releases only what
    // construction made.
    DrivePtr d = Get(0);
    EXPECT_FALSE(DriveTestAccess::HasGeometry(*d));
    EXPECT_FALSE(DriveTestAccess::HasLetterTable(*d));
    d.reset();
    EXPECT_EQ(machine.LiveBlocks(), setBlocks);
    EXPECT_EQ(machine.BadReleases(), 0u);
}

// Copies are independent values: each holds its own handle and records,
// answers alone and may outlive the other; moves hand everything over.
TEST_F(Enumeration, CopiesAndMovesAreIndependentValues) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(ScsiDisk(1));
    machine.AddVolume({{1, 0, 1 << 20}}, {L"E:\\", L"/mnt/a; b"});
    Set();
    const size_t setBlocks = machine.LiveBlocks();
    auto model = [](Drive &d) {
        unsigned char text[64] = {};
        ULONG count = 0;
        return d.IsAta() ? (d.GetIdeDriveModelNo(text, sizeof text, &count), Text(text))
                         : (d.GetScsiProductId(text, sizeof text, &count), Text(text));
    };
    auto mounts = [](Drive &d) {
        wchar_t text[64] = {};
        ULONG length = 0;
        d.GetMountPoints(text, 64, &length);
        return std::wstring(text);
    };
    auto reads = [](Drive &d) {
        unsigned char sector[512];
        return d.ReadSector(0, sector);
    };
    const struct {
        const char *name;
        void (*make)(std::vector<Drive> &, Drive &);
    } ways[] = {
        {"copy construction", [](std::vector<Drive> &v, Drive &d) { v.push_back(d); }},
        {"copy assignment", [](std::vector<Drive> &v, Drive &d) { v.back() = d; }},
        {"self assignment", [](std::vector<Drive> &v, Drive &) { v.back() = *&v.back(); }},
        {"move construction", [](std::vector<Drive> &v, Drive &d) { v.push_back(Drive(d)); }},
        {"move assignment", [](std::vector<Drive> &v, Drive &d) { v.back() = Drive(d); }},
        {"vector growth",
         [](std::vector<Drive> &v, Drive &d) {
             for (int i = 0; i < 5; ++i)
                 v.push_back(d);
             v.erase(v.begin(), v.begin() + 5);
         }},
    };
    for (const auto &way : ways) {
        SCOPED_TRACE(way.name);
        {
            std::vector<Drive> copies;
            DrivePtr other = Get(0); // an object to assign over, with records of its own
            other->GetMountPoints(nullptr, 0, nullptr);
            copies.push_back(*other);
            other.reset();
            DrivePtr d = Get(1);
            d->GetCapacity();
            EXPECT_EQ(mounts(*d), L"/mnt/a; b");
            way.make(copies, *d);
            Drive &copy = copies.back();
            if (std::string(way.name) != "self assignment") {
                EXPECT_NE(DriveTestAccess::Handle(copy), DriveTestAccess::Handle(*d));
                d.reset(); // the copy outlives its source
                EXPECT_EQ(model(copy), "ARRAY DISK");
                EXPECT_EQ(mounts(copy), L"/mnt/a; b");
                EXPECT_EQ(copy.GetBytesPerSector(), 512u);
                EXPECT_EQ(reads(copy), 1);
            } else {
                EXPECT_EQ(model(copy), "TAV MODEL 1000");
            }
        }
        EXPECT_EQ(machine.LiveBlocks(), setBlocks);
        EXPECT_EQ(machine.OpenHandles(), 0u);
        EXPECT_EQ(machine.BadReleases(), 0u);
    }

    // A moved-from Drive holds nothing and answers like a disk never opened.
    DrivePtr d = Get(0);
    Drive taken(std::move(*d));
    EXPECT_EQ(model(taken), "TAV MODEL 1000");
    EXPECT_EQ(d->IsAta(), 0);
    EXPECT_EQ(reads(*d), 0);
    d.reset();
    EXPECT_EQ(reads(taken), 1);

    // A handle that cannot be duplicated leaves the copy without one: it
    // answers from its records, and its requests fail.
    Fault refuse;
    refuse.op = Op::DuplicateHandle;
    machine.AddFault(refuse);
    Drive copy(taken);
    EXPECT_EQ(model(copy), "TAV MODEL 1000");
    EXPECT_EQ(DriveTestAccess::Handle(copy), INVALID_HANDLE_VALUE);
    EXPECT_EQ(reads(copy), 0);
}

TEST_F(Enumeration, MemoryExhaustionAtAnyPointOfConstructionIsSurvived) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(ScsiDisk(1));
    Set();
    size_t setBlocks = machine.LiveBlocks();
    for (ULONG disk = 0; disk < 2; ++disk) {
        for (long nth = 0; nth < 16; ++nth) {
            machine.FailAllocation(nth);
            DrivePtr d = Get(disk);
            machine.FailAllocation(-1);
            if (d) {
                unsigned char text[64];
                ULONG count = 0;
                wchar_t path[256];
                d->GetVendorId(text, sizeof text, &count);
                d->GetIdeDriveModelNo(text, sizeof text, &count);
                d->GetScsiProductId(text, sizeof text, &count);
                d->GetDevicePath(path, 256, &count);
                d->GetBusType();
                d->GetSectors();
                d->GetScsiTargetId();
            }
            d.reset();
            EXPECT_EQ(machine.LiveBlocks(), setBlocks) << "disk " << disk << " allocation " << nth;
            EXPECT_EQ(machine.OpenHandles(), 0u);
        }
    }
    EXPECT_EQ(machine.BadReleases(), 0u);
}

TEST_F(Enumeration, AbsurdInterfaceDetailSizesLeaveThePathAbsent) {
    machine.AddDisk(ScsiDisk(0));
    Set();
    // An interface record that does not belong to the set: required size 0.
    auto *foreign =
        static_cast<SP_DEVICE_INTERFACE_DATA *>(TavPlatform::LocalAlloc(LPTR, sizeof(SP_DEVICE_INTERFACE_DATA)));
    foreign->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    foreign->Reserved = 0xDEAD;
    DrivePtr d(new Drive(Set(), 0, foreign));
    ULONG length = 0;
    wchar_t path[4];
    EXPECT_EQ(d->GetDevicePath(path, 4, &length), 1);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(path[0], 0);
    EXPECT_EQ(DriveTestAccess::Handle(*d), INVALID_HANDLE_VALUE);
    EXPECT_EQ(d->IsAta(), 0);
    d.reset();
    EXPECT_EQ(machine.BadReleases(), 0u);
}

TEST_F(Enumeration, WithoutReadWriteRightsTheDiskIsOpenedForQueriesOnly) {
    // One disk of each kind refuses read and write access; a third refuses
    // every open; a fourth opens for everything.
    for (int kind = 0; kind < 2; ++kind) {
        auto disk = kind == 0 ? AtaDisk(static_cast<DWORD>(kind)) : ScsiDisk(static_cast<DWORD>(kind));
        disk.queryOnly = true;
        machine.AddDisk(disk);
    }
    auto closed = ScsiDisk(2);
    closed.openable = false;
    closed.openError = ERROR_SHARING_VIOLATION;
    machine.AddDisk(closed);
    machine.AddDisk(ScsiDisk(3));
    // Its volume, too, refuses read access: its extents still answer.
    machine.AddVolume({{1, 0, 1 << 20}}, {L"E:\\"});
    machine.volumes.back().queryOnly = true;
    Set();

    struct Case {
        ULONG index;
        int access;
        size_t opens;
        DWORD codeAfter; // the thread's code right after GetDrive; 0: not looked at
    };
    const Case cases[] = {
        {0, Drive::AccessQuery, 2, ERROR_ACCESS_DENIED},
        {1, Drive::AccessQuery, 2, ERROR_ACCESS_DENIED},
        {2, Drive::AccessNone, 2, ERROR_SHARING_VIOLATION},
        {3, Drive::AccessFull, 1, 0},
    };
    for (const Case &c : cases) {
        SCOPED_TRACE(c.index);
        machine.ClearLog();
        DrivePtr d = Get(c.index);
        ASSERT_TRUE(d);
        if (c.codeAfter) {
            EXPECT_EQ(TavPlatform::GetLastError(), c.codeAfter);
        }
        EXPECT_EQ(d->GetAccess(), c.access);
        auto opens = Requests(machine, Op::CreateFileW);
        ASSERT_EQ(opens.size(), c.opens);
        EXPECT_EQ(opens[0].access, GENERIC_READ | GENERIC_WRITE);
        if (c.opens == 2) {
            EXPECT_EQ(opens[1].access, 0u);
            EXPECT_EQ(opens[1].share, DWORD{FILE_SHARE_READ | FILE_SHARE_WRITE});
            EXPECT_EQ(opens[1].path, opens[0].path);
        }
        if (c.access != Drive::AccessQuery)
            continue;
        // The probes that need read and write access were refused: not ATA,
        // no INQUIRY; what any handle may ask answers.
        EXPECT_EQ(d->IsAta(), 0);
        for (const auto &r : Requests(machine, Op::DeviceIoControl)) {
            if (r.ioctl == SMART_GET_VERSION || r.ioctl == IOCTL_SCSI_PASS_THROUGH_DIRECT) {
                EXPECT_EQ(r.error, ERROR_ACCESS_DENIED) << r.ioctl;
            }
        }
        const TavSim::Disk &disk = machine.disks[c.index];
        EXPECT_EQ(d->GetBusType(), c.index == 0 ? BusTypeSata : BusTypeSas);
        unsigned char text[32];
        ULONG count = 0;
        EXPECT_EQ(d->GetProductId(text, sizeof text, &count), 1);
        EXPECT_EQ(Text(text), c.index == 0 ? "TAV MODEL 1000" : "ARRAY DISK");
        EXPECT_EQ(d->GetDriveNumber(), disk.deviceNumber);
        EXPECT_EQ(d->GetScsiPort(), disk.scsiAddress->PortNumber);
        EXPECT_EQ(d->GetBytesPerSector(), 512u);
        // The sector count from the size the driver tells, after the refused
        // READ CAPACITY; asked on every call.
        machine.ClearLog();
        EXPECT_EQ(static_cast<uint64_t>(d->GetSectors().QuadPart), disk.sizeBytes / 512);
        const std::vector<Step> sectors = {{Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT},
                                           {Op::DeviceIoControl, IOCTL_DISK_GET_DRIVE_GEOMETRY_EX}};
        EXPECT_EQ(Sequence(machine), sectors);
        unsigned char sector[512];
        TavPlatform::SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(d->ReadSector(0, sector), 0);
        EXPECT_EQ(TavPlatform::GetLastError(), ERROR_ACCESS_DENIED);
        EXPECT_EQ(d->WriteSector(0, sector), 0);
        EXPECT_EQ(machine.Count(Op::WriteFile), 1u);
        EXPECT_EQ(Requests(machine, Op::WriteFile)[0].error, ERROR_ACCESS_DENIED);
        wchar_t letters[27];
        EXPECT_EQ(d->GetDriveLetters(letters, 27, &count), 1);
        EXPECT_EQ(std::wstring(letters), c.index == 1 ? L"E" : L"");
    }
    // A size the driver cannot tell leaves the count 0.
    machine.disks[1].geometry.reset();
    DrivePtr unsized = Get(1);
    EXPECT_EQ(unsized->GetSectors().QuadPart, 0);
}

TEST(AccessChecks, EachRequestIsRefusedExactlyWhereTheHandlesAccessFallsShort) {
    // Every request the library sends, with the access Windows asks of the
    // handle for it (its control code's access bits; the transfers' rights).
    enum Need { Any = 0, Read = 1, Write = 2, Both = 3 };
    struct Entry {
        const char *name;
        DWORD code; // 0: ReadFile (Read) / WriteFile (Write)
        Need need;
        bool onVolume;
    };
    const Entry entries[] = {
        {"IOCTL_STORAGE_QUERY_PROPERTY", IOCTL_STORAGE_QUERY_PROPERTY, Any, false},
        {"IOCTL_STORAGE_GET_DEVICE_NUMBER", IOCTL_STORAGE_GET_DEVICE_NUMBER, Any, false},
        {"SMART_GET_VERSION", SMART_GET_VERSION, Read, false},
        {"SMART_RCV_DRIVE_DATA", SMART_RCV_DRIVE_DATA, Both, false},
        {"IOCTL_DISK_CONTROLLER_NUMBER", IOCTL_DISK_CONTROLLER_NUMBER, Any, false},
        {"IOCTL_SCSI_GET_ADDRESS", IOCTL_SCSI_GET_ADDRESS, Any, false},
        {"IOCTL_SCSI_PASS_THROUGH_DIRECT", IOCTL_SCSI_PASS_THROUGH_DIRECT, Both, false},
        {"IOCTL_DISK_GET_DRIVE_GEOMETRY", IOCTL_DISK_GET_DRIVE_GEOMETRY, Any, false},
        {"IOCTL_DISK_GET_DRIVE_GEOMETRY_EX", IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, Any, false},
        {"IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS", IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, Any, true},
        {"ReadFile", 0, Read, false},
        {"WriteFile", 0, Write, false},
    };
    const struct {
        DWORD access;
        int grants;
    } accesses[] = {{0, Any},
                    {GENERIC_READ, Read},
                    {GENERIC_WRITE, Write},
                    {GENERIC_READ | GENERIC_WRITE, Both},
                    {FILE_READ_DATA, Read},
                    {GENERIC_ALL, Both}};

    TavSim::Machine machine;
    TavSim::ScopedMachine installed(machine);
    TavSim::Disk disk;
    disk.devicePath = L"\\\\?\\disk0";
    disk.ata = true;
    disk.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSata);
    disk.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "DISK", "1", "S", BusTypeSata);
    disk.geometry = TavTest::Geometry(1, 1, 8, 512);
    disk.sizeBytes = 4096;
    disk.controllerNumber = DISK_CONTROLLER_NUMBER{};
    disk.scsiAddress = TavTest::Address(0, 0, 0, 0);
    machine.AddDisk(disk);
    int volume = machine.AddVolume({{0, 0, 4096}}, {L"C:\\"});
    std::wstring volumeDevice = machine.volumes[static_cast<size_t>(volume)].name;
    volumeDevice.pop_back();

    for (const auto &a : accesses) {
        for (const Entry &e : entries) {
            SCOPED_TRACE(std::string(e.name) + " with access " + std::to_string(a.access));
            HANDLE h = TavPlatform::CreateFileW(e.onVolume ? volumeDevice.c_str() : disk.devicePath.c_str(), a.access,
                                                FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            ASSERT_NE(h, INVALID_HANDLE_VALUE);
            alignas(16) unsigned char in[64] = {}, out[4096] = {};
            DWORD returned = 0;
            TavPlatform::SetLastError(ERROR_SUCCESS);
            BOOL ok;
            if (e.code == 0 && e.need == Read) {
                ok = TavPlatform::ReadFile(h, out, 512, &returned, nullptr);
            } else if (e.code == 0) {
                ok = TavPlatform::WriteFile(h, out, 512, &returned, nullptr);
            } else {
                DWORD inSize = 0;
                if (e.code == IOCTL_STORAGE_QUERY_PROPERTY) {
                    inSize = sizeof(STORAGE_PROPERTY_QUERY);
                } else if (e.code == SMART_RCV_DRIVE_DATA) {
                    in[offsetof(SENDCMDINPARAMS, irDriveRegs) + offsetof(IDEREGS, bCommandReg)] = ID_CMD;
                    inSize = sizeof(SENDCMDINPARAMS);
                }
                ok = TavPlatform::DeviceIoControl(h, e.code, inSize ? in : nullptr, inSize, out, sizeof out, &returned,
                                                  nullptr);
            }
            const DWORD code = TavPlatform::GetLastError();
            const bool allowed = (e.need & ~a.grants) == 0;
            if (allowed) {
                EXPECT_NE(code, ERROR_ACCESS_DENIED);
            } else {
                EXPECT_FALSE(ok);
                EXPECT_EQ(code, ERROR_ACCESS_DENIED);
            }
            // Positioning asks no access of the handle.
            LARGE_INTEGER zero{};
            EXPECT_TRUE(e.onVolume || TavPlatform::SetFilePointerEx(h, zero, nullptr, FILE_BEGIN));
            TavPlatform::CloseHandle(h);
        }
    }
}
