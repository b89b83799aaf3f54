// SPDX-License-Identifier: MIT
// The platform requests' shared expectations, on the Linux backend over a
// recorded machine: taken anew for every request, and kept between
// requests as the live system's looks are.
#include "LinuxTestSupport.h"
#include "TavDiskLib/platform/linux/Looks.h"
#include "../platform/SeamCases.h"

using namespace TavLinuxTest;

namespace {

void ExpectConformance() {
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

} // namespace

TEST(ReplaySeam, TheLinuxBackendAnswersAsEveryBackendDoes) {
    Machine m("qemu-sata"); // sdb: an ATA disk on AHCI, 512-byte sectors
    ExpectConformance();
}

TEST(ReplaySeam, TheLinuxBackendAnswersAsEveryBackendDoesFromAKeptLook) {
    Machine m("qemu-sata");
    TavLinux::KeepLooksOf(TavLinux::Root{m.tree.Root()});
    auto before = TavLinux::CountLooks();
    ExpectConformance();
    TavLinux::SignalLookChange(TavLinux::LookSignal::Uevent); // the same answers from a look taken anew
    ExpectConformance();
    auto after = TavLinux::CountLooks();
    TavLinux::KeepLooksOf(std::nullopt);
    EXPECT_GT(after.reused, before.reused);
}
