// SPDX-License-Identifier: MIT
// The platform requests of the Linux backend, called directly: records,
// sizes and error codes as the storage stack and the set-up services give
// them, and bad input of every kind.
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <filesystem>
#include <thread>

using namespace TavLinuxTest;
namespace P = TavPlatform;

namespace {

HDEVINFO NewSet() {
    return P::SetupDiGetClassDevsExW(&P::DiskInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                                     nullptr, nullptr, nullptr);
}

HANDLE Open(const wchar_t *path, DWORD access = GENERIC_READ | GENERIC_WRITE) {
    return P::CreateFileW(path, access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
}

struct Sptd {
    SCSI_PASS_THROUGH_DIRECT s{};
    unsigned char sense[32]{};
};

// One SCSI command through IOCTL_SCSI_PASS_THROUGH_DIRECT with a sense area.
BOOL Scsi(HANDLE h, std::initializer_list<unsigned char> cdb, void *data, ULONG length, Sptd &r) {
    r = Sptd{};
    r.s.Length = sizeof r.s;
    r.s.CdbLength = static_cast<UCHAR>(cdb.size());
    std::copy(cdb.begin(), cdb.end(), r.s.Cdb);
    r.s.DataIn = SCSI_IOCTL_DATA_IN;
    r.s.DataTransferLength = length;
    r.s.DataBuffer = data;
    r.s.TimeOutValue = 2;
    r.s.SenseInfoLength = sizeof r.sense;
    r.s.SenseInfoOffset = offsetof(Sptd, sense);
    DWORD returned = 0;
    P::SetLastError(0);
    return P::DeviceIoControl(h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &r, sizeof r, &r, sizeof r, &returned, nullptr);
}

std::vector<unsigned char> DeviceDescriptor(HANDLE h) {
    STORAGE_PROPERTY_QUERY q{};
    q.PropertyId = StorageDeviceProperty;
    q.QueryType = PropertyStandardQuery;
    STORAGE_DESCRIPTOR_HEADER header{};
    DWORD returned = 0;
    EXPECT_TRUE(
        P::DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, &header, sizeof header, &returned, nullptr));
    std::vector<unsigned char> d(header.Size);
    EXPECT_TRUE(
        P::DeviceIoControl(h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, d.data(), header.Size, &returned, nullptr));
    EXPECT_EQ(returned, header.Size);
    return d;
}

} // namespace

// ---- Device information sets --------------------------------------------------------

TEST(ReplaySetupApi, InterfaceDetailFollowsTheTwoCallProtocol) {
    Machine m("workstation");
    HDEVINFO set = NewSet();
    ASSERT_NE(set, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    ASSERT_TRUE(P::SetupDiEnumDeviceInterfaces(set, nullptr, &P::DiskInterfaceClass, 3, &data));
    DWORD required = 0;
    EXPECT_FALSE(P::SetupDiGetDeviceInterfaceDetailW(set, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    EXPECT_EQ(required, pathOffset + sizeof(L"/dev/nvme0n1"));

    std::vector<unsigned char> block(required);
    auto *detail = reinterpret_cast<SP_DEVICE_INTERFACE_DETAIL_DATA_W *>(block.data());
    detail->cbSize = 6; // the 32-bit size is not this build's
    EXPECT_FALSE(P::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_USER_BUFFER);
    detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    EXPECT_FALSE(P::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required - 1, nullptr, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    SP_DEVINFO_DATA devinfo{};
    devinfo.cbSize = sizeof devinfo;
    ASSERT_TRUE(P::SetupDiGetDeviceInterfaceDetailW(set, &data, detail, required, nullptr, &devinfo));
    EXPECT_STREQ(reinterpret_cast<wchar_t *>(block.data() + pathOffset), L"/dev/nvme0n1");
    EXPECT_NE(devinfo.DevInst, 0u);

    SP_DEVICE_INTERFACE_DATA past{};
    past.cbSize = sizeof past;
    EXPECT_FALSE(P::SetupDiEnumDeviceInterfaces(set, nullptr, &P::DiskInterfaceClass, 7, &past));
    EXPECT_EQ(P::GetLastError(), ERROR_NO_MORE_ITEMS);
    past.cbSize = 6;
    EXPECT_FALSE(P::SetupDiEnumDeviceInterfaces(set, nullptr, &P::DiskInterfaceClass, 0, &past));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_USER_BUFFER);
    // A disk has one interface: enumerating within its device node.
    past.cbSize = sizeof past;
    EXPECT_TRUE(P::SetupDiEnumDeviceInterfaces(set, &devinfo, &P::DiskInterfaceClass, 0, &past));
    EXPECT_FALSE(P::SetupDiEnumDeviceInterfaces(set, &devinfo, &P::DiskInterfaceClass, 1, &past));
    EXPECT_TRUE(P::SetupDiDestroyDeviceInfoList(set));
}

TEST(ReplaySetupApi, SetsAreSnapshotsAndKeepTheirRecordsToThemselves) {
    Machine m("workstation");
    HDEVINFO a = NewSet();
    m.tree.Remove("sys/class/block/sdc"); // the USB disk is unplugged
    HDEVINFO b = NewSet();
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_TRUE(P::SetupDiEnumDeviceInterfaces(a, nullptr, &P::DiskInterfaceClass, 6, &data));
    EXPECT_FALSE(P::SetupDiEnumDeviceInterfaces(b, nullptr, &P::DiskInterfaceClass, 6, &data));

    // An interface record of set a means nothing to set b.
    ASSERT_TRUE(P::SetupDiEnumDeviceInterfaces(a, nullptr, &P::DiskInterfaceClass, 0, &data));
    DWORD required = 0;
    EXPECT_FALSE(P::SetupDiGetDeviceInterfaceDetailW(b, &data, nullptr, 0, &required, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(required, 0u);

    // The same device node has the same number in both sets.
    SP_DEVINFO_DATA da{}, db{};
    da.cbSize = db.cbSize = sizeof da;
    P::SetupDiGetDeviceInterfaceDetailW(a, &data, nullptr, 0, &required, &da);
    SP_DEVICE_INTERFACE_DATA datab{};
    datab.cbSize = sizeof datab;
    ASSERT_TRUE(P::SetupDiEnumDeviceInterfaces(b, nullptr, &P::DiskInterfaceClass, 0, &datab));
    P::SetupDiGetDeviceInterfaceDetailW(b, &datab, nullptr, 0, &required, &db);
    EXPECT_EQ(da.DevInst, db.DevInst);

    EXPECT_TRUE(P::SetupDiDestroyDeviceInfoList(a));
    EXPECT_FALSE(P::SetupDiDestroyDeviceInfoList(a));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_FALSE(P::SetupDiEnumDeviceInterfaces(a, nullptr, &P::DiskInterfaceClass, 0, &data));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
    EXPECT_TRUE(P::SetupDiDestroyDeviceInfoList(b));
}

TEST(ReplaySetupApi, BadArgumentsAreRefused) {
    Machine m("workstation");
    GUID other = P::DiskInterfaceClass;
    other.Data1 ^= 1;
    HDEVINFO empty = P::SetupDiGetClassDevsExW(&other, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE, nullptr,
                                               nullptr, nullptr);
    ASSERT_NE(empty, INVALID_HANDLE_VALUE);
    SP_DEVICE_INTERFACE_DATA data{};
    data.cbSize = sizeof data;
    EXPECT_FALSE(P::SetupDiEnumDeviceInterfaces(empty, nullptr, &P::DiskInterfaceClass, 0, &data));
    EXPECT_EQ(P::GetLastError(), ERROR_NO_MORE_ITEMS);
    P::SetupDiDestroyDeviceInfoList(empty);

    int junk = 0;
    EXPECT_EQ(P::SetupDiGetClassDevsExW(nullptr, nullptr, nullptr, DIGCF_PRESENT, nullptr, nullptr, nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::SetupDiGetClassDevsExW(&P::DiskInterfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE, nullptr,
                                        L"otherhost", nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::SetupDiGetClassDevsExW(&P::DiskInterfaceClass, nullptr, nullptr, DIGCF_DEVICEINTERFACE, &junk, nullptr,
                                        nullptr),
              INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
    for (HDEVINFO bogus : {static_cast<HDEVINFO>(nullptr), INVALID_HANDLE_VALUE, static_cast<HDEVINFO>(&junk)}) {
        EXPECT_FALSE(P::SetupDiEnumDeviceInterfaces(bogus, nullptr, &P::DiskInterfaceClass, 0, &data));
        EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
        EXPECT_FALSE(P::SetupDiDestroyDeviceInfoList(bogus));
        SP_DEVINFO_DATA d{};
        d.cbSize = sizeof d;
        EXPECT_FALSE(P::SetupDiOpenDeviceInfoW(bogus, L"x", nullptr, 0, &d));
        EXPECT_FALSE(P::SetupDiGetDeviceRegistryPropertyW(bogus, &d, SPDRP_DEVICEDESC, nullptr, nullptr, 0, nullptr));
    }
}

// ---- Device nodes -------------------------------------------------------------------

TEST(ReplayDeviceNodes, ParentIdentifierRoundTripAndDescription) {
    Machine m("workstation");
    Set set;
    auto d = DriveAt(set.handle, L"/dev/sdc");
    ASSERT_TRUE(d);
    DEVINST disk = d->GetDeviceInstance();
    DEVINST parent = 0;
    ASSERT_EQ(P::CM_Get_Parent(&parent, disk, 0), CR_SUCCESS);
    EXPECT_EQ(parent, d->GetDeviceParentInstance());

    ULONG length = 0;
    ASSERT_EQ(P::CM_Get_Device_ID_Size(&length, parent, 0), CR_SUCCESS);
    std::wstring expected = L"pci0000:00\\0000:00:14.0\\usb2\\2-1";
    EXPECT_EQ(length, expected.size());
    std::vector<wchar_t> id(length + 1, L'#');
    EXPECT_EQ(P::CM_Get_Device_IDW(parent, id.data(), length - 1, 0), CR_BUFFER_SMALL);
    EXPECT_EQ(P::CM_Get_Device_IDW(parent, id.data(), length, 0), CR_SUCCESS); // no room for the terminator
    EXPECT_EQ(id[length], L'#');
    ASSERT_EQ(P::CM_Get_Device_IDW(parent, id.data(), length + 1, 0), CR_SUCCESS);
    EXPECT_EQ(std::wstring(id.data()), expected);

    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    ASSERT_TRUE(P::SetupDiOpenDeviceInfoW(set.handle, id.data(), nullptr, 0, &info));
    EXPECT_EQ(info.DevInst, parent);
    DWORD type = 0, required = 0;
    EXPECT_FALSE(
        P::SetupDiGetDeviceRegistryPropertyW(set.handle, &info, SPDRP_DEVICEDESC, &type, nullptr, 0, &required));
    EXPECT_EQ(P::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_EQ(required, sizeof(L"Western Digital My Passport 25E2"));
    std::vector<BYTE> buffer(required);
    ASSERT_TRUE(P::SetupDiGetDeviceRegistryPropertyW(set.handle, &info, SPDRP_DEVICEDESC, &type, buffer.data(),
                                                     required, &required));
    EXPECT_EQ(type, REG_SZ);
    EXPECT_STREQ(reinterpret_cast<wchar_t *>(buffer.data()), L"Western Digital My Passport 25E2");
    EXPECT_FALSE(P::SetupDiGetDeviceRegistryPropertyW(set.handle, &info, SPDRP_HARDWAREID, &type, buffer.data(),
                                                      required, &required));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_DATA);

    // The disk's own node is a disk drive; its parent's parent is the USB port's hub.
    ULONG diskIdLength = 0;
    P::CM_Get_Device_ID_Size(&diskIdLength, disk, 0);
    std::vector<wchar_t> diskId(diskIdLength + 1);
    P::CM_Get_Device_IDW(disk, diskId.data(), diskIdLength + 1, 0);
    EXPECT_EQ(std::wstring(diskId.data()),
              L"pci0000:00\\0000:00:14.0\\usb2\\2-1\\2-1:1.0\\host6\\target6:0:0\\6:0:0:0\\block\\sdc");
    DEVINST hub = 0;
    ASSERT_EQ(P::CM_Get_Parent(&hub, parent, 0), CR_SUCCESS);
    EXPECT_EQ(AdapterDescription(set.handle, hub), L"Linux 6.1.0-18-amd64 xhci-hcd xHCI Host Controller");
}

TEST(ReplayDeviceNodes, BadNodesAndArgumentsAreRefused) {
    Machine m("workstation");
    Set set;
    DEVINST out = 77;
    EXPECT_EQ(P::CM_Get_Parent(&out, 0, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(out, 0u);
    EXPECT_EQ(P::CM_Get_Parent(&out, 0xFFFFFFF0u, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(P::CM_Get_Parent(nullptr, 1, 0), CR_INVALID_POINTER);
    EXPECT_EQ(P::CM_Get_Parent(&out, 1, 1), 0x04u); // CR_INVALID_FLAG
    ULONG length = 5;
    EXPECT_EQ(P::CM_Get_Device_ID_Size(&length, 0, 0), CR_INVALID_DEVNODE);
    EXPECT_EQ(length, 0u);
    EXPECT_EQ(P::CM_Get_Device_ID_Size(nullptr, 1, 0), CR_INVALID_POINTER);
    EXPECT_EQ(P::CM_Get_Device_IDW(1, nullptr, 10, 0), CR_INVALID_POINTER);

    SP_DEVINFO_DATA info{};
    info.cbSize = sizeof info;
    for (const wchar_t *id : {L"", L"no\\such\\device", L"..\\..\\etc", L"ROOT\\\\0000", L"pci0000:00/../.."}) {
        EXPECT_FALSE(P::SetupDiOpenDeviceInfoW(set.handle, id, nullptr, 0, &info));
        EXPECT_EQ(P::GetLastError(), ERROR_NO_SUCH_DEVINST);
    }
    EXPECT_FALSE(P::SetupDiOpenDeviceInfoW(set.handle, nullptr, nullptr, 0, &info));
    EXPECT_FALSE(P::SetupDiOpenDeviceInfoW(set.handle, L"pci0000:00\\0000:00:1f.2", nullptr, 0x100, &info));
    EXPECT_EQ(P::GetLastError(), 1004u); // ERROR_INVALID_FLAGS

    // A node record that was not opened into this set is not accepted.
    info.DevInst = 1;
    info.Reserved = 0;
    BYTE buffer[64];
    EXPECT_FALSE(P::SetupDiGetDeviceRegistryPropertyW(set.handle, &info, SPDRP_DEVICEDESC, nullptr, buffer,
                                                      sizeof buffer, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);

    // The Adapter of a node that does not exist describes nothing.
    wchar_t text[16] = {L'x', 0};
    ULONG required = 0;
    Adapter a(set.handle, 0xFFFFFF00u);
    a.GetDescription(text, sizeof text, &required);
    EXPECT_EQ(text[0], L'x');
}

TEST(ReplayDeviceNodes, NodesOfDifferentRootsAreDifferentNodes) {
    DEVINST first = 0, second = 0;
    {
        Machine m("vm");
        Set set;
        auto d = DriveAt(set.handle, L"/dev/vda");
        ASSERT_TRUE(d);
        first = d->GetDeviceInstance();
        auto again = DriveAt(set.handle, L"/dev/vda");
        EXPECT_EQ(again->GetDeviceInstance(), first);
    }
    {
        Machine m("vm");
        Set set;
        auto d = DriveAt(set.handle, L"/dev/vda");
        ASSERT_TRUE(d);
        second = d->GetDeviceInstance();
    }
    EXPECT_NE(first, second);
}

// ---- Disk requests ------------------------------------------------------------------

TEST(ReplayRequests, DeviceDescriptorIsLaidOutWithOffsetsInsideIt) {
    Machine m("workstation");
    for (const wchar_t *path : {L"/dev/sda", L"/dev/sdc", L"/dev/nvme0n1", L"/dev/mmcblk0", L"/dev/dm-0"}) {
        Handle h(Open(path));
        ASSERT_NE(h.h, INVALID_HANDLE_VALUE) << Narrow(path);
        auto d = DeviceDescriptor(h.h);
        ASSERT_GE(d.size(), sizeof(STORAGE_DEVICE_DESCRIPTOR));
        STORAGE_DEVICE_DESCRIPTOR fixed;
        std::memcpy(&fixed, d.data(), sizeof fixed);
        EXPECT_EQ(fixed.Size, d.size());
        for (DWORD offset :
             {fixed.VendorIdOffset, fixed.ProductIdOffset, fixed.ProductRevisionOffset, fixed.SerialNumberOffset}) {
            if (offset == 0)
                continue;
            EXPECT_GE(offset, offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties) + fixed.RawPropertiesLength);
            ASSERT_LT(offset, d.size());
            EXPECT_NE(std::find(d.begin() + offset, d.end(), 0), d.end()) << "unterminated string";
        }
    }
    // The SATA disk carries its INQUIRY data as raw properties.
    Handle h(Open(L"/dev/sda"));
    auto d = DeviceDescriptor(h.h);
    STORAGE_DEVICE_DESCRIPTOR fixed;
    std::memcpy(&fixed, d.data(), sizeof fixed);
    EXPECT_EQ(fixed.RawPropertiesLength, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(d.data()) + 36 + 8, 8), "ATA     ");
    EXPECT_EQ(fixed.BusType, BusTypeSata);
}

TEST(ReplayRequests, PropertyQueriesCheckTheirRecords) {
    Machine m("workstation");
    Handle h(Open(L"/dev/sda"));
    STORAGE_PROPERTY_QUERY q{};
    q.PropertyId = StorageAdapterProperty;
    STORAGE_ADAPTER_DESCRIPTOR a{};
    DWORD returned = 0;
    EXPECT_FALSE(P::DeviceIoControl(h.h, IOCTL_STORAGE_QUERY_PROPERTY, &q, 4, &a, sizeof a, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_FALSE(P::DeviceIoControl(h.h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, &a, 4, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    EXPECT_FALSE(
        P::DeviceIoControl(h.h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, nullptr, sizeof a, &returned, nullptr));
    ASSERT_TRUE(P::DeviceIoControl(h.h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, &a, sizeof a, &returned, nullptr));
    EXPECT_EQ(returned, sizeof a);
    EXPECT_EQ(a.Size, sizeof a);
    EXPECT_EQ(a.BusType, BusTypeSata);
    EXPECT_EQ(a.MaximumTransferLength, 32767u * 1024);
    EXPECT_EQ(a.AlignmentMask, 3u);
    EXPECT_TRUE(a.CommandQueueing);
    q.PropertyId = StorageDeviceIdProperty;
    EXPECT_FALSE(P::DeviceIoControl(h.h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, &a, sizeof a, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_NOT_SUPPORTED);
    q.PropertyId = StorageDeviceProperty;
    q.QueryType = PropertyExistsQuery;
    EXPECT_TRUE(P::DeviceIoControl(h.h, IOCTL_STORAGE_QUERY_PROPERTY, &q, sizeof q, nullptr, 0, &returned, nullptr));
    EXPECT_FALSE(P::DeviceIoControl(h.h, 0x12345678, nullptr, 0, nullptr, 0, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_FUNCTION);
}

// The query's two fields are whatever 32-bit values the caller's bytes hold,
// including ones no enumeration value names: an unknown property is not
// supported, an unknown query type is an invalid parameter.
TEST(ReplayRequests, PropertyQueriesTakeAnyFieldValues) {
    Machine m("workstation");
    Handle h(Open(L"/dev/sda"));
    struct Case {
        uint32_t propertyId, queryType;
        DWORD error; // ERROR_SUCCESS: answered
    } cases[] = {
        {161, PropertyStandardQuery, ERROR_NOT_SUPPORTED},
        {0xFFFFFFFFu, PropertyExistsQuery, ERROR_NOT_SUPPORTED},
        {StorageDeviceProperty, 161, ERROR_INVALID_PARAMETER},
        {StorageAdapterProperty, 0x80000000u, ERROR_INVALID_PARAMETER},
        {StorageDeviceProperty, PropertyMaskQuery, ERROR_INVALID_PARAMETER},
        {StorageAdapterProperty, PropertyExistsQuery, ERROR_SUCCESS},
    };
    for (const Case &c : cases) {
        unsigned char query[sizeof(STORAGE_PROPERTY_QUERY)] = {};
        std::memcpy(query + offsetof(STORAGE_PROPERTY_QUERY, PropertyId), &c.propertyId, 4);
        std::memcpy(query + offsetof(STORAGE_PROPERTY_QUERY, QueryType), &c.queryType, 4);
        STORAGE_ADAPTER_DESCRIPTOR a{};
        DWORD returned = 0;
        P::SetLastError(0);
        const BOOL ok = P::DeviceIoControl(h.h, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof query, &a, sizeof a,
                                           &returned, nullptr);
        EXPECT_EQ(ok != FALSE, c.error == ERROR_SUCCESS) << c.propertyId << " " << c.queryType;
        EXPECT_EQ(P::GetLastError(), c.error) << c.propertyId << " " << c.queryType;
    }
}

TEST(ReplayRequests, SmartVersionDecidesAtaByTheLastErrorCode) {
    Machine m("workstation");
    Handle sata(Open(L"/dev/sda")), nvme(Open(L"/dev/nvme0n1"));
    GETVERSIONINPARAMS v{};
    DWORD returned = 0;
    P::SetLastError(0);
    P::DeviceIoControl(sata.h, SMART_GET_VERSION, nullptr, 0, &v, sizeof v, &returned, nullptr);
    EXPECT_EQ(P::GetLastError(), 0u);
    EXPECT_EQ(v.bVersion, 1);
    EXPECT_EQ(v.bIDEDeviceMap, 1);
    P::SetLastError(0);
    EXPECT_FALSE(P::DeviceIoControl(nvme.h, SMART_GET_VERSION, nullptr, 0, &v, sizeof v, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_FALSE(P::DeviceIoControl(sata.h, SMART_GET_VERSION, nullptr, 0, &v, 8, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
}

TEST(ReplayRequests, IdentifyComesInTheDrivesWordLayout) {
    Machine m("workstation");
    for (const wchar_t *path : {L"/dev/sda", L"/dev/sdb"}) { // ATA PASS-THROUGH and HDIO_GET_IDENTITY
        Handle h(Open(path));
        SENDCMDINPARAMS in{};
        in.irDriveRegs.bCommandReg = ID_CMD;
        std::vector<unsigned char> out(offsetof(SENDCMDOUTPARAMS, bBuffer) + 512);
        DWORD returned = 0;
        ASSERT_TRUE(P::DeviceIoControl(h.h, SMART_RCV_DRIVE_DATA, &in, sizeof in, out.data(),
                                       static_cast<DWORD>(out.size()), &returned, nullptr));
        EXPECT_EQ(returned, out.size());
        const unsigned char *id = out.data() + offsetof(SENDCMDOUTPARAMS, bBuffer);
        // Word 27 holds the first two model characters, the first in its high byte.
        const char *model = path[7] == 'a' ? "WD" : "QE";
        EXPECT_EQ(id[54], model[1]);
        EXPECT_EQ(id[55], model[0]);
        uint8_t sum = 0;
        for (int i = 0; i < 512; ++i)
            sum = static_cast<uint8_t>(sum + id[i]);
        EXPECT_EQ(sum, 0) << "checksum";

        in.irDriveRegs.bCommandReg = 0xB0; // SMART without a feature that reads: refused, nothing sent
        EXPECT_FALSE(P::DeviceIoControl(h.h, SMART_RCV_DRIVE_DATA, &in, sizeof in, out.data(),
                                        static_cast<DWORD>(out.size()), &returned, nullptr));
        EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);
        in.irDriveRegs.bCommandReg = ID_CMD;
        EXPECT_FALSE(
            P::DeviceIoControl(h.h, SMART_RCV_DRIVE_DATA, &in, sizeof in, out.data(), 100, &returned, nullptr));
        EXPECT_FALSE(P::DeviceIoControl(h.h, SMART_RCV_DRIVE_DATA, &in, 8, out.data(), static_cast<DWORD>(out.size()),
                                        &returned, nullptr));
    }
}

TEST(ReplayRequests, BadIdentifyDataMakesNoAtaDiskOfABridge) {
    Machine m("workstation");
    // An all-zero answer, then one with a broken checksum: the bridge speaks no ATA.
    for (const std::string &answer : {std::string(512, '\0'), [&] {
                                          std::string s = m.tree.Read("ioctl/sdc/identify");
                                          s[100] = static_cast<char>(s[100] + 1);
                                          return s;
                                      }()}) {
        m.tree.Write("ioctl/sdc/identify", answer);
        Handle h(Open(L"/dev/sdc"));
        GETVERSIONINPARAMS v{};
        DWORD returned = 0;
        EXPECT_FALSE(P::DeviceIoControl(h.h, SMART_GET_VERSION, nullptr, 0, &v, sizeof v, &returned, nullptr));
    }
    // A libata disk stays ATA when IDENTIFY cannot be had; the request fails.
    m.tree.Remove("ioctl/sda/identify");
    Handle sata(Open(L"/dev/sda"));
    GETVERSIONINPARAMS v{};
    DWORD returned = 0;
    EXPECT_TRUE(P::DeviceIoControl(sata.h, SMART_GET_VERSION, nullptr, 0, &v, sizeof v, &returned, nullptr));
    SENDCMDINPARAMS in{};
    in.irDriveRegs.bCommandReg = ID_CMD;
    std::vector<unsigned char> out(528);
    EXPECT_FALSE(P::DeviceIoControl(sata.h, SMART_RCV_DRIVE_DATA, &in, sizeof in, out.data(), 528, &returned, nullptr));
}

TEST(ReplayRequests, TranslatedScsiCommandsOnADiskWithoutScsi) {
    Machine m("workstation");
    Handle h(Open(L"/dev/nvme0n1"));
    Sptd r;
    unsigned char data[64] = {};
    ASSERT_TRUE(Scsi(h.h, {0x12, 0, 0, 0, 5, 0}, data, sizeof data, r)); // allocation length 5
    EXPECT_EQ(r.s.DataTransferLength, 5u);
    EXPECT_EQ(data[4], 31);
    EXPECT_EQ(data[5], 0);
    ASSERT_TRUE(Scsi(h.h, {0x12, 1, 0x80, 0, 64, 0}, data, sizeof data, r)); // unit serial number page
    EXPECT_EQ(data[1], 0x80);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data) + 4, data[3]), "S4EWNX0R123456A");
    ASSERT_TRUE(Scsi(h.h, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, 8, r));
    EXPECT_EQ(data[0] << 24 | data[1] << 16 | data[2] << 8 | data[3], 1953525167);
    EXPECT_EQ(data[6], 0x02); // 512-byte blocks
    ASSERT_TRUE(Scsi(h.h, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, data, 32, r));
    EXPECT_EQ(r.s.DataTransferLength, 32u);
    EXPECT_TRUE(Scsi(h.h, {0x00, 0, 0, 0, 0, 0}, nullptr, 0, r)); // TEST UNIT READY
    // The same commands in blocks cut short of their length are none.
    EXPECT_FALSE(Scsi(h.h, {0x00, 0, 0, 0, 0}, nullptr, 0, r));
    EXPECT_FALSE(Scsi(h.h, {0x12, 0, 0, 0, 5}, data, sizeof data, r));
    EXPECT_FALSE(Scsi(h.h, {0x25, 0, 0, 0, 0, 0, 0, 0, 0}, data, 8, r));
    EXPECT_FALSE(Scsi(h.h, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0}, data, 32, r));

    // READ(10) and a VPD page the disk does not have: CHECK CONDITION, ILLEGAL REQUEST.
    EXPECT_FALSE(Scsi(h.h, {0x28, 0, 0, 0, 0, 0, 0, 0, 1, 0}, data, 512 > sizeof data ? sizeof data : 512, r));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_FUNCTION);
    EXPECT_EQ(r.s.ScsiStatus, 2);
    EXPECT_EQ(r.s.SenseInfoLength, 18);
    EXPECT_EQ(r.sense[2] & 0x0F, 5);
    EXPECT_EQ(r.sense[12], 0x20);
    EXPECT_FALSE(Scsi(h.h, {0x12, 1, 0x83, 0, 64, 0}, data, sizeof data, r));
    EXPECT_EQ(r.sense[12], 0x24);
    // ATA commands do not reach an NVMe disk.
    EXPECT_FALSE(Scsi(h.h, {0x85, 8, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, data, sizeof data, r));
}

TEST(ReplayRequests, PassThroughRecordsAreChecked) {
    Machine m("workstation");
    Handle h(Open(L"/dev/nvme0n1"));
    unsigned char data[64];
    Sptd r;
    DWORD returned = 0;
    auto send = [&](Sptd &s, DWORD in, DWORD out) {
        return P::DeviceIoControl(h.h, IOCTL_SCSI_PASS_THROUGH_DIRECT, &s, in, &s, out, &returned, nullptr);
    };
    Scsi(h.h, {0x12, 0, 0, 0, 64, 0}, data, sizeof data, r);
    Sptd good = r;
    good.s.DataTransferLength = sizeof data;
    good.s.SenseInfoLength = sizeof good.sense;

    Sptd s = good;
    s.s.Length = 44; // the 32-bit record's size
    EXPECT_FALSE(send(s, sizeof s, sizeof s));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);
    s = good;
    s.s.CdbLength = 0;
    EXPECT_FALSE(send(s, sizeof s, sizeof s));
    s.s.CdbLength = 17;
    EXPECT_FALSE(send(s, sizeof s, sizeof s));
    s = good;
    EXPECT_FALSE(send(s, sizeof s.s - 1, sizeof s));
    s = good;
    s.s.SenseInfoOffset = sizeof s; // sense area outside the output buffer
    EXPECT_FALSE(send(s, sizeof s, sizeof s));
    s = good;
    s.s.SenseInfoOffset = 4; // inside the record itself
    EXPECT_FALSE(send(s, sizeof s, sizeof s));
    s = good;
    s.s.DataBuffer = nullptr;
    EXPECT_FALSE(send(s, sizeof s, sizeof s));
    s = good;
    s.s.DataIn = 3;
    EXPECT_FALSE(send(s, sizeof s, sizeof s));
    s = good;
    EXPECT_TRUE(send(s, sizeof s, sizeof s));
    EXPECT_EQ(returned, sizeof s.s);
}

TEST(ReplayRequests, RecordedScsiDiskAnswersVpdAndAtaPassThrough) {
    Machine m("server");
    Handle sas(Open(L"/dev/sda")), sata(Open(L"/dev/sdb"));
    Sptd r;
    unsigned char data[512] = {};
    ASSERT_TRUE(Scsi(sas.h, {0x12, 1, 0x00, 0, 255, 0}, data, 255, r));
    EXPECT_EQ(r.s.DataTransferLength, 7u);
    EXPECT_EQ(data[5], 0x80);
    EXPECT_FALSE(Scsi(sas.h, {0x12, 1, 0xB0, 0, 255, 0}, data, 255, r));
    // READ CAPACITY(10) cannot hold the last block address of a 4 TB disk.
    ASSERT_TRUE(Scsi(sas.h, {0x25, 0, 0, 0, 0, 0, 0, 0, 0, 0}, data, 8, r));
    EXPECT_EQ(data[0] & data[1] & data[2] & data[3], 0xFF);
    ASSERT_TRUE(Scsi(sas.h, {0x9E, 0x10, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 32, 0, 0}, data, 32, r));
    uint64_t last = 0;
    for (int i = 0; i < 8; ++i)
        last = last << 8 | data[i];
    EXPECT_EQ(last, 7814037167u);
    // A SAS disk does not take ATA commands; the SATA disk behind the HBA does.
    EXPECT_FALSE(Scsi(sas.h, {0x85, 8, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, data, 512, r));
    ASSERT_TRUE(Scsi(sata.h, {0x85, 8, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0}, data, 512, r));
    EXPECT_EQ(r.s.DataTransferLength, 512u);
    EXPECT_EQ(data[54], 'a'); // "Samsung ..." in the drive's word layout
    EXPECT_EQ(data[55], 'S');
}

TEST(ReplayRequests, UsbInquiryKeepsTheDevicesNulPadding) {
    Machine m("workstation");
    Handle h(Open(L"/dev/sdc"));
    Sptd r;
    unsigned char data[96];
    std::memset(data, 0xCC, sizeof data);
    ASSERT_TRUE(Scsi(h.h, {0x12, 0, 0, 0, 96, 0}, data, sizeof data, r));
    EXPECT_EQ(r.s.DataTransferLength, 36u);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(data) + 32, 4), std::string("40\0\0", 4));
    EXPECT_EQ(data[36], 0xCC);
}

TEST(ReplayRequests, AddressGeometryAndDeviceNumber) {
    Machine m("workstation");
    Handle pata(Open(L"/dev/sdb")), mmc(Open(L"/dev/mmcblk0")), nvme(Open(L"/dev/nvme1n1"));
    SCSI_ADDRESS a{};
    DWORD returned = 0;
    ASSERT_TRUE(P::DeviceIoControl(pata.h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned, nullptr));
    EXPECT_EQ(a.Length, sizeof a);
    EXPECT_EQ(a.PortNumber, 2);
    EXPECT_EQ(a.TargetId, 1);
    EXPECT_FALSE(P::DeviceIoControl(mmc.h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_FUNCTION);
    ASSERT_TRUE(P::DeviceIoControl(nvme.h, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, &a, sizeof a, &returned, nullptr));
    EXPECT_EQ(a.PortNumber, 1);
    DISK_CONTROLLER_NUMBER c{};
    EXPECT_FALSE(P::DeviceIoControl(mmc.h, IOCTL_DISK_CONTROLLER_NUMBER, nullptr, 0, &c, sizeof c, &returned, nullptr));

    DISK_GEOMETRY g{};
    EXPECT_FALSE(P::DeviceIoControl(mmc.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, 8, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INSUFFICIENT_BUFFER);
    ASSERT_TRUE(P::DeviceIoControl(mmc.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &returned, nullptr));
    EXPECT_EQ(g.MediaType, FixedMedia);
    EXPECT_EQ(g.Cylinders.QuadPart, 124735488LL * 512 / (255 * 63 * 512));

    STORAGE_DEVICE_NUMBER n{};
    ASSERT_TRUE(
        P::DeviceIoControl(nvme.h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr));
    EXPECT_EQ(n.DeviceNumber, 4u);
    EXPECT_EQ(n.PartitionNumber, 0u);
    // A device outside the disk set (the DVD drive) has no disk number.
    Handle dvd(Open(L"/dev/sr0", GENERIC_READ));
    ASSERT_NE(dvd.h, INVALID_HANDLE_VALUE);
    EXPECT_FALSE(
        P::DeviceIoControl(dvd.h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr));
}

TEST(ReplayRequests, GeometryOfTheDriverIsKeptOnlyWhenItFitsTheDisk) {
    Machine m("workstation");
    m.tree.Write("ioctl/sdb/hdio_geometry", "16 63 1234\n"); // not this disk's size
    Handle h(Open(L"/dev/sdb"));
    DISK_GEOMETRY g{};
    DWORD returned = 0;
    ASSERT_TRUE(P::DeviceIoControl(h.h, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, 0, &g, sizeof g, &returned, nullptr));
    EXPECT_EQ(g.TracksPerCylinder, 255u);
    EXPECT_EQ(g.SectorsPerTrack, 63u);
    EXPECT_EQ(g.Cylinders.QuadPart, 8388608LL / (255 * 63));
}

// ---- Handles, opening, transfers ----------------------------------------------------

TEST(ReplayHandles, OpeningNamesAndFailures) {
    Machine m("workstation");
    EXPECT_EQ(Open(L"/dev/nosuch"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_FILE_NOT_FOUND);
    EXPECT_EQ(Open(L"/dev/../etc/passwd"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(L"/etc/passwd"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_PATH_NOT_FOUND);
    EXPECT_EQ(Open(nullptr), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(P::CreateFileW(L"/dev/sda", GENERIC_READ, 3, nullptr, 2 /* CREATE_ALWAYS */, 0, nullptr),
              INVALID_HANDLE_VALUE);
    // The disk's device file is missing.
    m.tree.Remove("dev/sdb");
    EXPECT_EQ(Open(L"/dev/sdb"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_FILE_NOT_FOUND);
    m.tree.Write("ioctl/sda/open_errno", "EACCES\n");
    EXPECT_EQ(Open(L"/dev/sda"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_ACCESS_DENIED);
    m.tree.Write("ioctl/sda/open_errno", "EBUSY\n");
    EXPECT_EQ(Open(L"/dev/sda"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::GetLastError(), ERROR_BUSY);

    Handle byNumber(P::CreateFileW(L"\\\\.\\PhysicalDrive3", GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr));
    ASSERT_NE(byNumber.h, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER n{};
    DWORD returned = 0;
    ASSERT_TRUE(
        P::DeviceIoControl(byNumber.h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr));
    EXPECT_EQ(n.DeviceNumber, 3u);
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive99"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive"), INVALID_HANDLE_VALUE);
    EXPECT_EQ(Open(L"\\\\.\\PhysicalDrive-1"), INVALID_HANDLE_VALUE);
}

TEST(ReplayHandles, InvalidHandlesAreRefusedNeverFollowed) {
    Machine m("workstation");
    int junk = 0;
    HANDLE closed = Open(L"/dev/sda");
    ASSERT_NE(closed, INVALID_HANDLE_VALUE);
    EXPECT_TRUE(P::CloseHandle(closed));
    HDEVINFO set = NewSet();
    for (HANDLE bad : {static_cast<HANDLE>(nullptr), INVALID_HANDLE_VALUE, static_cast<HANDLE>(&junk), closed,
                       static_cast<HANDLE>(set)}) {
        DWORD returned = 5;
        unsigned char buffer[64];
        EXPECT_FALSE(P::DeviceIoControl(bad, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, buffer, sizeof buffer,
                                        &returned, nullptr));
        EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
        LARGE_INTEGER at;
        at.QuadPart = 0;
        EXPECT_FALSE(P::SetFilePointerEx(bad, at, nullptr, FILE_BEGIN));
        EXPECT_FALSE(P::ReadFile(bad, buffer, sizeof buffer, &returned, nullptr));
        EXPECT_EQ(returned, 0u);
        EXPECT_FALSE(P::WriteFile(bad, buffer, sizeof buffer, &returned, nullptr));
        EXPECT_FALSE(P::CloseHandle(bad));
        EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
    }
    EXPECT_TRUE(P::SetupDiDestroyDeviceInfoList(set));
}

TEST(ReplayHandles, PositioningAndTransfers) {
    Machine m("vm");
    Handle h(Open(L"/dev/loop1"));
    ASSERT_NE(h.h, INVALID_HANDLE_VALUE);
    LARGE_INTEGER to, now;
    to.QuadPart = -512;
    EXPECT_FALSE(P::SetFilePointerEx(h.h, to, &now, FILE_BEGIN));
    EXPECT_EQ(P::GetLastError(), ERROR_NEGATIVE_SEEK);
    to.QuadPart = -512;
    ASSERT_TRUE(P::SetFilePointerEx(h.h, to, &now, FILE_END));
    EXPECT_EQ(now.QuadPart, 32LL * 1024 * 1024 - 512);
    // The position may pass the end, as on Windows; a transfer there fails
    // and moves nothing, and the position stays.
    unsigned char buffer[512] = {};
    DWORD moved = 99;
    to.QuadPart = 1024;
    ASSERT_TRUE(P::SetFilePointerEx(h.h, to, &now, FILE_CURRENT));
    EXPECT_EQ(now.QuadPart, 32LL * 1024 * 1024 + 512);
    EXPECT_FALSE(P::ReadFile(h.h, buffer, 512, &moved, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_SECTOR_NOT_FOUND);
    EXPECT_EQ(moved, 0u);
    EXPECT_FALSE(P::WriteFile(h.h, buffer, 512, &moved, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_SECTOR_NOT_FOUND);
    to.QuadPart = 0;
    ASSERT_TRUE(P::SetFilePointerEx(h.h, to, &now, FILE_CURRENT));
    EXPECT_EQ(now.QuadPart, 32LL * 1024 * 1024 + 512);
    EXPECT_FALSE(P::SetFilePointerEx(h.h, to, &now, 7));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);
    to.QuadPart = 0x7FFFFFFFFFFFFFFFLL;
    EXPECT_FALSE(P::SetFilePointerEx(h.h, to, &now, FILE_END));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);

    // Each transfer starts where the last one ended.
    to.QuadPart = 4096;
    ASSERT_TRUE(P::SetFilePointerEx(h.h, to, &now, FILE_BEGIN));
    ASSERT_TRUE(P::ReadFile(h.h, buffer, 512, &moved, nullptr));
    EXPECT_EQ(moved, 512u);
    to.QuadPart = 0;
    ASSERT_TRUE(P::SetFilePointerEx(h.h, to, &now, FILE_CURRENT));
    EXPECT_EQ(now.QuadPart, 4096 + 512);

    EXPECT_FALSE(P::ReadFile(h.h, nullptr, 512, &moved, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_USER_BUFFER);
    int overlapped = 0;
    EXPECT_FALSE(P::ReadFile(h.h, buffer, 512, &moved, reinterpret_cast<OVERLAPPED *>(&overlapped)));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);

    // A handle opened for reading refuses to write.
    Handle reader(Open(L"/dev/loop1", GENERIC_READ));
    EXPECT_FALSE(P::WriteFile(reader.h, buffer, 512, &moved, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_TRUE(P::ReadFile(reader.h, buffer, 512, &moved, nullptr));
    EXPECT_EQ(moved, 512u);

    // Flushing needs a handle that writes.
    EXPECT_TRUE(P::FlushFileBuffers(h.h));
    EXPECT_FALSE(P::FlushFileBuffers(reader.h));
    EXPECT_EQ(P::GetLastError(), ERROR_ACCESS_DENIED);
    EXPECT_FALSE(P::FlushFileBuffers(INVALID_HANDLE_VALUE));
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_HANDLE);
}

TEST(ReplayHandles, QueryOnlyHandleAnswersFromSysfs) {
    Machine m("workstation");
    Handle h(Open(L"/dev/nvme0n1", 0));
    ASSERT_NE(h.h, INVALID_HANDLE_VALUE);
    STORAGE_DEVICE_NUMBER n{};
    DWORD returned = 0;
    EXPECT_TRUE(P::DeviceIoControl(h.h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr));
    unsigned char buffer[512];
    EXPECT_FALSE(P::ReadFile(h.h, buffer, 512, &returned, nullptr));
    EXPECT_EQ(P::GetLastError(), ERROR_ACCESS_DENIED);
}

TEST(ReplayHandles, StorageDependenciesNameTheVolumeHoldingALoopDisksImage) {
    // loop0's image is /tmp/tavrec0.img, on vda's file system mounted at /.
    Machine m("vm");
    Handle partition(Open(L"/dev/loop0p1", 0)), disk(Open(L"/dev/loop0", 0)), root(Open(L"/dev/vda", 0));
    ASSERT_NE(partition.h, INVALID_HANDLE_VALUE);
    wchar_t rootVolume[64] = {};
    ASSERT_TRUE(P::GetVolumeNameForVolumeMountPointW(L"/", rootVolume, 64));
    alignas(8) unsigned char buffer[1024];
    auto *info = reinterpret_cast<STORAGE_DEPENDENCY_INFO *>(buffer);
    auto ask = [&](HANDLE h, DWORD flags, ULONG size, ULONG version, ULONG *used) {
        std::memset(buffer, 0xCD, sizeof buffer);
        std::memcpy(buffer, &version, sizeof version);
        return P::GetStorageDependencyInformation(h, static_cast<GET_STORAGE_DEPENDENCY_FLAG>(flags), size, info, used);
    };
    const DWORD hostVolumes = GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES,
                diskHandle = GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE;
    ULONG used = 0;
    ASSERT_EQ(ask(partition.h, hostVolumes, sizeof buffer, 2, &used), ERROR_SUCCESS);
    ASSERT_EQ(info->NumberEntries, 1u);
    EXPECT_STREQ(info->Version2Entries[0].HostVolumeName, rootVolume);
    EXPECT_STREQ(info->Version2Entries[0].DependentVolumeRelativePath, L"/tmp/tavrec0.img");
    const ULONG whole = used;
    EXPECT_EQ(ask(disk.h, hostVolumes | diskHandle, sizeof buffer, 2, &used), ERROR_SUCCESS);
    EXPECT_EQ(used, whole);
    // A disk that is no virtual disk has none; the edges of the request.
    EXPECT_EQ(ask(root.h, hostVolumes | diskHandle, sizeof buffer, 2, &used), ERROR_SUCCESS);
    EXPECT_EQ(info->NumberEntries, 0u);
    const struct {
        HANDLE h;
        DWORD flags;
        ULONG size, version;
        bool sizeGiven;
        DWORD expected;
    } edges[] = {
        {partition.h, hostVolumes, whole - 1, 2, true, ERROR_INSUFFICIENT_BUFFER},
        {partition.h, hostVolumes, sizeof buffer, 1, true, ERROR_INVALID_PARAMETER},
        {partition.h, hostVolumes, sizeof buffer, 161, true, ERROR_INVALID_PARAMETER},
        {partition.h, hostVolumes, 7, 2, true, ERROR_INVALID_PARAMETER},
        {partition.h, hostVolumes, sizeof buffer, 2, false, ERROR_INVALID_PARAMETER},
        {partition.h, 0, sizeof buffer, 2, true, ERROR_NOT_SUPPORTED},
        {partition.h, hostVolumes | diskHandle, sizeof buffer, 2, true, ERROR_INVALID_HANDLE},
        {disk.h, hostVolumes, sizeof buffer, 2, true, ERROR_INVALID_HANDLE},
        {INVALID_HANDLE_VALUE, hostVolumes, sizeof buffer, 2, true, ERROR_INVALID_HANDLE},
    };
    for (const auto &k : edges) {
        used = 0;
        EXPECT_EQ(ask(k.h, k.flags, k.size, k.version, k.sizeGiven ? &used : nullptr), k.expected)
            << k.flags << " " << k.size << " " << k.version;
        if (k.expected == ERROR_INSUFFICIENT_BUFFER) {
            EXPECT_EQ(used, whole);
        }
    }
}

// ---- Missing and malformed recordings ------------------------------------------------

TEST(ReplayMissing, AttributesThatAreAbsentOrGarbled) {
    Machine m("workstation");
    const std::string dev = "sys/devices/pci0000:00/0000:00:1f.2/ata1/host0/target0:0:0/0:0:0:0/";
    for (const char *f : {"vendor", "model", "rev", "vpd_pg80", "inquiry", "block/sda/queue"})
        m.tree.Remove(dev + f);
    m.tree.Write(dev + "block/sda/removable", "yes\n");
    m.tree.Remove("sys/devices/pci0000:00/0000:00:1c.4/0000:02:00.0/mmc_host/mmc0/mmc0:aaaa/block/mmcblk0/size");
    m.tree.Write("sys/class/block/loopy", "");                                        // not a link, not a directory
    std::filesystem::create_symlink("loopy2", m.tree.Path("sys/class/block/loopy2")); // a loop of links
    std::filesystem::create_symlink("../../devices/gone", m.tree.Path("sys/class/block/gone"));
    Set set;
    std::vector<std::wstring> paths;
    for (auto &d : AllDrives(set.handle))
        paths.push_back(DevicePath(*d));
    // mmcblk0 has no size any more; the broken entries are passed over.
    EXPECT_EQ(paths, (std::vector<std::wstring>{L"/dev/sda", L"/dev/sdb", L"/dev/sdc", L"/dev/nvme0n1", L"/dev/nvme1n1",
                                                L"/dev/dm-0"}));
    auto d = DriveAt(set.handle, L"/dev/sda");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->IsAta(), 1);
    EXPECT_EQ(Text(*d, &Drive::GetVendorId), "");
    EXPECT_EQ(Text(*d, &Drive::GetSerialNumber), "");
    EXPECT_EQ(d->GetBytesPerSector(), 512u); // the default logical block size
    EXPECT_EQ(Text(*d, &Drive::GetIdeDriveModelNo), "WDC WD10EZEX-08WN4A0");
}

TEST(ReplayMissing, NoBlockDevicesAtAllAndNoMachineAtAll) {
    {
        // A machine without block devices has no disks.
        Machine m("vm");
        m.tree.Remove("sys/class/block");
        std::filesystem::create_directories(m.tree.Path("sys/class/block"));
        Set set;
        EXPECT_NE(set.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(Drive::GetDrive(set.handle, 0), nullptr);
        EXPECT_EQ(P::GetLastError(), ERROR_NO_MORE_ITEMS);
    }
    {
        // A root that holds no machine is not one without disks.
        Machine m("vm");
        m.tree.Remove("sys");
        Set set;
        EXPECT_EQ(set.handle, INVALID_HANDLE_VALUE);
        EXPECT_EQ(P::GetLastError(), ERROR_PATH_NOT_FOUND);
    }
}

TEST(ReplayMissing, AbsoluteLinksStayInsideTheRoot) {
    Machine m("vm");
    std::filesystem::remove(m.tree.Path("sys/class/block/loop0"));
    std::filesystem::create_symlink("/sys/devices/virtual/block/loop0", m.tree.Path("sys/class/block/loop0"));
    Set set;
    auto d = DriveAt(set.handle, L"/dev/loop0");
    ASSERT_TRUE(d);
    EXPECT_EQ(d->GetSectors().QuadPart, 131072);
}

TEST(ReplayVolumesIdentity, ClonedDisksStillGetDistinctVolumeNames) {
    Machine m("server");
    const std::string sdb = "sys/devices/pci0000:00/0000:00:01.0/0000:03:00.0/host0/port-0:0/expander-0:0/port-0:0:1/"
                            "end_device-0:0:1/target0:0:1/0:0:1:0/";
    m.tree.Write(sdb + "wwid", "naa.5000c500a1b2c3d4\n"); // sda's name
    std::vector<std::wstring> names;
    wchar_t name[51];
    HANDLE search = P::FindFirstVolumeW(name, 51);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);
    do
        names.push_back(name);
    while (P::FindNextVolumeW(search, name, 51));
    P::FindVolumeClose(search);
    std::sort(names.begin(), names.end());
    EXPECT_EQ(std::unique(names.begin(), names.end()), names.end());
}

// ---- Memory and the last-error code ---------------------------------------------------

TEST(ReplayCore, LocalAllocAndPerThreadLastError) {
    auto *zero = static_cast<unsigned char *>(P::LocalAlloc(LPTR, 64));
    ASSERT_NE(zero, nullptr);
    EXPECT_EQ(std::count(zero, zero + 64, 0), 64);
    EXPECT_EQ(P::LocalFree(zero), nullptr);
    void *empty = P::LocalAlloc(LMEM_FIXED, 0); // a distinct block even of size 0
    EXPECT_NE(empty, nullptr);
    P::LocalFree(empty);
    EXPECT_EQ(P::LocalAlloc(0x0002 /* movable */, 16), nullptr);
    EXPECT_EQ(P::GetLastError(), ERROR_INVALID_PARAMETER);
    EXPECT_EQ(P::LocalFree(nullptr), nullptr);

    P::SetLastError(1234);
    DWORD other = 99;
    std::thread([&other] { other = P::GetLastError(); }).join();
    EXPECT_EQ(other, 0u);
    EXPECT_EQ(P::GetLastError(), 1234u);
}
