// SPDX-License-Identifier: MIT
// Disk health on the simulated machine: healthy, failing and silent disks of
// each protocol, short and failing answers, and the requests sent (reads
// only, one per page).
#include "TestSupport.h"

#include <cstring>
#include <functional>
#include <optional>

using namespace TavTest;
using TavSim::Fault;
using TavSim::Op;

class Health : public MachineTest {};

namespace {

const std::vector<TavSim::SmartEntry> Attributes = {
    {5, 100, 36, 3},                // reallocated sectors
    {9, 99, 0, 0x0001'0000'04D2},   // power-on hours, 48 bits
    {194, 70, 0, 0x0000'2D12'001E}, // 30 now, lowest 18, highest 45
    {197, 100, 0, 2},               // pending
    {198, 100, 0, 1},               // offline uncorrectable
};

// An NVMe SMART / Health log: composite temperature in kelvins, spare,
// used, and a critical warning.
TavSim::ByteString NvmeLog(uint8_t warning) {
    TavSim::ByteString log(512, 0);
    log[0] = warning;
    log[1] = 0x2C, log[2] = 0x01; // 300 K
    log[3] = 98;                  // available spare
    log[4] = 10;                  // its threshold
    log[5] = 3;                   // percentage used
    log[128] = 0x10;              // power-on hours
    log[160] = 7;                 // media errors
    return log;
}

// An Informational Exceptions page (parameter 0000h: ASC, ASCQ and, when
// given, the temperature) or a Temperature page (parameter 0000h).
TavSim::ByteString LogPage(uint8_t page, std::vector<uint8_t> value) {
    TavSim::ByteString p = {page, 0, 0,    static_cast<uint8_t>(4 + value.size()),
                            0,    0, 0x03, static_cast<uint8_t>(value.size())};
    for (uint8_t b : value)
        p.push_back(b);
    return p;
}

Fault Short(DWORD ioctl, DWORD bytes) {
    Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = ioctl;
    f.shortBytes = bytes;
    return f;
}

Fault Failing(DWORD ioctl) {
    Fault f;
    f.op = Op::DeviceIoControl;
    f.ioctl = ioctl;
    return f;
}

struct Row {
    const char *what;
    std::function<void(TavSim::Disk &)> make;
    std::optional<Fault> fault; // on the requests GetHealth sends
    int verdict;
    DWORD reason;
    ULONG present;
    int temperature; // when present
    size_t requests; // DeviceIoControl calls GetHealth sent
};

} // namespace

TEST_F(Health, EachProtocolTellsItsVerdictOrWhyItCannot) {
    const ULONG ata = DriveHealth::HasTemperature | DriveHealth::HasPowerOnHours | DriveHealth::HasReallocatedSectors |
                      DriveHealth::HasPendingSectors | DriveHealth::HasOfflineUncorrectable;
    const ULONG nvme = DriveHealth::HasTemperature | DriveHealth::HasPowerOnHours | DriveHealth::HasPercentageUsed |
                       DriveHealth::HasAvailableSpare | DriveHealth::HasMediaErrors;
    const auto smart = [](TavSim::Disk &d, std::vector<TavSim::SmartEntry> entries, uint8_t mid, uint8_t high) {
        d.smartData = TavSim::MakeSmartBlock(entries, false);
        d.smartThresholds = TavSim::MakeSmartBlock(entries, true);
        d.smartStatus = std::make_pair(mid, high);
    };
    const auto failing = [](TavSim::SmartEntry e) {
        e.value = 30; // below its threshold of 36
        return std::vector<TavSim::SmartEntry>{e};
    };
    const auto asNvme = [](TavSim::Disk &d, uint8_t warning) {
        d.ata = false;
        d.deviceDescriptor = TavSim::MakeDeviceDescriptor(nullptr, "TAV NVME", "1.0", "N1", BusTypeNvme);
        d.nvmeHealthLog = NvmeLog(warning);
    };
    const auto asScsi = [](TavSim::Disk &d) { d.ata = false; };
    const std::vector<Row> rows = {
        {"ATA, healthy", [&](TavSim::Disk &d) { smart(d, Attributes, 0x4F, 0xC2); }, std::nullopt,
         DriveHealth::VerdictPassed, 0, ata, 30, 3},
        {"ATA, an attribute below its threshold",
         [&](TavSim::Disk &d) { smart(d, failing(Attributes[0]), 0x4F, 0xC2); }, std::nullopt,
         DriveHealth::VerdictFailing, 0, DriveHealth::HasReallocatedSectors, 0, 3},
        {"ATA, RETURN STATUS 0x2CF4", [&](TavSim::Disk &d) { smart(d, Attributes, 0xF4, 0x2C); }, std::nullopt,
         DriveHealth::VerdictFailing, 0, ata, 30, 3},
        {"ATA, RETURN STATUS registers that say neither", [&](TavSim::Disk &d) { smart(d, Attributes, 0x00, 0x00); },
         std::nullopt, DriveHealth::VerdictUnknown, ERROR_INVALID_DATA, ata, 30, 3},
        {"ATA, SMART unsupported: every command aborted", [](TavSim::Disk &) {}, std::nullopt,
         DriveHealth::VerdictUnknown, ERROR_IO_DEVICE, 0, 0, 2},
        {"ATA, a checksum that does not hold",
         [&](TavSim::Disk &d) {
             smart(d, Attributes, 0x4F, 0xC2);
             d.smartData[100] ^= 1;
         },
         std::nullopt, DriveHealth::VerdictPassed, 0, 0, 0, 3},
        {"ATA, answers cut short", [&](TavSim::Disk &d) { smart(d, Attributes, 0x4F, 0xC2); }, Short(0, 20),
         DriveHealth::VerdictUnknown, ERROR_IO_DEVICE, 0, 0, 2},
        {"ATA, RETURN STATUS fails", [&](TavSim::Disk &d) { smart(d, Attributes, 0x4F, 0xC2); },
         Failing(SMART_SEND_DRIVE_COMMAND), DriveHealth::VerdictUnknown, ERROR_GEN_FAILURE, ata, 30, 3},
        {"NVMe, healthy", [&](TavSim::Disk &d) { asNvme(d, 0); }, std::nullopt, DriveHealth::VerdictPassed, 0, nvme, 27,
         1},
        {"NVMe, a critical warning bit", [&](TavSim::Disk &d) { asNvme(d, 0x04); }, std::nullopt,
         DriveHealth::VerdictFailing, 0, nvme, 27, 1},
        {"NVMe, no log",
         [&](TavSim::Disk &d) {
             asNvme(d, 0);
             d.nvmeHealthLog.reset();
         },
         std::nullopt, DriveHealth::VerdictUnknown, ERROR_NOT_SUPPORTED, 0, 0, 1},
        {"NVMe, an answer cut short", [&](TavSim::Disk &d) { asNvme(d, 0x04); },
         Short(IOCTL_STORAGE_QUERY_PROPERTY, 200), DriveHealth::VerdictUnknown, ERROR_INVALID_DATA, 0, 0, 1},
        {"SCSI, no exception, its temperature in the page",
         [&](TavSim::Disk &d) {
             asScsi(d);
             d.logPages[0x2F] = LogPage(0x2F, {0, 0, 35});
         },
         std::nullopt, DriveHealth::VerdictPassed, 0,
         DriveHealth::HasInformationalExceptions | DriveHealth::HasTemperature, 35, 1},
        {"SCSI, a predicted failure, the temperature from its own page",
         [&](TavSim::Disk &d) {
             asScsi(d);
             d.logPages[0x2F] = LogPage(0x2F, {0x5D, 0x10});
             d.logPages[0x0D] = LogPage(0x0D, {0, 41});
         },
         std::nullopt, DriveHealth::VerdictFailing, 0,
         DriveHealth::HasInformationalExceptions | DriveHealth::HasTemperature, 41, 2},
        {"SCSI, a warning that is no prediction",
         [&](TavSim::Disk &d) {
             asScsi(d);
             d.logPages[0x2F] = LogPage(0x2F, {0x0B, 0x01, 0xFF});
         },
         std::nullopt, DriveHealth::VerdictUnknown, ERROR_INVALID_DATA, DriveHealth::HasInformationalExceptions, 0, 2},
        {"a bus type that names no bus: asked as SCSI",
         [&](TavSim::Disk &d) {
             asScsi(d);
             std::memset(d.deviceDescriptor.data() + offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType), 0xFF, 4);
         },
         std::nullopt, DriveHealth::VerdictUnknown, ERROR_IO_DEVICE, 0, 0, 2},
        {"SCSI, no log pages", [&](TavSim::Disk &d) { asScsi(d); }, std::nullopt, DriveHealth::VerdictUnknown,
         ERROR_IO_DEVICE, 0, 0, 2},
    };
    for (const Row &r : rows) {
        SCOPED_TRACE(r.what);
        machine.disks.clear();
        machine.ClearFaults();
        TavSim::Disk d = AtaDisk(0);
        r.make(d);
        machine.AddDisk(d);
        void *set = Drive::GetDeviceInfoSet();
        DrivePtr drive(Drive::GetDrive(set, 0));
        ASSERT_TRUE(drive);
        machine.ClearLog();
        if (r.fault)
            machine.AddFault(*r.fault);
        DriveHealth h;
        TavPlatform::SetLastError(0);
        const int known = drive->GetHealth(&h);
        EXPECT_EQ(known, r.verdict != DriveHealth::VerdictUnknown);
        EXPECT_EQ(h.Verdict, r.verdict);
        EXPECT_EQ(h.Reason, r.reason);
        if (!known) {
            EXPECT_EQ(TavPlatform::GetLastError(), r.reason);
        }
        EXPECT_EQ(h.Present, r.present);
        if (h.Present & DriveHealth::HasTemperature) {
            EXPECT_EQ(h.TemperatureCelsius, r.temperature);
        }
        EXPECT_EQ(machine.Count(Op::DeviceIoControl), r.requests);
        machine.ClearFaults();
        drive.reset();
        SetupDiDestroyDeviceInfoList(set);
    }
}

TEST_F(Health, AtaValuesAreTheAttributesRawValuesAndOnlyReadsAreSent) {
    TavSim::Disk d = AtaDisk(0);
    d.smartData = TavSim::MakeSmartBlock(Attributes, false);
    d.smartThresholds = TavSim::MakeSmartBlock(Attributes, true);
    d.smartStatus = std::make_pair(uint8_t{0x4F}, uint8_t{0xC2});
    machine.AddDisk(d);
    DrivePtr drive = Fresh(0);
    DriveHealth h;
    ASSERT_EQ(drive->GetHealth(&h), 1);
    EXPECT_EQ(h.Protocol, DriveHealth::ProtocolAta);
    EXPECT_EQ(h.PowerOnHours, 0x0001'0000'04D2u);
    EXPECT_EQ(h.ReallocatedSectors, 3u);
    EXPECT_EQ(h.PendingSectors, 2u);
    EXPECT_EQ(h.OfflineUncorrectable, 1u);
    // Every request is a SMART command that reads: READ DATA, READ
    // THRESHOLDS, RETURN STATUS, in that order.
    const UCHAR expected[] = {READ_ATTRIBUTES, READ_THRESHOLDS, RETURN_SMART_STATUS};
    const auto sent = Requests(machine, Op::DeviceIoControl);
    ASSERT_EQ(sent.size(), 3u);
    for (size_t i = 0; i < sent.size(); ++i) {
        IDEREGS r;
        ASSERT_GE(sent[i].input.size(), offsetof(SENDCMDINPARAMS, irDriveRegs) + sizeof r);
        std::memcpy(&r, sent[i].input.data() + offsetof(SENDCMDINPARAMS, irDriveRegs), sizeof r);
        EXPECT_EQ(r.bCommandReg, SMART_CMD);
        EXPECT_EQ(r.bFeaturesReg, expected[i]);
        EXPECT_EQ(sent[i].ioctl, i < 2 ? SMART_RCV_DRIVE_DATA : SMART_SEND_DRIVE_COMMAND);
    }
    EXPECT_EQ(drive->GetHealth(nullptr), 0);
    EXPECT_EQ(TavPlatform::GetLastError(), ERROR_INVALID_PARAMETER);
}

TEST_F(Health, NvmeValuesComeFromTheLog) {
    TavSim::Disk d = AtaDisk(0);
    d.ata = false;
    d.deviceDescriptor = TavSim::MakeDeviceDescriptor(nullptr, "TAV NVME", "1.0", "N1", BusTypeNvme);
    d.nvmeHealthLog = NvmeLog(0);
    machine.AddDisk(d);
    DrivePtr drive = Fresh(0);
    DriveHealth h;
    ASSERT_EQ(drive->GetHealth(&h), 1);
    EXPECT_EQ(h.Protocol, DriveHealth::ProtocolNvme);
    EXPECT_EQ(h.AvailableSpare, 98u);
    EXPECT_EQ(h.PercentageUsed, 3u);
    EXPECT_EQ(h.PowerOnHours, 0x10u);
    EXPECT_EQ(h.MediaErrors, 7u);
}
