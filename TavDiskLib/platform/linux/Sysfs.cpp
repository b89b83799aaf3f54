// The block-device model of the Linux backend: what sysfs says about a
// disk, its controller and its driver, which block devices are volumes, what
// lies beneath a volume and where it is mounted. The disk list and the
// reading of each device's facts are BlockView's (BlockView.cpp).
#include "Linux.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <map>
#include <set>
#include <unistd.h>

#if defined(TAVDISK_HAVE_LIBBLKID)
#include <blkid/blkid.h>
#endif

namespace TavLinux {

namespace {

const std::string Devices = "/sys/devices";

bool StartsWith(const std::string &s, const std::string &prefix) {
    return s.compare(0, prefix.size(), prefix) == 0;
}

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
            if (dir && StartsWith(*dir, Devices + "/") && !IsKernelVirtual(*dir))
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

bool IsKernelVirtual(const std::string &sys) {
    return StartsWith(sys, "/sys/devices/virtual/") && !StartsWith(sys, "/sys/devices/virtual/nvme-subsystem/");
}

std::optional<std::string> SerialOfVpd80(const std::optional<std::string> &page) {
    if (!page || page->size() < 4 || static_cast<unsigned char>((*page)[1]) != 0x80)
        return std::nullopt;
    size_t length = (static_cast<unsigned char>((*page)[2]) << 8) | static_cast<unsigned char>((*page)[3]);
    length = std::min(length, page->size() - 4);
    std::string serial = page->substr(4, length);
    size_t nul = serial.find('\0');
    if (nul != std::string::npos)
        serial.resize(nul);
    return NonEmpty(serial);
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
        if (IsKernelVirtual(p + "/"))
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

std::string DriverOf(const Root &root, const BlockEntry &entry) {
    if (IsDirectory(root, entry.sys + "/loop") || entry.name.compare(0, 4, "loop") == 0)
        return "loop";
    if (IsDirectory(root, entry.sys + "/dm"))
        return "device-mapper";
    if (IsDirectory(root, entry.sys + "/md"))
        return "md";
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
    // The kernel's own sysfs holds only attributes, directories and links:
    // its attributes are read without a look at their type first.
    const bool kernel = KernelTree(root);
    auto attr = [&](const std::string &path) { return ReadKernelAttr(root, path, kernel); };
    auto number = [&](const std::string &path) { return ParseNumber(attr(path)); };

    // A disk of the kernel's own (loop, zram, dm, md) has no device, port or
    // USB device above it.
    const bool virt = IsKernelVirtual(sys);
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

    if (IsDirectory(root, sys + "/loop") || entry.name.compare(0, 4, "loop") == 0)
        d.transport = Transport::Loop;
    else if (IsDirectory(root, sys + "/dm"))
        d.transport = Transport::Dm;
    else if (IsDirectory(root, sys + "/md"))
        d.transport = Transport::Md;
    else if (entry.name.compare(0, 4, "zram") == 0)
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
            // A PATA link reports no SATA speed.
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
    case Transport::Other: d.bus = IsKernelVirtual(sys) ? BusTypeVirtual : BusTypeUnknown; break;
    }

    d.removable = number(sys + "/removable").value_or(0) == 1;
    // Only a recording needs to be told: the kernel itself refuses writes to
    // a read-only disk.
    d.readOnly = !kernel && number(sys + "/ro").value_or(0) == 1;
    d.sectors512 = SectorCount(number(sys + "/size"));
    auto lbs = number(sys + "/queue/logical_block_size").value_or(512);
    d.logicalBlock = (lbs >= 512 && lbs <= 65536 && (lbs & (lbs - 1)) == 0) ? static_cast<uint32_t>(lbs) : 512;
    auto pbs = number(sys + "/queue/physical_block_size").value_or(d.logicalBlock);
    d.physicalBlock = (pbs >= d.logicalBlock && pbs <= (1u << 24) && (pbs & (pbs - 1)) == 0)
                          ? static_cast<uint32_t>(pbs)
                          : d.logicalBlock;
    uint64_t kb = number(sys + "/queue/max_hw_sectors_kb").value_or(0);
    d.maxTransfer = static_cast<uint32_t>(std::min<uint64_t>(kb * 1024, 0xFFFFFFFFu));
    d.maxSegments = static_cast<uint32_t>(
        std::min<uint64_t>(number(sys + "/queue/max_segments").value_or(0), 0xFFFFFFFFu));
    d.alignmentMask = static_cast<uint32_t>(
        std::min<uint64_t>(number(sys + "/queue/dma_alignment").value_or(0), 0xFFFFFFFFu));

    if (d.speaksScsi) {
        if (auto dir = Resolve(root, device)) {
            ScsiAddress a;
            char tail = 0;
            if (std::sscanf(BaseName(*dir).c_str(), "%d:%d:%d:%d%c", &a.host, &a.channel, &a.target, &a.lun, &tail) ==
                    4 &&
                a.host >= 0 && a.channel >= 0 && a.target >= 0 && a.lun >= 0)
                d.address = a;
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

std::string DiskIdentity(BlockView &view, size_t disk) {
    const BlockEntry &e = view.Entry(disk);
    auto attr = [&](const std::string &path) { return NonEmpty(view.Attr(path)); };
    if (auto backing = view.LoopBacking(disk))
        return "loop:" + backing->first.value_or(e.name) + "@" + backing->second.value_or("0");
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

// ---- Volumes --------------------------------------------------------------

namespace {

// Two FNV-1a hashes of the identity text make the 128 bits of a name-based
// GUID (version 5 layout, RFC 4122 variant).
std::wstring VolumeName(const std::string &identity) {
    uint64_t h1 = 0xcbf29ce484222325ull, h2 = 0x84222325cbf29ce4ull;
    for (unsigned char c : identity) {
        h1 = (h1 ^ c) * 0x100000001b3ull;
        h2 = (h2 ^ static_cast<unsigned char>(c + 0x5B)) * 0x100000001b3ull;
    }
    unsigned char b[16];
    for (int i = 0; i < 8; ++i) {
        b[i] = static_cast<unsigned char>(h1 >> (56 - 8 * i));
        b[8 + i] = static_cast<unsigned char>(h2 >> (56 - 8 * i));
    }
    b[6] = static_cast<unsigned char>((b[6] & 0x0F) | 0x50);
    b[8] = static_cast<unsigned char>((b[8] & 0x3F) | 0x80);
    char text[64];
    std::snprintf(text, sizeof text,
                  "\\\\?\\Volume{%02x%02x%02x%02x-%02x%02x-%02x%02x-%02x%02x-%02x%02x%02x%02x%02x%02x}\\", b[0], b[1],
                  b[2], b[3], b[4], b[5], b[6], b[7], b[8], b[9], b[10], b[11], b[12], b[13], b[14], b[15]);
    return Widen(text);
}

} // namespace

#if defined(TAVDISK_HAVE_LIBBLKID)

// Whether the start of a block device holds a file system: util-linux's
// libblkid probes its superblocks for every file system type it knows
// (no partition tables, RAID members, swap or encrypted volumes). A ZFS pool
// member is not a volume by itself, and its probe reads a mebibyte, half of
// it at the end of the device (twenty times the cost of all the others): it
// is left out. A device whose signatures contradict each other still
// carries a file system.
bool HasFileSystem(const Root &root, const std::string &name) {
    std::vector<char *> types;
    const char *type = nullptr;
    int usage = 0;
    for (size_t i = 0; blkid_superblocks_get_name(i, &type, &usage) == 0; ++i)
        if (usage == BLKID_USAGE_FILESYSTEM && std::strcmp(type, "zfs_member") != 0)
            types.push_back(const_cast<char *>(type));
    types.push_back(nullptr);

    int fd = ::open(root.At("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    bool found = false;
    if (blkid_probe probe = blkid_new_probe()) {
        if (blkid_probe_set_device(probe, fd, 0, 0) == 0 && blkid_probe_enable_partitions(probe, 0) == 0 &&
            blkid_probe_enable_superblocks(probe, 1) == 0 &&
            blkid_probe_set_superblocks_flags(probe, BLKID_SUBLKS_TYPE) == 0 &&
            blkid_probe_filter_superblocks_type(probe, BLKID_FLTR_ONLYIN, types.data()) == 0) {
            int result = blkid_do_safeprobe(probe);
            found = result == 0 || result == -2;
        }
        blkid_free_probe(probe);
    }
    ::close(fd);
    return found;
}

#else

// Without libblkid: the signatures of the file systems whole disks usually
// carry, checked by hand.
namespace {
bool Has(const std::string &data, size_t offset, const char *magic, size_t length) {
    return data.size() >= offset + length && std::memcmp(data.data() + offset, magic, length) == 0;
}
} // namespace

// Whether the start of a block device holds a file system this backend knows.
bool HasFileSystem(const Root &root, const std::string &name) {
    int fd = ::open(root.At("/dev/" + name).c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return false;
    std::string data(69632, '\0');
    size_t got = 0;
    while (got < data.size()) {
        ssize_t n = ::pread(fd, &data[got], data.size() - got, static_cast<off_t>(got));
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0)
            break;
        got += static_cast<size_t>(n);
    }
    ::close(fd);
    data.resize(got);
    bool bootSector = Has(data, 510, "\x55\xAA", 2);
    return Has(data, 1080, "\x53\xEF", 2) ||                                         // ext2/3/4
           Has(data, 0, "XFSB", 4) ||                                                // XFS
           Has(data, 65600, "_BHRfS_M", 8) ||                                        // btrfs
           Has(data, 3, "NTFS    ", 8) || Has(data, 3, "EXFAT   ", 8) ||             // NTFS, exFAT
           (bootSector && (Has(data, 54, "FAT", 3) || Has(data, 82, "FAT32", 5))) || // FAT
           Has(data, 32769, "CD001", 5) ||                                           // ISO 9660
           Has(data, 0, "hsqs", 4) ||                                                // squashfs
           Has(data, 1024, "\xE2\xE1\xF5\xE0", 4) ||                                 // erofs
           Has(data, 1024, "\x10\x20\xF5\xF2", 4);                                   // f2fs
}

#endif

namespace {

std::string Unescape(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out.push_back(
                static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

} // namespace

std::vector<VolumeEntry> ListVolumes(Look &look, bool probeContent) {
    BlockView &view = look.view;
    std::set<std::string> partitioned;
    for (size_t i = 0; i < view.Listed(); ++i)
        if (view.Entry(i).partition)
            partitioned.insert(DirName(view.Entry(i).sys));

    std::vector<VolumeEntry> volumes;
    std::vector<size_t> slots;
    std::vector<std::string> identities;
    for (size_t i = 0; i < view.Listed(); ++i) {
        const BlockEntry &e = view.Entry(i);
        std::string identity;
        bool whole = false;
        if (e.partition) {
            std::string parentSys = DirName(e.sys);
            auto parent = view.FindSys(parentSys);
            std::string parentId = parent ? view.Identity(*parent) : "path:" + parentSys;
            identity = parentId + "/part@" + view.StartText(i).value_or(e.name);
        } else if (view.HasDm(i) || view.HasMd(i)) {
            identity = view.Identity(i);
        } else {
            if (partitioned.count(e.sys) || view.SizeSectors(i) == 0 || view.Hidden(i))
                continue;
            whole = true;
            identity = view.Identity(i) + "/whole";
        }
        VolumeEntry v;
        v.block = e;
        v.wholeDisk = whole;
        volumes.push_back(std::move(v));
        slots.push_back(i);
        identities.push_back(std::move(identity));
    }

    // Two devices that name themselves alike (cloned disks, identical sticks)
    // are told apart by their kernel names.
    std::map<std::string, int> uses;
    for (const auto &id : identities)
        ++uses[id];
    std::vector<VolumeEntry> out;
    for (size_t i = 0; i < volumes.size(); ++i) {
        std::string id = identities[i];
        if (uses[id] > 1)
            id += "|" + volumes[i].block.name;
        volumes[i].name = VolumeName(id);
        if (probeContent && volumes[i].wholeDisk) {
            const auto &e = volumes[i].block;
            bool mounted = !MountPointsOf(view, e, look.Mounts()).empty();
            bool held = !view.Holders(slots[i]).empty();
            if (!mounted && (held || !look.HoldsFileSystem(e.name)))
                continue;
        }
        out.push_back(std::move(volumes[i]));
    }
    return out;
}

std::vector<Extent> VolumeExtents(BlockView &view, const BlockEntry &volume) {
    std::vector<Extent> out;
    std::set<std::string> visited;
    // Walks down from a block device to the whole disks it lies on.
    auto walk = [&](auto &self, size_t slot, int depth) -> void {
        const BlockEntry &e = view.Entry(slot);
        if (depth > 16 || !visited.insert(e.sys).second)
            return;
        if (e.partition) {
            std::string parentSys = DirName(e.sys);
            auto parent = view.Find(BaseName(parentSys));
            if (!parent || view.Entry(*parent).sys != parentSys)
                return;
            if (!view.Slaves(*parent).empty()) {
                self(self, *parent, depth + 1);
                return;
            }
            if (auto n = view.DiskNumber(*parent))
                out.push_back({*n, view.StartSectors(slot) * 512, view.SizeSectors(slot) * 512});
            return;
        }
        const auto &slaves = view.Slaves(slot);
        if (!slaves.empty()) {
            for (const auto &s : slaves)
                if (auto child = view.Find(s))
                    self(self, *child, depth + 1);
            return;
        }
        if (auto n = view.DiskNumber(slot))
            out.push_back({*n, 0, view.SizeSectors(slot) * 512});
    };
    walk(walk, view.Adopt(volume), 0);
    return out;
}

MountTable ReadMounts(const Root &root) {
    MountTable out;
    auto text = ReadBytes(root.At("/proc/self/mountinfo"), 16u << 20);
    if (!text)
        return out;
    size_t at = 0;
    while (at < text->size()) {
        size_t end = text->find('\n', at);
        if (end == std::string::npos)
            end = text->size();
        std::string line = text->substr(at, end - at);
        at = end + 1;
        std::vector<std::string> fields;
        size_t p = 0;
        while (p < line.size()) {
            size_t q = line.find(' ', p);
            if (q == std::string::npos)
                q = line.size();
            if (q > p)
                fields.push_back(line.substr(p, q - p));
            p = q + 1;
        }
        // id parent major:minor root mount-point options [optional...] - type source options
        if (fields.size() < 7)
            continue;
        auto dash = std::find(fields.begin() + 6, fields.end(), "-");
        Mount m;
        m.device = fields[2];
        m.path = Unescape(fields[4]);
        if (dash != fields.end() && fields.end() - dash >= 3)
            m.source = Unescape(*(dash + 2));
        out.byDevice.emplace(m.device, out.mounts.size());
        if (!m.source.empty())
            out.bySource.emplace(m.source, out.mounts.size());
        out.mounts.push_back(std::move(m));
    }
    return out;
}

std::vector<std::string> MountPointsOf(BlockView &view, const BlockEntry &volume, const MountTable &mounts) {
    std::vector<std::string> out;
    if (mounts.mounts.empty())
        return out;
    size_t slot = view.Adopt(volume);
    auto dev = view.Dev(slot);
    auto dmName = view.DmName(slot);
    // The volume's mounts by its device number, its /dev path or its
    // device-mapper name (btrfs shows the latter two), in mountinfo's order.
    std::vector<size_t> found;
    auto take = [&](const std::unordered_multimap<std::string, size_t> &index, const std::string &key) {
        auto range = index.equal_range(key);
        for (auto it = range.first; it != range.second; ++it)
            found.push_back(it->second);
    };
    if (dev)
        take(mounts.byDevice, *dev);
    take(mounts.bySource, "/dev/" + volume.name);
    if (dmName && !dmName->empty())
        take(mounts.bySource, "/dev/mapper/" + *dmName);
    std::sort(found.begin(), found.end());
    for (size_t i : found) {
        const std::string &path = mounts.mounts[i].path;
        if (std::find(out.begin(), out.end(), path) == out.end())
            out.push_back(path);
    }
    return out;
}

} // namespace TavLinux
