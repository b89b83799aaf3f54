// SPDX-License-Identifier: MIT
// The platform requests' shared expectations, on the simulated machine.
#include "TestSupport.h"
#include "platform/SeamCases.h"

using namespace TavTest;

class Seam : public MachineTest {};

TEST_F(Seam, TheSimulatedMachineAnswersAsEveryBackendDoes) {
    TavSim::Disk d = AtaDisk(0);
    d.sizeBytes = 64 << 20; // a small disk, so its last sector is near
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a{};
    a.BytesPerLogicalSector = 512;
    a.BytesPerPhysicalSector = 4096;
    d.alignment = a;
    d.seekPenalty = true;
    d.trim = false;
    d.deviceId = TavPlatform::MakeDeviceIdDescriptor({{StorageIdCodeSetBinary,
                                                       StorageIdTypeFCPHName,
                                                       StorageIdAssocDevice,
                                                       {0x50, 0, 0xc5, 0, 0x15, 0xea, 0x71, 0xad}}});
    d.layout.emplace();
    d.layout->style = PARTITION_STYLE_MBR;
    PARTITION_INFORMATION_EX e{};
    e.PartitionNumber = 1;
    e.StartingOffset.QuadPart = 1 << 20;
    e.PartitionLength.QuadPart = 32 << 20;
    e.Mbr.PartitionType = 0x07;
    d.layout->entries = {e};
    machine.AddDisk(d);
    machine.AddVolume({{0, 1 << 20, 32 << 20}}, {L"C:\\"});
    machine.windowsDirectory = L"C:\\Windows";
    machine.systemDirectory = L"C:\\Windows\\system32";
    const std::wstring path = machine.disks[0].devicePath;
    TavSeam::DiskUnderTest disk;
    disk.open = [&](DWORD access) {
        return TavPlatform::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    };
    TavSeam::ExpectDiskConformance(disk);
    TavSeam::MachineUnderTest rest;
    rest.missing = L"\\\\.\\PhysicalDrive99";
    TavSeam::ExpectMachineConformance(rest);
}
