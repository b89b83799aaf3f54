// SPDX-License-Identifier: MIT
// What sysfs says about one whole disk: its transport and bus type, its
// descriptor strings, SCSI address or NVMe namespace, block sizes and queue
// limits, the controller above it and its driver (DescribeDisk), and the
// text naming it that survives reboots, from which its volumes are named
// (DiskIdentity, HardwareIdentity). The disk list itself is BlockView's.
#include "Disks.h"
#include "Tree.h"
#include "../../protocol/Scsi.h"

#include <algorithm>
#include <cstdio>
#include <fcntl.h>
#include <linux/loop.h>
#include <sys/ioctl.h>
#include <unistd.h>

namespace TavLinux {

namespace {

const std::string Devices = "/sys/devices";

bool StartsWith(const std::string &s, const std::string &prefix) { return s.compare(0, prefix.size(), prefix) == 0; }

// "ata3" and the like: a libata port.
bool IsAtaPort(const std::string &name) {
    if (name.size() < 4 || name.compare(0, 3, "ata") != 0)
        return false;
    return std::all_of(name.begin() + 3, name.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// The sysfs directories above `sys`, nearest first, up to /sys/devices.
std::vector<std::string> Ancestors(const std::string &sys) {
    std::vector<std::string> out;
    std::string p = sys;
    while (true) {
        p = DirName(p);
        if (p.size() <= Devices.size() || !StartsWith(p, Devices + "/"))
            break;
        out.push_back(p);
    }
    return out;
}

std::optional<std::string> NonEmpty(std::optional<std::string> s) {
    if (!s)
        return s;
    size_t first = s->find_first_not_of(" \t");
    if (first == std::string::npos)
        return std::nullopt;
    return s;
}

// For the NVMe head node of a subsystem, the first controller's directory.
std::optional<std::string> FirstNvmeController(const Root &root, const std::string &subsystem) {
    for (const auto &name : ListDirectory(root, subsystem)) {
        if (name.size() > 4 && name.compare(0, 4, "nvme") == 0 &&
            std::all_of(name.begin() + 4, name.end(), [](char c) { return c >= '0' && c <= '9'; })) {
            auto dir = Resolve(root, subsystem + "/" + name);
            if (dir && StartsWith(*dir, Devices + "/") && !IsSoftwareDevice(*dir))
                return dir;
        }
    }
    return std::nullopt;
}

std::optional<std::string> MajorDriver(const Root &root, const std::string &dev) {
    auto devices = ReadBytes(root.At("/proc/devices"), 64 * 1024);
    unsigned major = 0;
    if (!devices || std::sscanf(dev.c_str(), "%u:", &major) != 1)
        return std::nullopt;
    size_t block = devices->find("Block devices:");
    if (block == std::string::npos)
        return std::nullopt;
    size_t at = devices->find('\n', block);
    while (at != std::string::npos && at < devices->size()) {
        size_t end = devices->find('\n', at + 1);
        std::string line = devices->substr(at + 1, end == std::string::npos ? std::string::npos : end - at - 1);
        unsigned m = 0;
        char name[128] = {};
        if (std::sscanf(line.c_str(), "%u %127s", &m, name) == 2 && m == major)
            return std::string(name);
        at = end;
    }
    return std::nullopt;
}

} // namespace

bool IsSoftwareDevice(const std::string &sys) {
    return StartsWith(sys, "/sys/devices/virtual/") && !StartsWith(sys, "/sys/devices/virtual/nvme-subsystem/");
}

std::optional<std::string> SerialOfVpd80(const std::optional<std::string> &page) {
    if (!page)
        return std::nullopt;
    return NonEmpty(TavProtocol::DecodeUnitSerialNumber(reinterpret_cast<const uint8_t *>(page->data()), page->size()));
}

std::string ControllerOf(const Root &root, const std::string &sys) {
    std::string start = sys;
    if (StartsWith(sys, "/sys/devices/virtual/nvme-subsystem/")) {
        auto controller = FirstNvmeController(root, DirName(sys));
        if (!controller)
            return {};
        start = *controller + "/x";
    }
    for (const auto &p : Ancestors(start)) {
        if (IsSoftwareDevice(p + "/"))
            return {};
        std::string sub = LinkName(root, p + "/subsystem");
        if (sub == "usb") {
            if (Exists(root, p + "/idVendor"))
                return p;
            continue;
        }
        static const char *const stops[] = {"pci",  "platform", "vmbus", "xen", "acpi",
                                            "amba", "ccw",      "css",   "vio", "pcmcia"};
        for (const char *s : stops)
            if (sub == s)
                return p;
    }
    return {};
}

Transport StackedTransport(const Root &root, const BlockEntry &entry) {
    if (IsDirectory(root, entry.sys + "/loop") || entry.name.compare(0, 4, "loop") == 0)
        return Transport::Loop;
    if (IsDirectory(root, entry.sys + "/dm"))
        return Transport::Dm;
    if (IsDirectory(root, entry.sys + "/md"))
        return Transport::Md;
    return Transport::Other;
}

std::string DriverOf(const Root &root, const BlockEntry &entry) {
    switch (StackedTransport(root, entry)) {
    case Transport::Loop: return "loop";
    case Transport::Dm: return "device-mapper";
    case Transport::Md: return "md";
    default: break;
    }
    std::string driver = LinkName(root, entry.sys + "/device/driver");
    if (!driver.empty())
        return driver;
    if (auto dev = ReadAttr(root, entry.sys + "/dev"))
        if (auto name = MajorDriver(root, *dev))
            return *name;
    std::string name = entry.name;
    while (!name.empty() && name.back() >= '0' && name.back() <= '9')
        name.pop_back();
    return name.empty() ? std::string("block") : name;
}

std::optional<DiskInfo> DescribeDisk(const Root &root, const BlockEntry &entry) {
    if (entry.partition)
        return std::nullopt;
    DiskInfo d;
    d.root = root;
    d.name = entry.name;
    d.sys = entry.sys;
    const std::string &sys = entry.sys;
    const std::string device = sys + "/device";
    // The live sysfs holds only attributes, directories and links: its
    // attributes are read without a check of their type first.
    const bool live = LiveTree(root);
    auto attr = [&](const std::string &path) { return ReadTreeAttr(root, path, live); };
    auto number = [&](const std::string &path) { return ParseNumber(attr(path)); };

    // A software disk (loop, zram, dm, md) has no device, port or
    // USB device above it.
    const bool virt = IsSoftwareDevice(sys);
    std::string deviceSubsystem = virt ? std::string() : LinkName(root, device + "/subsystem");
    bool libata = false;
    for (const auto &p : virt ? std::vector<std::string>() : Ancestors(sys)) {
        if (IsAtaPort(BaseName(p)))
            libata = true;
        if (LinkName(root, p + "/subsystem") == "usb" && Exists(root, p + "/idVendor") && d.usbDevice.empty()) {
            d.usb = true;
            d.usbDevice = p;
        }
    }

    d.transport = StackedTransport(root, entry);
    if (d.transport == Transport::Other) {
        if (entry.name.compare(0, 4, "zram") == 0)
            d.transport = Transport::Zram;
        else if (deviceSubsystem == "scsi")
            d.transport = libata ? Transport::Libata : Transport::Scsi;
        else if (deviceSubsystem == "nvme" || deviceSubsystem == "nvme-subsystem" ||
                 StartsWith(sys, "/sys/devices/virtual/nvme-subsystem/"))
            d.transport = Transport::Nvme;
        else if (deviceSubsystem == "virtio")
            d.transport = Transport::Virtio;
        else if (deviceSubsystem == "mmc")
            d.transport = Transport::Mmc;
        else if (deviceSubsystem == "xen")
            d.transport = Transport::Xen;
    }
    d.speaksScsi = d.transport == Transport::Scsi || d.transport == Transport::Libata;

    switch (d.transport) {
    case Transport::Loop: d.bus = BusTypeFileBackedVirtual; break;
    case Transport::Dm:
    case Transport::Md: d.bus = BusTypeRAID; break;
    case Transport::Zram:
    case Transport::Virtio:
    case Transport::Xen: d.bus = BusTypeVirtual; break;
    case Transport::Nvme: d.bus = BusTypeNvme; break;
    case Transport::Mmc: d.bus = attr(device + "/type").value_or("") == "SD" ? BusTypeSd : BusTypeMmc; break;
    case Transport::Libata:
    case Transport::Scsi:
        if (d.usb) {
            d.bus = BusTypeUsb;
        } else if (libata) {
            // A PATA link shows no SATA speed.
            d.bus = BusTypeSata;
            for (const auto &p : Ancestors(sys)) {
                if (!IsAtaPort(BaseName(p)))
                    continue;
                bool sawSpeed = false, sata = false;
                for (const auto &link : ListDirectory(root, p)) {
                    if (link.compare(0, 4, "link") != 0)
                        continue;
                    if (auto spd = attr(p + "/" + link + "/ata_link/" + link + "/sata_spd")) {
                        sawSpeed = true;
                        sata = sata || spd->find("Gbps") != std::string::npos;
                    }
                }
                if (sawSpeed && !sata)
                    d.bus = BusTypeAta;
                break;
            }
        } else if (sys.find("/end_device-") != std::string::npos) {
            d.bus = BusTypeSas;
        } else if (sys.find("/rport-") != std::string::npos) {
            d.bus = BusTypeFibre;
        } else if (sys.find("/session") != std::string::npos) {
            d.bus = BusTypeiScsi;
        } else {
            d.bus = BusTypeScsi;
        }
        break;
    case Transport::Other: d.bus = IsSoftwareDevice(sys) ? BusTypeVirtual : BusTypeUnknown; break;
    }

    d.removable = number(sys + "/removable").value_or(0) == 1;
    // Only a recording needs to be told: the kernel itself refuses writes to
    // a read-only disk.
    d.readOnly = !live && number(sys + "/ro").value_or(0) == 1;
    d.sectors512 = SectorCount(number(sys + "/size"));
    auto lbs = number(sys + "/queue/logical_block_size").value_or(512);
    d.logicalBlock = (lbs >= 512 && lbs <= 65536 && (lbs & (lbs - 1)) == 0) ? static_cast<uint32_t>(lbs) : 512;
    auto pbs = number(sys + "/queue/physical_block_size").value_or(d.logicalBlock);
    d.physicalBlock = (pbs >= d.logicalBlock && pbs <= (1u << 24) && (pbs & (pbs - 1)) == 0)
                          ? static_cast<uint32_t>(pbs)
                          : d.logicalBlock;
    uint64_t kb = number(sys + "/queue/max_hw_sectors_kb").value_or(0);
    d.maxTransfer = static_cast<uint32_t>(std::min<uint64_t>(kb * 1024, 0xFFFFFFFFu));
    d.maxSegments =
        static_cast<uint32_t>(std::min<uint64_t>(number(sys + "/queue/max_segments").value_or(0), 0xFFFFFFFFu));
    d.alignmentMask =
        static_cast<uint32_t>(std::min<uint64_t>(number(sys + "/queue/dma_alignment").value_or(0), 0xFFFFFFFFu));

    if (d.speaksScsi) {
        if (auto dir = Resolve(root, device)) {
            Hctl a;
            char tail = 0;
            if (std::sscanf(BaseName(*dir).c_str(), "%d:%d:%d:%d%c", &a.host, &a.channel, &a.target, &a.lun, &tail) ==
                    4 &&
                a.host >= 0 && a.channel >= 0 && a.target >= 0 && a.lun >= 0)
                d.hctl = a;
        }
        d.queueing = number(device + "/queue_depth").value_or(1) > 1;
        d.vendor = attr(device + "/vendor");
        d.product = attr(device + "/model");
        d.revision = attr(device + "/rev");
        d.serial = SerialOfVpd80(ReadBytes(root.At(device + "/vpd_pg80"), 4096));
    } else if (d.transport == Transport::Nvme) {
        std::string ctrl = device;
        if (auto dir = Resolve(root, device)) {
            std::string base = BaseName(*dir);
            if (base.compare(0, 11, "nvme-subsys") == 0) {
                if (auto first = FirstNvmeController(root, *dir))
                    base = BaseName(*first);
            }
            int n = -1;
            char tail = 0;
            if (std::sscanf(base.c_str(), "nvme%d%c", &n, &tail) == 1 && n >= 0)
                d.nvmeController = n;
        }
        if (auto nsid = number(sys + "/nsid"); nsid && *nsid > 0 && *nsid < 0x80000000u)
            d.nsid = static_cast<int>(*nsid);
        else {
            size_t at = entry.name.rfind('n');
            int n = -1;
            if (at != std::string::npos && at > 0 && std::sscanf(entry.name.c_str() + at, "n%d", &n) == 1 && n > 0)
                d.nsid = n;
        }
        d.queueing = true;
        d.vendor = std::string("NVMe");
        d.product = attr(device + "/model");
        d.revision = attr(device + "/firmware_rev");
        d.serial = NonEmpty(attr(device + "/serial"));
    } else if (d.transport == Transport::Virtio) {
        d.queueing = true;
        d.vendor = std::string("Virtio");
        d.product = std::string("Block Device");
        d.serial = NonEmpty(attr(sys + "/serial"));
    } else if (d.transport == Transport::Mmc) {
        d.vendor = attr(device + "/manfid");
        d.product = attr(device + "/name");
        d.revision = attr(device + "/fwrev");
        d.serial = NonEmpty(attr(device + "/serial"));
    } else if (d.transport == Transport::Xen) {
        d.vendor = std::string("Xen");
        d.product = std::string("Virtual Block Device");
    } else if (d.transport == Transport::Dm) {
        d.vendor = std::string("Linux");
        d.product = attr(sys + "/dm/name");
        d.serial = NonEmpty(attr(sys + "/dm/uuid"));
    } else if (d.transport == Transport::Md) {
        d.vendor = std::string("Linux");
        d.product = "md " + attr(sys + "/md/level").value_or("");
        d.serial = NonEmpty(attr(sys + "/md/uuid"));
    } else {
        d.vendor = std::string("Linux");
        d.product = d.transport == Transport::Loop   ? std::string("Loop Device")
                    : d.transport == Transport::Zram ? std::string("zram Device")
                                                     : DriverOf(root, entry);
    }

    d.controller = ControllerOf(root, sys);
    if (!d.controller.empty())
        d.driver = LinkName(root, d.controller + "/driver");
    else
        d.driver = d.transport == Transport::Loop ? std::string("loop") : DriverOf(root, entry);

    return d;
}

namespace {
// A bound loop disk's backing file as the driver holds it (its device and
// inode, and the offset into it), which a rename or a move of the file does
// not change; nullopt where the node cannot be asked (a recording, no
// access).
std::optional<std::string> LoopFileIdentity(const Root &root, const std::string &name) {
    int fd = ::open(root.At("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    loop_info64 info{};
    bool ok = ::ioctl(fd, LOOP_GET_STATUS64, &info) == 0;
    ::close(fd);
    if (!ok)
        return std::nullopt;
    return "loop-file:" + std::to_string(info.lo_device) + ":" + std::to_string(info.lo_inode) + "@" +
           std::to_string(info.lo_offset);
}
} // namespace

std::string DiskIdentity(BlockView &view, size_t disk) {
    const BlockEntry &e = view.Entry(disk);
    auto attr = [&](const std::string &path) { return NonEmpty(view.Attr(path)); };
    if (auto backing = view.LoopBacking(disk)) {
        if (auto file = LoopFileIdentity(view.GetRoot(), e.name))
            return *file;
        return "loop:" + backing->first.value_or(e.name) + "@" + backing->second.value_or("0");
    }
    if (view.HasDm(disk))
        return "dm:" + attr(e.sys + "/dm/uuid").value_or(view.Attr(e.sys + "/dm/name").value_or(e.name));
    if (view.HasMd(disk))
        return "md:" + attr(e.sys + "/md/uuid").value_or(e.name);
    return view.HardwareIdentity(disk);
}

std::string HardwareIdentity(const Root &root, const BlockEntry &disk) {
    const std::string &sys = disk.sys;
    const std::string device = sys + "/device";
    auto attr = [&](const std::string &path) { return NonEmpty(ReadAttr(root, path)); };
    if (auto wwid = attr(device + "/wwid"))
        return "wwid:" + *wwid;
    if (auto wwid = attr(sys + "/wwid"))
        return "wwid:" + *wwid;
    if (auto serial = SerialOfVpd80(ReadBytes(root.At(device + "/vpd_pg80"), 4096)))
        return "serial:" + ReadAttr(root, device + "/vendor").value_or("") + "/" +
               ReadAttr(root, device + "/model").value_or("") + "/" + *serial;
    if (auto serial = attr(device + "/serial")) // NVMe controller or subsystem, MMC card
        return "serial:" + ReadAttr(root, device + "/model").value_or(ReadAttr(root, device + "/name").value_or("")) +
               "/" + *serial + "/" + ReadAttr(root, sys + "/nsid").value_or(disk.name);
    if (auto serial = attr(sys + "/serial")) // virtio-blk
        return "serial:virtio/" + *serial;
    for (const auto &p : Ancestors(sys)) {
        if (Exists(root, p + "/idVendor")) {
            if (auto serial = attr(p + "/serial"))
                return "usb:" + ReadAttr(root, p + "/idVendor").value_or("") + ":" +
                       ReadAttr(root, p + "/idProduct").value_or("") + "/" + *serial + "/" +
                       BaseName(Resolve(root, device).value_or(disk.name));
            break;
        }
    }
    return "path:" + sys;
}

} // namespace TavLinux
