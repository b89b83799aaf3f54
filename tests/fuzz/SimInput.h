// SPDX-License-Identifier: MIT
// A simulated machine as fuzz input: the plan the device-answers fuzzer
// builds its machine from, its byte format (Decode and Encode side by
// side, so that the two cannot drift apart), and Build.
#ifndef TAVDISK_TESTS_FUZZ_SIMINPUT_H
#define TAVDISK_TESTS_FUZZ_SIMINPUT_H

#include "FuzzInput.h"

#include "TavDiskLib/platform/simulated/SimMachine.h"

#include <cstring>
#include <optional>
#include <string>
#include <vector>

namespace TavFuzz {

using TavSim::Op;

// The requests a fault rule may name (not the releases: a failing
// CloseHandle or LocalFree keeps what it was given, which the leak check
// would blame on the library), and the control codes.
inline const std::vector<Op> &FaultOps() {
    static const std::vector<Op> ops = {Op::DeviceIoControl,
                                        Op::CreateFileW,
                                        Op::ReadFile,
                                        Op::WriteFile,
                                        Op::SetFilePointerEx,
                                        Op::FindFirstVolumeW,
                                        Op::FindNextVolumeW,
                                        Op::GetVolumePathNamesForVolumeNameW,
                                        Op::GetWindowsDirectoryW,
                                        Op::SetupDiGetDeviceInterfaceDetailW,
                                        Op::SetupDiEnumDeviceInterfaces,
                                        Op::SetupDiOpenDeviceInfoW,
                                        Op::SetupDiGetDeviceRegistryPropertyW,
                                        Op::CM_Get_Parent,
                                        Op::CM_Get_Device_ID_Size,
                                        Op::CM_Get_Device_IDW,
                                        Op::LocalAlloc};
    return ops;
}
inline const std::vector<DWORD> &FaultIoctls() {
    static const std::vector<DWORD> codes = {0,
                                             IOCTL_STORAGE_QUERY_PROPERTY,
                                             IOCTL_STORAGE_GET_DEVICE_NUMBER,
                                             SMART_GET_VERSION,
                                             SMART_RCV_DRIVE_DATA,
                                             IOCTL_DISK_CONTROLLER_NUMBER,
                                             IOCTL_SCSI_GET_ADDRESS,
                                             IOCTL_SCSI_PASS_THROUGH_DIRECT,
                                             IOCTL_DISK_GET_DRIVE_GEOMETRY,
                                             IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS,
                                             IOCTL_DISK_IS_WRITABLE,
                                             SMART_SEND_DRIVE_COMMAND,
                                             IOCTL_DISK_GET_DRIVE_LAYOUT_EX};
    return codes;
}

struct DiskSpec {
    bool openable = true, ata = false, scsi = true;
    bool hasController = false, hasAddress = true, hasGeometry = true, hasNode = true;
    uint32_t openError = ERROR_ACCESS_DENIED;
    uint8_t deviceNumber = 0;
    std::optional<std::wstring> path;
    std::vector<uint8_t> adapter, device, identify, inquiry;
    uint32_t controllerNumber = 0, diskNumber = 0;
    uint8_t port = 0, pathId = 0, target = 0, lun = 0;
    uint64_t lastLba = 0;
    uint32_t blockLength = 512;
    uint64_t cylinders = 0;
    uint32_t tracks = 0, sectorsPerTrack = 0, bytesPerSector = 512;
    uint64_t sizeBytes = 0;
    // Physical facts, read after everything else (older inputs have none):
    // bit 0 alignment told, 1 seek penalty told, 2 its value, 3 TRIM told,
    // 4 its value, 5 write-protected.
    uint8_t facts = 0;
    uint32_t physicalBytes = 0, alignmentOffset = 0;
    // Health answers, read after the facts (older inputs have none): bit 0
    // RETURN STATUS answers with `status` (low byte cylinder low), bit 1 an
    // NVMe log is kept; SMART blocks and log pages as the device gives them.
    uint8_t health = 0;
    uint16_t status = 0;
    std::vector<uint8_t> smartData, smartThresholds, nvmeLog, exceptionsPage, temperaturePage;
    // The partition table, read after the physical facts: told when
    // `layout` bit 0 is set, its style (any value), signature and entries
    // (number, type byte, boot flag, start and length in 512-byte units).
    uint8_t layout = 0;
    uint32_t style = 0, signature = 0;
    struct Entry {
        uint8_t number = 0, type = 0, boot = 0;
        uint32_t start = 0, length = 0;
    };
    std::vector<Entry> entries;
    // The identifiers' answer, read after the partition tables: any bytes,
    // told when `deviceIdTold` bit 0 is set (older inputs tell none).
    uint8_t deviceIdTold = 0;
    std::vector<uint8_t> deviceId;
};

struct VolumeSpec {
    bool openable = true;
    std::optional<uint32_t> claimed;
    struct Extent {
        uint8_t disk = 0;
        uint64_t start = 0, length = 0;
    };
    std::vector<Extent> extents;
    std::vector<std::wstring> paths;
};

struct FaultSpec {
    uint8_t op = 0, ioctl = 0;
    int disk = -1;
    uint32_t error = ERROR_GEN_FAILURE;
    std::optional<uint16_t> shortBytes;
    bool succeedWithError = false;
    uint8_t skip = 0;
    int times = -1;
};

struct MachinePlan {
    std::wstring controller = L"Standard SATA AHCI Controller";
    std::vector<DiskSpec> disks;
    std::vector<VolumeSpec> volumes;
    std::optional<std::wstring> windowsDirectory;
    std::vector<FaultSpec> faults;
    uint8_t failAllocation = 0; // 0: none; n: the (n-1)th allocation after building fails
    uint32_t sector = 0;        // the sector the transfers address
};

inline MachinePlan Decode(Reader &r) {
    MachinePlan m;
    size_t disks = 1 + r.U8() % 3;
    m.controller = r.Wide(300);
    for (size_t i = 0; i < disks; ++i) {
        DiskSpec d;
        uint8_t flags = r.U8();
        d.openable = !(flags & 1);
        d.ata = flags & 2;
        d.scsi = !(flags & 4);
        d.hasController = flags & 8;
        d.hasAddress = flags & 16;
        d.hasGeometry = flags & 32;
        d.hasNode = !(flags & 128);
        d.openError = r.U32();
        d.deviceNumber = r.U8();
        if (flags & 64)
            d.path = r.Wide(600);
        d.adapter = r.Blob(256);
        d.device = r.Blob(2048);
        d.identify = r.Blob(512);
        d.controllerNumber = r.U32();
        d.diskNumber = r.U32();
        d.port = r.U8();
        d.pathId = r.U8();
        d.target = r.U8();
        d.lun = r.U8();
        d.inquiry = r.Blob(300);
        d.lastLba = r.U64();
        d.blockLength = r.U32();
        d.cylinders = r.U64();
        d.tracks = r.U32();
        d.sectorsPerTrack = r.U32();
        d.bytesPerSector = r.U32();
        d.sizeBytes = r.U64();
        m.disks.push_back(std::move(d));
    }
    size_t volumes = r.U8() % 5;
    for (size_t i = 0; i < volumes; ++i) {
        VolumeSpec v;
        uint8_t flags = r.U8();
        v.openable = !(flags & 1);
        uint32_t claimed = r.U32();
        if (flags & 2)
            v.claimed = claimed;
        size_t extents = r.U8() % 5;
        for (size_t e = 0; e < extents; ++e) {
            VolumeSpec::Extent x;
            x.disk = r.U8();
            x.start = r.U64();
            x.length = r.U64();
            v.extents.push_back(x);
        }
        size_t paths = r.U8() % 5;
        for (size_t p = 0; p < paths; ++p)
            v.paths.push_back(r.Wide(300));
        m.volumes.push_back(std::move(v));
    }
    if (r.Flag())
        m.windowsDirectory = r.Wide(300);
    size_t faults = r.U8() % 5;
    for (size_t i = 0; i < faults; ++i) {
        FaultSpec f;
        f.op = r.U8();
        f.ioctl = r.U8();
        f.disk = static_cast<int>(r.U8() % 4) - 1;
        f.error = r.U32();
        uint16_t shortBytes = r.U16();
        uint8_t flags = r.U8();
        if (flags & 1)
            f.shortBytes = shortBytes;
        f.succeedWithError = flags & 2;
        f.skip = r.U8();
        f.times = static_cast<int>(r.U8() % 4) - 1;
        m.faults.push_back(f);
    }
    m.failAllocation = r.U8();
    m.sector = r.U32();
    for (DiskSpec &d : m.disks) {
        d.facts = r.U8();
        d.physicalBytes = r.U32();
        d.alignmentOffset = r.U32();
    }
    for (DiskSpec &d : m.disks) {
        d.health = r.U8();
        d.status = r.U16();
        d.smartData = r.Blob(600);
        d.smartThresholds = r.Blob(600);
        d.nvmeLog = r.Blob(600);
        d.exceptionsPage = r.Blob(300);
        d.temperaturePage = r.Blob(300);
        d.layout = r.U8();
        d.style = r.U32();
        d.signature = r.U32();
        d.entries.resize(r.U8());
        for (DiskSpec::Entry &e : d.entries) {
            e.number = r.U8();
            e.type = r.U8();
            e.boot = r.U8();
            e.start = r.U32();
            e.length = r.U32();
        }
    }
    for (DiskSpec &d : m.disks) {
        d.deviceIdTold = r.U8();
        d.deviceId = r.Blob(1024);
    }
    return m;
}

inline void Encode(Writer &w, const MachinePlan &m) {
    w.U8(m.disks.empty() ? 0 : m.disks.size() - 1);
    w.Wide(m.controller);
    for (const DiskSpec &d : m.disks) {
        w.U8((d.openable ? 0 : 1) | (d.ata ? 2 : 0) | (d.scsi ? 0 : 4) | (d.hasController ? 8 : 0) |
             (d.hasAddress ? 16 : 0) | (d.hasGeometry ? 32 : 0) | (d.path ? 64 : 0) | (d.hasNode ? 0 : 128));
        w.U32(d.openError).U8(d.deviceNumber);
        if (d.path)
            w.Wide(*d.path);
        w.Blob(d.adapter).Blob(d.device).Blob(d.identify);
        w.U32(d.controllerNumber).U32(d.diskNumber);
        w.U8(d.port).U8(d.pathId).U8(d.target).U8(d.lun);
        w.Blob(d.inquiry).U64(d.lastLba).U32(d.blockLength);
        w.U64(d.cylinders).U32(d.tracks).U32(d.sectorsPerTrack).U32(d.bytesPerSector).U64(d.sizeBytes);
    }
    w.U8(m.volumes.size());
    for (const VolumeSpec &v : m.volumes) {
        w.U8((v.openable ? 0 : 1) | (v.claimed ? 2 : 0)).U32(v.claimed.value_or(0));
        w.U8(v.extents.size());
        for (const auto &x : v.extents)
            w.U8(x.disk).U64(x.start).U64(x.length);
        w.U8(v.paths.size());
        for (const auto &p : v.paths)
            w.Wide(p);
    }
    w.Flag(m.windowsDirectory.has_value());
    if (m.windowsDirectory)
        w.Wide(*m.windowsDirectory);
    w.U8(m.faults.size());
    for (const FaultSpec &f : m.faults) {
        w.U8(f.op).U8(f.ioctl).U8(static_cast<uint8_t>(f.disk + 1)).U32(f.error);
        w.U16(f.shortBytes.value_or(0)).U8((f.shortBytes ? 1 : 0) | (f.succeedWithError ? 2 : 0));
        w.U8(f.skip).U8(static_cast<uint8_t>(f.times + 1));
    }
    w.U8(m.failAllocation).U32(m.sector);
    for (const DiskSpec &d : m.disks)
        w.U8(d.facts).U32(d.physicalBytes).U32(d.alignmentOffset);
    for (const DiskSpec &d : m.disks) {
        w.U8(d.health).U16(d.status).Blob(d.smartData).Blob(d.smartThresholds).Blob(d.nvmeLog);
        w.Blob(d.exceptionsPage).Blob(d.temperaturePage);
        w.U8(d.layout).U32(d.style).U32(d.signature).U8(static_cast<uint8_t>(d.entries.size()));
        for (const DiskSpec::Entry &e : d.entries)
            w.U8(e.number).U8(e.type).U8(e.boot).U32(e.start).U32(e.length);
    }
    for (const DiskSpec &d : m.disks)
        w.U8(d.deviceIdTold).Blob(d.deviceId);
}

inline void Build(const MachinePlan &plan, TavSim::Machine &m) {
    DEVINST controller = m.AddNode(L"PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA", plan.controller);
    for (size_t i = 0; i < plan.disks.size(); ++i) {
        const DiskSpec &s = plan.disks[i];
        TavSim::Disk d;
        if (s.path)
            d.devicePath = *s.path;
        if (s.hasNode)
            d.devInst = m.AddNode(L"SCSI\\DISK\\" + std::to_wstring(i), L"Disk drive", controller);
        d.openable = s.openable;
        d.openError = s.openError;
        d.deviceNumber = s.deviceNumber;
        d.adapterDescriptor = s.adapter;
        d.deviceDescriptor = s.device;
        d.ata = s.ata;
        d.identify = s.identify;
        if (s.hasController) {
            DISK_CONTROLLER_NUMBER cn{};
            cn.ControllerNumber = s.controllerNumber;
            cn.DiskNumber = s.diskNumber;
            d.controllerNumber = cn;
        }
        if (s.hasAddress) {
            SCSI_ADDRESS a{};
            a.Length = sizeof a;
            a.PortNumber = s.port;
            a.PathId = s.pathId;
            a.TargetId = s.target;
            a.Lun = s.lun;
            d.scsiAddress = a;
        }
        d.inquiry = s.inquiry;
        d.scsi = s.scsi;
        d.lastLba = s.lastLba;
        d.blockLength = s.blockLength;
        if (s.hasGeometry) {
            DISK_GEOMETRY g{};
            g.Cylinders.QuadPart = static_cast<LONGLONG>(s.cylinders);
            g.MediaType = FixedMedia;
            g.TracksPerCylinder = s.tracks;
            g.SectorsPerTrack = s.sectorsPerTrack;
            g.BytesPerSector = s.bytesPerSector;
            d.geometry = g;
        }
        d.sizeBytes = s.sizeBytes;
        if (s.facts & 1) {
            STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a{};
            a.BytesPerLogicalSector = s.bytesPerSector;
            a.BytesPerPhysicalSector = s.physicalBytes;
            a.BytesOffsetForSectorAlignment = s.alignmentOffset;
            d.alignment = a;
        }
        if (s.facts & 2)
            d.seekPenalty = (s.facts & 4) != 0;
        if (s.facts & 8)
            d.trim = (s.facts & 16) != 0;
        d.writeProtected = (s.facts & 32) != 0;
        d.smartData = s.smartData;
        d.smartThresholds = s.smartThresholds;
        if (s.health & 1)
            d.smartStatus = std::make_pair(static_cast<uint8_t>(s.status), static_cast<uint8_t>(s.status >> 8));
        if (s.health & 2)
            d.nvmeHealthLog = s.nvmeLog;
        if (!s.exceptionsPage.empty())
            d.logPages[0x2F] = s.exceptionsPage;
        if (!s.temperaturePage.empty())
            d.logPages[0x0D] = s.temperaturePage;
        if (s.layout & 1) {
            d.layout.emplace();
            d.layout->style = s.style;
            d.layout->signature = s.signature;
            d.layout->diskId = {s.signature, 0x1234, 0x5678, {1, 2, 3, 4, 5, 6, 7, 8}};
            for (const DiskSpec::Entry &x : s.entries) {
                PARTITION_INFORMATION_EX e{};
                e.PartitionStyle = static_cast<PARTITION_STYLE>(s.style % 3);
                e.PartitionNumber = x.number;
                e.StartingOffset.QuadPart = LONGLONG{x.start} * 512;
                e.PartitionLength.QuadPart = LONGLONG{x.length} * 512;
                if (s.style == PARTITION_STYLE_GPT) {
                    e.Gpt.PartitionId = {x.number, x.type, x.boot, {1, 2, 3, 4, 5, 6, 7, 8}};
                    for (size_t c = 0; c < 36; ++c)
                        e.Gpt.Name[c] = static_cast<WCHAR>(x.type + c); // no terminator
                } else {
                    e.Mbr.PartitionType = x.type;
                    e.Mbr.BootIndicator = x.boot;
                }
                d.layout->entries.push_back(e);
            }
        }
        if (s.deviceIdTold & 1)
            d.deviceId = s.deviceId;
        m.AddDisk(d);
    }
    for (const VolumeSpec &s : plan.volumes) {
        std::vector<TavSim::Volume::Extent> extents;
        for (const auto &x : s.extents)
            extents.push_back({x.disk, x.start, x.length});
        int v = m.AddVolume(extents, s.paths);
        m.volumes[static_cast<size_t>(v)].openable = s.openable;
        m.volumes[static_cast<size_t>(v)].claimedExtentCount = s.claimed;
    }
    m.windowsDirectory = plan.windowsDirectory;
    m.systemDirectory = plan.windowsDirectory; // its volume is the system's
    for (const FaultSpec &s : plan.faults) {
        TavSim::Fault f;
        f.op = FaultOps()[s.op % FaultOps().size()];
        f.ioctl = FaultIoctls()[s.ioctl % FaultIoctls().size()];
        f.disk = s.disk;
        f.error = s.error;
        f.shortBytes = s.shortBytes;
        f.succeedWithError = s.succeedWithError;
        f.skip = s.skip;
        f.times = s.times;
        m.AddFault(f);
    }
}

} // namespace TavFuzz

#endif
