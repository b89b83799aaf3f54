// SPDX-License-Identifier: MIT
// The simulated machines of ApiMachines.h.
#include "ApiMachines.h"

#include "TavDiskLib/platform/DeviceIds.h"
#include "TavDiskLib/platform/simulated/SimMachine.h"

#include <memory>

namespace {

std::unique_ptr<TavSim::Machine> machine;

SCSI_ADDRESS Address(UCHAR port, UCHAR path, UCHAR target, UCHAR lun) {
    SCSI_ADDRESS a{};
    a.Length = sizeof a;
    a.PortNumber = port;
    a.PathId = path;
    a.TargetId = target;
    a.Lun = lun;
    return a;
}

DISK_GEOMETRY Geometry(LONGLONG cylinders) {
    DISK_GEOMETRY g{};
    g.Cylinders.QuadPart = cylinders;
    g.MediaType = FixedMedia;
    g.TracksPerCylinder = 255;
    g.SectorsPerTrack = 63;
    g.BytesPerSector = 512;
    return g;
}

} // namespace

extern "C" void tavtest_install_two_disks(void) {
    machine = std::make_unique<TavSim::Machine>();
    TavSim::Machine &m = *machine;
    DEVINST controller = m.AddNode(L"PCI\\VEN_8086&DEV_2922\\3&11583659&0&FA", L"Standard SATA AHCI Controller");

    TavSim::Disk ata;
    ata.devicePath = L"\\\\?\\ide#diskvendor_model#0#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    ata.devInst = m.AddNode(L"IDE\\DISKTAV_MODEL_1000\\5&0", L"Disk drive", controller);
    ata.deviceNumber = 0;
    ata.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSata);
    ata.deviceDescriptor = TavSim::MakeDeviceDescriptor(nullptr, "TAV MODEL 1000", "FW01", "SN0001", BusTypeSata);
    ata.ata = true;
    ata.identify = TavSim::MakeIdentify("TAV MODEL 1000", "SN0001", "FW01", 1953525168, true);
    DISK_CONTROLLER_NUMBER cn{};
    cn.ControllerNumber = 1;
    ata.controllerNumber = cn;
    ata.scsiAddress = Address(1, 0, 0, 0);
    ata.geometry = Geometry(121601);
    ata.sizeBytes = 1953525168ull * 512;
    // An MBR table: the volume C: on its partition, and an unused slot.
    ata.layout.emplace();
    ata.layout->style = PARTITION_STYLE_MBR;
    ata.layout->signature = 0x5EED1234;
    ata.layout->entries.resize(2);
    ata.layout->entries[0].PartitionNumber = 1;
    ata.layout->entries[0].StartingOffset.QuadPart = 1 << 20;
    ata.layout->entries[0].PartitionLength.QuadPart = 1 << 30;
    ata.layout->entries[0].Mbr.PartitionType = 0x07;
    ata.layout->entries[0].Mbr.BootIndicator = TRUE;
    int first = m.AddDisk(ata);
    TavSim::ByteString sector(512);
    for (size_t i = 0; i < sector.size(); ++i)
        sector[i] = static_cast<uint8_t>(i);
    m.WriteBytes(first, 7 * 512, sector);

    TavSim::Disk sas;
    sas.devicePath = L"\\\\?\\scsi#disk&ven_tav&prod_array#1#{53f56307-b6bf-11d0-94f2-00a0c91efb8b}";
    sas.devInst = m.AddNode(L"SCSI\\DISK&VEN_TAV&PROD_ARRAY\\4&1", L"Disk drive", controller);
    sas.deviceNumber = 1;
    sas.adapterDescriptor = TavSim::MakeAdapterDescriptor(BusTypeSas);
    sas.deviceDescriptor = TavSim::MakeDeviceDescriptor("TAV", "ARRAY DISK", "0001", "ABC123", BusTypeSas);
    sas.inquiry = TavSim::MakeInquiry("TAV", "ARRAY DISK", "0001");
    sas.scsiAddress = Address(2, 0, 5, 1);
    sas.lastLba = 0x0001E847;
    sas.geometry = Geometry(7);
    sas.sizeBytes = (0x0001E847ull + 1) * 512;
    sas.deviceId = TavPlatform::MakeDeviceIdDescriptor({{StorageIdCodeSetBinary,
                                                         StorageIdTypeFCPHName,
                                                         StorageIdAssocDevice,
                                                         {0x50, 0, 0xc5, 0, 0x15, 0xea, 0x71, 0xad}}});
    m.AddDisk(sas);

    m.AddVolume({{0, 1 << 20, 1 << 30}}, {L"C:\\", L"C:\\mnt\\data\\"});
    m.AddVolume({{1, 1 << 20, 1 << 20}}, {L"E:\\", L"E:\\x; y\\", L"E:\\z\\"});
    m.windowsDirectory = L"C:\\Windows";
    m.systemDirectory = L"C:\\Windows\\system32";
    m.Install();
}

extern "C" void tavtest_make_unopenable(int disk) { machine->disks[static_cast<size_t>(disk)].openable = false; }

extern "C" unsigned long tavtest_leftovers(void) {
    return static_cast<unsigned long>(machine->OpenHandles() + machine->OpenSets() + machine->LiveBlocks() +
                                      machine->BadReleases());
}

extern "C" unsigned tavtest_disk_byte(int disk, unsigned long long offset) {
    return machine->ReadBytes(disk, offset, 1)[0];
}

extern "C" void tavtest_uninstall(void) {
    TavSim::Machine::Uninstall();
    machine.reset();
}
