// SPDX-License-Identifier: MIT
// Drive letters and mount points from the volume scan, and the system volume
// test.
#include "TestSupport.h"

#include <algorithm>
#include <cstring>
#include <functional>

using namespace TavTest;
using TavSim::Fault;
using TavSim::Op;

namespace {

constexpr uint64_t GiB = 1ull << 30;

struct WideAnswer {
    int result;
    ULONG length;
    std::wstring text;
};

WideAnswer Letters(Drive &d, ULONG capacity = 64) {
    std::vector<wchar_t> buffer(capacity + 1, L'#');
    ULONG length = 999;
    int result = d.GetDriveLetters(buffer.data(), capacity, &length);
    return {result, length, result ? std::wstring(buffer.data()) : std::wstring()};
}

WideAnswer Mounts(Drive &d, ULONG capacity = 1024) {
    std::vector<wchar_t> buffer(capacity + 1, L'#');
    ULONG length = 999;
    int result = d.GetMountPoints(buffer.data(), capacity, &length);
    return {result, length, result ? std::wstring(buffer.data()) : std::wstring()};
}

} // namespace

class Volumes : public MachineTest {
protected:
    void SetUp() override {
        MachineTest::SetUp();
        machine.AddDisk(ScsiDisk(0));
        machine.AddDisk(ScsiDisk(1));
        machine.AddDisk(ScsiDisk(2));
    }
    size_t Scans() const { return machine.Count(Op::FindFirstVolumeW); }
};

TEST_F(Volumes, LettersAndFolderMountsOfTheDisksVolumes) {
    machine.AddVolume({{0, 1 * GiB, GiB}}, {L"E:\\", L"D:\\mnt\\p\\", L"D:\\mnt\\q\\"});
    machine.AddVolume({{1, 0, GiB}}, {L"F:\\"}); // another disk
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\"});
    machine.AddVolume({{0, 2 * GiB, GiB}}, {L"C:\\data\\r\\"}); // folder only
    machine.AddVolume({{0, 3 * GiB, GiB}}, {});                 // no path at all

    DrivePtr d = Fresh(0);
    auto letters = Letters(*d);
    EXPECT_EQ(letters.result, 1);
    EXPECT_EQ(letters.text, L"CE");
    EXPECT_EQ(letters.length, 3u);

    auto mounts = Mounts(*d);
    EXPECT_EQ(mounts.result, 1);
    EXPECT_EQ(mounts.text, L"D:\\mnt\\p\\; D:\\mnt\\q\\; C:\\data\\r\\");
    EXPECT_EQ(mounts.length, mounts.text.size() + 1);

    // One scan served both getters; a later call asks the platform nothing.
    EXPECT_EQ(Scans(), 1u);
    size_t requests = machine.Log().size();
    Letters(*d);
    Mounts(*d);
    d->ContainsWindowsBootPartition();
    EXPECT_EQ(machine.Count(Op::FindFirstVolumeW), 1u);
    EXPECT_EQ(machine.Log().size() - requests, machine.Count(Op::GetWindowsDirectoryW));

    // Every volume was opened without its trailing backslash, read access.
    auto opens = Requests(machine, Op::CreateFileW);
    ASSERT_EQ(opens.size(), 5u);
    for (size_t i = 0; i < opens.size(); ++i) {
        EXPECT_EQ(opens[i].path, machine.volumes[i].name.substr(0, 48));
        EXPECT_EQ(opens[i].access, GENERIC_READ);
        EXPECT_EQ(opens[i].share, FILE_SHARE_READ | FILE_SHARE_WRITE);
    }
    // Path names are asked for with the backslash, only for this disk's volumes.
    auto names = Requests(machine, Op::GetVolumePathNamesForVolumeNameW);
    EXPECT_EQ(names.size(), 8u);
    for (const auto &r : names)
        EXPECT_EQ(r.path.back(), L'\\');
    EXPECT_EQ(machine.Count(Op::DeviceIoControl, IOCTL_STORAGE_GET_DEVICE_NUMBER), 1u);
    EXPECT_EQ(machine.Count(Op::FindVolumeClose), 1u);
    EXPECT_EQ(machine.OpenHandles(), 1u); // the disk's own
}

TEST_F(Volumes, OneScanWhicheverGetterComesFirst) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\", L"C:\\x\\"});
    DrivePtr a = Fresh(0);
    auto mountsFirst = Mounts(*a);
    auto lettersAfter = Letters(*a);
    DrivePtr b = Fresh(0);
    auto lettersFirst = Letters(*b);
    auto mountsAfter = Mounts(*b);
    EXPECT_EQ(mountsFirst.text, mountsAfter.text);
    EXPECT_EQ(lettersFirst.text, lettersAfter.text);
    EXPECT_EQ(lettersFirst.text, L"C");
    EXPECT_EQ(Scans(), 1u);

    DrivePtr c = Fresh(0);
    machine.windowsDirectory = L"C:\\Windows";
    EXPECT_EQ(c->ContainsWindowsBootPartition(), 1);
    EXPECT_EQ(Mounts(*c).text, L"C:\\x\\");
    EXPECT_EQ(Scans(), 1u);
}

TEST_F(Volumes, SpannedVolumesAndSeveralExtentsOnOneDisk) {
    // Two extents on disk 0: taken once.
    machine.AddVolume({{0, 0, GiB}, {0, 4 * GiB, GiB}}, {L"G:\\", L"G:\\twice\\"});
    // Spanned over disks 1 and 2: both report it.
    machine.AddVolume({{1, 0, GiB}, {2, 0, GiB}}, {L"S:\\", L"C:\\span\\"});
    machine.windowsDirectory = L"S:\\WINDOWS";

    DrivePtr d0 = Fresh(0);
    EXPECT_EQ(Letters(*d0).text, L"G");
    EXPECT_EQ(Mounts(*d0).text, L"G:\\twice\\");
    EXPECT_EQ(machine.Count(Op::GetVolumePathNamesForVolumeNameW), 2u);
    EXPECT_EQ(d0->ContainsWindowsBootPartition(), 0);

    // The extents were asked for twice per volume: first into one record,
    // then into a block sized for all of them.
    auto extents = Requests(machine, Op::DeviceIoControl, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS);
    ASSERT_EQ(extents.size(), 4u);
    EXPECT_EQ(extents[0].outSize, sizeof(VOLUME_DISK_EXTENTS));
    EXPECT_EQ(extents[1].outSize, offsetof(VOLUME_DISK_EXTENTS, Extents) + 2 * sizeof(DISK_EXTENT));

    for (ULONG i = 1; i <= 2; ++i) {
        DrivePtr d = Fresh(i);
        EXPECT_EQ(Letters(*d).text, L"S");
        EXPECT_EQ(Mounts(*d).text, L"C:\\span\\");
        EXPECT_EQ(d->ContainsWindowsBootPartition(), 1);
    }
}

TEST_F(Volumes, DriveRootsAndNamesThatOnlyLookLikeThem) {
    // A second drive root later in the list is an ordinary name; a root with
    // a letter outside A-Z records nothing; "C:" and "C:\x" are not roots.
    machine.AddVolume({{0, 0, GiB}}, {L"K:\\", L"L:\\"});
    machine.AddVolume({{0, GiB, GiB}}, {L"1:\\", L"C:\\after-digit\\"});
    machine.AddVolume({{0, 2 * GiB, GiB}}, {L"c:\\"});
    machine.AddVolume({{0, 3 * GiB, GiB}}, {L"M:", L"N:\\x"});
    DrivePtr d = Fresh(0);
    EXPECT_EQ(Letters(*d).text, L"K");
    EXPECT_EQ(Mounts(*d).text, L"L:\\; C:\\after-digit\\; M:; N:\\x");
}

TEST_F(Volumes, TooSmallBuffersAreRefusedUntouched) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\", L"C:\\p\\"});
    machine.AddVolume({{0, GiB, GiB}}, {L"E:\\"});
    DrivePtr d = Fresh(0);

    std::vector<wchar_t> buffer(8, L'#');
    ULONG length = 0;
    EXPECT_EQ(d->GetDriveLetters(buffer.data(), 2, &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(std::wstring(buffer.begin(), buffer.end()), std::wstring(8, L'#'));
    EXPECT_EQ(d->GetDriveLetters(nullptr, 0, &length), 0);
    EXPECT_EQ(length, 3u);
    EXPECT_EQ(d->GetDriveLetters(buffer.data(), 3, &length), 1);
    EXPECT_EQ(std::wstring(buffer.data()), L"CE");
    EXPECT_EQ(buffer[3], L'#');

    std::fill(buffer.begin(), buffer.end(), L'#');
    EXPECT_EQ(d->GetMountPoints(buffer.data(), 5, &length), 0);
    EXPECT_EQ(length, 6u);
    EXPECT_EQ(buffer[0], L'#');
    EXPECT_EQ(d->GetMountPoints(buffer.data(), 6, &length), 1);
    EXPECT_EQ(std::wstring(buffer.data()), L"C:\\p\\");
    EXPECT_EQ(Scans(), 1u);
}

TEST_F(Volumes, NoLetteredVolume) {
    machine.AddVolume({{1, 0, GiB}}, {L"C:\\"});
    machine.windowsDirectory = L"C:\\Windows";
    DrivePtr d = Fresh(0);
    wchar_t one = L'#';
    ULONG length = 0;
    EXPECT_EQ(d->GetDriveLetters(&one, 1, &length), 1);
    EXPECT_EQ(length, 1u);
    EXPECT_EQ(one, 0);
    EXPECT_EQ(d->GetDriveLetters(nullptr, 0, &length), 0);
    EXPECT_EQ(Mounts(*d).text, L"");
    EXPECT_EQ(Mounts(*d).length, 1u);
    EXPECT_EQ(d->ContainsWindowsBootPartition(), 0);
}

TEST_F(Volumes, EnumerationFailureGivesNothingOnEveryCall) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\"});
    Fault f;
    f.op = Op::FindFirstVolumeW;
    f.error = ERROR_ACCESS_DENIED;
    f.times = 1;
    machine.AddFault(f);
    machine.windowsDirectory = L"C:\\Windows";
    DrivePtr d = Fresh(0);
    for (int call = 0; call < 2; ++call) {
        auto letters = Letters(*d);
        EXPECT_EQ(letters.text, L"");
        EXPECT_EQ(letters.length, 1u);
        auto mounts = Mounts(*d);
        EXPECT_EQ(mounts.text, L"");
        EXPECT_EQ(mounts.length, 1u);
        EXPECT_EQ(d->ContainsWindowsBootPartition(), 0);
    }
    EXPECT_EQ(Scans(), 1u);
    EXPECT_EQ(machine.Count(Op::FindVolumeClose), 0u);
}

TEST_F(Volumes, AFailedDiskNumberMatchesNoVolume) {
    // Disk 0's volumes must not be reported for a disk whose number is unknown.
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\", L"C:\\zero\\"});
    auto closed = ScsiDisk(5);
    closed.openable = false;
    machine.AddDisk(closed);
    DrivePtr d = Fresh(3);
    EXPECT_EQ(d->GetDriveNumber(), 0u);
    EXPECT_EQ(Letters(*d).text, L"");
    EXPECT_EQ(Mounts(*d).text, L"");
    EXPECT_EQ(machine.Count(Op::FindVolumeClose), 1u);
    EXPECT_EQ(machine.OpenHandles(), 0u);
}

TEST_F(Volumes, VolumesThatDoNotAnswerContributeNothing) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\"});
    machine.volumes.back().openable = false;
    machine.AddVolume({{0, GiB, GiB}}, {L"D:\\"});
    machine.AddVolume({{0, 2 * GiB, GiB}}, {L"E:\\", L"E:\\e\\"});
    machine.AddVolume({{0, 3 * GiB, GiB}}, {L"F:\\", L"F:\\f\\"});
    // Volume 1: its extents request fails.
    Fault extents;
    extents.op = Op::DeviceIoControl;
    extents.ioctl = IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS;
    extents.volume = 1;
    machine.AddFault(extents);
    // Volume 2: the second path-name call fails.
    Fault names;
    names.op = Op::GetVolumePathNamesForVolumeNameW;
    names.volume = 2;
    names.skip = 1;
    machine.AddFault(names);
    // Volume 3: the second path-name call delivers a list cut short.
    Fault cut;
    cut.op = Op::GetVolumePathNamesForVolumeNameW;
    cut.volume = 3;
    cut.skip = 1;
    cut.shortBytes = 3 * sizeof(wchar_t);
    machine.AddFault(cut);

    DrivePtr d = Fresh(0);
    EXPECT_EQ(Letters(*d).text, L"");
    EXPECT_EQ(Mounts(*d).text, L"");
    EXPECT_EQ(machine.OpenHandles(), 1u);
}

// Whether the platform's path-name lengths count the list's final
// terminator or not, the same names come out.
TEST_F(Volumes, PathNameListsWhateverTheirLengthsCount) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\", L"C:\\a\\", L"C:\\b\\"});
    machine.AddVolume({{0, GiB, GiB}}, {L"D:\\"});
    machine.AddVolume({{0, 2 * GiB, GiB}}, {L"E:\\data\\"});
    machine.AddVolume({{0, 3 * GiB, GiB}}, {});
    machine.AddVolume({{1, 0, GiB}}, {L"F:\\", L"F:\\f\\"});
    for (bool counted : {true, false}) {
        machine.pathNameLengthsCountFinalTerminator = counted;
        DrivePtr d = Fresh(0);
        EXPECT_EQ(Letters(*d).text, L"CD") << counted;
        EXPECT_EQ(Mounts(*d).text, L"C:\\a\\; C:\\b\\; E:\\data\\") << counted;
        // Each list was asked for with the length the platform reported (the
        // volume without names needs no second call when its list counts 0).
        auto names = Requests(machine, Op::GetVolumePathNamesForVolumeNameW);
        ASSERT_EQ(names.size(), counted ? 8u : 7u);
        EXPECT_EQ(names[1].outSize, counted ? 17u : 16u);
        DrivePtr other = Fresh(1);
        EXPECT_EQ(Letters(*other).text, L"F") << counted;
        EXPECT_EQ(Mounts(*other).text, L"F:\\f\\") << counted;
    }
}

TEST_F(Volumes, AbsurdExtentCountsAreNotAllocated) {
    for (DWORD claimed : {0xFFFFFFFFu, 0x0AAAAAABu, 0x00100000u}) {
        machine.volumes.clear();
        machine.AddVolume({{0, 0, GiB}}, {L"C:\\"});
        machine.volumes.back().claimedExtentCount = claimed;
        machine.AddVolume({{0, GiB, GiB}}, {L"D:\\"});
        DrivePtr d = Fresh(0);
        // The broken volume contributes nothing; the next one is still scanned.
        EXPECT_EQ(Letters(*d).text, L"D") << claimed;
        for (const auto &r : machine.Log())
            if (r.op == Op::LocalAlloc) {
                EXPECT_LE(r.position, 1u << 20) << claimed;
            }
    }
}

TEST_F(Volumes, MemoryExhaustionLeavesBothRecordsOrNeither) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\", L"C:\\a\\"});
    machine.AddVolume({{0, GiB, GiB}}, {L"D:\\", L"D:\\b\\"});
    Set();
    for (long nth = 0; nth < 20; ++nth) {
        DrivePtr d = Fresh(0);
        size_t before = machine.LiveBlocks();
        machine.FailAllocation(nth);
        ULONG length = 0;
        d->GetDriveLetters(nullptr, 0, &length);
        machine.FailAllocation(-1);
        EXPECT_EQ(DriveTestAccess::HasLetterTable(*d), DriveTestAccess::HasMountPoints(*d)) << nth;
        if (!DriveTestAccess::HasLetterTable(*d)) {
            EXPECT_EQ(machine.LiveBlocks(), before) << nth;
            // A later call scans again and gets the whole answer.
            EXPECT_EQ(Letters(*d).text, L"CD");
        }
        EXPECT_EQ(Mounts(*d).text, L"C:\\a\\; D:\\b\\") << nth;
        EXPECT_EQ(machine.OpenHandles(), 1u);
    }
    EXPECT_EQ(machine.BadReleases(), 0u);
}

TEST_F(Volumes, SystemVolumeTest) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\"});
    machine.AddVolume({{1, 0, GiB}}, {L"D:\\"});

    machine.windowsDirectory = L"C:\\Windows";
    EXPECT_EQ(Fresh(0)->ContainsWindowsBootPartition(), 1);
    EXPECT_EQ(Fresh(1)->ContainsWindowsBootPartition(), 0);
    EXPECT_EQ(Fresh(2)->ContainsWindowsBootPartition(), 0);

    // Lowercase is not folded.
    machine.windowsDirectory = L"c:\\windows";
    EXPECT_EQ(Fresh(0)->ContainsWindowsBootPartition(), 0);

    // The directory cannot be obtained, or does not fit the buffer.
    machine.windowsDirectory.reset();
    EXPECT_EQ(Fresh(0)->ContainsWindowsBootPartition(), 0);
    machine.windowsDirectory = L"C:\\" + std::wstring(300, L'w');
    EXPECT_EQ(Fresh(0)->ContainsWindowsBootPartition(), 0);
    auto asked = Requests(machine, Op::GetWindowsDirectoryW);
    ASSERT_EQ(asked.size(), 1u);
    EXPECT_EQ(asked[0].outSize, 260u);

    // The answer is the one of this Drive's scan.
    machine.windowsDirectory = L"D:\\Windows";
    DrivePtr d = Fresh(1);
    EXPECT_EQ(d->ContainsWindowsBootPartition(), 1);
    machine.volumes[1].pathNames = {L"Q:\\"};
    EXPECT_EQ(d->ContainsWindowsBootPartition(), 1);
}

// ---------------------------------------------------------------------------
// The mounted volume holding a sector (asked anew on each call).

namespace {

WideAnswer SectorMount(Drive &d, ULONG sector, ULONG capacity = 256) {
    std::vector<wchar_t> buffer(capacity + 1, L'#');
    ULONG length = 999;
    int result = d.GetSectorMountPoint(sector, buffer.data(), capacity, &length);
    return {result, length, result == 1 ? std::wstring(buffer.data()) : std::wstring()};
}

} // namespace

TEST_F(Volumes, SectorMountPointNamesTheMountedVolumeHoldingTheSector) {
    // Disk 0 has 512-byte sectors; volume E: covers bytes [1 GiB, 2 GiB).
    machine.AddVolume({{0, 1 * GiB, GiB}}, {L"E:\\", L"D:\\mnt\\p\\"});
    machine.AddVolume({{0, 2 * GiB, GiB}}, {});                           // not mounted
    machine.AddVolume({{1, 0, GiB}, {0, 3 * GiB, GiB}}, {L"C:\\span\\"}); // spanned, folder only
    DrivePtr d = Fresh(0);
    const ULONG first = static_cast<ULONG>(GiB / 512);

    auto inside = SectorMount(*d, first);
    EXPECT_EQ(inside.result, 1);
    EXPECT_EQ(inside.text, L"E:\\");
    EXPECT_EQ(inside.length, 4u);
    EXPECT_EQ(SectorMount(*d, 2 * first - 1).text, L"E:\\");
    EXPECT_EQ(SectorMount(*d, 3 * first).text, L"C:\\span\\");

    // Edges: the sector before the volume, the unmounted volume, none at all.
    for (ULONG sector : {first - 1, 2 * first, 2 * first + 5, ULONG{0}}) {
        auto outside = SectorMount(*d, sector);
        EXPECT_EQ(outside.result, 0) << sector;
        EXPECT_EQ(outside.length, 0u) << sector;
    }

    // Too small a buffer: refused, untouched, the length still told.
    std::vector<wchar_t> small(3, L'#');
    ULONG length = 0;
    EXPECT_EQ(d->GetSectorMountPoint(first, small.data(), 3, &length), 0);
    EXPECT_EQ(length, 4u);
    EXPECT_EQ(small, std::vector<wchar_t>(3, L'#'));

    // Each call looks again, and keeps nothing open; the kept scan is not used.
    size_t scans = Scans();
    machine.volumes[0].pathNames.clear();
    EXPECT_EQ(SectorMount(*d, first).result, 0);
    EXPECT_EQ(Scans(), scans + 1);
    EXPECT_EQ(machine.OpenHandles(), 1u); // the disk's own
}

TEST_F(Volumes, SectorMountPointCannotTellWhenTheDiskNumberIsUnknown) {
    machine.AddVolume({{0, 0, GiB}}, {L"C:\\"});
    DrivePtr d = Fresh(0);
    Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = IOCTL_STORAGE_GET_DEVICE_NUMBER;
    machine.AddFault(f);
    // Without the disk's number no volume can be matched: could not tell.
    EXPECT_EQ(SectorMount(*d, 0).length, 0u);
    EXPECT_EQ(SectorMount(*d, 0).result, -1);
    machine.ClearFaults();
    EXPECT_EQ(SectorMount(*d, 0).text, L"C:\\");
    // An extent of absurd length reaches the end of the disk and no further.
    machine.AddVolume({{0, 4 * GiB, static_cast<uint64_t>(-1)}}, {L"G:\\"});
    EXPECT_EQ(SectorMount(*d, 0xFFFFFFFF).text, L"G:\\");
}

// A step of the pass that fails makes the answer "could not tell" (-1,
// length 0, the buffer untouched, the reason in the last-error code), never
// "not mounted"; a mounted volume found all the same is a fact.
TEST_F(Volumes, SectorMountPointCannotTellWhenAnyStepFails) {
    constexpr ULONG Sector = 2048 + 7;              // in volume 1, which is not mounted
    machine.AddVolume({{1, 0, GiB}}, {L"F:\\"});    // another disk's
    machine.AddVolume({{0, 1 << 20, 1 << 20}}, {}); // holds the sector, not mounted
    machine.AddVolume({{0, 4 << 20, 1 << 20}}, {L"E:\\"});
    DrivePtr d = Fresh(0);
    ASSERT_EQ(SectorMount(*d, Sector).result, 0);

    struct Case {
        const char *step;
        Op op;
        DWORD ioctl;
        int volume;
        int skip;
    } cases[] = {
        {"search", Op::FindFirstVolumeW, 0, -1, 0},
        {"next volume", Op::FindNextVolumeW, 0, -1, 0},
        {"device number", Op::DeviceIoControl, IOCTL_STORAGE_GET_DEVICE_NUMBER, -1, 0},
        {"volume open", Op::CreateFileW, 0, 0, 0},
        {"first extents", Op::DeviceIoControl, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 0, 0},
        {"second extents", Op::DeviceIoControl, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, 0, 1},
        {"path names", Op::GetVolumePathNamesForVolumeNameW, 0, 1, 0},
        {"path names, second call", Op::GetVolumePathNamesForVolumeNameW, 0, 1, 1},
    };
    for (const Case &c : cases) {
        Fault f;
        f.op = c.op;
        f.ioctl = c.ioctl;
        f.volume = c.volume;
        f.skip = c.skip;
        f.error = ERROR_IO_DEVICE;
        machine.AddFault(f);
        std::vector<wchar_t> buffer(64, L'#');
        ULONG length = 999;
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(d->GetSectorMountPoint(Sector, buffer.data(), 64, &length), -1) << c.step;
        EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE) << c.step;
        EXPECT_EQ(length, 0u) << c.step;
        EXPECT_EQ(buffer, std::vector<wchar_t>(64, L'#')) << c.step;
        machine.ClearFaults();
    }
    // Memory that runs out at any point of the pass.
    for (long nth = 0; nth < 6; ++nth) {
        machine.FailAllocation(nth);
        ULONG length = 999;
        int result = d->GetSectorMountPoint(Sector, nullptr, 0, &length);
        EXPECT_TRUE(result == -1 || result == 0) << nth;
        if (result == -1) {
            EXPECT_EQ(GetLastError(), ERROR_NOT_ENOUGH_MEMORY) << nth;
        }
        machine.FailAllocation(-1);
    }
    // A failure beside the mounted volume that holds the sector: mounted.
    Fault f;
    f.op = Op::CreateFileW;
    f.volume = 0;
    machine.AddFault(f);
    EXPECT_EQ(SectorMount(*d, (4 << 20) / 512).text, L"E:\\");
    EXPECT_EQ(machine.OpenHandles(), 1u);
}

// A write made only while nothing uses the storage it lands in: the volumes
// holding the sector (every volume of the disk for a partition table
// sector) and the disk as a whole are locked across the write.
TEST_F(Volumes, WriteSectorIfUnusedLocksAcrossTheWriteAndRefusesStorageInUse) {
    machine.AddVolume({{0, 1 << 20, 1 << 20}}, {L"E:\\"});           // sectors 2048-4095
    machine.AddVolume({{0, 4 << 20, 1 << 20}}, {});                  // sectors 8192-10239
    machine.AddVolume({{1, 0, 1 << 20}, {0, 8 << 20, 1 << 20}}, {}); // spanned: 16384-18431 here
    struct Case {
        const char *what;
        ULONG sector;
        int volumeInUse; // -1 none
        bool diskInUse;
        int result;
    } cases[] = {
        {"free space", 100, -1, false, 1},
        {"a volume not in use", 2050, -1, false, 1},
        {"the volume in use", 2050, 0, false, -1},
        {"another volume in use", 8200, 0, false, 1},
        {"a spanned volume in use", 16390, 2, false, -1},
        {"the disk in use", 100, -1, true, -1},
        {"the partition table, a volume in use", 0, 1, false, -1},
        {"the partition table, nothing in use", 0, -1, false, 1},
    };
    for (const Case &c : cases) {
        for (auto &v : machine.volumes)
            v.inUse = false;
        if (c.volumeInUse >= 0)
            machine.volumes[static_cast<size_t>(c.volumeInUse)].inUse = true;
        machine.disks[0].inUse = c.diskInUse;
        DrivePtr d = Fresh(0);
        ByteString data(512, static_cast<uint8_t>(c.sector));
        ByteString before = machine.ReadBytes(0, uint64_t{c.sector} * 512, 512);
        machine.ClearLog();
        SetLastError(ERROR_SUCCESS);
        EXPECT_EQ(d->WriteSectorIfUnused(c.sector, data.data()), c.result) << c.what;
        EXPECT_EQ(machine.ReadBytes(0, uint64_t{c.sector} * 512, 512), c.result == 1 ? data : before) << c.what;
        if (c.result == -1) {
            EXPECT_EQ(GetLastError(), ERROR_ACCESS_DENIED) << c.what;
        }
        // The write between the disk's lock and its unlock; every lock undone.
        EXPECT_EQ(machine.Count(Op::DeviceIoControl, FSCTL_LOCK_VOLUME) - (c.result == 1 ? 0 : 1),
                  machine.Count(Op::DeviceIoControl, FSCTL_UNLOCK_VOLUME))
            << c.what;
        if (c.result == 1) {
            auto steps = Sequence(machine);
            auto write =
                std::find_if(steps.begin(), steps.end(), [](const Step &s) { return s.first == Op::WriteFile; });
            ASSERT_NE(write, steps.end()) << c.what;
            ASSERT_TRUE(write - steps.begin() >= 2) << c.what;
            EXPECT_EQ((write - 1)->first, Op::SetFilePointerEx) << c.what;
            EXPECT_EQ((write - 2)->second, FSCTL_LOCK_VOLUME) << c.what;
            EXPECT_EQ((write + 1)->second, FSCTL_UNLOCK_VOLUME) << c.what;
        }
        EXPECT_EQ(machine.OpenHandles(), 1u) << c.what;
    }
    // A volume that cannot be examined: nothing written, the reason told.
    machine.disks[0].inUse = false;
    Fault f;
    f.op = Op::CreateFileW;
    f.volume = 1;
    f.error = ERROR_IO_DEVICE;
    machine.AddFault(f);
    DrivePtr d = Fresh(0);
    ByteString data(512, 0x77);
    EXPECT_EQ(d->WriteSectorIfUnused(100, data.data()), -1);
    EXPECT_EQ(GetLastError(), ERROR_IO_DEVICE);
    EXPECT_EQ(machine.Count(Op::WriteFile), 0u);
}

// What a listing asks of the platform for one disk: a fixed set of requests
// for construction and the disk number, and for the volume scan a fixed set
// per volume of the machine (the scan visits every volume by design), the
// same whatever the number of disks.
TEST(ListingRequests, PerDiskAndPerVolumeCountsDoNotGrowWithTheMachine) {
    auto requestsFor = [](int disks) {
        TavSim::Machine machine;
        TavSim::ScopedMachine installed(machine);
        DEVINST controller = machine.AddNode(L"PCI\\VEN_8086&DEV_2922\\1", L"AHCI");
        for (int i = 0; i < disks; ++i) {
            TavSim::Disk d;
            d.devInst = machine.AddNode(L"SCSI\\DISK\\" + std::to_wstring(i), L"Disk drive", controller);
            d.deviceNumber = static_cast<DWORD>(i);
            d.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeScsi);
            d.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "DISK", "1", "S");
            d.inquiry = TavSim::MakeInquiry("TAV", "DISK", "1");
            machine.AddDisk(d);
            machine.AddVolume({{static_cast<DWORD>(i), 0, GiB}}, {L"C:\\mnt\\" + std::to_wstring(i) + L"\\"});
        }
        void *set = Drive::GetDeviceInfoSet();
        std::vector<size_t> perDisk;
        for (ULONG i = 0; i < static_cast<ULONG>(disks); ++i) {
            machine.ClearLog();
            DrivePtr d(Drive::GetDrive(set, i));
            d->GetDriveNumber();
            size_t identity = Sequence(machine).size();
            machine.ClearLog();
            ULONG length = 0;
            d->GetMountPoints(nullptr, 0, &length);
            size_t scan = Sequence(machine).size();
            perDisk.push_back(identity);
            perDisk.push_back(scan);
        }
        SetupDiDestroyDeviceInfoList(set);
        return perDisk;
    };
    auto small = requestsFor(2), large = requestsFor(24);
    // Construction and disk number: the same for every disk of both machines.
    for (size_t i = 0; i < large.size(); i += 2)
        EXPECT_EQ(large[i], small[0]) << i / 2;
    // The scan: a start and an end, then the same requests for every volume.
    const size_t perVolume = (large[1] - small[1]) / 22;
    EXPECT_EQ(large[1], small[1] + 22 * perVolume);
    for (size_t i = 1; i < large.size(); i += 2)
        EXPECT_EQ(large[i], large[1]) << i / 2;
    EXPECT_LE(perVolume, 6u);
}

TEST_F(Volumes, TheSystemVolumeIsFollowedFromAVirtualDiskToWhatHoldsItsContent) {
    // C: lies on the virtual disk 1, whose image file is on E: (disk 0);
    // disk 2 holds nothing until E: is named as lying in an image on it.
    const size_t e = static_cast<size_t>(machine.AddVolume({{0, 0, GiB}}, {L"E:\\"}));
    const size_t c = static_cast<size_t>(machine.AddVolume({{1, 0, GiB}}, {L"C:\\"}));
    machine.systemDirectory = L"C:\\Windows\\system32";
    const std::wstring nameE = machine.volumes[e].name, nameC = machine.volumes[c].name;
    const struct {
        const char *what;
        std::vector<std::wstring> hostsOfC, hostsOfE;
        bool fails;
        int expected[3];
    } cases[] = {
        {"C: in an image on E:", {nameE}, {}, false, {1, 1, 0}},
        {"E: in turn on disk 2 as a whole", {nameE}, {L"\\\\.\\PhysicalDrive2"}, false, {1, 1, 1}},
        {"a ring of hosts ends", {nameE}, {nameC}, false, {1, 1, 0}},
        {"names of nothing",
         {L"\\\\?\\Volume{00000000-0000-0000-0000-000000000000}\\", L"\\\\.\\PhysicalDrive",
          L"\\\\.\\PhysicalDrive99999999999", L"\\\\.\\PhysicalDrive0x"},
         {},
         false,
         {0, 1, 0}},
        {"the request fails", {nameE}, {}, true, {0, 1, 0}},
    };
    for (const auto &k : cases) {
        SCOPED_TRACE(k.what);
        machine.volumes[c].hosts = k.hostsOfC;
        machine.volumes[e].hosts = k.hostsOfE;
        Fault fault;
        fault.op = Op::GetStorageDependencyInformation;
        if (k.fails)
            machine.AddFault(fault);
        for (ULONG i = 0; i < 3; ++i)
            EXPECT_EQ(Fresh(i)->ContainsSystemVolume(), k.expected[i]) << i;
        machine.ClearFaults();
    }
    machine.volumes[c].hosts = {nameE};
    machine.volumes[e].hosts.clear();
    // An answer cut short names nothing that lies outside what was delivered.
    for (DWORD cut : {0u, 8u, 40u, 80u, 100u}) {
        Fault f;
        f.op = Op::GetStorageDependencyInformation;
        f.shortBytes = cut;
        machine.AddFault(f);
        EXPECT_EQ(Fresh(0)->ContainsSystemVolume(), 0) << cut;
        machine.ClearFaults();
    }
    auto asked = Requests(machine, Op::GetStorageDependencyInformation);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked[0].flags, DWORD{GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES});
    EXPECT_EQ(machine.OpenHandles(), 0u);
}

TEST_F(Volumes, TheSystemVolumeIsFoundByTheExtentsOfTheSystemDirectorysVolume) {
    // C: spans disks 0 and 1 and holds the system directory; D: on disk 2 is
    // mounted inside it at C:\Windows\mnt\ (not the system's volume).
    machine.AddVolume({{0, 0, GiB}, {1, 0, GiB}}, {L"C:\\"});
    machine.volumes.back().queryOnly = true; // its extents answer all the same
    machine.AddVolume({{2, 0, GiB}}, {L"D:\\", L"C:\\Windows\\mnt\\"});
    machine.windowsDirectory = L"C:\\Windows";
    machine.systemDirectory = L"C:\\Windows\\system32";
    const int expected[] = {1, 1, 0};
    for (ULONG i = 0; i < 3; ++i) {
        DrivePtr d = Fresh(i);
        EXPECT_EQ(d->ContainsSystemVolume(), expected[i]) << i;
        EXPECT_EQ(d->ContainsWindowsBootPartition(), expected[i]) << i;
    }
    auto asked = Requests(machine, Op::GetVolumeNameForVolumeMountPointW);
    ASSERT_FALSE(asked.empty());
    EXPECT_EQ(asked[0].path, L"C:\\");

    // Below the folder mount the directory's volume is D: on disk 2.
    machine.systemDirectory = L"C:\\Windows\\mnt\\system32";
    EXPECT_EQ(Fresh(2)->ContainsSystemVolume(), 1);
    EXPECT_EQ(Fresh(0)->ContainsSystemVolume(), 0);

    // Any step that fails, or a disk whose number is unknown: 0.
    machine.systemDirectory = L"C:\\Windows\\system32";
    for (Op op : {Op::GetSystemDirectoryW, Op::GetVolumePathNameW, Op::GetVolumeNameForVolumeMountPointW}) {
        Fault f;
        f.op = op;
        machine.AddFault(f);
        EXPECT_EQ(Fresh(0)->ContainsSystemVolume(), 0) << TavSim::OpName(op);
        machine.ClearFaults();
    }
    Fault number;
    number.op = Op::DeviceIoControl;
    number.ioctl = IOCTL_STORAGE_GET_DEVICE_NUMBER;
    machine.AddFault(number);
    EXPECT_EQ(Fresh(0)->ContainsSystemVolume(), 0);
    machine.ClearFaults();
    machine.systemDirectory.reset();
    EXPECT_EQ(Fresh(0)->ContainsSystemVolume(), 0);
    EXPECT_EQ(machine.OpenHandles(), 0u);
}
