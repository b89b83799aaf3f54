// SPDX-License-Identifier: MIT
// Health as the protocols report it: SMART blocks, the NVMe health log and
// the SCSI log pages, decoded from whole, cut, corrupt and lying answers.
#include "TavDiskLib/platform/simulated/SimMachine.h"
#include "TavDiskLib/protocol/Health.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

using namespace TavProtocol;

namespace {

using ByteList = std::vector<uint8_t>;

using Entry = TavSim::SmartEntry;

// A READ DATA block (thresholds false) or a READ THRESHOLDS block with these
// entries and a checksum that holds.
ByteList SmartBlock(const std::vector<Entry> &entries, bool thresholds) {
    return TavSim::MakeSmartBlock(entries, thresholds);
}

const std::vector<Entry> Attributes = {
    {SmartReallocatedSectors, 100, 36, 3},
    {SmartPowerOnHours, 99, 0, 0x0001'0000'04D2}, // 48 bits
    {SmartTemperature, 70, 0, 0x0000'2D12'001E},  // 30 now, lowest 18, highest 45
    {SmartPendingSectors, 100, 0, 2},
    {SmartOfflineUncorrectable, 100, 0, 1},
    {0x01, 10, 51, 0}, // raw read error rate, below its threshold
};

TEST(HealthProtocol, SmartAttributesAndThresholds) {
    const ByteList data = SmartBlock(Attributes, false), thresholds = SmartBlock(Attributes, true);
    auto attributes = DecodeSmartAttributes(data.data(), data.size(), thresholds.data(), thresholds.size());
    ASSERT_EQ(attributes.size(), Attributes.size());
    SmartSummary s = SummarizeSmartAttributes(attributes);
    EXPECT_EQ(s.temperature, 30);
    EXPECT_EQ(s.powerOnHours, 0x0001'0000'04D2u);
    EXPECT_EQ(s.reallocatedSectors, 3u);
    EXPECT_EQ(s.pendingSectors, 2u);
    EXPECT_EQ(s.offlineUncorrectable, 1u);
    EXPECT_TRUE(s.attributeFailed);

    // Without thresholds no attribute can be judged; a corrupt or cut
    // thresholds block counts as none.
    ByteList badThresholds = thresholds;
    badThresholds[7] ^= 1;
    for (const ByteList &t : {ByteList{}, badThresholds, ByteList(thresholds.begin(), thresholds.end() - 1)})
        EXPECT_FALSE(SummarizeSmartAttributes(DecodeSmartAttributes(data.data(), data.size(), t.data(), t.size()))
                         .attributeFailed);

    // A data block that is corrupt or cut gives no attribute at all.
    ByteList corrupt = data;
    corrupt[100] ^= 0x40;
    EXPECT_TRUE(DecodeSmartAttributes(corrupt.data(), corrupt.size(), nullptr, 0).empty());
    EXPECT_TRUE(DecodeSmartAttributes(data.data(), data.size() - 1, nullptr, 0).empty());
    EXPECT_TRUE(DecodeSmartAttributes(nullptr, 0, nullptr, 0).empty());
}

TEST(HealthProtocol, SmartThresholdEdges) {
    struct Case {
        uint8_t value, threshold;
        bool failed;
    };
    // Threshold 0 is never in force; 0 and 254..255 are no values.
    for (const Case &c : {Case{36, 36, true}, Case{37, 36, false}, Case{1, 0, false}, Case{0, 36, false},
                          Case{254, 255, false}, Case{253, 253, true}}) {
        SmartAttribute a;
        a.id = 1;
        a.value = c.value;
        a.threshold = c.threshold;
        EXPECT_EQ(SmartAttributeFailed(a), c.failed) << int{c.value} << " against " << int{c.threshold};
    }
    // The airflow temperature stands in only where attribute 194 is absent.
    const ByteList airflowOnly = SmartBlock({{SmartAirflowTemperature, 60, 0, 0x28}}, false);
    EXPECT_EQ(
        SummarizeSmartAttributes(DecodeSmartAttributes(airflowOnly.data(), airflowOnly.size(), nullptr, 0)).temperature,
        40);
}

TEST(HealthProtocol, SmartReturnStatus) {
    EXPECT_EQ(SmartStatusVerdict(0x4F, 0xC2), HealthVerdict::Passed);
    EXPECT_EQ(SmartStatusVerdict(0xF4, 0x2C), HealthVerdict::Failing);
    EXPECT_EQ(SmartStatusVerdict(0x00, 0x00), HealthVerdict::Unknown);

    const Cdb16 status = AtaPassThrough16SmartCdb(SmartReturnStatus);
    EXPECT_EQ(ByteList(status.begin(), status.end()),
              (ByteList{0x85, 0x06, 0x20, 0, 0xDA, 0, 0, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0}));
    const Cdb16 read = AtaPassThrough16SmartCdb(SmartReadData);
    EXPECT_EQ(ByteList(read.begin(), read.end()),
              (ByteList{0x85, 0x08, 0x0E, 0, 0xD0, 0, 1, 0, 0, 0, 0x4F, 0, 0xC2, 0, 0xB0, 0}));

    // The registers come back in the sense data, in either format.
    ByteList descriptor = {0x72, 0x01, 0x00, 0x1D, 0, 0, 0,    14, 0x09, 0x0C, 0,
                           0,    0,    0,    0,    0, 0, 0xF4, 0,  0x2C, 0,    0x50};
    auto lba = AtaReturnedLba(descriptor.data(), descriptor.size());
    ASSERT_TRUE(lba);
    EXPECT_EQ(SmartStatusVerdict(lba->mid, lba->high), HealthVerdict::Failing);
    ByteList fixed(18, 0);
    fixed[0] = 0x70;
    fixed[10] = 0x4F;
    fixed[11] = 0xC2;
    lba = AtaReturnedLba(fixed.data(), fixed.size());
    ASSERT_TRUE(lba);
    EXPECT_EQ(SmartStatusVerdict(lba->mid, lba->high), HealthVerdict::Passed);
    // A descriptor cut short, one that claims more than arrived, and none.
    for (size_t cut : {size_t{21}, size_t{9}, size_t{3}})
        EXPECT_FALSE(AtaReturnedLba(descriptor.data(), cut)) << cut;
    descriptor[7] = 200;
    descriptor[9] = 0xF0;
    EXPECT_FALSE(AtaReturnedLba(descriptor.data(), descriptor.size()));
}

TEST(HealthProtocol, NvmeHealthLog) {
    ByteList log(NvmeHealthLogLength, 0);
    log[1] = 0x36; // 310 K
    log[2] = 0x01;
    log[3] = 100;
    log[4] = 10;
    log[5] = 3;
    log[128] = 0x10;
    log[160] = 2;
    log[144 + 8] = 1; // unsafe shutdowns beyond 64 bits
    auto h = DecodeNvmeHealthLog(log.data(), log.size());
    ASSERT_TRUE(h);
    EXPECT_EQ(h->temperature, 37);
    EXPECT_EQ(h->availableSpare, 100);
    EXPECT_EQ(h->spareThreshold, 10);
    EXPECT_EQ(h->percentageUsed, 3);
    EXPECT_EQ(h->powerOnHours, 0x10u);
    EXPECT_EQ(h->mediaErrors, 2u);
    EXPECT_EQ(h->unsafeShutdowns, UINT64_MAX);
    EXPECT_EQ(NvmeVerdict(*h), HealthVerdict::Passed);

    log[0] = 0x04; // reliability degraded
    log[1] = log[2] = 0;
    h = DecodeNvmeHealthLog(log.data(), NvmeHealthFieldsLength);
    ASSERT_TRUE(h);
    EXPECT_EQ(NvmeVerdict(*h), HealthVerdict::Failing);
    EXPECT_FALSE(h->temperature); // 0 K: not reported
    EXPECT_FALSE(DecodeNvmeHealthLog(log.data(), NvmeHealthFieldsLength - 1));
}

TEST(HealthProtocol, ScsiLogPages) {
    const Cdb10 cdb = LogSenseCdb(LogPageInformationalExceptions, 64);
    EXPECT_EQ(ByteList(cdb.begin(), cdb.end()), (ByteList{0x4D, 0, 0x6F, 0, 0, 0, 0, 0, 64, 0}));

    const ByteList supported = {0x00, 0, 0, 3, 0x00, 0x0D, 0x2F};
    EXPECT_TRUE(LogPageListed(supported.data(), supported.size(), LogPageTemperature));
    EXPECT_FALSE(LogPageListed(supported.data(), supported.size() - 1, LogPageInformationalExceptions));

    // Temperature: parameter 0001h (the reference) first, then 0000h.
    ByteList temperature = {0x0D, 0, 0, 12, 0, 1, 3, 2, 0, 65, 0, 0, 3, 2, 0, 31};
    EXPECT_EQ(DecodeTemperaturePage(temperature.data(), temperature.size()), 31);
    EXPECT_FALSE(DecodeTemperaturePage(temperature.data(), temperature.size() - 1)); // cut in the value
    EXPECT_FALSE(DecodeTemperaturePage(supported.data(), supported.size()));         // another page
    temperature.back() = TemperatureNotAvailable;
    EXPECT_FALSE(DecodeTemperaturePage(temperature.data(), temperature.size()));
    temperature[3] = 200; // a page length beyond what arrived
    temperature.back() = 29;
    EXPECT_EQ(DecodeTemperaturePage(temperature.data(), temperature.size()), 29);

    struct Case {
        uint8_t asc;
        HealthVerdict verdict;
    };
    for (const Case &c :
         {Case{0x00, HealthVerdict::Passed}, Case{0x5D, HealthVerdict::Failing}, Case{0x0B, HealthVerdict::Unknown}}) {
        const ByteList ie = {0x2F, 0, 0, 7, 0, 0, 3, 3, c.asc, 0x10, 38};
        auto decoded = DecodeInformationalExceptionsPage(ie.data(), ie.size());
        ASSERT_TRUE(decoded);
        EXPECT_EQ(InformationalExceptionsVerdict(*decoded), c.verdict);
        EXPECT_EQ(decoded->temperature, 38);
        EXPECT_FALSE(DecodeInformationalExceptionsPage(ie.data(), 9)); // one byte of the value
    }
}

} // namespace
