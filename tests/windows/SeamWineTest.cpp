// SPDX-License-Identifier: MIT
// The platform requests' shared expectations (tests/platform/SeamCases.h)
// on the windows backend, compiled into this program: the system's own
// calls. Under Wine, for what Wine can answer; each case it cannot answer is
// skipped with the reason beside it.
#include "platform/SeamCases.h"

namespace {

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

} // namespace

TEST(WindowsSeam, TheRequestsThatNeedNoDiskAnswerAsEveryBackendDoes) {
    TavSeam::MachineUnderTest machine;
    machine.missing = L"\\\\.\\PhysicalDrive99";
    if (UnderWine()) {
        machine.noDisk = "Wine has no disk interfaces";
        machine.skips = {
            {"node 0", "Wine answers CR_NO_SUCH_DEVNODE for node 0"},
            {"an interface by a path no interface has", "Wine fails without setting the last-error code"},
            {"a set member with a record of the wrong size", "Wine answers ERROR_INVALID_PARAMETER"},
            {"the first volume's extents: the record, then one byte short",
             "Wine answers a buffer shorter than the record with success"},
        };
    }
    TavSeam::ExpectMachineConformance(machine);
}

TEST(WindowsSeam, ADiskAnswersAsEveryBackendDoes) {
    // The disk cases lock the disk and write a sector back: they need a disk
    // of known kind (ATA, 512-byte sectors) that nothing uses, which neither
    // Wine (no disks) nor an ordinary Windows machine provides.
    GTEST_SKIP() << (UnderWine() ? "Wine has no disks" : "no disk here is known to be free for the disk cases");
}
