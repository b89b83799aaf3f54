// SPDX-License-Identifier: MIT
// Writes the seed corpora of the fuzzers, made from the machines the tests
// use: fuzz_make_seeds <corpus directory>. The seeds are checked in
// (tests/fuzz/corpus); run this again when the input format changes.
#include "FuzzInput.h"
#include "SimInput.h"

#include "TavDiskLib/platform/DeviceIds.h"

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;
using namespace TavFuzz;

namespace {

void Put(const fs::path &dir, const std::string &name, const std::vector<uint8_t> &bytes) {
    fs::create_directories(dir);
    std::ofstream(dir / name, std::ios::binary)
        .write(reinterpret_cast<const char *>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

void PutSpec(const fs::path &dir, const std::string &name, const MachinePlan &plan) {
    Writer w;
    Encode(w, plan);
    Put(dir, name, w.Bytes());
}

// The ATA disk of the tavdisk tests: 2048 sectors, security feature set.
DiskSpec AtaDisk(uint8_t number) {
    DiskSpec d;
    d.deviceNumber = number;
    d.adapter = TavSim::MakeAdapterDescriptor(BusTypeSata);
    d.device = TavSim::MakeDeviceDescriptor(nullptr, "TAV MODEL 1000", "FW01", "SN0001", BusTypeSata);
    d.ata = true;
    d.identify = TavSim::MakeIdentify("TAV MODEL 1000", "SN0001", "FW01", 2048, false);
    TavSim::SetIdentifyWord(d.identify, 82, 0x0002);
    TavSim::SetIdentifyWord(d.identify, 89, 0x001E);
    d.hasController = true;
    d.controllerNumber = 1;
    d.port = 1;
    d.cylinders = 1;
    d.tracks = 64;
    d.sectorsPerTrack = 32;
    d.sizeBytes = 2048 * 512;
    return d;
}

// The SAS disk of the tavdisk tests, identified by INQUIRY.
DiskSpec ScsiDisk(uint8_t number) {
    DiskSpec d;
    d.deviceNumber = number;
    d.adapter = TavSim::MakeAdapterDescriptor(BusTypeSas);
    d.device = TavSim::MakeDeviceDescriptor("TAV", "ARRAY DISK", "0001", "ABC123", BusTypeSas);
    d.inquiry = TavSim::MakeInquiry("TAV", "ARRAY DISK", "0001");
    d.port = 2;
    d.target = 5;
    d.lun = 1;
    d.lastLba = 4095;
    d.cylinders = 1;
    d.tracks = 128;
    d.sectorsPerTrack = 32;
    d.sizeBytes = 4096 * 512;
    return d;
}

MachinePlan TwoDisks() {
    MachinePlan m;
    m.disks = {AtaDisk(0), ScsiDisk(1)};
    VolumeSpec c;
    c.extents = {{0, 1 << 20, 1 << 19}};
    c.paths = {L"C:\\", L"C:\\mnt\\data\\"};
    VolumeSpec e;
    e.extents = {{1, 1 << 20, 1 << 20}};
    e.paths = {L"E:\\", L"C:\\mnt\\with space\\", L"C:\\mnt\\b;c\\"};
    m.volumes = {c, e};
    m.windowsDirectory = L"C:\\Windows";
    m.sector = 5;
    return m;
}

void DeviceSeeds(const fs::path &dir) {
    PutSpec(dir, "two-disks", TwoDisks());

    MachinePlan big;
    DiskSpec bigScsi = ScsiDisk(0);
    bigScsi.lastLba = 0x1FFFFFFFFull; // READ CAPACITY(10) answers 0xFFFFFFFF
    DiskSpec bigAta = AtaDisk(1);
    bigAta.identify = TavSim::MakeIdentify("TAV BIG SATA 3T", "TAVBIGATA01", "BA48", 6442450944ull, true);
    big.disks = {bigScsi, bigAta};
    big.sector = 0xFFFFFFFF;
    PutSpec(dir, "large-disks", big);

    MachinePlan spanned = TwoDisks();
    VolumeSpec span;
    span.extents = {{0, 0, 1 << 20}, {1, 0, 1 << 20}, {0, 2 << 20, 1 << 20}};
    span.paths = {L"F:\\", L"C:\\span\\"};
    spanned.volumes.push_back(span);
    PutSpec(dir, "spanned-volume", spanned);

    MachinePlan closed = TwoDisks();
    DiskSpec unopened = ScsiDisk(2);
    unopened.openable = false;
    closed.disks.push_back(unopened);
    PutSpec(dir, "unopened-disk", closed);

    // Odd answers: a device descriptor whose offsets point outside it and a
    // header Size that lies; a short INQUIRY; an absurd extent count.
    MachinePlan odd = TwoDisks();
    std::vector<uint8_t> &desc = odd.disks[1].device;
    desc[4] = 0xFF;  // Size
    desc[12] = 0xF0; // VendorIdOffset
    odd.disks[1].inquiry.resize(20);
    odd.volumes[0].claimed = 0xFFFFFFFF;
    PutSpec(dir, "odd-answers", odd);

    // Identifiers: a NAA of 8 bytes and a T10 vendor identification on the
    // SCSI disk; on the ATA disk a descriptor whose Size claims more than
    // it holds.
    MachinePlan named = TwoDisks();
    const std::vector<uint8_t> ids = TavPlatform::MakeDeviceIdDescriptor(
        {{StorageIdCodeSetAscii, StorageIdTypeVendorId, StorageIdAssocDevice, {'T', 'A', 'V', ' ', 'A', 'R', 'R'}},
         {StorageIdCodeSetBinary,
          StorageIdTypeFCPHName,
          StorageIdAssocDevice,
          {0x50, 0, 0xc5, 0, 0x15, 0xea, 0x71, 0xad}}});
    named.disks[1].deviceIdTold = 1;
    named.disks[1].deviceId = ids;
    named.disks[0].deviceIdTold = 1;
    named.disks[0].deviceId = ids;
    named.disks[0].deviceId[offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Size)] += 40;
    PutSpec(dir, "device-ids", named);

    // Requests that fail or answer short.
    MachinePlan faults = TwoDisks();
    FaultSpec shortPass;
    shortPass.op = 0;    // DeviceIoControl
    shortPass.ioctl = 7; // IOCTL_SCSI_PASS_THROUGH_DIRECT
    shortPass.shortBytes = 3;
    FaultSpec noNames;
    noNames.op = 7; // GetVolumePathNamesForVolumeNameW
    noNames.shortBytes = 5;
    FaultSpec failedNumber;
    failedNumber.op = 0;
    failedNumber.ioctl = 2; // IOCTL_STORAGE_GET_DEVICE_NUMBER
    failedNumber.error = ERROR_DEV_NOT_EXIST;
    faults.faults = {shortPass, noNames, failedNumber};
    PutSpec(dir, "failing-requests", faults);

    // Health: SMART blocks with a failing status, SCSI log pages, an NVMe
    // log with a critical warning.
    MachinePlan health = TwoDisks();
    const std::vector<TavSim::SmartEntry> attributes = {{5, 30, 36, 8}, {9, 99, 0, 1234}, {194, 70, 0, 31}};
    health.disks[0].smartData = TavSim::MakeSmartBlock(attributes, false);
    health.disks[0].smartThresholds = TavSim::MakeSmartBlock(attributes, true);
    health.disks[0].health = 1;
    health.disks[0].status = 0x2CF4;
    health.disks[1].exceptionsPage = {0x2F, 0, 0, 8, 0, 0, 3, 4, 0x5D, 0x10, 38, 0};
    health.disks[1].temperaturePage = {0x0D, 0, 0, 6, 0, 0, 3, 2, 0, 36};
    DiskSpec nvme = ScsiDisk(2);
    nvme.device = TavSim::MakeDeviceDescriptor(nullptr, "TAV NVME", "1.0", "N1", BusTypeNvme);
    nvme.health = 2;
    nvme.nvmeLog.assign(512, 0);
    nvme.nvmeLog[0] = 0x04;
    nvme.nvmeLog[1] = 0x2C, nvme.nvmeLog[2] = 0x01;
    health.disks.push_back(nvme);
    PutSpec(dir, "disk-health", health);

    MachinePlan memory = TwoDisks();
    memory.failAllocation = 9;
    PutSpec(dir, "allocation-fails", memory);
}

void TreeSeeds(const fs::path &dir) {
    const char *const trees[] = {"qemu-sata",   "qemu-ide",  "qemu-scsi", "qemu-lsi4k", "qemu-nvme",  "qemu-usb",
                                 "qemu-virtio", "qemu-span", "server",    "vm",         "workstation"};
    for (size_t i = 0; i < sizeof trees / sizeof trees[0]; ++i) {
        Writer plain;
        plain.U8(i).U32(100);
        Put(dir, trees[i], plain.Bytes());
    }
    // A mount path with octal escapes and a separator inside, an odd line.
    Writer mounts;
    mounts.U8(0).U32(0);
    mounts.U8(5).U16(0).Text("99 1 8:17 / /mnt/a\\040b;\\073\\134x rw - ext4 /dev/sdb1 rw");
    mounts.U8(5).U16(0).Text("100 1 8:17 / /mnt/c;\\040d rw shared:1 - ext4 /dev/sdb1 rw");
    mounts.U8(6).U16(3).Text("1 2 3");
    Put(dir, "qemu-sata-mounts", mounts.Bytes());
    // A sysfs size and sector size that are no numbers.
    Writer sizes;
    sizes.U8(2).U32(7);
    sizes.U8(0).U16(40).Text("18446744073709551615");
    sizes.U8(0).U16(41).Text("0x200");
    sizes.U8(2).U16(42).U16(0);
    Put(dir, "qemu-scsi-sizes", sizes.Bytes());
}

void ArgSeeds(const fs::path &dir) {
    const std::vector<std::vector<std::string>> lists = {
        {},
        {"list"},
        {"--json"},
        {"list", "--json"},
        {"show", "1"},
        {"show", "0", "--json"},
        {"show", "\\\\?\\scsi#disk1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"},
        {"read", "0", "3"},
        {"read", "0x1", "0xFFF"},
        {"read", "1", "4096"},
        {"write", "0", "5", "@F", "--yes", "--device", "\\\\?\\ide#disk0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}"},
        {"write", "\\\\?\\ide#disk0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}", "5", "@F", "-y"},
        {"write", "0", "5", "@F"},
        {"write", "1", "2048", "@F", "--yes", "--mounted"},
        {"show", "\x1b[31mred"},
        {"--bogus\x07"},
        {"write", "0", "5", "@S", "--yes"},
    };
    for (size_t i = 0; i < lists.size(); ++i) {
        std::vector<uint8_t> bytes;
        for (const std::string &arg : lists[i]) {
            bytes.insert(bytes.end(), arg.begin(), arg.end());
            bytes.push_back(0);
        }
        Put(dir, "args-" + std::to_string(i), bytes);
    }
}

} // namespace

int main(int argc, char **argv) {
    if (argc != 2) {
        std::fprintf(stderr, "usage: fuzz_make_seeds <corpus directory>\n");
        return 2;
    }
    fs::path root = argv[1];
    DeviceSeeds(root / "fuzz_device_answers");
    TreeSeeds(root / "fuzz_linux_tree");
    ArgSeeds(root / "fuzz_tavdisk_args");
    return 0;
}
