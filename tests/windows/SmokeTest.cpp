// SPDX-License-Identifier: MIT
// TavDiskLib.dll over the system's own KERNEL32 and SETUPAPI.
//
// Made to run under Wine, which has no disk interfaces: enumeration gives a
// set and then nothing, and a Drive over an interface whose device cannot be
// opened (one this program registers in a set of its own) answers the zero
// results everywhere. On a real Windows machine the disk count is whatever
// the machine has; every other case holds there as well.
#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/types.h"

#include <devguid.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>
#include <string>
#include <type_traits>
#include <vector>

// The exported signatures, with the system's own types: ULONG is unsigned
// long here, wide text is wchar_t, 64-bit values are LARGE_INTEGER and the
// bus type is STORAGE_BUS_TYPE. A change to any of them changes what callers
// link against.
#define TAVDISK_EXPECT_SIGNATURE(member, type)                                                                         \
    static_assert(std::is_same<decltype(member), type>::value, #member " has changed its exported signature")
using NarrowText = int (Drive::*)(unsigned char *, unsigned long, unsigned long *);
using WideText = int (Drive::*)(wchar_t *, unsigned long, unsigned long *);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetDeviceInfoSet, void *(*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetDrive, Drive *(*)(void *, unsigned long));
// Copy assignment keeps its exported signature beside the move (the cast
// picks the overload and fails to compile where it is gone).
TAVDISK_EXPECT_SIGNATURE(static_cast<Drive &(Drive::*)(Drive const &)>(&Drive::operator=),
                         Drive &(Drive::*)(Drive const &));
TAVDISK_EXPECT_SIGNATURE(&Drive::GetVendorId, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetProductId, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetProductRevision, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetSerialNumber, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetBusType, STORAGE_BUS_TYPE (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetDriveNumber, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetDevicePath, WideText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetDeviceInstance, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetDeviceParentInstance, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::IsAta, int (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeDriveSerialNo, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeDriveFirmwareRevision, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeDriveModelNo, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeControllerNumber, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeDiskNumber, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeSupports48BitAddressing, int (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeSupportsSecurity, int (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeSecurityEraseUnitTime, unsigned short (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetIdeEnhancedSecurityEraseUnitTime, unsigned short (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetScsiVendorId, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetScsiProductId, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetScsiProductRevision, NarrowText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetScsiPort, unsigned char (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetScsiBusId, unsigned char (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetScsiTargetId, unsigned char (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetScsiLogicalUnitId, unsigned char (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetCapacity, LARGE_INTEGER (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetCylinders, LARGE_INTEGER (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetTracksPerCylinder, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetSectorsPerTrack, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetBytesPerSector, unsigned long (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::GetSectors, LARGE_INTEGER (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Drive::ReadSector, int (Drive::*)(unsigned long, unsigned char *));
TAVDISK_EXPECT_SIGNATURE(&Drive::WriteSector, int (Drive::*)(unsigned long, unsigned char *));
TAVDISK_EXPECT_SIGNATURE(&Drive::GetDriveLetters, WideText);
TAVDISK_EXPECT_SIGNATURE(&Drive::GetMountPoints, WideText);
TAVDISK_EXPECT_SIGNATURE(&Drive::ContainsWindowsBootPartition, int (Drive::*)());
TAVDISK_EXPECT_SIGNATURE(&Adapter::GetDescription, void (Adapter::*)(wchar_t const *, unsigned long, unsigned long *));
TAVDISK_EXPECT_SIGNATURE(static_cast<Adapter &(Adapter::*)(Adapter const &)>(&Adapter::operator=),
                         Adapter &(Adapter::*)(Adapter const &));
static_assert(std::is_constructible<Drive, void *, unsigned long, SP_DEVICE_INTERFACE_DATA *>::value,
              "Drive constructor");
static_assert(std::is_constructible<Adapter, void *, unsigned long>::value, "Adapter constructor");
static_assert(std::is_same<ULONG, unsigned long>::value && std::is_same<WCHAR, wchar_t>::value,
              "the system's ULONG and WCHAR");
#undef TAVDISK_EXPECT_SIGNATURE

// A window on the records a Drive keeps, to check what the library put into
// them for the system.
struct DriveTestAccess {
    static HANDLE Handle(const Drive &d) { return d.DeviceHandle; }
    static const SP_DEVICE_INTERFACE_DETAIL_DATA_W *Detail(const Drive &d) { return d.InterfaceDetail; }
    static const SP_DEVINFO_DATA *DevInfo(const Drive &d) { return d.DevInfoData; }
    static const SCSI_ADDRESS *Address(const Drive &d) { return d.ScsiAddress; }
    static const unsigned char *Inquiry(const Drive &d) { return d.InquiryData; }
    static bool HasSmartVersion(const Drive &d) { return d.SmartVersion != nullptr; }
};

namespace {

bool UnderWine() {
    HMODULE ntdll = GetModuleHandleW(L"ntdll.dll");
    return ntdll && GetProcAddress(ntdll, "wine_get_version") != nullptr;
}

struct SetCloser {
    void operator()(void *set) const {
        if (set && set != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set);
    }
};
using SetPtr = std::unique_ptr<void, SetCloser>;

// Every answer of a Drive whose device could not be opened: the zero results,
// empty texts, and the caller's buffers untouched where a getter does not
// apply.
void ExpectZeroAnswers(Drive &d) {
    EXPECT_EQ(DriveTestAccess::Handle(d), INVALID_HANDLE_VALUE);
    EXPECT_FALSE(DriveTestAccess::HasSmartVersion(d));
    EXPECT_EQ(d.IsAta(), 0);
    EXPECT_EQ(d.GetBusType(), BusTypeUnknown);
    EXPECT_EQ(d.GetDriveNumber(), 0ul);

    EXPECT_EQ(d.GetScsiPort(), 0);
    EXPECT_EQ(d.GetScsiBusId(), 0);
    EXPECT_EQ(d.GetScsiTargetId(), 0);
    EXPECT_EQ(d.GetScsiLogicalUnitId(), 0);
    ASSERT_NE(DriveTestAccess::Address(d), nullptr);
    EXPECT_EQ(DriveTestAccess::Address(d)->Length, sizeof(SCSI_ADDRESS));
    const unsigned char *inquiry = DriveTestAccess::Inquiry(d);
    for (int i = 0; i < 56; ++i)
        EXPECT_EQ(inquiry[i], 0) << "INQUIRY byte " << i;

    EXPECT_EQ(d.GetSectors().QuadPart, 0);
    EXPECT_EQ(d.GetCapacity().QuadPart, 0);
    EXPECT_EQ(d.GetCylinders().QuadPart, 0);
    EXPECT_EQ(d.GetTracksPerCylinder(), 0ul);
    EXPECT_EQ(d.GetSectorsPerTrack(), 0ul);
    EXPECT_EQ(d.GetBytesPerSector(), 0ul);

    // Descriptor strings: present as empty texts.
    using Getter = int (Drive::*)(unsigned char *, ULONG, ULONG *);
    for (Getter get : {&Drive::GetVendorId, &Drive::GetProductId, &Drive::GetProductRevision, &Drive::GetSerialNumber,
                       &Drive::GetScsiVendorId, &Drive::GetScsiProductId, &Drive::GetScsiProductRevision}) {
        unsigned char text[64];
        std::memset(text, 'x', sizeof text);
        ULONG count = 99;
        EXPECT_EQ((d.*get)(text, sizeof text, &count), 1);
        EXPECT_EQ(text[0], 0);
        EXPECT_LE(count, 1ul);
    }
    // IDE strings do not apply to a disk that is not ATA.
    for (Getter get : {&Drive::GetIdeDriveModelNo, &Drive::GetIdeDriveSerialNo, &Drive::GetIdeDriveFirmwareRevision}) {
        unsigned char text[64];
        std::memset(text, 'x', sizeof text);
        ULONG count = 99;
        EXPECT_EQ((d.*get)(text, sizeof text, &count), 0);
        EXPECT_EQ(text[0], 'x');
        EXPECT_EQ(count, 99ul);
    }
    EXPECT_EQ(d.GetIdeControllerNumber(), 0ul);
    EXPECT_EQ(d.GetIdeDiskNumber(), 0ul);
    EXPECT_EQ(d.GetIdeSupports48BitAddressing(), 0);
    EXPECT_EQ(d.GetIdeSupportsSecurity(), 0);
    EXPECT_EQ(d.GetIdeSecurityEraseUnitTime(), 0);
    EXPECT_EQ(d.GetIdeEnhancedSecurityEraseUnitTime(), 0);

    // No sector moves without a sector size, and the buffer is left alone.
    std::vector<unsigned char> sector(4096, 0xA5);
    EXPECT_EQ(d.ReadSector(0, sector.data()), 0);
    EXPECT_EQ(d.WriteSector(0, sector.data()), 0);
    EXPECT_EQ(sector[0], 0xA5);
    EXPECT_EQ(sector[4095], 0xA5);

    // Without the disk's number no volume is matched to it, whatever volumes
    // the machine has.
    wchar_t letters[27];
    ULONG length = 0;
    EXPECT_EQ(d.GetDriveLetters(letters, 27, &length), 1);
    EXPECT_EQ(length, 1ul);
    EXPECT_EQ(letters[0], L'\0');
    wchar_t mounts[8];
    length = 0;
    EXPECT_EQ(d.GetMountPoints(mounts, 8, &length), 1);
    EXPECT_EQ(length, 1ul);
    EXPECT_EQ(mounts[0], L'\0');
    EXPECT_EQ(d.ContainsWindowsBootPartition(), 0);
}

// A device node of this program's own in a set of its own, with one disk
// interface on it. Its path names no device, so opening it fails.
class RegisteredInterface : public ::testing::Test {
protected:
    void SetUp() override {
        set.reset(SetupDiCreateDeviceInfoList(&GUID_DEVCLASS_DISKDRIVE, nullptr));
        ASSERT_NE(set.get(), INVALID_HANDLE_VALUE) << GetLastError();
        node.cbSize = sizeof node;
        if (!SetupDiCreateDeviceInfoW(set.get(), L"TavDiskSmokeDisk", &GUID_DEVCLASS_DISKDRIVE, Description, nullptr,
                                      DICD_GENERATE_ID, &node))
            GTEST_SKIP() << "the system refused a device node of our own: " << GetLastError();
        created = true;
        // Registered, the node can be opened into another set by its
        // instance identifier, as an Adapter does.
        // (Registering needs administrator rights on Windows; Wine grants it.)
        if (!SetupDiRegisterDeviceInfo(set.get(), &node, 0, nullptr, nullptr, nullptr))
            GTEST_SKIP() << "the system refused to register a device node of our own: " << GetLastError();
        SP_DEVICE_INTERFACE_DATA iface{};
        iface.cbSize = sizeof iface;
        if (!SetupDiCreateDeviceInterfaceW(set.get(), &node, &GUID_DEVINTERFACE_DISK, L"smoke", 0, &iface))
            GTEST_SKIP() << "the system refused a disk interface of our own: " << GetLastError();

        // The interface's path as the system gives it, for comparison.
        DWORD required = 0;
        SetupDiGetDeviceInterfaceDetailW(set.get(), &iface, nullptr, 0, &required, nullptr);
        ASSERT_GE(required, sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W));
        std::vector<unsigned char> block(required);
        auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(block.data());
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        ASSERT_TRUE(SetupDiGetDeviceInterfaceDetailW(set.get(), &iface, detail, required, nullptr, nullptr))
            << GetLastError();
        path = detail->DevicePath;
    }

    void TearDown() override {
        if (created)
            SetupDiRemoveDevice(set.get(), &node);
    }

    static constexpr const wchar_t *Description = L"TavDisk smoke disk";
    SetPtr set;
    SP_DEVINFO_DATA node{};
    bool created = false;
    std::wstring path;
};

} // namespace

TEST(WindowsRecords, SizesAreTheSystemsForThisWidth) {
#if defined(_WIN64)
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), 8u);
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 56u);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), 32u);
#else
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W), 6u);
    EXPECT_EQ(sizeof(SCSI_PASS_THROUGH_DIRECT), 44u);
    EXPECT_EQ(sizeof(SP_DEVICE_INTERFACE_DATA), 28u);
#endif
    EXPECT_EQ(sizeof(ULONG), 4u);
    EXPECT_EQ(sizeof(wchar_t), 2u);
    EXPECT_TRUE(IsEqualGUID(TavPlatform::DiskInterfaceClass, GUID_DEVINTERFACE_DISK));
}

TEST(WindowsEnumeration, GivesASetThenNoDriveWhereThereAreNoDisks) {
    SetPtr set(Drive::GetDeviceInfoSet());
    ASSERT_NE(set.get(), INVALID_HANDLE_VALUE) << GetLastError();
    ASSERT_NE(set.get(), nullptr);

    ULONG count = 0;
    for (; count < 256; ++count) {
        std::unique_ptr<Drive> drive(Drive::GetDrive(set.get(), count));
        if (!drive)
            break;
    }
    EXPECT_LT(count, 256ul);
    if (UnderWine()) {
        EXPECT_EQ(count, 0ul);
    }
    EXPECT_EQ(Drive::GetDrive(set.get(), count), nullptr);
    EXPECT_EQ(Drive::GetDrive(set.get(), 0xFFFFFFFFul), nullptr);
    // The set stays the caller's: the library has not released it.
    EXPECT_TRUE(SetupDiDestroyDeviceInfoList(set.release()));
}

TEST(WindowsEnumeration, NoDriveFromAnInvalidSet) {
    EXPECT_EQ(Drive::GetDrive(INVALID_HANDLE_VALUE, 0), nullptr);
    EXPECT_EQ(Drive::GetDrive(nullptr, 0), nullptr);
}

TEST(WindowsUnopenable, DriveOverAForeignInterfaceRecordAnswersZeros) {
    // An interface record that no set handed out: the system finds no path
    // for it, so there is nothing to open.
    SetPtr set(Drive::GetDeviceInfoSet());
    ASSERT_NE(set.get(), INVALID_HANDLE_VALUE);
    auto *record = static_cast<SP_DEVICE_INTERFACE_DATA *>(LocalAlloc(LPTR, sizeof(SP_DEVICE_INTERFACE_DATA)));
    ASSERT_NE(record, nullptr);
    record->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);

    Drive d(set.get(), 0, record);
    EXPECT_EQ(DriveTestAccess::Detail(d), nullptr);
    wchar_t path[4] = {L'x', L'x', L'x', L'x'};
    ULONG length = 0;
    EXPECT_EQ(d.GetDevicePath(path, 4, &length), 1);
    EXPECT_EQ(length, 1ul);
    EXPECT_EQ(path[0], L'\0');
    EXPECT_EQ(d.GetDeviceInstance(), 0ul);
    ExpectZeroAnswers(d);
}

TEST_F(RegisteredInterface, DriveOverAnInterfaceThatCannotBeOpenedAnswersZeros) {
    // Found through the library's own enumeration of the set.
    std::unique_ptr<Drive> d(Drive::GetDrive(set.get(), 0));
    ASSERT_NE(d, nullptr);
    EXPECT_EQ(Drive::GetDrive(set.get(), 1), nullptr);

    // The detail record carries the system's size of its fixed part, which
    // the system checks: the path arrived.
    const SP_DEVICE_INTERFACE_DETAIL_DATA_W *detail = DriveTestAccess::Detail(*d);
    ASSERT_NE(detail, nullptr);
#if defined(_WIN64)
    EXPECT_EQ(detail->cbSize, 8ul);
#else
    EXPECT_EQ(detail->cbSize, 6ul);
#endif
    ULONG length = 0;
    EXPECT_EQ(d->GetDevicePath(nullptr, 0, &length), 0);
    ASSERT_EQ(length, path.size() + 1);
    std::vector<wchar_t> text(length);
    EXPECT_EQ(d->GetDevicePath(text.data(), length, &length), 1);
    EXPECT_EQ(std::wstring(text.data()), path);

    // The device node record was filled by the second detail call.
    const SP_DEVINFO_DATA *devInfo = DriveTestAccess::DevInfo(*d);
    ASSERT_NE(devInfo, nullptr);
    EXPECT_EQ(devInfo->cbSize, sizeof(SP_DEVINFO_DATA));
    EXPECT_TRUE(IsEqualGUID(devInfo->ClassGuid, GUID_DEVCLASS_DISKDRIVE));
    EXPECT_EQ(d->GetDeviceInstance(), node.DevInst);

    ExpectZeroAnswers(*d);
}

TEST_F(RegisteredInterface, AdapterDescribesTheDeviceNode) {
    std::unique_ptr<Drive> d(Drive::GetDrive(set.get(), 0));
    ASSERT_NE(d, nullptr);

    Adapter adapter(set.get(), d->GetDeviceInstance());
    ULONG required = 0;
    adapter.GetDescription(nullptr, 0, &required);
    const ULONG expected = static_cast<ULONG>((std::wcslen(Description) + 1) * sizeof(wchar_t));
    EXPECT_EQ(required, expected);

    // One byte short: no description, the size it needs.
    std::vector<wchar_t> text(expected / sizeof(wchar_t) + 1, L'x');
    text.back() = 0;
    required = 0;
    adapter.GetDescription(text.data(), expected - 1, &required);
    EXPECT_EQ(required, expected);
    EXPECT_EQ(text[0], L'x');

    required = 0;
    adapter.GetDescription(text.data(), expected, &required);
    EXPECT_EQ(required, expected);
    EXPECT_EQ(std::wstring(text.data()), Description);
}

TEST(WindowsAdapter, NodeThatDoesNotExistLeavesTheBufferAlone) {
    SetPtr set(Drive::GetDeviceInfoSet());
    ASSERT_NE(set.get(), INVALID_HANDLE_VALUE);
    Adapter adapter(set.get(), 0xFFFFFFF0ul);
    wchar_t text[16] = {L'k', L'e', L'p', L't', 0};
    ULONG required = 12345;
    adapter.GetDescription(text, sizeof text, &required);
    EXPECT_EQ(std::wstring(text), L"kept");
}
