// SPDX-License-Identifier: MIT
// Geometry and capacity, the sector count, and single-sector transfers.
#include "TestSupport.h"

#include <cstring>

using namespace TavTest;
using TavSim::Fault;
using TavSim::Op;

class Size : public MachineTest {};

TEST_F(Size, CapacityIsComputedInSixtyFourBits) {
    struct Case {
        DISK_GEOMETRY geometry;
        uint64_t capacity;
    };
    const Case cases[] = {
        {Geometry(1000, 255, 63, 512), 8225280000ull},
        // The first product does not fit 32 bits.
        {Geometry(1, 1, 65536, 65536), 4294967296ull},
        // 2^32 * 2^32 * 2 wraps modulo 2^64 to 0; add a remainder to see the wrap.
        {Geometry(3, 0xFFFFFFFFu, 0xFFFFFFFFu, 0xFFFFFFFFu), uint64_t{0xFFFFFFFFu} * 0xFFFFFFFFu * 0xFFFFFFFFu * 3},
    };
    for (const auto &c : cases) {
        auto disk = ScsiDisk(0);
        disk.geometry = c.geometry;
        machine.AddDisk(disk);
    }
    for (ULONG i = 0; i < 3; ++i) {
        DrivePtr d = Fresh(i);
        EXPECT_EQ(static_cast<uint64_t>(d->GetCapacity().QuadPart), cases[i].capacity) << i;
        EXPECT_EQ(d->GetCylinders().QuadPart, cases[i].geometry.Cylinders.QuadPart);
        EXPECT_EQ(d->GetTracksPerCylinder(), cases[i].geometry.TracksPerCylinder);
        EXPECT_EQ(d->GetSectorsPerTrack(), cases[i].geometry.SectorsPerTrack);
        EXPECT_EQ(d->GetBytesPerSector(), cases[i].geometry.BytesPerSector);
        EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_DISK_GET_DRIVE_GEOMETRY), 1u);
    }
}

TEST_F(Size, GeometryIsAskedForOnceWhateverComesFirst) {
    machine.AddDisk(ScsiDisk(0));
    using Getter = void (*)(Drive &);
    const Getter first[] = {
        [](Drive &d) { d.GetBytesPerSector(); },
        [](Drive &d) { d.GetCylinders(); },
        [](Drive &d) { d.GetTracksPerCylinder(); },
        [](Drive &d) { d.GetSectorsPerTrack(); },
        [](Drive &d) {
            unsigned char b[512];
            d.ReadSector(0, b);
        },
    };
    for (auto call : first) {
        DrivePtr d = Fresh(0);
        call(*d);
        for (int i = 0; i < 3; ++i) {
            d->GetCapacity();
            d->GetBytesPerSector();
            d->GetCylinders();
        }
        EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_DISK_GET_DRIVE_GEOMETRY), 1u);
        auto requests = Requests(machine, Op::DeviceIoControl, IOCTL_DISK_GET_DRIVE_GEOMETRY);
        EXPECT_EQ(requests[0].outSize, sizeof(DISK_GEOMETRY));
        EXPECT_EQ(requests[0].inSize, 0u);
    }
}

TEST_F(Size, FailedGeometryAnswersZeroAndIsNotAskedAgain) {
    auto disk = ScsiDisk(0);
    disk.geometry.reset();
    machine.AddDisk(disk);
    DrivePtr d = Fresh(0);
    EXPECT_EQ(d->GetCapacity().QuadPart, 0);
    EXPECT_EQ(d->GetCylinders().QuadPart, 0);
    EXPECT_EQ(d->GetTracksPerCylinder(), 0u);
    EXPECT_EQ(d->GetSectorsPerTrack(), 0u);
    EXPECT_EQ(d->GetBytesPerSector(), 0u);
    EXPECT_EQ(d->GetCapacity().QuadPart, 0);
    EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_DISK_GET_DRIVE_GEOMETRY), 1u);

    // Without a sector size nothing is transferred and nothing succeeds.
    unsigned char buffer[512] = {1, 2, 3};
    EXPECT_EQ(d->ReadSector(0, buffer), 0);
    EXPECT_EQ(d->WriteSector(0, buffer), 0);
    EXPECT_EQ(machine.Count(Op::ReadFile) + machine.Count(Op::WriteFile), 0u);
    EXPECT_EQ(machine.ReadBytes(0, 0, 3), ByteString(3, 0));
}

TEST_F(Size, AtaSectorCountFromIdentify) {
    auto disk = AtaDisk(0);
    // 28-bit count only: words 60-61 even when 100-103 hold a value.
    disk.identify = TavSim::MakeIdentify("M", "S", "F", 0, false);
    TavSim::SetIdentifyWord(disk.identify, 60, 0x5678);
    TavSim::SetIdentifyWord(disk.identify, 61, 0x1234);
    TavSim::SetIdentifyWord(disk.identify, 100, 0xFFFF);
    TavSim::SetIdentifyWord(disk.identify, 83, 0x4000);
    machine.AddDisk(disk);
    // 48-bit: words 100-103 = 0x0000000100000000.
    disk.identify = TavSim::MakeIdentify("M", "S", "F", 0, false);
    TavSim::SetIdentifyWord(disk.identify, 83, 0x4400);
    TavSim::SetIdentifyWord(disk.identify, 102, 0x0001);
    TavSim::SetIdentifyWord(disk.identify, 60, 0xFFFF);
    TavSim::SetIdentifyWord(disk.identify, 61, 0x0FFF);
    machine.AddDisk(disk);
    disk.identify = TavSim::MakeIdentify("M", "S", "F", 0x123456789ABCull, true);
    machine.AddDisk(disk);

    DrivePtr small = Fresh(0);
    EXPECT_EQ(small->GetSectors().QuadPart, 0x12345678);
    DrivePtr large = Fresh(1);
    EXPECT_EQ(large->GetSectors().QuadPart, 4294967296ll);
    DrivePtr built = Fresh(2);
    EXPECT_EQ(built->GetSectors().QuadPart, 0x123456789ABCll);
    // The ATA branch asks the device nothing.
    EXPECT_EQ(machine.Count(Op::DeviceIoControl), 0u);
}

TEST_F(Size, ScsiSectorCountFromReadCapacityOnEveryCall) {
    const uint64_t answers[] = {0x0001E847, 0x80000000, 0xFFFFFFFE};
    for (uint64_t lastLba : answers) {
        auto disk = ScsiDisk(0);
        disk.lastLba = lastLba;
        machine.AddDisk(disk);
    }
    DrivePtr a = Fresh(0);
    EXPECT_EQ(a->GetSectors().QuadPart, 125000);
    EXPECT_EQ(a->GetSectors().QuadPart, 125000);
    auto sent = Requests(machine, Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT);
    ASSERT_EQ(sent.size(), 2u);
    SCSI_PASS_THROUGH_DIRECT sptd;
    std::memcpy(&sptd, sent[0].input.data(), sizeof sptd);
    const unsigned char cdb[10] = {0x25};
    EXPECT_EQ(sptd.CdbLength, 10);
    EXPECT_EQ(std::memcmp(sptd.Cdb, cdb, 10), 0);
    EXPECT_EQ(sptd.DataTransferLength, 8u);
    EXPECT_EQ(sptd.DataIn, SCSI_IOCTL_DATA_IN);

    EXPECT_EQ(Fresh(1)->GetSectors().QuadPart, 0x80000001ll);
    EXPECT_EQ(Fresh(2)->GetSectors().QuadPart, 0xFFFFFFFFll);
    // Below 0xFFFFFFFF no READ CAPACITY(16) is sent.
    EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT), 1u);
}

TEST_F(Size, DisksOfTwoToTheThirtyTwoBlocksOrMoreUseReadCapacity16) {
    const uint64_t answers[] = {0xFFFFFFFFull, 0x100000000ull, 0x0000123456789ABCull};
    for (uint64_t lastLba : answers) {
        auto disk = ScsiDisk(0);
        disk.lastLba = lastLba;
        disk.blockLength = 4096;
        machine.AddDisk(disk);
    }
    for (ULONG i = 0; i < 3; ++i) {
        DrivePtr d = Fresh(i);
        EXPECT_EQ(static_cast<uint64_t>(d->GetSectors().QuadPart), answers[i] + 1) << i;
        auto sent = Requests(machine, Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT);
        ASSERT_EQ(sent.size(), 2u);
        SCSI_PASS_THROUGH_DIRECT sptd;
        std::memcpy(&sptd, sent[1].input.data(), sizeof sptd);
        const unsigned char cdb[16] = {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0};
        EXPECT_EQ(sptd.CdbLength, 16);
        EXPECT_EQ(std::memcmp(sptd.Cdb, cdb, 16), 0);
        EXPECT_EQ(sptd.DataTransferLength, 32u);
    }

    // READ CAPACITY(16) failing: the count cannot be learned.
    Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    f.skip = 1;
    f.times = 1;
    DrivePtr d = Fresh(0);
    machine.AddFault(f);
    EXPECT_EQ(d->GetSectors().QuadPart, 0);
}

TEST_F(Size, FailedReadCapacityGivesZeroAndIsSentAgain) {
    machine.AddDisk(ScsiDisk(0));
    DrivePtr d = Fresh(0);
    Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = IOCTL_SCSI_PASS_THROUGH_DIRECT;
    f.times = 1;
    machine.AddFault(f);
    EXPECT_EQ(d->GetSectors().QuadPart, 0);
    EXPECT_EQ(d->GetSectors().QuadPart, 125000);
    EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_SCSI_PASS_THROUGH_DIRECT), 2u);
}

TEST_F(Size, SectorPositionsAndRoundTrip) {
    auto disk = ScsiDisk(0);
    disk.sizeBytes = (uint64_t{0xFFFFFFFF} + 1) * 512;
    disk.geometry = Geometry(267349, 255, 63, 512);
    machine.AddDisk(disk);
    DrivePtr d = Fresh(0);

    unsigned char out[512];
    for (int i = 0; i < 512; ++i)
        out[i] = static_cast<unsigned char>(i * 7);
    EXPECT_NE(d->WriteSector(0xFFFFFFFFu, out), 0);
    EXPECT_NE(d->WriteSector(0, out), 0);
    auto seeks = Requests(machine, Op::SetFilePointerEx);
    ASSERT_EQ(seeks.size(), 2u);
    EXPECT_EQ(seeks[0].position, 0x1FFFFFFFE00ull);
    EXPECT_EQ(seeks[1].position, 0u);
    EXPECT_EQ(Requests(machine, Op::WriteFile)[0].outSize, 512u);

    // The simulated disk holds what was written, where it was written.
    EXPECT_EQ(machine.ReadBytes(0, 0x1FFFFFFFE00ull, 512), ByteString(out, out + 512));
    EXPECT_EQ(machine.ReadBytes(0, 0x1FFFFFFFC00ull, 4), ByteString(4, 0));

    unsigned char in[512] = {};
    EXPECT_NE(d->ReadSector(0xFFFFFFFFu, in), 0);
    EXPECT_EQ(std::memcmp(in, out, 512), 0);

    // Reading then writing back the same buffer leaves the disk unchanged.
    machine.WriteBytes(0, 512 * 7, ByteString(512, 0x5A));
    unsigned char sector[512];
    EXPECT_NE(d->ReadSector(7, sector), 0);
    EXPECT_NE(d->WriteSector(7, sector), 0);
    EXPECT_EQ(machine.ReadBytes(0, 512 * 7, 512), ByteString(512, 0x5A));
}

TEST_F(Size, TransfersThatFailOrFallShortAreFailures) {
    auto disk = ScsiDisk(0);
    machine.AddDisk(disk);
    DrivePtr d = Fresh(0);
    unsigned char buffer[512] = {};

    // Positioning fails.
    Fault seek;
    seek.op = Op::SetFilePointerEx;
    seek.times = 1;
    machine.AddFault(seek);
    EXPECT_EQ(d->ReadSector(1, buffer), 0);
    EXPECT_EQ(machine.Count(Op::ReadFile), 0u);

    // The transfer itself fails.
    Fault read;
    read.op = Op::ReadFile;
    read.error = ERROR_CRC;
    read.times = 1;
    machine.AddFault(read);
    EXPECT_EQ(d->ReadSector(1, buffer), 0);
    EXPECT_EQ(TavPlatform::GetLastError(), ERROR_CRC);

    // The platform reports success but moved less than a sector.
    Fault shortRead;
    shortRead.op = Op::ReadFile;
    shortRead.shortBytes = 100;
    shortRead.times = 1;
    machine.AddFault(shortRead);
    EXPECT_EQ(d->ReadSector(1, buffer), 0);
    Fault shortWrite;
    shortWrite.op = Op::WriteFile;
    shortWrite.shortBytes = 0;
    shortWrite.times = 1;
    machine.AddFault(shortWrite);
    EXPECT_EQ(d->WriteSector(1, buffer), 0);

    // Past the end of the disk.
    EXPECT_EQ(d->ReadSector(0x0001E848, buffer), 0);
    EXPECT_NE(d->ReadSector(0x0001E847, buffer), 0);
    EXPECT_EQ(d->ReadSector(0, nullptr), 0);
}
