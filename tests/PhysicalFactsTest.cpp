// SPDX-License-Identifier: MIT
// Physical facts: what the disk tells, what it does not, a request that
// fails or answers short, and a handle for queries only.
#include "TestSupport.h"

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
