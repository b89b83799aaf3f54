// SPDX-License-Identifier: MIT
// The partition table: the kinds of table a disk holds, a layout larger
// than the first buffer, a request that fails or answers short, and the
// volume each partition carries.
#include "TestSupport.h"

#include <cstring>
#include <cwchar>
#include <string>

using namespace TavTest;
using TavSim::Fault;
using TavSim::Op;

class Partitions : public MachineTest {};

namespace {

constexpr GUID BasicData = {0xEBD0A0A2, 0xB9E5, 0x4433, {0x87, 0xC0, 0x68, 0xB6, 0x72, 0x61, 0x99, 0xC7}};

PARTITION_INFORMATION_EX Mbr(DWORD number, BYTE type, uint64_t start, uint64_t length, bool active = false) {
    PARTITION_INFORMATION_EX e{};
    e.PartitionStyle = PARTITION_STYLE_MBR;
    e.PartitionNumber = number;
    e.StartingOffset.QuadPart = static_cast<LONGLONG>(start);
    e.PartitionLength.QuadPart = static_cast<LONGLONG>(length);
    e.Mbr.PartitionType = type;
    e.Mbr.BootIndicator = active;
    return e;
}

PARTITION_INFORMATION_EX Gpt(DWORD number, uint64_t start, const wchar_t *name) {
    PARTITION_INFORMATION_EX e{};
    e.PartitionStyle = PARTITION_STYLE_GPT;
    e.PartitionNumber = number;
    e.StartingOffset.QuadPart = static_cast<LONGLONG>(start);
    e.PartitionLength.QuadPart = 1 << 20;
    e.Gpt.PartitionType = BasicData;
    e.Gpt.PartitionId = {number, 0x1111, 0x2222, {0x33, 0x33, 0x44, 0x44, 0x44, 0x44, 0x44, 0x44}};
    for (size_t i = 0; name[i] && i < 36; ++i)
        e.Gpt.Name[i] = static_cast<WCHAR>(name[i]);
    return e;
}

TavSim::Disk::Layout GptLayout(DWORD count) {
    TavSim::Disk::Layout l;
    l.style = PARTITION_STYLE_GPT;
    l.diskId = {0x01234567, 0x89AB, 0xCDEF, {0x01, 0x23, 0x45, 0x67, 0x89, 0xAB, 0xCD, 0xEF}};
    for (DWORD i = 1; i <= count; ++i)
        l.entries.push_back(Gpt(i, uint64_t{i} << 20, i == count ? L"a name of all of its thirty-six units" : L"data"));
    return l;
}

} // namespace

TEST_F(Partitions, EachKindOfTableAsTheDiskHoldsIt) {
    TavSim::Disk::Layout none; // no table: PARTITION_STYLE_RAW
    TavSim::Disk::Layout mbr;  // four slots per table sector, as Windows lists them
    mbr.style = PARTITION_STYLE_MBR;
    mbr.signature = 0x00C0FFEE;
    mbr.entries = {Mbr(1, 0x07, 1 << 20, 8 << 20, true), Mbr(2, 0x05, 9 << 20, 20 << 20), Mbr(0, 0, 0, 0),
                   Mbr(0, 0, 0, 0),
                   // the first logical partition, then the link to the next
                   Mbr(5, 0x83, 10 << 20, 4 << 20), Mbr(0, 0x05, 15 << 20, 4 << 20), Mbr(0, 0, 0, 0), Mbr(0, 0, 0, 0),
                   Mbr(6, 0x82, 16 << 20, 2 << 20), Mbr(0, 0, 0, 0), Mbr(0, 0, 0, 0), Mbr(0, 0, 0, 0)};
    TavSim::Disk::Layout unknown; // partitions in a table of unknown kind
    unknown.style = TavPlatform::PartitionStyleUnknown;
    unknown.entries = {Mbr(1, 0, 1 << 20, 1 << 20)};

    struct Row {
        const char *what;
        TavSim::Disk::Layout layout;
        int style;
        ULONG count;
        const char *id;
        ULONG index;           // the partition looked at
        TavPartition expected; // its facts
    };
    TavPartition gptLast{};
    gptLast.Number = 128;
    gptLast.StartingOffset = 128ull << 20;
    gptLast.Length = 1 << 20;
    std::strcpy(gptLast.TypeGuid, "EBD0A0A2-B9E5-4433-87C0-68B6726199C7");
    std::strcpy(gptLast.PartitionGuid, "00000080-1111-2222-3333-444444444444");
    std::wcscpy(gptLast.Name, L"a name of all of its thirty-six unit");
    const Row rows[] = {
        {"no table", none, TavPartitionStyleNone, 0, "", 0, {}},
        {"128 GPT entries", GptLayout(128), TavPartitionStyleGpt, 128, "01234567-89AB-CDEF-0123-456789ABCDEF", 127,
         gptLast},
        {"200 GPT entries: more than the first buffer holds",
         GptLayout(200),
         TavPartitionStyleGpt,
         200,
         "01234567-89AB-CDEF-0123-456789ABCDEF",
         0,
         {}},
        {"MBR: active primary, extended, two logical, unused slots skipped", mbr, TavPartitionStyleMbr, 5, "0x00c0ffee",
         0, TavPartition{1, 1 << 20, 8 << 20, 0x07, 1, "", "", L""}},
        {"MBR: a logical partition", mbr, TavPartitionStyleMbr, 5, "0x00c0ffee", 4,
         TavPartition{6, 16 << 20, 2 << 20, 0x82, 0, "", "", L""}},
        {"a table of unknown kind", unknown, TavPartitionStyleUnknown, 1, "", 0,
         TavPartition{1, 1 << 20, 1 << 20, 0, 0, "", "", L""}},
    };
    ULONG number = 0;
    for (const Row &r : rows) {
        TavSim::Disk disk = AtaDisk(number++);
        disk.layout = r.layout;
        machine.AddDisk(disk);
    }
    number = 0;
    for (const Row &r : rows) {
        DrivePtr d = Fresh(number++);
        int style = -1;
        ULONG count = 99, length = 0;
        char id[40] = "unchanged";
        EXPECT_TRUE(d->GetPartitionStyle(&style) && style == r.style) << r.what;
        EXPECT_TRUE(d->GetPartitionCount(&count) && count == r.count) << r.what;
        EXPECT_TRUE(d->GetPartitionTableId(id, sizeof id, &length)) << r.what;
        EXPECT_STREQ(id, r.id) << r.what;
        EXPECT_EQ(length, std::strlen(r.id) + 1) << r.what;
        TavPartition p{};
        if (r.count) {
            ASSERT_TRUE(d->GetPartition(r.index, &p)) << r.what;
            if (r.expected.Number) {
                EXPECT_EQ(p.Number, r.expected.Number) << r.what;
                EXPECT_EQ(p.StartingOffset, r.expected.StartingOffset) << r.what;
                EXPECT_EQ(p.Length, r.expected.Length) << r.what;
                EXPECT_EQ(p.MbrType, r.expected.MbrType) << r.what;
                EXPECT_EQ(p.Active, r.expected.Active) << r.what;
                EXPECT_STREQ(p.TypeGuid, r.expected.TypeGuid) << r.what;
                EXPECT_STREQ(p.PartitionGuid, r.expected.PartitionGuid) << r.what;
                EXPECT_STREQ(p.Name, r.expected.Name) << r.what;
            }
        }
        // Past the last partition.
        TavPlatform::SetLastError(0);
        EXPECT_FALSE(d->GetPartition(r.count, &p)) << r.what;
        EXPECT_EQ(TavPlatform::GetLastError(), ERROR_INVALID_PARAMETER) << r.what;
        // A short buffer for the identifier receives nothing and learns the size.
        char small[2] = "x";
        EXPECT_EQ(d->GetPartitionTableId(small, 1, &length), r.id[0] ? 0 : 1) << r.what;
        EXPECT_EQ(length, std::strlen(r.id) + 1) << r.what;
    }
}

TEST_F(Partitions, AFailedOrShortAnswerIsNoTable) {
    TavSim::Disk disk = AtaDisk(0);
    disk.layout = GptLayout(3);
    machine.AddDisk(disk);
    TavSim::Disk without = AtaDisk(1); // answers no layout at all
    machine.AddDisk(without);
    DrivePtr d = Fresh(0);
    const DWORD header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);

    Fault failed;
    failed.op = Op::DeviceIoControl;
    failed.ioctl = IOCTL_DISK_GET_DRIVE_LAYOUT_EX;
    failed.error = ERROR_IO_DEVICE;
    Fault noHeader = failed;
    noHeader.shortBytes = header - 1;
    Fault twoOfThree = failed;
    twoOfThree.shortBytes = header + 2 * sizeof(PARTITION_INFORMATION_EX);
    Fault alwaysShort = failed; // a platform that never finds the buffer large enough
    alwaysShort.error = ERROR_INSUFFICIENT_BUFFER;
    struct Case {
        const char *what;
        Fault fault;
        DWORD error;
    };
    for (const Case &c :
         {Case{"failed", failed, ERROR_IO_DEVICE}, Case{"no whole header", noHeader, ERROR_INVALID_DATA},
          Case{"entries cut off", twoOfThree, ERROR_INVALID_DATA},
          Case{"never large enough", alwaysShort, ERROR_INSUFFICIENT_BUFFER}}) {
        machine.ClearFaults();
        machine.AddFault(c.fault);
        machine.ClearLog();
        int style = -1;
        ULONG count = 99;
        TavPartition p{};
        p.Number = 77;
        TavPlatform::SetLastError(0);
        EXPECT_FALSE(d->GetPartitionStyle(&style)) << c.what;
        EXPECT_EQ(TavPlatform::GetLastError(), c.error) << c.what;
        EXPECT_FALSE(d->GetPartitionCount(&count)) << c.what;
        EXPECT_FALSE(d->GetPartition(0, &p)) << c.what;
        EXPECT_EQ(style + count + p.Number, -1 + 99 + 77u) << c.what;
        ULONG length = 5;
        EXPECT_EQ(d->GetPartitionMountPoints(0, nullptr, 0, &length), -1) << c.what;
        EXPECT_EQ(length, 0u) << c.what;
        // A buffer that stays short is asked for a bounded number of times.
        EXPECT_LE(machine.Count(Op::DeviceIoControl, IOCTL_DISK_GET_DRIVE_LAYOUT_EX), 4 * 3u) << c.what;
    }
    machine.ClearFaults();
    DrivePtr none = Fresh(1);
    int style = -1;
    TavPlatform::SetLastError(0);
    EXPECT_FALSE(none->GetPartitionStyle(&style));
    EXPECT_EQ(TavPlatform::GetLastError(), ERROR_INVALID_FUNCTION);
}

TEST_F(Partitions, EachPartitionCarriesTheVolumeThatBeginsInIt) {
    TavSim::Disk disk = AtaDisk(0);
    disk.layout = GptLayout(3);
    machine.AddDisk(disk);
    machine.AddVolume({{0, 1 << 20, 1 << 20}}, {L"C:\\", L"C:\\mnt\\data; more\\"});
    machine.AddVolume({{0, 3 << 20, 1 << 20}}, {});
    DrivePtr d = Fresh(0);
    struct Row {
        ULONG index;
        int result;
        const wchar_t *paths;
    };
    for (const Row &r : {Row{0, 1, L"C:\\; C:\\mnt\\data; more\\"}, Row{1, 0, L""}, Row{2, 0, L""}}) {
        wchar_t paths[64] = L"unchanged";
        ULONG length = 99;
        EXPECT_EQ(d->GetPartitionMountPoints(r.index, paths, 64, &length), r.result) << r.index;
        EXPECT_EQ(length, r.result ? std::wcslen(r.paths) + 1 : 0) << r.index;
        // A buffer one short receives nothing and learns the length.
        if (r.result) {
            EXPECT_STREQ(paths, r.paths) << r.index;
            wchar_t small[64] = L"unchanged";
            EXPECT_EQ(d->GetPartitionMountPoints(r.index, small, length - 1, &length), 0);
            EXPECT_STREQ(small, L"unchanged");
        }
    }
}
