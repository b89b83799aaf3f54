// SPDX-License-Identifier: MIT
// The drive's text fields: trimming, word transposition, and every narrow
// text getter at the edges of the caller's buffer and of the device's data.
#include "TestSupport.h"

#include <cstring>

using namespace TavTest;

namespace {

struct Trimmed {
    std::string text;
    ULONG count;
    std::vector<unsigned char> raw;
};

Trimmed Trim(const std::string &field, ULONG length) {
    std::vector<unsigned char> destination(length + 1, 0xAA);
    ULONG count = 12345;
    DriveTestAccess::Trim(reinterpret_cast<const unsigned char *>(field.data()), destination.data(), length, &count);
    return {std::string(reinterpret_cast<const char *>(destination.data())), count, destination};
}

// Calls a narrow getter with a buffer of `capacity` bytes inside a guarded
// block, and checks that nothing beyond the capacity was written.
struct Delivered {
    int result;
    ULONG count;
    std::string text;
    bool touched;
};

template <class Getter> Delivered Call(Drive &d, Getter getter, ULONG capacity) {
    std::vector<unsigned char> block(capacity + 16, 0xAA);
    ULONG count = 777;
    int result = (d.*getter)(block.data(), capacity, &count);
    for (size_t i = capacity; i < block.size(); ++i)
        EXPECT_EQ(block[i], 0xAA) << "byte " << i << " written past capacity " << capacity;
    bool touched = false;
    for (ULONG i = 0; i < capacity; ++i)
        touched |= block[i] != 0xAA;
    std::string text;
    if (capacity && touched)
        text.assign(reinterpret_cast<const char *>(block.data()),
                    strnlen(reinterpret_cast<const char *>(block.data()), capacity));
    return {result, count, text, touched};
}

ByteString Identify(const char *model, const char *serial, const char *firmware) {
    return TavSim::MakeIdentify(model, serial, firmware);
}

// Writes raw bytes into the IDENTIFY data at a data-byte offset.
void Put(ByteString &identify, size_t at, const std::string &bytes) {
    std::memcpy(identify.data() + at, bytes.data(), bytes.size());
}

// Stores text as a drive stores it: the first of each pair of characters in
// the word's high byte.
void PutAta(ByteString &identify, size_t at, const std::string &text) {
    for (size_t i = 0; i + 1 < text.size(); i += 2) {
        identify[at + i] = static_cast<uint8_t>(text[i + 1]);
        identify[at + i + 1] = static_cast<uint8_t>(text[i]);
    }
}

} // namespace

TEST(TrimString, DropsLeadingSpacesAndTrailingBlanks) {
    EXPECT_EQ(Trim("  AB  CD  ", 10).text, "AB  CD");
    EXPECT_EQ(Trim("  AB  CD  ", 10).count, 6u);
    auto t = Trim("  AB  CD  ", 10);
    EXPECT_EQ(t.raw[6], 0);
    EXPECT_EQ(t.raw[7], 0);

    EXPECT_EQ(Trim("        ", 8).count, 0u);
    EXPECT_EQ(Trim("        ", 8).raw[0], 0);
    EXPECT_EQ(Trim(std::string("\0\0 \0 ", 5), 5).count, 0u);

    // Only the end is examined for zero bytes.
    auto inner = Trim(std::string("\0ABC", 4), 4);
    EXPECT_EQ(inner.count, 4u);
    EXPECT_EQ(inner.raw[0], 0);
    EXPECT_EQ(inner.raw[3], 'C');

    // A tab is not blank.
    EXPECT_EQ(Trim("\tA\t", 3).count, 3u);

    // The cut comes before the leading spaces are dropped.
    EXPECT_EQ(Trim("   XYZ", 5).text, "XY");
    EXPECT_EQ(Trim("   XYZ", 5).count, 2u);
    EXPECT_EQ(Trim("ABC", 0).count, 0u);
    EXPECT_EQ(Trim("ABC", 0).raw[0], 0);
}

TEST(TransposeByWord, SwapsTheBytesOfWholeWordsOnly) {
    const unsigned char source[] = {0x42, 0x41, 0x44, 0x43, 0x46};
    unsigned char out[6];
    std::memset(out, 0xAA, sizeof out);
    DriveTestAccess::Transpose(source, out, 0, 4);
    EXPECT_EQ(std::memcmp(out, "ABCD", 4), 0);
    EXPECT_EQ(out[4], 0xAA);

    std::memset(out, 0xAA, sizeof out);
    DriveTestAccess::Transpose(source, out, 0, 5);
    EXPECT_EQ(std::memcmp(out, "ABCD", 4), 0);
    EXPECT_EQ(out[4], 0xAA);

    std::memset(out, 0xAA, sizeof out);
    DriveTestAccess::Transpose(source, out, 0, 1);
    DriveTestAccess::Transpose(source, out, 0, 0);
    EXPECT_EQ(out[0], 0xAA);

    DriveTestAccess::Transpose(source, out, 2, 2);
    EXPECT_EQ(std::memcmp(out, "CD", 2), 0);
}

class Texts : public MachineTest {};

TEST_F(Texts, DescriptorStrings) {
    auto disk = ScsiDisk(0);
    disk.deviceDescriptor =
        TavSim::MakeDeviceDescriptor("        ", "  TAV ARRAY  ", "0001", nullptr, BusTypeSas, true);
    machine.AddDisk(disk);
    disk.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "ARRAY", "0001", nullptr, BusTypeSas, false);
    machine.AddDisk(disk);
    DrivePtr d = Get(0);

    // A vendor of spaces only: empty text, count 0.
    auto vendor = Call(*d, &Drive::GetVendorId, 16);
    EXPECT_EQ(vendor.result, 1);
    EXPECT_EQ(vendor.count, 0u);
    EXPECT_EQ(vendor.text, "");

    auto product = Call(*d, &Drive::GetProductId, 64);
    EXPECT_EQ(product.text, "TAV ARRAY");
    EXPECT_EQ(product.count, 9u);

    // Serial offset 0xFFFFFFFF and 0 both mean "no string".
    for (ULONG i = 0; i < 2; ++i) {
        DrivePtr e = Get(i);
        auto serial = Call(*e, &Drive::GetSerialNumber, 16);
        EXPECT_EQ(serial.result, 1);
        EXPECT_EQ(serial.count, 1u);
        EXPECT_EQ(serial.text, "");
        auto none = Call(*e, &Drive::GetSerialNumber, 0);
        EXPECT_EQ(none.result, 0);
        EXPECT_EQ(none.count, 1u);
        EXPECT_FALSE(none.touched);
    }

    // A text filling the capacity gives up its last character to the
    // terminator; the buffer is never overrun.
    auto cut = Call(*d, &Drive::GetProductRevision, 4);
    EXPECT_EQ(cut.result, 1);
    EXPECT_EQ(cut.text, "000");
    EXPECT_EQ(cut.count, 3u);
    EXPECT_EQ(Call(*d, &Drive::GetProductRevision, 5).text, "0001");
    auto zero = Call(*d, &Drive::GetProductRevision, 0);
    EXPECT_EQ(zero.result, 1);
    EXPECT_EQ(zero.count, 0u);
    EXPECT_FALSE(zero.touched);
    for (ULONG capacity = 1; capacity < 20; ++capacity)
        Call(*d, &Drive::GetProductId, capacity);
}

TEST_F(Texts, DescriptorOffsetsOutsideTheRecordMeanNoString) {
    auto disk = ScsiDisk(0);
    ByteString descriptor = TavSim::MakeDeviceDescriptor("TAV", "ARRAY", "0001", "SERIAL", BusTypeSas);
    auto setOffset = [&](size_t field, uint32_t value) { std::memcpy(descriptor.data() + field, &value, 4); };
    const uint32_t size = static_cast<uint32_t>(descriptor.size());
    setOffset(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset), size);         // just past the end
    setOffset(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset), 0x7FFFFFF0u); // far outside
    // The serial runs to the end of the record with no terminator.
    descriptor.back() = 'Z';
    disk.deviceDescriptor = descriptor;
    machine.AddDisk(disk);

    // The descriptor's own Size claims more than was delivered.
    ByteString lying = TavSim::MakeDeviceDescriptor("TAV", "ARRAY", "0001", "SERIAL", BusTypeSas);
    uint32_t claimed = 4096;
    std::memcpy(lying.data() + offsetof(STORAGE_DEVICE_DESCRIPTOR, Size), &claimed, 4);
    std::memcpy(lying.data() + offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset), &claimed, 4);
    disk.deviceDescriptor = lying;
    machine.AddDisk(disk);

    // A descriptor shorter than its fixed part.
    disk.deviceDescriptor = ByteString(descriptor.begin(), descriptor.begin() + 20);
    uint32_t shortSize = 20;
    std::memcpy(disk.deviceDescriptor.data() + 4, &shortSize, 4);
    machine.AddDisk(disk);

    DrivePtr d = Get(0);
    auto vendor = Call(*d, &Drive::GetVendorId, 32);
    EXPECT_EQ(vendor.count, 1u);
    EXPECT_EQ(vendor.text, "");
    EXPECT_EQ(Call(*d, &Drive::GetProductId, 32).count, 1u);
    auto serial = Call(*d, &Drive::GetSerialNumber, 64);
    EXPECT_EQ(serial.result, 1);
    EXPECT_EQ(serial.text, "SERIALZ");

    DrivePtr e = Get(1);
    auto outside = Call(*e, &Drive::GetVendorId, 32);
    EXPECT_EQ(outside.count, 1u);
    EXPECT_EQ(Call(*e, &Drive::GetProductId, 32).text, "ARRAY");

    DrivePtr f = Get(2);
    for (auto getter :
         {&Drive::GetVendorId, &Drive::GetProductId, &Drive::GetProductRevision, &Drive::GetSerialNumber}) {
        auto r = Call(*f, getter, 32);
        EXPECT_EQ(r.result, 1);
        EXPECT_EQ(r.count, 1u);
        EXPECT_EQ(r.text, "");
    }
}

TEST_F(Texts, IdentifyStrings) {
    auto disk = AtaDisk(0);
    disk.identify = Identify("", "", "");
    // Words 27-28 hold 0x4142 and 0x4344: data bytes 0x42 0x41 0x44 0x43.
    Put(disk.identify, 54, "BADC");
    Put(disk.identify, 58, std::string(36, ' '));
    // Serial: 12 spaces then 8 characters, as a right-aligned serial is stored.
    PutAta(disk.identify, 20, "            12345678");
    // Firmware whose third staged byte is 0.
    PutAta(disk.identify, 46, std::string("RV\0X1234", 8));
    machine.AddDisk(disk);
    // A model of 40 non-blank characters.
    disk.identify = Identify("0123456789ABCDEFGHIJ0123456789ABCDEFGHIJ", "S", "F");
    machine.AddDisk(disk);

    DrivePtr d = Get(0);
    auto model = Call(*d, &Drive::GetIdeDriveModelNo, 64);
    EXPECT_EQ(model.result, 1);
    EXPECT_EQ(model.text, "ABCD");
    EXPECT_EQ(model.count, 4u);

    auto serial = Call(*d, &Drive::GetIdeDriveSerialNo, 21);
    EXPECT_EQ(serial.text, "12345678");
    EXPECT_EQ(serial.count, 8u);
    // Cut to 10 bytes, only spaces remain.
    auto cut = Call(*d, &Drive::GetIdeDriveSerialNo, 10);
    EXPECT_EQ(cut.result, 1);
    EXPECT_EQ(cut.count, 0u);

    auto firmware = Call(*d, &Drive::GetIdeDriveFirmwareRevision, 9);
    EXPECT_EQ(firmware.text, "RV");
    EXPECT_EQ(firmware.count, 2u);

    DrivePtr full = Get(1);
    auto whole = Call(*full, &Drive::GetIdeDriveModelNo, 41);
    EXPECT_EQ(whole.count, 40u);
    EXPECT_EQ(whole.text, "0123456789ABCDEFGHIJ0123456789ABCDEFGHIJ");
    auto short40 = Call(*full, &Drive::GetIdeDriveModelNo, 40);
    EXPECT_EQ(short40.result, 1);
    EXPECT_EQ(short40.count, 39u);
    auto zero = Call(*full, &Drive::GetIdeDriveModelNo, 0);
    EXPECT_EQ(zero.result, 1);
    EXPECT_EQ(zero.count, 0u);
    EXPECT_FALSE(zero.touched);
}

TEST_F(Texts, AtaFlagsAndEraseTimes) {
    auto disk = AtaDisk(0);
    struct Case {
        uint16_t w82, w83, w89, w90;
        int security, lba48;
        unsigned short erase, enhanced;
    };
    const Case cases[] = {
        {0x0002, 0x4400, 0x001E, 0x00FF, 1, 1, 60, 510},
        {0x0000, 0xFFFF, 0x0000, 0x8010, 0, 1, 0, 0x0020},
        {0xFFFD, 0x0000, 0x00FE, 0x7FFF, 0, 0, 508, 0xFFFE},
    };
    for (const auto &c : cases) {
        TavSim::SetIdentifyWord(disk.identify, 82, c.w82);
        TavSim::SetIdentifyWord(disk.identify, 83, c.w83);
        TavSim::SetIdentifyWord(disk.identify, 89, c.w89);
        TavSim::SetIdentifyWord(disk.identify, 90, c.w90);
        machine.AddDisk(disk);
    }
    for (ULONG i = 0; i < 3; ++i) {
        DrivePtr d = Get(i);
        EXPECT_EQ(d->GetIdeSupportsSecurity(), cases[i].security) << i;
        EXPECT_EQ(d->GetIdeSupports48BitAddressing(), cases[i].lba48) << i;
        EXPECT_EQ(d->GetIdeSecurityEraseUnitTime(), cases[i].erase) << i;
        EXPECT_EQ(d->GetIdeEnhancedSecurityEraseUnitTime(), cases[i].enhanced) << i;
        EXPECT_EQ(d->GetIdeControllerNumber(), 1u);
        EXPECT_EQ(d->GetIdeDiskNumber(), 0u);
    }
}

TEST_F(Texts, InquiryStrings) {
    auto disk = ScsiDisk(0);
    disk.inquiry = TavSim::MakeInquiry("ABC", "", "WXYZ");
    machine.AddDisk(disk);
    // Fields with inner and leading zero bytes, and an answer that stops
    // inside the product field.
    disk.inquiry = TavSim::MakeInquiry("AB  CDEF", "PRODUCT", "1");
    disk.inquiry[8] = 0;
    disk.inquiry[15] = 'F';
    machine.AddDisk(disk);
    disk.inquiry = TavSim::MakeInquiry("VENDOR", "PRODUCTNAME", "REV", 36);
    disk.inquiry.resize(20);
    machine.AddDisk(disk);

    DrivePtr d = Get(0);
    auto vendor = Call(*d, &Drive::GetScsiVendorId, 4);
    EXPECT_EQ(vendor.text, "ABC");
    EXPECT_EQ(vendor.count, 3u);
    EXPECT_EQ(Call(*d, &Drive::GetScsiVendorId, 9).text, "ABC");
    auto product = Call(*d, &Drive::GetScsiProductId, 17);
    EXPECT_EQ(product.result, 1);
    EXPECT_EQ(product.count, 0u);
    EXPECT_EQ(Call(*d, &Drive::GetScsiProductRevision, 64).text, "WXYZ");
    auto revision4 = Call(*d, &Drive::GetScsiProductRevision, 4);
    EXPECT_EQ(revision4.result, 1);
    EXPECT_EQ(revision4.count, 3u);
    EXPECT_EQ(revision4.text, "WXY");

    DrivePtr e = Get(1);
    // A leading zero byte stays and is counted when a non-blank byte ends the field.
    auto zeroLed = Call(*e, &Drive::GetScsiVendorId, 64);
    EXPECT_EQ(zeroLed.count, 8u);
    EXPECT_EQ(zeroLed.text, "");
    // AB, two spaces, CDEF cut to 4 bytes.
    disk.inquiry = TavSim::MakeInquiry("AB  CDEF", "P", "1");
    machine.AddDisk(disk);
    DrivePtr g = Get(3);
    auto ab = Call(*g, &Drive::GetScsiVendorId, 4);
    EXPECT_EQ(ab.text, "AB");
    EXPECT_EQ(ab.count, 2u);

    DrivePtr f = Get(2);
    EXPECT_EQ(Call(*f, &Drive::GetScsiVendorId, 9).text, "VENDOR");
    EXPECT_EQ(Call(*f, &Drive::GetScsiProductId, 17).text, "PROD");
    EXPECT_EQ(Call(*f, &Drive::GetScsiProductRevision, 5).count, 0u);
}

TEST_F(Texts, GettersThatDoNotApplyLeaveBufferAndCountAlone) {
    machine.AddDisk(AtaDisk(0));
    machine.AddDisk(ScsiDisk(1));
    DrivePtr ata = Get(0);
    DrivePtr scsi = Get(1);
    for (auto getter : {&Drive::GetScsiVendorId, &Drive::GetScsiProductId, &Drive::GetScsiProductRevision}) {
        auto r = Call(*ata, getter, 32);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.count, 777u);
        EXPECT_FALSE(r.touched);
    }
    for (auto getter : {&Drive::GetIdeDriveSerialNo, &Drive::GetIdeDriveFirmwareRevision, &Drive::GetIdeDriveModelNo}) {
        auto r = Call(*scsi, getter, 32);
        EXPECT_EQ(r.result, 0);
        EXPECT_EQ(r.count, 777u);
        EXPECT_FALSE(r.touched);
    }
    EXPECT_EQ(scsi->GetIdeControllerNumber() | scsi->GetIdeDiskNumber(), 0u);
    EXPECT_EQ(scsi->GetIdeSupports48BitAddressing() | scsi->GetIdeSupportsSecurity(), 0);
    EXPECT_EQ(scsi->GetIdeSecurityEraseUnitTime() | scsi->GetIdeEnhancedSecurityEraseUnitTime(), 0);
    // The address answers for every disk.
    EXPECT_EQ(ata->GetScsiPort(), 1);
    EXPECT_EQ(scsi->GetScsiPort(), 2);
    EXPECT_EQ(scsi->GetScsiTargetId(), 5);
}

TEST_F(Texts, DevicePathBusTypeAndDeviceNode) {
    auto disk = AtaDisk(0);
    disk.devicePath = L"\\\\?\\disk#1";
    machine.AddDisk(disk);
    DrivePtr d = Get(0);
    EXPECT_EQ(d->GetBusType(), BusTypeSata);

    const ULONG length = static_cast<ULONG>(disk.devicePath.size());
    std::vector<wchar_t> buffer(length + 4, L'#');
    ULONG count = 0;
    EXPECT_EQ(d->GetDevicePath(buffer.data(), length, &count), 0);
    EXPECT_EQ(count, length + 1);
    EXPECT_EQ(buffer[0], L'#');
    EXPECT_EQ(d->GetDevicePath(nullptr, 0, &count), 0);
    EXPECT_EQ(count, length + 1);
    EXPECT_EQ(d->GetDevicePath(buffer.data(), length + 1, &count), 1);
    EXPECT_EQ(buffer[length], 0);
    EXPECT_EQ(buffer[length + 1], L'#');
    EXPECT_EQ(std::wstring(buffer.data()), disk.devicePath);

    EXPECT_EQ(d->GetDeviceInstance(), disk.devInst);
    EXPECT_EQ(d->GetDeviceParentInstance(), controller);
    machine.ClearLog();
    EXPECT_EQ(d->GetDriveNumber(), 0u);
    EXPECT_EQ(d->GetDriveNumber(), 0u);
    EXPECT_EQ(machine.Count(TavSim::Op::DeviceIoControl, IOCTL_STORAGE_GET_DEVICE_NUMBER), 2u);
}
