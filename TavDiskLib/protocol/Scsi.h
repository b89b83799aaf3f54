// SPDX-License-Identifier: MIT
// SCSI as this library and its backends speak it: operation codes, the
// command blocks they send, the answers they build and read (standard
// INQUIRY data, READ CAPACITY (10) and (16), fixed-format sense data).
// Multi-byte fields of command blocks and answers are big-endian.
#ifndef TAVDISKLIB_PROTOCOL_SCSI_H
#define TAVDISKLIB_PROTOCOL_SCSI_H

#include "Ata.h"
#include "ByteOrder.h"

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>

namespace TavProtocol {

// ---- Operation codes ------------------------------------------------------

constexpr uint8_t OpTestUnitReady = 0x00;
constexpr uint8_t OpRequestSense = 0x03;
constexpr uint8_t OpInquiry = 0x12;
constexpr uint8_t OpModeSense6 = 0x1A;
constexpr uint8_t OpReadCapacity10 = 0x25;
constexpr uint8_t OpLogSense = 0x4D;
constexpr uint8_t OpModeSense10 = 0x5A;
constexpr uint8_t OpAtaPassThrough16 = 0x85;
constexpr uint8_t OpServiceActionIn16 = 0x9E; // READ CAPACITY (16) is its service action 0x10
constexpr uint8_t OpReportLuns = 0xA0;
constexpr uint8_t OpAtaPassThrough12 = 0xA1;

constexpr uint8_t ServiceActionMask = 0x1F; // byte 1 of SERVICE ACTION IN (16)
constexpr uint8_t ServiceActionReadCapacity16 = 0x10;

using Cdb6 = std::array<uint8_t, 6>;
using Cdb10 = std::array<uint8_t, 10>;
using Cdb12 = std::array<uint8_t, 12>;
using Cdb16 = std::array<uint8_t, 16>;

// ---- Status, sense keys, additional sense codes ----------------------------

constexpr uint8_t StatusGood = 0x00;
constexpr uint8_t StatusCheckCondition = 0x02;
constexpr uint8_t StatusBusy = 0x08;
constexpr uint8_t StatusReservationConflict = 0x18;

constexpr uint8_t SenseKeyNoSense = 0x0;
constexpr uint8_t SenseKeyNotReady = 0x2;
constexpr uint8_t SenseKeyMediumError = 0x3;
constexpr uint8_t SenseKeyIllegalRequest = 0x5;
constexpr uint8_t SenseKeyDataProtect = 0x7;

constexpr uint8_t AscInvalidCommandOperationCode = 0x20;
constexpr uint8_t AscInvalidFieldInCdb = 0x24;
constexpr uint8_t AscMediumNotPresent = 0x3A;

// ---- INQUIRY --------------------------------------------------------------

constexpr uint8_t InquiryEvpd = 0x01; // byte 1: ask for a vital product data page
constexpr uint8_t VpdSupportedPages = 0x00;
constexpr uint8_t VpdUnitSerialNumber = 0x80;

// Standard INQUIRY: EVPD 0, page 0, `allocationLength` bytes at most.
inline Cdb6 InquiryCdb(uint16_t allocationLength) {
    Cdb6 cdb = {OpInquiry, 0, 0, 0, 0, 0};
    StoreBe16(cdb.data() + 3, allocationLength);
    return cdb;
}

// The vital product data page `page`.
inline Cdb6 InquiryVpdCdb(uint8_t page, uint16_t allocationLength) {
    Cdb6 cdb = {OpInquiry, InquiryEvpd, page, 0, 0, 0};
    StoreBe16(cdb.data() + 3, allocationLength);
    return cdb;
}

// Reading an INQUIRY command block of at least 6 bytes.
inline bool InquiryWantsVpd(const uint8_t *cdb) { return (cdb[1] & InquiryEvpd) != 0; }
inline uint8_t InquiryPageCode(const uint8_t *cdb) { return cdb[2]; }
inline uint16_t InquiryAllocationLength(const uint8_t *cdb) { return LoadBe16(cdb + 3); }

// Standard INQUIRY data: the byte offsets of its fields. The three strings
// are ASCII, fixed width, filled out with spaces.
constexpr size_t InquiryStandardLength = 36;  // the fields below; byte 4 counts what follows byte 4
constexpr size_t InquiryDeviceTypeOffset = 0; // bits 4:0; the peripheral qualifier in bits 7:5
constexpr size_t InquiryRemovableOffset = 1;  // bit 7: RMB
constexpr size_t InquiryVersionOffset = 2;
constexpr size_t InquiryResponseFormatOffset = 3; // bits 3:0
constexpr size_t InquiryAdditionalLengthOffset = 4;
constexpr size_t InquiryQueueingOffset = 7; // bit 1: CMDQUE
constexpr size_t InquiryVendorOffset = 8, InquiryVendorWidth = 8;
constexpr size_t InquiryProductOffset = 16, InquiryProductWidth = 16;
constexpr size_t InquiryRevisionOffset = 32, InquiryRevisionWidth = 4;

// A vital product data page: byte 1 is its page code, bytes 2..3 the length
// of what follows the 4-byte header.
constexpr size_t VpdHeaderLength = 4;

// The unit serial number in a VPD page 0x80 answer of `size` bytes: the
// page's own length bounded by what arrived, cut at the first NUL. Empty
// when the answer is shorter than the header or another page.
inline std::string DecodeUnitSerialNumber(const uint8_t *page, size_t size) {
    if (!page || size < VpdHeaderLength || page[1] != VpdUnitSerialNumber)
        return std::string();
    size_t length = LoadBe16(page + 2);
    if (length > size - VpdHeaderLength)
        length = size - VpdHeaderLength;
    std::string serial(reinterpret_cast<const char *>(page + VpdHeaderLength), length);
    return serial.substr(0, serial.find('\0'));
}

constexpr uint8_t InquiryRemovableBit = 0x80;
constexpr uint8_t InquiryQueueingBit = 0x02;
constexpr uint8_t InquiryVersionSpc3 = 0x05;
constexpr uint8_t InquiryResponseFormat2 = 0x02;
constexpr uint8_t DeviceTypeDirectAccess = 0x00;

struct InquiryFields {
    uint8_t deviceType = DeviceTypeDirectAccess; // peripheral qualifier 0: the device is connected
    bool removable = false;
    uint8_t version = InquiryVersionSpc3;
    uint8_t responseFormat = InquiryResponseFormat2;
    bool commandQueueing = false;
    std::string vendor, product, revision; // cut to their width, or filled out with spaces
};

// Writes `length` bytes of standard INQUIRY data to `out`: the fields that
// fit, zeros elsewhere; the additional length says that `length` bytes
// were made (at most 255 after byte 4).
inline void EncodeInquiry(const InquiryFields &fields, uint8_t *out, size_t length) {
    for (size_t i = 0; i < length; ++i)
        out[i] = 0;
    auto put = [out, length](size_t at, uint8_t value) {
        if (at < length)
            out[at] = value;
    };
    auto text = [out, length](size_t at, size_t width, const std::string &value) {
        for (size_t i = 0; i < width && at + i < length; ++i)
            out[at + i] = static_cast<uint8_t>(i < value.size() ? value[i] : ' ');
    };
    put(InquiryDeviceTypeOffset, static_cast<uint8_t>(fields.deviceType & 0x1F));
    put(InquiryRemovableOffset, fields.removable ? InquiryRemovableBit : 0);
    put(InquiryVersionOffset, fields.version);
    put(InquiryResponseFormatOffset, fields.responseFormat);
    if (length > InquiryAdditionalLengthOffset) {
        const size_t following = length - InquiryAdditionalLengthOffset - 1;
        put(InquiryAdditionalLengthOffset, static_cast<uint8_t>(following < 255 ? following : 255));
    }
    put(InquiryQueueingOffset, fields.commandQueueing ? InquiryQueueingBit : 0);
    text(InquiryVendorOffset, InquiryVendorWidth, fields.vendor);
    text(InquiryProductOffset, InquiryProductWidth, fields.product);
    text(InquiryRevisionOffset, InquiryRevisionWidth, fields.revision);
}

// ---- READ CAPACITY (10) and (16) ------------------------------------------

constexpr size_t ReadCapacity10Length = 8;          // last LBA (4 bytes), block length (4)
constexpr size_t ReadCapacity16Length = 32;         // last LBA (8 bytes), block length (4), exponent, ...
constexpr size_t ReadCapacity16ExponentOffset = 13; // bits 3:0: logical blocks per physical block, log 2

// The last LBA of a READ CAPACITY (10) answer for a disk whose last LBA
// does not fit in 32 bits: READ CAPACITY (16) tells the real one.
constexpr uint32_t ReadCapacity10Saturated = 0xFFFFFFFFu;

using ReadCapacity10Data = std::array<uint8_t, ReadCapacity10Length>;
using ReadCapacity16Data = std::array<uint8_t, ReadCapacity16Length>;

inline Cdb10 ReadCapacity10Cdb() { return Cdb10{OpReadCapacity10, 0, 0, 0, 0, 0, 0, 0, 0, 0}; }

// SERVICE ACTION IN (16) with service action READ CAPACITY (16); the
// allocation length is in bytes 10-13.
inline Cdb16 ReadCapacity16Cdb(uint32_t allocationLength) {
    Cdb16 cdb = {OpServiceActionIn16, ServiceActionReadCapacity16};
    StoreBe32(cdb.data() + 10, allocationLength);
    return cdb;
}

// Reading a command block: whether it is a complete READ CAPACITY (16),
// and its allocation length (the block holds at least 16 bytes).
inline bool IsReadCapacity16(const uint8_t *cdb, size_t cdbLength) {
    return cdbLength >= 16 && cdb[0] == OpServiceActionIn16 &&
           (cdb[1] & ServiceActionMask) == ServiceActionReadCapacity16;
}
inline uint32_t ReadCapacity16AllocationLength(const uint8_t *cdb) { return LoadBe32(cdb + 10); }

struct ReadCapacity10Answer {
    uint32_t lastLba;
    uint32_t blockLength;
};
struct ReadCapacity16Answer {
    uint64_t lastLba;
    uint32_t blockLength;
    uint8_t exponent; // logical blocks per physical block, log 2
};

// READ CAPACITY (10) for a disk whose last block is `lastLba`: a last LBA
// above 32 bits reads ReadCapacity10Saturated.
inline ReadCapacity10Data EncodeReadCapacity10(uint64_t lastLba, uint32_t blockLength) {
    ReadCapacity10Data answer{};
    StoreBe32(answer.data(),
              lastLba > ReadCapacity10Saturated ? ReadCapacity10Saturated : static_cast<uint32_t>(lastLba));
    StoreBe32(answer.data() + 4, blockLength);
    return answer;
}

inline ReadCapacity16Data EncodeReadCapacity16(uint64_t lastLba, uint32_t blockLength, uint8_t exponent = 0) {
    ReadCapacity16Data answer{};
    StoreBe64(answer.data(), lastLba);
    StoreBe32(answer.data() + 8, blockLength);
    answer[ReadCapacity16ExponentOffset] = static_cast<uint8_t>(exponent & 0x0F);
    return answer;
}

inline ReadCapacity10Answer DecodeReadCapacity10(const ReadCapacity10Data &answer) {
    return {LoadBe32(answer.data()), LoadBe32(answer.data() + 4)};
}

inline ReadCapacity16Answer DecodeReadCapacity16(const ReadCapacity16Data &answer) {
    return {LoadBe64(answer.data()), LoadBe32(answer.data() + 8),
            static_cast<uint8_t>(answer[ReadCapacity16ExponentOffset] & 0x0F)};
}

// ---- ATA PASS-THROUGH -----------------------------------------------------

// IDENTIFY DEVICE through ATA PASS-THROUGH: protocol 4 (PIO data-in) in
// byte 1; byte 2 0x0E: the transfer goes to the host (T_DIR), is counted in
// blocks (BYT_BLOK) as the sector count field says (T_LENGTH 2); one block.
constexpr uint8_t AtaProtocolPioDataIn = 4;
constexpr uint8_t AtaTransferInBlocksBySectorCount = 0x0E;

inline Cdb16 AtaPassThrough16IdentifyCdb() {
    Cdb16 cdb = {OpAtaPassThrough16, AtaProtocolPioDataIn << 1, AtaTransferInBlocksBySectorCount};
    cdb[6] = 1;                  // sector count (7:0)
    cdb[14] = AtaIdentifyDevice; // command
    return cdb;
}

inline Cdb12 AtaPassThrough12IdentifyCdb() {
    Cdb12 cdb = {OpAtaPassThrough12, AtaProtocolPioDataIn << 1, AtaTransferInBlocksBySectorCount};
    cdb[4] = 1;                 // sector count
    cdb[9] = AtaIdentifyDevice; // command
    return cdb;
}

// The ATA command an ATA PASS-THROUGH block of its full length carries (0
// for any other command block, a cut one and an empty one).
inline uint8_t AtaPassThroughCommand(const uint8_t *cdb, size_t cdbLength) {
    if (cdbLength >= 16 && cdb[0] == OpAtaPassThrough16)
        return cdb[14];
    if (cdbLength >= 12 && cdb[0] == OpAtaPassThrough12)
        return cdb[9];
    return 0;
}

// ---- Allocation lengths ---------------------------------------------------

// The allocation length a data-in command announces in its command block,
// for the commands whose layout is known; 0 when unknown, and for a block
// too short for its layout (an empty one included: no byte of it is read).
inline uint32_t AnnouncedAllocationLength(const uint8_t *cdb, size_t cdbLength) {
    if (cdbLength == 0)
        return 0;
    switch (cdb[0]) {
    case OpRequestSense:
    case OpModeSense6: return cdbLength >= 6 ? cdb[4] : 0;
    case OpInquiry: return cdbLength >= 6 ? InquiryAllocationLength(cdb) : 0;
    case OpLogSense:
    case OpModeSense10: return cdbLength >= 10 ? LoadBe16(cdb + 7) : 0;
    case OpServiceActionIn16: // every service action keeps it in bytes 10-13
        return cdbLength >= 16 ? LoadBe32(cdb + 10) : 0;
    case OpReportLuns: return cdbLength >= 12 ? LoadBe32(cdb + 6) : 0;
    default: return 0;
    }
}

// ---- Sense data -----------------------------------------------------------

constexpr size_t FixedSenseLength = 18;
using FixedSenseData = std::array<uint8_t, FixedSenseLength>;

// Fixed-format sense data (response code 0x70, current error).
inline FixedSenseData EncodeFixedSense(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    FixedSenseData sense{};
    sense[0] = 0x70;
    sense[2] = static_cast<uint8_t>(key & 0x0F);
    sense[7] = FixedSenseLength - 8; // additional sense length
    sense[12] = asc;
    sense[13] = ascq;
    return sense;
}

// The sense key of fixed-format (0x70, 0x71) or descriptor-format (0x72,
// 0x73) sense data of `length` bytes; SenseKeyNoSense when it has none.
inline uint8_t SenseKeyOf(const uint8_t *sense, size_t length) {
    const uint8_t format = length ? static_cast<uint8_t>(sense[0] & 0x7F) : 0;
    if ((format == 0x70 || format == 0x71) && length >= 3)
        return sense[2] & 0x0F;
    if ((format == 0x72 || format == 0x73) && length >= 2)
        return sense[1] & 0x0F;
    return SenseKeyNoSense;
}

} // namespace TavProtocol

#endif
