// SPDX-License-Identifier: MIT
// Enumeration, the probe sequence of construction, failures while probing,
// and ownership of what a Drive holds.
#include "TestSupport.h"

#include <cstring>
#include <new>

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

#pragma GCC diagnostic push
#pragma GCC diagnostic ignored "-Wdeprecated-copy"
TEST_F(Enumeration, AssignmentSharesRecordsAndOneDestructionReleasesThemOnce) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(ScsiDisk(1));
    Set();
    size_t setBlocks = machine.LiveBlocks();

    Drive *source = Drive::GetDrive(Set(), 0);
    Drive *target = Drive::GetDrive(Set(), 1);
    ASSERT_TRUE(source && target);
    // Keep the target's own records reachable: assignment does not release them.
    alignas(Drive) unsigned char keep[sizeof(Drive)];
    Drive *original = new (keep) Drive(*target);

    size_t beforeAssign = machine.LiveBlocks();
    *target = *source;
    EXPECT_EQ(machine.LiveBlocks(), beforeAssign); // nothing duplicated, nothing released
    EXPECT_EQ(target->IsAta(), 1);
    EXPECT_EQ(DriveTestAccess::Handle(*target), DriveTestAccess::Handle(*source));
    unsigned char text[64];
    ULONG count = 0;
    EXPECT_EQ(target->GetIdeDriveModelNo(text, sizeof text, &count), 1);
    EXPECT_EQ(Text(text), "TAV MODEL 1000");

    // Destroy one of the two; the other is not used afterwards.
    delete target;
    ::operator delete(source);
    EXPECT_EQ(machine.BadReleases(), 0u);
    EXPECT_EQ(machine.OpenHandles(), 1u); // the target's original handle

    original->~Drive();
    EXPECT_EQ(machine.LiveBlocks(), setBlocks);
    EXPECT_EQ(machine.OpenHandles(), 0u);
    EXPECT_EQ(machine.BadReleases(), 0u);
}
#pragma GCC diagnostic pop

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
