// SPDX-License-Identifier: MIT
// The platform requests' shared expectations, on the simulated machine.
#include "TestSupport.h"
#include "platform/SeamCases.h"

using namespace TavTest;

class Seam : public MachineTest {};

TEST_F(Seam, TheSimulatedMachineAnswersAsEveryBackendDoes) {
    machine.AddDisk(AtaDisk(0));
    const std::wstring path = machine.disks[0].devicePath;
    TavSeam::ExpectConformance([&](DWORD access) {
        return TavPlatform::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    });
}
