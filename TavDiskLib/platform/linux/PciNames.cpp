// SPDX-License-Identifier: MIT
// Names of PCI devices, as lspci shows them: "<vendor> <device>" from the
// PCI ID database. On the live system udev's hardware database (an index of
// the same names, through libudev where the library was built with it) is
// asked first: reading pci.ids costs more than listing dozens of disks. A
// recorded tree may bring its own database (<root>/usr/share/misc/pci.ids);
// the names found for it leave udev's database out, so that they depend on the tree
// (or, for a tree without one, on the machine's pci.ids) only. Built with
// libpci instead (TAVDISK_WITH_LIBPCI), libpci answers the same way.
#include "PciNames.h"
#include "State.h"
#include "Tree.h"

#include <cstdio>
#include <fstream>
#include <map>
#include <mutex>
#include <tuple>

#if defined(TAVDISK_HAVE_LIBPCI)
#include <cstring>
extern "C" {
#include <pci/pci.h>
}
#elif defined(TAVDISK_HAVE_LIBUDEV)
#include <libudev.h>
#endif

namespace TavLinux {
namespace {

const char *const PciIdsPath = "/usr/share/misc/pci.ids";

// The names found so far and the databases they came from: a part of the
// backend's state.
struct PciNameCache {
    PciNameCache() = default;
    PciNameCache(const PciNameCache &) = delete;
    PciNameCache &operator=(const PciNameCache &) = delete;
    ~PciNameCache();

    std::mutex lock;
    std::map<std::tuple<std::string, unsigned, int>, std::optional<std::string>> known;
#if defined(TAVDISK_HAVE_LIBPCI)
    std::map<std::string, pci_access *> accesses; // by the list's path
#elif defined(TAVDISK_HAVE_LIBUDEV)
    bool hwdbOpened = false;
    udev_hwdb *hwdb = nullptr;
#endif
};

#if defined(TAVDISK_HAVE_LIBPCI)
void Quiet(char *, ...) {}

PciNameCache::~PciNameCache() {
    for (auto &a : accesses)
        if (a.second)
            pci_cleanup(a.second);
}

std::optional<std::string> FindPciName(PciNameCache &cache, const std::string &ids, bool useHwdb, unsigned vendor,
                                       std::optional<unsigned> device) {
    auto access = [&cache](const std::string &path) -> pci_access * {
        pci_access *&a = cache.accesses[path];
        if (!a) {
            a = pci_alloc();
            if (!a)
                return nullptr;
            a->warning = Quiet;
            a->debug = Quiet;
            if (!path.empty())
                pci_set_name_list_path(a, strdup(path.c_str()), 1);
        }
        return a;
    };
    int flags = device ? PCI_LOOKUP_VENDOR | PCI_LOOKUP_DEVICE : PCI_LOOKUP_VENDOR;
    char buffer[1024] = {};
    const char *name = nullptr;
    // libpci asks udev's database only for what its own list lacks: the
    // first search goes through an access whose list is empty.
    if (useHwdb) {
        if (pci_access *hwdb = access("/dev/null"))
            name =
                pci_lookup_name(hwdb, buffer, sizeof buffer, flags | PCI_LOOKUP_NO_NUMBERS, vendor, device.value_or(0));
    } else {
        flags |= PCI_LOOKUP_NO_HWDB;
    }
    if (!name || !*name) {
        pci_access *a = access(ids);
        name = a ? pci_lookup_name(a, buffer, sizeof buffer, flags, vendor, device.value_or(0)) : nullptr;
    }
    if (!name || !*name)
        return std::nullopt;
    return std::string(name);
}
#else
PciNameCache::~PciNameCache() {
#if defined(TAVDISK_HAVE_LIBUDEV)
    if (hwdb)
        udev_hwdb_unref(hwdb);
#endif
}

std::string Hex4(unsigned value) {
    char text[8];
    std::snprintf(text, sizeof text, "%04x", value & 0xFFFF);
    return text;
}

// Vendor and device names as lspci words them when the database lacks one:
// "<vendor> Device dddd", "Device vvvv:dddd", "Vendor vvvv".
std::string Compose(const std::optional<std::string> &vendorName, const std::optional<std::string> &deviceName,
                    unsigned vendor, std::optional<unsigned> device) {
    if (!device)
        return vendorName ? *vendorName : "Vendor " + Hex4(vendor);
    if (vendorName && deviceName)
        return *vendorName + " " + *deviceName;
    if (vendorName)
        return *vendorName + " Device " + Hex4(*device);
    return "Device " + Hex4(vendor) + ":" + Hex4(*device);
}

#if defined(TAVDISK_HAVE_LIBUDEV)
// The names udev's hardware database holds for the device, if it has a
// database and an entry.
std::optional<std::string> FromHwdb(PciNameCache &cache, unsigned vendor, std::optional<unsigned> device) {
    if (!cache.hwdbOpened) {
        cache.hwdbOpened = true;
        udev *u = udev_new();
        cache.hwdb = u ? udev_hwdb_new(u) : nullptr;
        if (u)
            udev_unref(u);
    }
    udev_hwdb *hwdb = cache.hwdb;
    if (!hwdb)
        return std::nullopt;
    char modalias[64];
    if (device)
        std::snprintf(modalias, sizeof modalias, "pci:v%08Xd%08X*", vendor, *device);
    else
        std::snprintf(modalias, sizeof modalias, "pci:v%08X*", vendor);
    std::optional<std::string> vendorName, deviceName;
    udev_list_entry *entry = udev_hwdb_get_properties_list_entry(hwdb, modalias, 0);
    for (; entry; entry = udev_list_entry_get_next(entry)) {
        const char *key = udev_list_entry_get_name(entry), *value = udev_list_entry_get_value(entry);
        if (!key || !value || !*value)
            continue;
        if (std::string(key) == "ID_VENDOR_FROM_DATABASE")
            vendorName = value;
        else if (std::string(key) == "ID_MODEL_FROM_DATABASE")
            deviceName = value;
    }
    if (!vendorName || (device && !deviceName))
        return std::nullopt;
    return Compose(vendorName, deviceName, vendor, device);
}
#endif

// The vendor's and the device's lines of a pci.ids file: a vendor line is
// "vvvv  Name", its devices follow as "\tdddd  Name" (subsystems, "\t\t",
// and the device classes after them are not read).
std::optional<std::string> FromPciIds(const std::string &ids, unsigned vendor, std::optional<unsigned> device) {
    std::ifstream in(ids);
    if (!in)
        return std::nullopt;
    const std::string v = Hex4(vendor), d = device ? Hex4(*device) : std::string();
    std::optional<std::string> vendorName, deviceName;
    std::string line;
    while (std::getline(in, line)) {
        if (line.empty() || line[0] == '#')
            continue;
        if (!vendorName) {
            if (line.size() > 6 && line.compare(0, 4, v) == 0 && line.compare(4, 2, "  ") == 0)
                vendorName = line.substr(6);
            continue;
        }
        if (line[0] != '\t' || !device)
            break; // the next vendor: the device has no line of its own
        if (line.size() > 7 && line[1] != '\t' && line.compare(1, 4, d) == 0 && line.compare(5, 2, "  ") == 0) {
            deviceName = line.substr(7);
            break;
        }
    }
    return Compose(vendorName, deviceName, vendor, device);
}

std::optional<std::string> FindPciName(PciNameCache &cache, const std::string &ids, bool useHwdb, unsigned vendor,
                                       std::optional<unsigned> device) {
#if defined(TAVDISK_HAVE_LIBUDEV)
    if (useHwdb)
        if (auto name = FromHwdb(cache, vendor, device))
            return name;
#else
    (void)useHwdb, (void)cache;
#endif
    return FromPciIds(ids, vendor, device);
}
#endif

} // namespace

std::optional<std::string> PciName(const Root &root, unsigned vendor, std::optional<unsigned> device) {
    std::string ids = PciIdsPath;
    if (!root.prefix.empty() && Exists(root, PciIdsPath))
        ids = root.At(PciIdsPath);
    PciNameCache &cache = Owned<PciNameCache>(Part::PciNames);
    std::lock_guard<std::mutex> guard(cache.lock);
    auto key = std::make_tuple(ids, vendor, device ? static_cast<int>(*device) : -1);
    auto found = cache.known.find(key);
    if (found != cache.known.end())
        return found->second;
    std::optional<std::string> name = FindPciName(cache, ids, root.prefix.empty(), vendor, device);
    cache.known.emplace(key, name);
    return name;
}

} // namespace TavLinux
