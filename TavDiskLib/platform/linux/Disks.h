// SPDX-License-Identifier: MIT
// What sysfs says about a whole disk: transport, bus type, strings,
// address, limits; its controller, driver and lasting identity.
#ifndef TAVDISKLIB_PLATFORM_LINUX_DISKS_H
#define TAVDISKLIB_PLATFORM_LINUX_DISKS_H

#include "../types.h"
#include "BlockView.h"

#include <cstdint>
#include <optional>
#include <string>

namespace TavLinux {

enum class Transport { Scsi, Libata, Nvme, Virtio, Mmc, Loop, Zram, Dm, Md, Xen, Other };

// Software devices, which no hardware backs (loop, zram, dm, md: sysfs's
// virtual devices), not NVMe subsystems.
bool IsSoftwareDevice(const std::string &sys);

// A SCSI device's address as sysfs names it: host:channel:target:lun.
struct Hctl {
    int host = 0, channel = 0, target = 0, lun = 0;
};

// What sysfs says about one whole disk.
struct DiskInfo {
    Root root;
    std::string name, sys;
    Transport transport = Transport::Other;
    bool usb = false;
    bool speaksScsi = false; // SG_IO reaches a SCSI device (sd, incl. libata and usb-storage)
    STORAGE_BUS_TYPE bus = BusTypeUnknown;
    bool removable = false, readOnly = false;
    uint64_t sectors512 = 0;
    uint32_t logicalBlock = 512, physicalBlock = 512;
    std::optional<Hctl> hctl;
    int nvmeController = -1, nsid = -1;
    std::string controller; // the controller's sysfs directory; "" for a software disk
    std::string driver;     // the disk's driver, named when there is no controller
    std::string usbDevice;  // the USB device's sysfs directory
    // Descriptor strings; nullopt is "absent".
    std::optional<std::string> vendor, product, revision, serial;
    // Adapter properties.
    uint32_t maxTransfer = 0, maxSegments = 0, alignmentMask = 0;
    bool queueing = false;
};

// The serial number held in a unit serial number VPD page (0x80).
std::optional<std::string> SerialOfVpd80(const std::optional<std::string> &page);

std::optional<DiskInfo> DescribeDisk(const Root &root, const BlockEntry &entry);
// The controller of a disk: the nearest PCI, USB or platform device above it.
std::string ControllerOf(const Root &root, const std::string &sys);
// The driver of a software disk (loop, zram, dm ...).
std::string DriverOf(const Root &root, const BlockEntry &entry);
// Loop, Dm or Md for a device stacked on others by the kernel (its sysfs
// directory has the driver's folder; a loop device not bound yet by its
// name); Other for every other device.
Transport StackedTransport(const Root &root, const BlockEntry &entry);

// A text naming a disk that survives reboots where the hardware allows
// (WWID, serial number, loop backing file ...), used to name its volumes.
std::string DiskIdentity(BlockView &view, size_t disk);
// Its part that comes from the hardware (or the sysfs path), when the disk
// is no loop, dm or md device.
std::string HardwareIdentity(const Root &root, const BlockEntry &disk);

} // namespace TavLinux

#endif
