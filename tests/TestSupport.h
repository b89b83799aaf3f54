// SPDX-License-Identifier: MIT
// Shared scaffolding for the tests: a simulated machine installed for each
// test, typical disks, and a window on the Drive's private state.
#ifndef TAVDISK_TESTS_TESTSUPPORT_H
#define TAVDISK_TESTS_TESTSUPPORT_H

#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/simulated/SimMachine.h"

#include <gtest/gtest.h>

#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

// Reaches into a Drive for what only the tests look at.
struct DriveTestAccess {
    static void Trim(const unsigned char *source, unsigned char *destination, ULONG length, ULONG *count) {
        Drive::TrimString(source, destination, length, count);
    }
    static void Transpose(const unsigned char *source, unsigned char *destination, ULONG offset, ULONG length) {
        Drive::TransposeByWord(source, destination, offset, length);
    }
    static HANDLE Handle(const Drive &d) { return d.DeviceHandle; }
    static bool HasSmartVersion(const Drive &d) { return d.SmartVersion != nullptr; }
    static bool HasIdentify(const Drive &d) { return d.IdentifyResult != nullptr; }
    static bool HasControllerNumber(const Drive &d) { return d.ControllerNumber != nullptr; }
    static bool HasGeometry(const Drive &d) { return d.Geometry != nullptr; }
    static bool HasLetterTable(const Drive &d) { return d.DriveLetterTable != nullptr; }
    static bool HasMountPoints(const Drive &d) { return d.MountPointList != nullptr; }
    static const SCSI_ADDRESS *Address(const Drive &d) { return d.ScsiAddress; }
    static const unsigned char *Inquiry(const Drive &d) { return d.InquiryData; }
    static const SP_DEVICE_INTERFACE_DETAIL_DATA_W *Detail(const Drive &d) { return d.InterfaceDetail; }
    static ULONG Pass(Drive &d, unsigned char *cdb, unsigned char length, void *data, ULONG size) {
        return d.ScsiPassThrough(cdb, length, data, size, SCSI_IOCTL_DATA_IN);
    }
};

namespace TavSim {
// Readable operation names in test failure messages.
inline void PrintTo(Op op, std::ostream *os) { *os << OpName(op); }
} // namespace TavSim

namespace TavTest {

using TavSim::ByteString;
using TavSim::Op;

// One entry of the request sequence: operation and control code.
using Step = std::pair<Op, DWORD>;

inline std::vector<Step> Sequence(const TavSim::Machine &m) {
    std::vector<Step> steps;
    for (const auto &r : m.Log())
        if (r.op != Op::LocalAlloc && r.op != Op::LocalFree && r.op != Op::LocalSize)
            steps.emplace_back(r.op, r.ioctl);
    return steps;
}

inline std::vector<TavSim::Request> Requests(const TavSim::Machine &m, Op op, DWORD ioctl = 0) {
    std::vector<TavSim::Request> out;
    for (const auto &r : m.Log())
        if (r.op == op && (ioctl == 0 || r.ioctl == ioctl))
            out.push_back(r);
    return out;
}

inline DISK_GEOMETRY Geometry(int64_t cylinders, DWORD tracks, DWORD sectors, DWORD bytes) {
    DISK_GEOMETRY g{};
    g.Cylinders.QuadPart = cylinders;
    g.MediaType = FixedMedia;
    g.TracksPerCylinder = tracks;
    g.SectorsPerTrack = sectors;
    g.BytesPerSector = bytes;
    return g;
}

inline SCSI_ADDRESS Address(UCHAR port, UCHAR path, UCHAR target, UCHAR lun) {
    SCSI_ADDRESS a{};
    a.Length = sizeof(SCSI_ADDRESS);
    a.PortNumber = port;
    a.PathId = path;
    a.TargetId = target;
    a.Lun = lun;
    return a;
}

inline std::string Text(const unsigned char *buffer) { return std::string(reinterpret_cast<const char *>(buffer)); }

struct DriveDeleter {
    void operator()(Drive *d) const { delete d; }
};
using DrivePtr = std::unique_ptr<Drive, DriveDeleter>;

// A test with its own simulated machine installed; the set and every Drive
// it hands out are released before the machine's accounting is checked.
class MachineTest : public ::testing::Test {
protected:
    TavSim::Machine machine;
    DEVINST controller = 0;

    void SetUp() override {
        machine.Install();
        controller = machine.AddNode(L"PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA", L"Standard SATA AHCI Controller");
    }
    void TearDown() override {
        if (set_ && set_ != INVALID_HANDLE_VALUE)
            SetupDiDestroyDeviceInfoList(set_);
        set_ = nullptr;
        TavSim::Machine::Uninstall();
    }

    TavSim::Disk AtaDisk(DWORD number) {
        TavSim::Disk d;
        d.devicePath =
            L"\\\\?\\ide#diskvendor_model#" + std::to_wstring(number) + L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        d.devInst =
            machine.AddNode(L"IDE\\DISKTAV_MODEL_1000\\5&" + std::to_wstring(number), L"Disk drive", controller);
        d.deviceNumber = number;
        d.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSata);
        d.deviceDescriptor = TavSim::MakeDeviceDescriptor(nullptr, "TAV MODEL 1000", "FW01", "SN0001", BusTypeSata);
        d.ata = true;
        d.identify = TavSim::MakeIdentify("TAV MODEL 1000", "SN0001", "FW01", 1953525168, true);
        DISK_CONTROLLER_NUMBER cn{};
        cn.ControllerNumber = 1;
        cn.DiskNumber = 0;
        d.controllerNumber = cn;
        d.scsiAddress = Address(1, 0, 0, 0);
        d.geometry = Geometry(121601, 255, 63, 512);
        d.sizeBytes = 1953525168ull * 512;
        d.scsi = true;
        return d;
    }

    TavSim::Disk ScsiDisk(DWORD number) {
        TavSim::Disk d;
        d.devicePath = L"\\\\?\\scsi#disk&ven_tav&prod_array#" + std::to_wstring(number) +
                       L"#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
        d.devInst =
            machine.AddNode(L"SCSI\\DISK&VEN_TAV&PROD_ARRAY\\4&" + std::to_wstring(number), L"Disk drive", controller);
        d.deviceNumber = number;
        d.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSas);
        d.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "ARRAY DISK", "0001", "ABC123", BusTypeSas);
        d.ata = false;
        d.inquiry = TavSim::MakeInquiry("TAV", "ARRAY DISK", "0001");
        d.scsiAddress = Address(2, 0, 5, 1);
        d.lastLba = 0x0001E847;
        d.blockLength = 512;
        d.geometry = Geometry(7, 255, 63, 512);
        d.sizeBytes = (0x0001E847ull + 1) * 512;
        return d;
    }

    void *Set() {
        if (!set_)
            set_ = Drive::GetDeviceInfoSet();
        return set_;
    }

    DrivePtr Get(ULONG index) { return DrivePtr(Drive::GetDrive(Set(), index)); }

    // Builds the Drive for `index` and forgets the construction's requests.
    DrivePtr Fresh(ULONG index) {
        DrivePtr d = Get(index);
        machine.ClearLog();
        return d;
    }

private:
    void *set_ = nullptr;
};

} // namespace TavTest

#endif
