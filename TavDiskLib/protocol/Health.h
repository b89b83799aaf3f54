// SPDX-License-Identifier: MIT
// Disk health as the three protocols report it, read without changing the
// disk: ATA SMART (READ DATA, READ THRESHOLDS, RETURN STATUS), the NVMe
// SMART / Health Information log page, and SCSI LOG SENSE (the
// Temperature and Informational Exceptions pages). The command blocks that
// ask for them, and decoders that take any bytes: every field is read only
// when the answer holds it, and a field that is absent or marked "not
// available" is absent from the result, never 0.
#ifndef TAVDISKLIB_PROTOCOL_HEALTH_H
#define TAVDISKLIB_PROTOCOL_HEALTH_H

#include "ByteOrder.h"
#include "Scsi.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <vector>

namespace TavProtocol {

// What a disk says of itself as a whole.
enum class HealthVerdict : uint8_t {
    Unknown, // it could not be asked, or its answer does not tell
    Passed,
    Failing,
};

// ---- ATA SMART ------------------------------------------------------------

constexpr uint8_t AtaSmart = 0xB0; // the command; the feature register picks what it does
constexpr uint8_t SmartReadData = 0xD0;
constexpr uint8_t SmartReadThresholds = 0xD1;
constexpr uint8_t SmartReturnStatus = 0xDA;
// Every SMART command carries this signature in LBA mid and high; RETURN
// STATUS answers with it when no threshold is exceeded, and with the
// failing pair when one is.
constexpr uint8_t SmartLbaMid = 0x4F, SmartLbaHigh = 0xC2;
constexpr uint8_t SmartFailingLbaMid = 0xF4, SmartFailingLbaHigh = 0x2C;

// READ DATA and READ THRESHOLDS answer one 512-byte block each: a 2-byte
// revision, then 30 entries of 12 bytes, and a checksum in the last byte.
// A data entry: id, flags (2 bytes), normalized value, worst value, raw
// value (6 bytes, little-endian), reserved. A threshold entry: id,
// threshold, reserved.
constexpr size_t SmartBlockLength = 512;
constexpr size_t SmartEntriesOffset = 2, SmartEntryLength = 12, SmartEntryCount = 30;

// Attribute ids this library reads.
constexpr uint8_t SmartReallocatedSectors = 5;
constexpr uint8_t SmartPowerOnHours = 9;
constexpr uint8_t SmartAirflowTemperature = 190;
constexpr uint8_t SmartTemperature = 194;
constexpr uint8_t SmartPendingSectors = 197;
constexpr uint8_t SmartOfflineUncorrectable = 198;

// The verdict of RETURN STATUS from the LBA mid and high registers it left.
inline HealthVerdict SmartStatusVerdict(uint8_t lbaMid, uint8_t lbaHigh) {
    if (lbaMid == SmartLbaMid && lbaHigh == SmartLbaHigh)
        return HealthVerdict::Passed;
    if (lbaMid == SmartFailingLbaMid && lbaHigh == SmartFailingLbaHigh)
        return HealthVerdict::Failing;
    return HealthVerdict::Unknown;
}

// A SMART block is whole when it has 512 bytes that sum to 0 (modulo 256).
inline bool SmartBlockHolds(const uint8_t *block, size_t length) {
    if (!block || length < SmartBlockLength)
        return false;
    uint8_t sum = 0;
    for (size_t i = 0; i < SmartBlockLength; ++i)
        sum = static_cast<uint8_t>(sum + block[i]);
    return sum == 0;
}

struct SmartAttribute {
    uint8_t id = 0;
    uint16_t flags = 0; // bit 0: pre-failure (a value at its threshold predicts failure)
    uint8_t value = 0;  // normalized: 1 to 253 are values, 0 and 254..255 none
    uint8_t worst = 0;
    uint64_t raw = 0;                 // 48 bits
    std::optional<uint8_t> threshold; // when the thresholds block lists the id
};

// A normalized value at or below a threshold that is in force (not 0): the
// attribute has failed.
inline bool SmartAttributeFailed(const SmartAttribute &a) {
    return a.threshold && *a.threshold != 0 && a.value >= 1 && a.value <= 253 && a.value <= *a.threshold;
}

// The attributes of a READ DATA block, each with its threshold from a READ
// THRESHOLDS block where one is given and lists it. A block that is not
// whole (short, or a checksum that does not hold) gives nothing; empty
// entries (id 0) are passed over.
inline std::vector<SmartAttribute> DecodeSmartAttributes(const uint8_t *data, size_t dataLength,
                                                         const uint8_t *thresholds, size_t thresholdsLength) {
    std::vector<SmartAttribute> attributes;
    if (!SmartBlockHolds(data, dataLength))
        return attributes;
    const bool haveThresholds = SmartBlockHolds(thresholds, thresholdsLength);
    for (size_t i = 0; i < SmartEntryCount; ++i) {
        const uint8_t *e = data + SmartEntriesOffset + i * SmartEntryLength;
        if (e[0] == 0)
            continue;
        SmartAttribute a;
        a.id = e[0];
        a.flags = LoadLe16(e + 1);
        a.value = e[3];
        a.worst = e[4];
        for (int b = 5; b >= 0; --b)
            a.raw = (a.raw << 8) | e[5 + b];
        for (size_t t = 0; haveThresholds && t < SmartEntryCount; ++t) {
            const uint8_t *h = thresholds + SmartEntriesOffset + t * SmartEntryLength;
            if (h[0] == a.id) {
                a.threshold = h[1];
                break;
            }
        }
        attributes.push_back(a);
    }
    return attributes;
}

// What the attributes tell of the disk.
struct SmartSummary {
    std::optional<int> temperature; // degrees Celsius
    std::optional<uint64_t> powerOnHours;
    std::optional<uint64_t> reallocatedSectors, pendingSectors, offlineUncorrectable;
    bool attributeFailed = false; // some attribute at or below its threshold
};

inline SmartSummary SummarizeSmartAttributes(const std::vector<SmartAttribute> &attributes) {
    SmartSummary s;
    std::optional<int> airflow;
    for (const SmartAttribute &a : attributes) {
        s.attributeFailed = s.attributeFailed || SmartAttributeFailed(a);
        switch (a.id) {
        // The temperature is the raw value's lowest byte; the bytes above
        // hold the lowest and highest seen, on disks that keep them.
        case SmartTemperature: s.temperature = static_cast<int>(a.raw & 0xFF); break;
        case SmartAirflowTemperature: airflow = static_cast<int>(a.raw & 0xFF); break;
        case SmartPowerOnHours: s.powerOnHours = a.raw; break;
        case SmartReallocatedSectors: s.reallocatedSectors = a.raw; break;
        case SmartPendingSectors: s.pendingSectors = a.raw; break;
        case SmartOfflineUncorrectable: s.offlineUncorrectable = a.raw; break;
        default: break;
        }
    }
    if (!s.temperature)
        s.temperature = airflow;
    return s;
}

// SMART through ATA PASS-THROUGH (16). READ DATA and READ THRESHOLDS move
// one block to the host (PIO data-in); RETURN STATUS moves nothing and asks
// for the registers back (CK_COND), which arrive in the sense data.
constexpr uint8_t AtaProtocolNonData = 3;
constexpr uint8_t AtaCheckCondition = 0x20; // byte 2: CK_COND

inline Cdb16 AtaPassThrough16SmartCdb(uint8_t feature) {
    const bool dataIn = feature != SmartReturnStatus;
    Cdb16 cdb = {OpAtaPassThrough16, static_cast<uint8_t>((dataIn ? AtaProtocolPioDataIn : AtaProtocolNonData) << 1),
                 dataIn ? AtaTransferInBlocksBySectorCount : AtaCheckCondition};
    cdb[4] = feature;      // features (7:0)
    cdb[6] = dataIn;       // sector count (7:0)
    cdb[10] = SmartLbaMid; // LBA (15:8)
    cdb[12] = SmartLbaHigh;
    cdb[14] = AtaSmart;
    return cdb;
}

// The LBA mid and high registers an ATA PASS-THROUGH command with CK_COND
// returned in its sense data: the ATA Status Return descriptor (code 09h)
// of descriptor-format sense, or the fields of fixed-format sense. Absent
// when the sense data holds neither.
struct AtaLbaMidHigh {
    uint8_t mid, high;
};
inline std::optional<AtaLbaMidHigh> AtaReturnedLba(const uint8_t *sense, size_t length) {
    if (!sense || length == 0)
        return std::nullopt;
    const uint8_t format = sense[0] & 0x7F;
    if ((format == 0x70 || format == 0x71) && length >= 12)
        return AtaLbaMidHigh{sense[10], sense[11]};
    if ((format == 0x72 || format == 0x73) && length >= 8) {
        const size_t end = std::min<size_t>(length, size_t{8} + sense[7]);
        for (size_t at = 8; at + 2 <= end;) {
            const size_t size = size_t{2} + sense[at + 1];
            if (sense[at] == 0x09 && size >= 14 && at + size <= end)
                return AtaLbaMidHigh{sense[at + 9], sense[at + 11]};
            at += size;
        }
    }
    return std::nullopt;
}

// ---- NVMe SMART / Health Information (log page 02h) -----------------------

constexpr uint8_t NvmeLogHealth = 0x02;
constexpr size_t NvmeHealthLogLength = 512;
constexpr size_t NvmeHealthFieldsLength = 176; // what the decoder reads: up to the media errors

struct NvmeHealth {
    uint8_t criticalWarning = 0;    // bit 0 spare, 1 temperature, 2 reliability, 3 read-only, 4 backup, 5 PMR
    std::optional<int> temperature; // degrees Celsius, from the composite temperature in kelvins
    uint8_t availableSpare = 0;     // percent
    uint8_t spareThreshold = 0;     // percent
    uint8_t percentageUsed = 0;     // may pass 100
    uint64_t powerOnHours = 0;      // the log's 128-bit counters, held at the largest 64-bit value
    uint64_t mediaErrors = 0;
    uint64_t unsafeShutdowns = 0;
};

// A 128-bit little-endian counter, held at UINT64_MAX when it is larger.
inline uint64_t LoadLe128Saturated(const uint8_t *p) {
    for (int i = 8; i < 16; ++i)
        if (p[i] != 0)
            return UINT64_MAX;
    return uint64_t{LoadLe32(p)} | (uint64_t{LoadLe32(p + 4)} << 32);
}

// The log page's fields; absent when fewer bytes arrived than they take.
inline std::optional<NvmeHealth> DecodeNvmeHealthLog(const uint8_t *log, size_t length) {
    if (!log || length < NvmeHealthFieldsLength)
        return std::nullopt;
    NvmeHealth h;
    h.criticalWarning = log[0];
    if (uint16_t kelvins = LoadLe16(log + 1))
        h.temperature = static_cast<int>(kelvins) - 273;
    h.availableSpare = log[3];
    h.spareThreshold = log[4];
    h.percentageUsed = log[5];
    h.powerOnHours = LoadLe128Saturated(log + 128);
    h.unsafeShutdowns = LoadLe128Saturated(log + 144);
    h.mediaErrors = LoadLe128Saturated(log + 160);
    return h;
}

// Any critical warning bit is a failing disk.
inline HealthVerdict NvmeVerdict(const NvmeHealth &h) {
    return (h.criticalWarning & 0x3F) != 0 ? HealthVerdict::Failing : HealthVerdict::Passed;
}

// ---- SCSI LOG SENSE -------------------------------------------------------

constexpr uint8_t LogPageSupported = 0x00;
constexpr uint8_t LogPageTemperature = 0x0D;
constexpr uint8_t LogPageInformationalExceptions = 0x2F;
constexpr size_t LogPageHeaderLength = 4;     // page code, subpage, page length (2)
constexpr uint8_t LogCumulativeValues = 0x40; // byte 2: page control 01b
constexpr uint8_t AscFailurePredictionThresholdExceeded = 0x5D;
constexpr uint8_t TemperatureNotAvailable = 0xFF;

// LOG SENSE of the cumulative values of page `page`, `allocationLength`
// bytes at most.
inline Cdb10 LogSenseCdb(uint8_t page, uint16_t allocationLength) {
    Cdb10 cdb = {OpLogSense, 0, static_cast<uint8_t>(LogCumulativeValues | (page & 0x3F))};
    StoreBe16(cdb.data() + 7, allocationLength);
    return cdb;
}

// The bytes of a log page of `length` bytes that belong to it: the page's
// own length bounded by what arrived. Empty for another page or a cut
// header.
struct LogBytes {
    const uint8_t *data = nullptr;
    size_t size = 0;
};
inline LogBytes LogPageBody(const uint8_t *page, size_t length, uint8_t pageCode) {
    if (!page || length < LogPageHeaderLength || (page[0] & 0x3F) != pageCode)
        return {};
    const size_t announced = LoadBe16(page + 2);
    return {page + LogPageHeaderLength, std::min(announced, length - LogPageHeaderLength)};
}

// The value of parameter `code` of a log page: its bytes after the 4-byte
// parameter header, bounded by the page. Empty when the page lacks it.
inline LogBytes LogParameter(const uint8_t *page, size_t length, uint8_t pageCode, uint16_t code) {
    const LogBytes body = LogPageBody(page, length, pageCode);
    for (size_t at = 0; at + 4 <= body.size;) {
        const uint8_t *p = body.data + at;
        const size_t size = p[3];
        const size_t available = std::min(size, body.size - at - 4);
        if (LoadBe16(p) == code)
            return {p + 4, available};
        at += 4 + size;
    }
    return {};
}

// Whether the supported-pages page (00h) lists `pageCode`.
inline bool LogPageListed(const uint8_t *page, size_t length, uint8_t pageCode) {
    const LogBytes body = LogPageBody(page, length, LogPageSupported);
    for (size_t i = 0; i < body.size; ++i)
        if ((body.data[i] & 0x3F) == pageCode)
            return true;
    return false;
}

// The current temperature of the Temperature page (parameter 0000h, its
// second byte); absent where the device does not know it.
inline std::optional<int> DecodeTemperaturePage(const uint8_t *page, size_t length) {
    const LogBytes value = LogParameter(page, length, LogPageTemperature, 0x0000);
    if (value.size < 2 || value.data[1] == TemperatureNotAvailable)
        return std::nullopt;
    return static_cast<int>(value.data[1]);
}

// Parameter 0000h of the Informational Exceptions page: the additional
// sense code and qualifier of the exception the device predicts (0: none),
// and its latest temperature where it gives one.
struct InformationalExceptions {
    uint8_t asc = 0, ascq = 0;
    std::optional<int> temperature;
};
inline std::optional<InformationalExceptions> DecodeInformationalExceptionsPage(const uint8_t *page, size_t length) {
    const LogBytes value = LogParameter(page, length, LogPageInformationalExceptions, 0x0000);
    if (value.size < 2)
        return std::nullopt;
    InformationalExceptions ie;
    ie.asc = value.data[0];
    ie.ascq = value.data[1];
    if (value.size >= 3 && value.data[2] != TemperatureNotAvailable)
        ie.temperature = static_cast<int>(value.data[2]);
    return ie;
}

// A device that predicts a failure (5Dh) is failing, one that tells of no
// exception has passed; a warning of another kind (a temperature beyond
// its limit, 0Bh) says neither, and its codes are the reason.
inline HealthVerdict InformationalExceptionsVerdict(const InformationalExceptions &ie) {
    if (ie.asc == 0)
        return HealthVerdict::Passed;
    return ie.asc == AscFailurePredictionThresholdExceeded ? HealthVerdict::Failing : HealthVerdict::Unknown;
}

} // namespace TavProtocol

#endif
