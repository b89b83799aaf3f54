// SPDX-License-Identifier: MIT
// The protocol layouts, byte for byte: the command blocks the library and
// the backends send, and the INQUIRY, READ CAPACITY, IDENTIFY and sense
// data they build and read, checked against answers recorded from QEMU
// disks (tests/linux/data) and the hardware harness's disks.
#include "TavDiskLib/platform/types.h"
#include "TavDiskLib/protocol/Ata.h"
#include "TavDiskLib/protocol/ByteOrder.h"
#include "TavDiskLib/protocol/Guid.h"
#include "TavDiskLib/protocol/Scsi.h"
#include "HexBytes.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

using namespace TavProtocol;

namespace {

template <size_t N> ByteList List(const std::array<uint8_t, N> &a) { return ByteList(a.begin(), a.end()); }

std::string Text(const ByteList &bytes, size_t at, size_t width) {
    return std::string(bytes.begin() + static_cast<long>(at), bytes.begin() + static_cast<long>(at + width));
}

// Standard INQUIRY data recorded from QEMU: a usb-storage disk (QEMU's own
// strings) and a SATA disk as the Linux kernel's SCSI translation answers
// for it (96 bytes, version descriptors after the strings).
const ByteList QemuUsbInquiry = Hex("00 00 05 12 1f 00 00 10 51 45 4d 55 20 20 20 20 51 45 4d 55 20 48 41 52 "
                                    "44 44 49 53 4b 20 20 20 32 2e 35 2b");
const ByteList QemuSataInquiry =
    Hex("00 00 05 02 5b 00 00 02 41 54 41 20 20 20 20 20 54 41 56 20 53 41 54 41 20 44 49 53 4b 20 4f 4e 32 20 20 20 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 60 03 20 03 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

// IDENTIFY DEVICE data recorded from QEMU's 3 TiB SATA disk "TAV BIG SATA
// 3T", serial TAVBIGATA01, firmware BA48 (tests/linux/data/qemu-sata.tree).
const ByteList QemuBigAtaIdentify =
    Hex("40 00 ff 3f 00 00 10 00 00 7e 00 02 3f 00 00 00 00 00 00 00 41 54 42 56 47 49 54 41 30 41 20 31 "
        "20 20 20 20 20 20 20 20 03 00 00 02 04 00 41 42 38 34 20 20 20 20 41 54 20 56 49 42 20 47 41 53 "
        "41 54 33 20 20 54 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 20 10 80 "
        "01 00 00 0b 00 00 00 02 00 02 07 00 ff 3f 10 00 3f 00 10 fc fb 00 10 01 ff ff ff 0f 07 00 07 00 "
        "03 00 78 00 78 00 78 00 78 00 00 40 00 00 00 00 00 00 00 00 00 00 1f 00 00 01 00 00 00 00 00 00 "
        "f0 00 16 00 21 40 00 74 00 40 21 40 00 34 00 40 3f 20 00 00 00 00 00 00 00 00 01 60 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 80 01 00 00 00 00 00 00 00 00 60 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 01 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 "
        "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00");

} // namespace

TEST(Protocol, CommandBlocksAreLaidOutAsSent) {
    // Standard INQUIRY for the library's 56-byte transfer; the unit serial
    // number page as the Linux backend asks usb-storage for it.
    EXPECT_EQ(List(InquiryCdb(56)), Hex("12 00 00 00 38 00"));
    EXPECT_EQ(List(InquiryCdb(0x1234)), Hex("12 00 00 12 34 00"));
    EXPECT_EQ(List(InquiryVpdCdb(VpdUnitSerialNumber, 252)), Hex("12 01 80 00 FC 00"));
    EXPECT_EQ(List(ReadCapacity10Cdb()), Hex("25 00 00 00 00 00 00 00 00 00"));
    EXPECT_EQ(List(ReadCapacity16Cdb(32)), Hex("9E 10 00 00 00 00 00 00 00 00 00 00 00 20 00 00"));
    EXPECT_EQ(List(ReadCapacity16Cdb(0x01020304)), Hex("9E 10 00 00 00 00 00 00 00 00 01 02 03 04 00 00"));
    EXPECT_EQ(List(AtaPassThrough16IdentifyCdb()), Hex("85 08 0E 00 00 00 01 00 00 00 00 00 00 00 EC 00"));
    EXPECT_EQ(List(AtaPassThrough12IdentifyCdb()), Hex("A1 08 0E 00 01 00 00 00 00 EC 00 00"));
}

TEST(Protocol, CommandBlocksAreReadBackWithinTheirLength) {
    const Cdb6 vpd = InquiryVpdCdb(VpdUnitSerialNumber, 252);
    EXPECT_TRUE(InquiryWantsVpd(vpd.data()));
    EXPECT_EQ(InquiryPageCode(vpd.data()), 0x80);
    EXPECT_EQ(InquiryAllocationLength(vpd.data()), 252);
    EXPECT_FALSE(InquiryWantsVpd(InquiryCdb(56).data()));

    const Cdb16 rc16 = ReadCapacity16Cdb(32);
    EXPECT_TRUE(IsReadCapacity16(rc16.data(), 16));
    EXPECT_FALSE(IsReadCapacity16(rc16.data(), 15)) << "a cut block";
    EXPECT_EQ(ReadCapacity16AllocationLength(rc16.data()), 32u);
    Cdb16 otherAction = rc16;
    otherAction[1] = 0x11; // another service action of the same operation code
    EXPECT_FALSE(IsReadCapacity16(otherAction.data(), 16));
    otherAction[1] = 0xF0; // the bits above the service action are not part of it
    EXPECT_TRUE(IsReadCapacity16(Hex("9E F0 00 00 00 00 00 00 00 00 00 00 00 20 00 00").data(), 16));

    // Allocation lengths, by each command's layout; a block too short for
    // its layout announces nothing.
    struct Case {
        const char *cdb;
        uint32_t announced;
    } cases[] = {
        {"12 00 00 00 38 00", 56},
        {"12 01 80 01 00 00", 256},
        {"12 00 00 00 38", 0},
        {"03 00 00 00 12 00", 18},
        {"1A 00 3F 00 C0 00", 0xC0},
        {"5A 00 3F 00 00 00 00 10 00 00", 0x1000},
        {"4D 00 00 00 00 00 00 02 00 00", 0x200},
        {"9E 10 00 00 00 00 00 00 00 00 00 00 00 20 00 00", 32},
        {"9E 10 00 00 00 00 00 00 00 00 00 00 00 20 00", 0},
        {"A0 00 00 00 00 00 00 01 00 00 00 00", 0x10000},
        {"25 00 00 00 00 00 00 00 00 00", 0},
        {"28 00 00 00 00 00 00 00 08 00", 0},
    };
    for (const Case &c : cases) {
        const ByteList cdb = Hex(c.cdb);
        EXPECT_EQ(AnnouncedAllocationLength(cdb.data(), cdb.size()), c.announced) << c.cdb;
    }

    // The ATA command inside a pass-through block.
    EXPECT_EQ(AtaPassThroughCommand(AtaPassThrough16IdentifyCdb().data(), 16), AtaIdentifyDevice);
    EXPECT_EQ(AtaPassThroughCommand(AtaPassThrough12IdentifyCdb().data(), 12), AtaIdentifyDevice);
    EXPECT_EQ(AtaPassThroughCommand(AtaPassThrough16IdentifyCdb().data(), 12), 0) << "a cut block";
    EXPECT_EQ(AtaPassThroughCommand(ReadCapacity16Cdb(32).data(), 16), 0);
}

// Every leading part of a command block, down to none of it, is no command:
// the readers announce nothing and find no ATA command, and read no byte
// past the part (each part ends its own heap block, where the sanitizer sees
// a byte read past it; an empty part is the end of a one-byte block).
TEST(Protocol, CutAndEmptyCommandBlocksAreNoCommand) {
    const ByteList blocks[] = {
        List(InquiryCdb(56)),
        Hex("03 00 00 00 12 00"),
        Hex("1A 00 3F 00 C0 00"),
        Hex("5A 00 3F 00 00 00 00 10 00 00"),
        Hex("4D 00 00 00 00 00 00 02 00 00"),
        List(ReadCapacity16Cdb(32)),
        Hex("A0 00 00 00 00 00 00 01 00 00 00 00"),
        List(AtaPassThrough16IdentifyCdb()),
        List(AtaPassThrough12IdentifyCdb()),
    };
    for (const ByteList &block : blocks) {
        for (size_t length = 0; length < block.size(); ++length) {
            std::unique_ptr<uint8_t[]> heap(new uint8_t[length + 1]);
            uint8_t *part = heap.get() + 1;
            std::copy(block.begin(), block.begin() + static_cast<long>(length), part);
            EXPECT_EQ(AnnouncedAllocationLength(part, length), 0u) << int{block[0]} << " cut to " << length;
            EXPECT_EQ(AtaPassThroughCommand(part, length), 0) << int{block[0]} << " cut to " << length;
            EXPECT_FALSE(IsReadCapacity16(part, length)) << int{block[0]} << " cut to " << length;
        }
    }
}

TEST(Protocol, InquiryFieldsStandWhereQemuPutsThem) {
    const ByteList &usb = QemuUsbInquiry;
    EXPECT_EQ(usb[InquiryDeviceTypeOffset] & 0x1F, DeviceTypeDirectAccess);
    EXPECT_EQ(usb[InquiryRemovableOffset] & InquiryRemovableBit, 0);
    EXPECT_EQ(usb[InquiryVersionOffset], InquiryVersionSpc3);
    EXPECT_EQ(usb[InquiryResponseFormatOffset] & 0x0F, InquiryResponseFormat2);
    EXPECT_EQ(usb[InquiryAdditionalLengthOffset] + 5u, InquiryStandardLength);
    EXPECT_EQ(Text(usb, InquiryVendorOffset, InquiryVendorWidth), "QEMU    ");
    EXPECT_EQ(Text(usb, InquiryProductOffset, InquiryProductWidth), "QEMU HARDDISK   ");
    EXPECT_EQ(Text(usb, InquiryRevisionOffset, InquiryRevisionWidth), "2.5+");
}

// Page 0x80 as QEMU's SCSI disk answers it (recorded), and answers that
// are cut short, say more than arrived, hold a NUL or are another page.
TEST(Protocol, UnitSerialNumberPage) {
    const ByteList recorded = {0x00, 0x80, 0x00, 0x0c, 'T', 'A', 'V', 'B', 'I', 'G', 'S', 'C', 'S', 'I', '0', '1'};
    EXPECT_EQ(DecodeUnitSerialNumber(recorded.data(), recorded.size()), "TAVBIGSCSI01");
    EXPECT_EQ(DecodeUnitSerialNumber(recorded.data(), 9), "TAVBI");
    EXPECT_EQ(DecodeUnitSerialNumber(recorded.data(), VpdHeaderLength), "");
    EXPECT_EQ(DecodeUnitSerialNumber(recorded.data(), 3), "");
    EXPECT_EQ(DecodeUnitSerialNumber(nullptr, 16), "");
    const ByteList withNul = {0x00, 0x80, 0x00, 0x05, 'A', 'B', 0x00, 'C', 'D'};
    EXPECT_EQ(DecodeUnitSerialNumber(withNul.data(), withNul.size()), "AB");
    ByteList otherPage = recorded;
    otherPage[1] = VpdSupportedPages;
    EXPECT_EQ(DecodeUnitSerialNumber(otherPage.data(), otherPage.size()), "");
}

TEST(Protocol, InquiryEncodingMatchesTheKernelsTranslationOfAnAtaDisk) {
    InquiryFields fields;
    fields.commandQueueing = true;
    fields.vendor = "ATA";
    fields.product = "TAV SATA DISK ONE"; // one character past the field: cut
    fields.revision = "2";
    ByteList out(QemuSataInquiry.size() + 8, 0xAA);
    EncodeInquiry(fields, out.data(), QemuSataInquiry.size());
    // The answer's additional length counts all 96 bytes; everything up to
    // the revision is what the kernel answered, and nothing else was set.
    EXPECT_EQ(ByteList(out.begin(), out.begin() + InquiryStandardLength),
              ByteList(QemuSataInquiry.begin(), QemuSataInquiry.begin() + InquiryStandardLength));
    for (size_t i = InquiryStandardLength; i < QemuSataInquiry.size(); ++i)
        EXPECT_EQ(out[i], 0) << "byte " << i;
    for (size_t i = QemuSataInquiry.size(); i < out.size(); ++i)
        EXPECT_EQ(out[i], 0xAA) << "byte " << i << " written past the length";
}

TEST(Protocol, InquiryEncodingAtOddLengths) {
    InquiryFields fields;
    fields.deviceType = 0xE5; // the qualifier's bits are not the type's
    fields.removable = true;
    fields.vendor = "TAV";
    // Shorter than the fixed fields: what fits, and the additional length
    // only once byte 4 exists.
    for (size_t length : {0u, 1u, 3u, 4u, 5u, 12u, 35u}) {
        ByteList out(length + 4, 0xAA);
        EncodeInquiry(fields, out.data(), length);
        const ByteList full = [&] {
            ByteList whole(InquiryStandardLength);
            EncodeInquiry(fields, whole.data(), whole.size());
            return whole;
        }();
        for (size_t i = 0; i < length; ++i) {
            if (i == InquiryAdditionalLengthOffset)
                EXPECT_EQ(out[i], length - 5) << "length " << length;
            else
                EXPECT_EQ(out[i], full[i]) << "length " << length << " byte " << i;
        }
        for (size_t i = length; i < out.size(); ++i)
            EXPECT_EQ(out[i], 0xAA) << "length " << length << ": byte " << i << " written";
    }
    ByteList whole(InquiryStandardLength);
    EncodeInquiry(fields, whole.data(), whole.size());
    EXPECT_EQ(ByteList(whole.begin(), whole.begin() + 16), Hex("05 80 05 02 1F 00 00 00 54 41 56 20 20 20 20 20"));
    // Longer than 260 bytes: the one-byte additional length stops at 255.
    ByteList big(300);
    EncodeInquiry(fields, big.data(), big.size());
    EXPECT_EQ(big[InquiryAdditionalLengthOffset], 255);
}

TEST(Protocol, ReadCapacityOfTheHarnessDisks) {
    // bigscsi: 3 TiB of 512-byte blocks. READ CAPACITY (10) cannot say it
    // and answers 0xFFFFFFFF; (16) carries the whole last LBA.
    const uint64_t lastLba = 3ull * (1ull << 40) / 512 - 1;
    EXPECT_EQ(List(EncodeReadCapacity10(lastLba, 512)), Hex("FF FF FF FF 00 00 02 00"));
    const ReadCapacity16Data big = EncodeReadCapacity16(lastLba, 512);
    EXPECT_EQ(List(big), Hex("00 00 00 01 7F FF FF FF 00 00 02 00 00 00 00 00 "
                             "00 00 00 00 00 00 00 00 00 00 00 00 00 00 00 00"));
    const ReadCapacity16Answer decoded = DecodeReadCapacity16(big);
    EXPECT_EQ(decoded.lastLba, lastLba);
    EXPECT_EQ(decoded.blockLength, 512u);
    EXPECT_EQ(decoded.exponent, 0);

    // lsi4k: 128 MiB of 4096-byte blocks.
    const ReadCapacity10Data small = EncodeReadCapacity10(128 * 1024 * 1024 / 4096 - 1, 4096);
    EXPECT_EQ(List(small), Hex("00 00 7F FF 00 00 10 00"));
    EXPECT_EQ(DecodeReadCapacity10(small).lastLba, 0x7FFFu);
    EXPECT_EQ(DecodeReadCapacity10(small).blockLength, 4096u);

    // Eight 512-byte blocks in a 4096-byte physical block: exponent 3 in the
    // low half of byte 13, and nothing above it.
    EXPECT_EQ(EncodeReadCapacity16(7, 512, 3)[ReadCapacity16ExponentOffset], 0x03);
    EXPECT_EQ(EncodeReadCapacity16(7, 512, 0x13)[ReadCapacity16ExponentOffset], 0x03);
    ReadCapacity16Data withFlags = EncodeReadCapacity16(7, 512, 3);
    withFlags[ReadCapacity16ExponentOffset] |= 0xF0;
    EXPECT_EQ(DecodeReadCapacity16(withFlags).exponent, 3);
}

TEST(Protocol, ReadCapacity10SaturatesAtTheLastLbaItCannotHold) {
    struct Case {
        uint64_t lastLba;
        uint32_t reported;
    } cases[] = {
        {0, 0},
        {0xFFFFFFFEull, 0xFFFFFFFEu},
        {0xFFFFFFFFull, ReadCapacity10Saturated}, // 2^32 blocks: too big as well
        {0x100000000ull, ReadCapacity10Saturated},
        {~0ull, ReadCapacity10Saturated},
    };
    for (const Case &c : cases) {
        const ReadCapacity10Answer a = DecodeReadCapacity10(EncodeReadCapacity10(c.lastLba, 4096));
        EXPECT_EQ(a.lastLba, c.reported) << c.lastLba;
        EXPECT_EQ(a.blockLength, 4096u) << c.lastLba;
    }
    EXPECT_EQ(DecodeReadCapacity16(EncodeReadCapacity16(~0ull, 0xFFFFFFFFu)).lastLba, ~0ull);
}

TEST(Protocol, IdentifyFieldsOfTheRecordedBigAtaDisk) {
    const uint8_t *id = QemuBigAtaIdentify.data();
    ASSERT_EQ(QemuBigAtaIdentify.size(), IdentifyLength);
    // 3 TiB: more than LBA28 holds (words 60-61 saturate), so words
    // 100-103 count the sectors, as word 83 bit 10 says.
    EXPECT_TRUE(IdentifyBit(id, IdentifyCommandSets2Word, IdentifyLba48Bit));
    EXPECT_EQ(IdentifyWord(id, IdentifyLba28SectorsWord), 0xFFFF);
    EXPECT_EQ(IdentifyWord(id, IdentifyLba28SectorsWord + 1), 0x0FFF);
    EXPECT_EQ(IdentifySectorCount(id), 3ull * (1ull << 40) / 512);
    EXPECT_TRUE(IdentifyBit(id, IdentifyCapabilitiesWord, IdentifyLbaBit));
    EXPECT_FALSE(IdentifyBit(id, IdentifyCommandSetsWord, IdentifySecurityBit));
    EXPECT_FALSE(IdentifyIsPacketDevice(id));
    EXPECT_TRUE(IdentifyChecksumHolds(id)) << "QEMU writes no integrity word";

    // Without bit 10 of word 83 the 28-bit count stands.
    ByteList lba28 = QemuBigAtaIdentify;
    SetIdentifyWord(lba28.data(), IdentifyCommandSets2Word, 0x7000);
    EXPECT_EQ(IdentifySectorCount(lba28.data()), 0x0FFFFFFFu);

    // The strings in reading order, each word's high byte first.
    ByteList swapped = QemuBigAtaIdentify;
    SwapAtaString(swapped.data(), IdentifySerialWord, IdentifySerialWords);
    SwapAtaString(swapped.data(), IdentifyFirmwareWord, IdentifyFirmwareWords);
    SwapAtaString(swapped.data(), IdentifyModelWord, IdentifyModelWords);
    EXPECT_EQ(Text(swapped, 2 * IdentifySerialWord, 2 * IdentifySerialWords), "TAVBIGATA01         ");
    EXPECT_EQ(Text(swapped, 2 * IdentifyFirmwareWord, 2 * IdentifyFirmwareWords), "BA48    ");
    EXPECT_EQ(Text(swapped, 2 * IdentifyModelWord, 2 * IdentifyModelWords), "TAV BIG SATA 3T" + std::string(25, ' '));
}

TEST(Protocol, AtaStringsAreStoredAsTheDriveStoresThem) {
    // An odd number of characters: the padding space goes first in memory
    // of the last word, "1 " is stored as 20 31.
    ByteList id(IdentifyLength, 0);
    PutAtaString(id.data(), IdentifySerialWord, IdentifySerialWords, "TAVBIGATA01");
    PutAtaString(id.data(), IdentifyFirmwareWord, IdentifyFirmwareWords, "BA48");
    PutAtaString(id.data(), IdentifyModelWord, IdentifyModelWords, "TAV BIG SATA 3T");
    for (size_t at = 2 * IdentifySerialWord; at < 2 * (IdentifyModelWord + IdentifyModelWords); ++at) {
        if (at >= 2 * (IdentifySerialWord + IdentifySerialWords) && at < 2 * IdentifyFirmwareWord)
            continue; // words 20-22 are no string
        EXPECT_EQ(id[at], QemuBigAtaIdentify[at]) << "byte " << at;
    }
    // Too long a text is cut to the field; the words around it stay.
    ByteList cut(IdentifyLength, 0);
    PutAtaString(cut.data(), IdentifyFirmwareWord, IdentifyFirmwareWords, "ABCDEFGHIJ");
    EXPECT_EQ(Text(cut, 2 * IdentifyFirmwareWord - 1, 10), std::string("\0BADCFEHG\0", 10));
    // An empty text fills the field with spaces; swapping twice restores it.
    PutAtaString(cut.data(), IdentifyFirmwareWord, 1, "");
    EXPECT_EQ(Text(cut, 2 * IdentifyFirmwareWord, 2), "  ");
    ByteList twice = QemuBigAtaIdentify;
    SwapAtaString(twice.data(), IdentifyModelWord, IdentifyModelWords);
    SwapAtaString(twice.data(), IdentifyModelWord, IdentifyModelWords);
    EXPECT_EQ(twice, QemuBigAtaIdentify);
}

TEST(Protocol, IdentifyIntegrityWordAndPacketDevices) {
    ByteList id = QemuBigAtaIdentify;
    // Signature 0xA5 and the checksum that makes the 512 bytes sum to 0.
    id[510] = IdentifyChecksumSignature;
    uint8_t sum = 0;
    for (size_t i = 0; i < 511; ++i)
        sum = static_cast<uint8_t>(sum + id[i]);
    id[511] = static_cast<uint8_t>(0x100 - sum);
    EXPECT_TRUE(IdentifyChecksumHolds(id.data()));
    id[54] ^= 0x01; // one bit of the model changed in transit
    EXPECT_FALSE(IdentifyChecksumHolds(id.data()));

    SetIdentifyWord(id.data(), IdentifyConfigurationWord, 0x85C0); // a packet device's configuration
    EXPECT_TRUE(IdentifyIsPacketDevice(id.data()));
    EXPECT_EQ(id[0], 0xC0);
    EXPECT_EQ(id[1], 0x85);
}

TEST(Protocol, SenseData) {
    // ILLEGAL REQUEST, INVALID FIELD IN CDB, as the Linux backend answers a
    // page it does not have.
    const FixedSenseData sense = EncodeFixedSense(SenseKeyIllegalRequest, AscInvalidFieldInCdb);
    EXPECT_EQ(List(sense), Hex("70 00 05 00 00 00 00 0A 00 00 00 00 24 00 00 00 00 00"));
    EXPECT_EQ(List(EncodeFixedSense(SenseKeyNotReady, AscMediumNotPresent, 0x02))[13], 0x02);

    struct Case {
        const char *sense;
        uint8_t key;
    } cases[] = {
        {"70 00 05 00 00 00 00 0A 00 00 00 00 24 00", SenseKeyIllegalRequest},
        {"F0 00 03", SenseKeyMediumError}, // the VALID bit is no part of the format
        {"71 00 F7", SenseKeyDataProtect}, // deferred error; the flags above the key are dropped
        {"72 02 3A 00", SenseKeyNotReady}, // descriptor format
        {"73 07", SenseKeyDataProtect},    // descriptor format, deferred
        {"70 00", SenseKeyNoSense},        // too short for its key
        {"72", SenseKeyNoSense},
        {"", SenseKeyNoSense},
        {"7F 05 05", SenseKeyNoSense}, // a vendor's format
    };
    for (const Case &c : cases) {
        const ByteList bytes = Hex(c.sense);
        EXPECT_EQ(SenseKeyOf(bytes.data(), bytes.size()), c.key) << c.sense;
    }
}

TEST(Protocol, ByteOrderWithoutAlignment) {
    const ByteList bytes = Hex("00 01 23 45 67 89 AB CD EF");
    EXPECT_EQ(LoadBe16(bytes.data() + 1), 0x0123);
    EXPECT_EQ(LoadBe32(bytes.data() + 1), 0x01234567u);
    EXPECT_EQ(LoadBe64(bytes.data() + 1), 0x0123456789ABCDEFull);
    EXPECT_EQ(LoadLe16(bytes.data() + 1), 0x2301);
    EXPECT_EQ(LoadLe32(bytes.data() + 1), 0x67452301u);
    ByteList out(9, 0);
    StoreBe64(out.data() + 1, 0x0123456789ABCDEFull);
    EXPECT_EQ(out, bytes);
    StoreBe16(out.data() + 1, 0xFEDC);
    StoreLe16(out.data() + 3, 0xFEDC);
    EXPECT_EQ(out, Hex("00 FE DC DC FE 89 AB CD EF"));
}

TEST(Protocol, ClassGuids) {
    EXPECT_TRUE(TavProtocol::SameGuid(TavPlatform::DiskInterfaceClass, TavPlatform::DiskInterfaceClass));
    EXPECT_FALSE(TavProtocol::SameGuid(TavPlatform::DiskInterfaceClass, TavPlatform::DiskDriveClass));
    GUID nearly = TavPlatform::DiskDriveClass;
    nearly.Data4[7] ^= 1; // every byte counts, the last included
    EXPECT_FALSE(TavProtocol::SameGuid(nearly, TavPlatform::DiskDriveClass));
    nearly = TavPlatform::DiskDriveClass;
    nearly.Data1 ^= 0x80000000u;
    EXPECT_FALSE(TavProtocol::SameGuid(nearly, TavPlatform::DiskDriveClass));
    EXPECT_EQ(TavPlatform::DiskDriveClass.Data1, 0x4D36E967u);
    EXPECT_EQ(TavPlatform::DiskInterfaceClass.Data1, 0x53F56307u);
}
