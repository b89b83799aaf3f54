// SPDX-License-Identifier: MIT
// The platform requests' shared expectations, on the Linux backend over a
// recorded machine.
#include "LinuxTestSupport.h"
#include "../platform/SeamCases.h"

using namespace TavLinuxTest;

TEST(ReplaySeam, TheLinuxBackendAnswersAsEveryBackendDoes) {
    Machine m("qemu-sata"); // sdb: an ATA disk on AHCI, 512-byte sectors
    TavSeam::DiskUnderTest disk;
    disk.open = [](DWORD access) {
        return TavPlatform::CreateFileW(L"/dev/sdb", access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING,
                                        0, nullptr);
    };
    disk.inUse = "sdb's partitions are mounted on this recorded machine";
    disk.physicalFacts = false; // recorded before alignment_offset, rotational and discard were
    TavSeam::ExpectDiskConformance(disk);
    TavSeam::MachineUnderTest machine;
    machine.missing = L"/dev/sdz";
    machine.noWindowsDirectory = "Linux has no Windows directory";
    machine.skips = {{"the name of the volume mounted there", "this recorded machine's root is a rootfs: no volume"}};
    TavSeam::ExpectMachineConformance(machine);
}
