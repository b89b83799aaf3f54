// SPDX-License-Identifier: MIT
// Device set-up services of the Linux backend: device information sets
// (snapshots of the disk interface set), device nodes numbered in a
// process-wide registry, their parents, identifiers and descriptions.
#include "Disks.h"
#include "Errors.h"
#include "Handles.h"
#include "Looks.h"
#include "PciNames.h"
#include "State.h"
#include "Text.h"
#include "Tree.h"
#include "../platform.h"
#include "../../protocol/Guid.h"

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>

namespace TavLinux {
namespace {

using TavPlatform::DiskDriveClass;
const GUID HdcClass = {0x4d36e96a, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID ScsiAdapterClass = {0x4d36e97b, 0xe325, 0x11ce, {0xbf, 0xc1, 0x08, 0x00, 0x2b, 0xe1, 0x03, 0x18}};
const GUID UsbClass = {0x36fc9e60, 0xc465, 0x11cf, {0x80, 0x56, 0x44, 0x45, 0x53, 0x54, 0x00, 0x00}};
const GUID NoClass = {0, 0, 0, {0, 0, 0, 0, 0, 0, 0, 0}};

using TavProtocol::SameGuid;

// ---- The node registry ----------------------------------------------------

struct Node {
    Root root;
    std::string key;
};

struct Registry {
    std::mutex lock;
    std::vector<Node> nodes;
    std::map<std::pair<std::string, std::string>, DEVINST> numbers;
};

Registry &Nodes() { return Owned<Registry>(Part::DeviceNodes); }

std::optional<Node> NodeOf(DEVINST devinst) {
    Registry &r = Nodes();
    std::lock_guard<std::mutex> guard(r.lock);
    if (devinst == 0 || devinst > r.nodes.size())
        return std::nullopt;
    return r.nodes[devinst - 1];
}

const std::string DriverPrefix = "driver:";

bool IsDriverKey(const std::string &key) { return key.compare(0, DriverPrefix.size(), DriverPrefix) == 0; }

std::wstring InstanceId(const std::string &key) {
    if (IsDriverKey(key))
        return L"ROOT\\" + Widen(key.substr(DriverPrefix.size())) + L"\\0000";
    std::string id = key.compare(0, 13, "/sys/devices/") == 0 ? key.substr(13) : key;
    std::replace(id.begin(), id.end(), '/', '\\');
    return Widen(id);
}

std::optional<std::string> KeyOfId(const Root &root, const std::wstring &id) {
    std::string text = Narrow(id);
    if (text.empty() || text.find("..") != std::string::npos || text.find('/') != std::string::npos)
        return std::nullopt;
    if (text.compare(0, 5, "ROOT\\") == 0 && text.size() > 10 && text.compare(text.size() - 5, 5, "\\0000") == 0) {
        std::string driver = text.substr(5, text.size() - 10);
        if (driver.empty() || driver.find('\\') != std::string::npos)
            return std::nullopt;
        return DriverPrefix + driver;
    }
    std::replace(text.begin(), text.end(), '\\', '/');
    std::string key = "/sys/devices/" + text;
    if (!IsDirectory(root, key))
        return std::nullopt;
    return key;
}

// The whole disk whose block directory `key` is, if it is one.
std::optional<BlockEntry> DiskOfNode(const Node &n) {
    if (IsDriverKey(n.key))
        return std::nullopt;
    auto block = FindBlock(n.root, BaseName(n.key));
    if (!block || block->sys != n.key || block->partition)
        return std::nullopt;
    return block;
}

std::optional<std::string> ParentKey(const Node &n) {
    if (IsDriverKey(n.key))
        return std::nullopt;
    if (auto disk = DiskOfNode(n)) {
        std::string controller = ControllerOf(n.root, disk->sys);
        return controller.empty() ? DriverPrefix + DriverOf(n.root, *disk) : controller;
    }
    std::string p = n.key;
    while (true) {
        p = DirName(p);
        if (p.size() <= 12 || p.compare(0, 13, "/sys/devices/") != 0)
            return std::nullopt;
        if (Exists(n.root, p + "/uevent"))
            return p;
    }
}

std::string Trim(std::string s) {
    size_t first = s.find_first_not_of(" \t\n");
    if (first == std::string::npos)
        return {};
    size_t last = s.find_last_not_of(" \t\n");
    return s.substr(first, last - first + 1);
}

std::optional<std::pair<unsigned, unsigned>> PciIds(const Node &n) {
    if (LinkName(n.root, n.key + "/subsystem") != "pci")
        return std::nullopt;
    auto vendor = ReadNumber(n.root, n.key + "/vendor"), device = ReadNumber(n.root, n.key + "/device");
    if (!vendor || !device || *vendor > 0xFFFF || *device > 0xFFFF)
        return std::nullopt;
    return std::make_pair(static_cast<unsigned>(*vendor), static_cast<unsigned>(*device));
}

std::string DriverName(const Node &n) {
    std::string driver = LinkName(n.root, n.key + "/driver");
    if (driver.empty())
        driver = LinkName(n.root, n.key + "/subsystem");
    return driver.empty() ? BaseName(n.key) : driver;
}

std::optional<std::wstring> Description(const Node &n) {
    if (IsDriverKey(n.key))
        return Widen(n.key.substr(DriverPrefix.size()));
    if (DiskOfNode(n))
        return std::wstring(L"Disk drive");
    if (auto ids = PciIds(n)) {
        if (auto name = PciName(n.root, ids->first, ids->second))
            return Widen(*name);
        std::string driver = LinkName(n.root, n.key + "/driver");
        if (!driver.empty())
            return Widen(driver);
        char text[64];
        std::snprintf(text, sizeof text, "PCI device %04x:%04x", ids->first, ids->second);
        return Widen(text);
    }
    if (Exists(n.root, n.key + "/idVendor")) {
        std::string maker = Trim(ReadAttr(n.root, n.key + "/manufacturer").value_or(""));
        std::string product = Trim(ReadAttr(n.root, n.key + "/product").value_or(""));
        std::string both = Trim(maker + " " + product);
        if (!both.empty())
            return Widen(both);
        // The mass-storage interface's driver (usb-storage, uas).
        for (const auto &child : ListDirectory(n.root, n.key)) {
            std::string driver = LinkName(n.root, n.key + "/" + child + "/driver");
            if (!driver.empty() && child.find(':') != std::string::npos)
                return Widen(driver);
        }
    }
    return Widen(DriverName(n));
}

std::optional<std::wstring> Manufacturer(const Node &n) {
    if (IsDriverKey(n.key)) // a software disk's driver: no sysfs directory to ask
        return std::nullopt;
    if (auto disk = DiskOfNode(n)) {
        if (auto info = DescribeDisk(n.root, *disk); info && info->vendor && !Trim(*info->vendor).empty())
            return Widen(Trim(*info->vendor));
        return std::nullopt;
    }
    if (auto ids = PciIds(n)) {
        if (auto name = PciName(n.root, ids->first, std::nullopt))
            return Widen(*name);
        return std::nullopt;
    }
    std::string maker = Trim(ReadAttr(n.root, n.key + "/manufacturer").value_or(""));
    if (!maker.empty())
        return Widen(maker);
    return std::nullopt;
}

const GUID &ClassOf(const Node &n) {
    if (IsDriverKey(n.key))
        return NoClass;
    if (DiskOfNode(n))
        return DiskDriveClass;
    if (PciIds(n)) {
        uint64_t cls = ReadNumber(n.root, n.key + "/class").value_or(0);
        if ((cls >> 16) == 0x01) // mass storage controller
            return ((cls >> 8) & 0xFF) == 0x01 || ((cls >> 8) & 0xFF) == 0x06 ? HdcClass : ScsiAdapterClass;
        return NoClass;
    }
    if (Exists(n.root, n.key + "/idVendor"))
        return UsbClass;
    return NoClass;
}

// ---- Device information sets ----------------------------------------------

struct SetDisk {
    BlockEntry block;
    std::wstring path;
    DEVINST devinst;
};

struct DeviceSet : Object {
    static constexpr Kind TheKind = Kind::DeviceSet;
    DeviceSet() : Object(Kind::DeviceSet) {}
    Root root;
    uint32_t serial = 0;
    std::mutex lock; // guards `disks` and `opened` against concurrent additions
    std::vector<SetDisk> disks;
    std::vector<DEVINST> opened;

    bool Member(DEVINST devinst) {
        std::lock_guard<std::mutex> guard(lock);
        return std::any_of(disks.begin(), disks.end(), [&](const SetDisk &d) { return d.devinst == devinst; }) ||
               std::find(opened.begin(), opened.end(), devinst) != opened.end();
    }
};

std::atomic<uint32_t> nextSerial{1};

ULONG_PTR Token(uint32_t serial, uint32_t low) { return (ULONG_PTR{serial} << 32) | low; }
uint32_t SerialOf(ULONG_PTR token) { return static_cast<uint32_t>(token >> 32); }

bool ValidDevInfo(DeviceSet &s, const SP_DEVINFO_DATA *d) {
    return d && d->cbSize == sizeof(SP_DEVINFO_DATA) && SerialOf(d->Reserved) == s.serial && s.Member(d->DevInst);
}

// The record of the disk interface of the set's disk `index`, and of a
// device node of the set; both carry the set's serial number, by which they
// are checked when they come back.
void DescribeInterface(const DeviceSet &s, size_t index, SP_DEVICE_INTERFACE_DATA &data) {
    data.InterfaceClassGuid = TavPlatform::DiskInterfaceClass;
    data.Flags = SPINT_ACTIVE;
    data.Reserved = Token(s.serial, static_cast<uint32_t>(index + 1));
}

void DescribeNode(const DeviceSet &s, const GUID &cls, DEVINST devinst, SP_DEVINFO_DATA &data) {
    data.ClassGuid = cls;
    data.DevInst = devinst;
    data.Reserved = Token(s.serial, devinst);
}

std::optional<SetDisk> InterfaceOf(DeviceSet &s, const SP_DEVICE_INTERFACE_DATA *data) {
    if (!data || data->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || SerialOf(data->Reserved) != s.serial)
        return std::nullopt;
    auto index = static_cast<uint32_t>(data->Reserved & 0xFFFFFFFFu);
    std::lock_guard<std::mutex> guard(s.lock);
    if (index == 0 || index > s.disks.size())
        return std::nullopt;
    return s.disks[index - 1];
}

// The checks every CM_* request on a node makes first: an output pointer
// (cleared first where the request clears it), no flags, and a node this
// process numbered.
template <class T> CONFIGRET NodeRequest(T *out, bool clear, DEVINST devinst, ULONG flags, std::optional<Node> &node) {
    if (!out)
        return CR_INVALID_POINTER;
    if (clear)
        *out = 0;
    if (flags)
        return CR_INVALID_FLAG;
    node = NodeOf(devinst);
    return node ? CR_SUCCESS : CR_INVALID_DEVNODE;
}

} // namespace

// Process-wide numbering of device nodes: the same node under the same root
// always gets the same DEVINST. A key is a sysfs directory or, for the
// driver node of a software disk, "driver:<name>".
DEVINST NodeNumber(const Root &root, const std::string &key) {
    Registry &r = Nodes();
    std::lock_guard<std::mutex> guard(r.lock);
    auto id = std::make_pair(root.prefix, key);
    auto it = r.numbers.find(id);
    if (it != r.numbers.end())
        return it->second;
    r.nodes.push_back({root, key});
    auto number = static_cast<DEVINST>(r.nodes.size());
    r.numbers.emplace(id, number);
    return number;
}

} // namespace TavLinux

namespace TavPlatform {

using namespace TavLinux;

HDEVINFO SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR, HWND, DWORD Flags, HDEVINFO DeviceInfoSet,
                                PCWSTR MachineName, void *Reserved) {
    if (Reserved || (MachineName && *MachineName) || (!ClassGuid && !(Flags & DIGCF_ALLCLASSES))) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::shared_ptr<DeviceSet> set;
    if (DeviceInfoSet) {
        set = Find<DeviceSet>(DeviceInfoSet);
        if (!set) {
            Fail(ERROR_INVALID_HANDLE);
            return INVALID_HANDLE_VALUE;
        }
    } else {
        set = std::make_shared<DeviceSet>();
        set->root = CurrentRoot();
        // A recorded machine that is not there is no machine without disks.
        if (set->root.given && !HoldsSystemView(set->root)) {
            Fail(ERROR_PATH_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        set->serial = nextSerial++;
    }
    bool disks = (Flags & DIGCF_ALLCLASSES) ||
                 (ClassGuid && (SameGuid(*ClassGuid, DiskInterfaceClass) || SameGuid(*ClassGuid, DiskDriveClass)));
    if (disks) {
        std::vector<SetDisk> found;
        DWORD failure = 0;
        {
            LookInUse look(set->root);
            for (size_t i : look->view.Disks()) {
                const BlockEntry &block = look->view.Entry(i);
                found.push_back({block, Widen("/dev/" + block.name), NodeNumber(set->root, block.sys)});
            }
            failure = look.Failure();
        }
        // A list that could not be read whole is no list: it would show
        // disks missing.
        if (failure) {
            Fail(failure);
            return INVALID_HANDLE_VALUE;
        }
        std::lock_guard<std::mutex> guard(set->lock);
        for (auto &d : found)
            if (std::none_of(set->disks.begin(), set->disks.end(),
                             [&](const SetDisk &have) { return have.devinst == d.devinst; }))
                set->disks.push_back(std::move(d));
    }
    return DeviceInfoSet ? DeviceInfoSet : AddHandle(set);
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return RemoveHandle(DeviceInfoSet, Object::Kind::DeviceSet) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto set = Find<DeviceSet>(DeviceInfoSet);
    if (!set)
        return Fail(ERROR_INVALID_HANDLE);
    if (!InterfaceClassGuid)
        return Fail(ERROR_INVALID_PARAMETER);
    if (!DeviceInterfaceData || DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData && !ValidDevInfo(*set, DeviceInfoData))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!SameGuid(*InterfaceClassGuid, DiskInterfaceClass))
        return Fail(ERROR_NO_MORE_ITEMS);
    std::lock_guard<std::mutex> guard(set->lock);
    size_t index = MemberIndex;
    if (DeviceInfoData) {
        // A disk has one disk interface.
        auto it = std::find_if(set->disks.begin(), set->disks.end(),
                               [&](const SetDisk &d) { return d.devinst == DeviceInfoData->DevInst; });
        if (it == set->disks.end() || MemberIndex != 0)
            return Fail(ERROR_NO_MORE_ITEMS);
        index = static_cast<size_t>(it - set->disks.begin());
    }
    if (index >= set->disks.size())
        return Fail(ERROR_NO_MORE_ITEMS);
    DescribeInterface(*set, index, *DeviceInterfaceData);
    return TRUE;
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = Find<DeviceSet>(DeviceInfoSet);
    if (!set)
        return Fail(ERROR_INVALID_HANDLE);
    auto disk = InterfaceOf(*set, DeviceInterfaceData);
    if (!disk)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize == 0) ||
        (!DeviceInterfaceDetailData && DeviceInterfaceDetailDataSize != 0))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailData && DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);

    const size_t offset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    size_t required = offset + (disk->path.size() + 1) * sizeof(WCHAR);
    if (RequiredSize)
        *RequiredSize = static_cast<DWORD>(required);
    if (DeviceInfoData)
        DescribeNode(*set, DiskDriveClass, disk->devinst, *DeviceInfoData);
    if (DeviceInterfaceDetailDataSize < required)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto *path = reinterpret_cast<WCHAR *>(reinterpret_cast<BYTE *>(DeviceInterfaceDetailData) + offset);
    std::wmemcpy(path, disk->path.c_str(), disk->path.size() + 1);
    return TRUE;
}

BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData) {
    auto set = Find<DeviceSet>(DeviceInfoSet);
    if (!set)
        return Fail(ERROR_INVALID_HANDLE);
    if (OpenFlags & ~(DIOD_INHERIT_CLASSDRVS | DIOD_CANCEL_REMOVE))
        return Fail(ERROR_INVALID_FLAGS);
    if (DeviceInfoData && DeviceInfoData->cbSize != sizeof(SP_DEVINFO_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (!DeviceInstanceId)
        return Fail(ERROR_INVALID_PARAMETER);
    auto key = KeyOfId(set->root, DeviceInstanceId);
    if (!key)
        return Fail(ERROR_NO_SUCH_DEVINST);
    DEVINST devinst = NodeNumber(set->root, *key);
    if (!set->Member(devinst)) {
        std::lock_guard<std::mutex> guard(set->lock);
        set->opened.push_back(devinst);
    }
    if (DeviceInfoData)
        DescribeNode(*set, ClassOf(Node{set->root, *key}), devinst, *DeviceInfoData);
    return TRUE;
}

BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO DeviceInfoSet, PCWSTR DevicePath, DWORD OpenFlags,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    auto set = Find<DeviceSet>(DeviceInfoSet);
    if (!set)
        return Fail(ERROR_INVALID_HANDLE);
    if (OpenFlags & ~DIODI_NO_ADD)
        return Fail(ERROR_INVALID_FLAGS);
    if (DeviceInterfaceData && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (!DevicePath)
        return Fail(ERROR_INVALID_PARAMETER);
    std::lock_guard<std::mutex> guard(set->lock);
    for (size_t i = 0; i < set->disks.size(); ++i) {
        if (set->disks[i].path == DevicePath) {
            if (DeviceInterfaceData)
                DescribeInterface(*set, i, *DeviceInterfaceData);
            return TRUE;
        }
    }
    return Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    auto set = Find<DeviceSet>(DeviceInfoSet);
    if (!set)
        return Fail(ERROR_INVALID_HANDLE);
    if (!ValidDevInfo(*set, DeviceInfoData))
        return Fail(ERROR_INVALID_PARAMETER);
    auto node = NodeOf(DeviceInfoData->DevInst);
    if (!node)
        return Fail(ERROR_NO_SUCH_DEVINST);
    std::optional<std::wstring> value;
    if (Property == SPDRP_DEVICEDESC)
        value = Description(*node);
    else if (Property == SPDRP_MFG)
        value = Manufacturer(*node);
    if (!value)
        return Fail(ERROR_INVALID_DATA);
    size_t bytes = (value->size() + 1) * sizeof(WCHAR);
    if (RequiredSize)
        *RequiredSize = static_cast<DWORD>(bytes);
    if (PropertyRegDataType)
        *PropertyRegDataType = REG_SZ;
    if (!PropertyBuffer && PropertyBufferSize)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (PropertyBufferSize < bytes)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::memcpy(PropertyBuffer, value->c_str(), bytes);
    return TRUE;
}

CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    std::optional<Node> node;
    if (CONFIGRET result = NodeRequest(pdnDevInst, true, dnDevInst, ulFlags, node))
        return result;
    if (!IsDriverKey(node->key) && !IsDirectory(node->root, node->key))
        return CR_NO_SUCH_DEVNODE;
    auto parent = ParentKey(*node);
    if (!parent)
        return CR_NO_SUCH_DEVNODE;
    *pdnDevInst = NodeNumber(node->root, *parent);
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    std::optional<Node> node;
    if (CONFIGRET result = NodeRequest(pulLen, true, dnDevInst, ulFlags, node))
        return result;
    *pulLen = static_cast<ULONG>(InstanceId(node->key).size());
    return CR_SUCCESS;
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    std::optional<Node> node;
    if (CONFIGRET result = NodeRequest(Buffer, false, dnDevInst, ulFlags, node))
        return result;
    std::wstring id = InstanceId(node->key);
    if (BufferLen < id.size())
        return CR_BUFFER_SMALL;
    std::wmemcpy(Buffer, id.c_str(), id.size());
    if (BufferLen > id.size())
        Buffer[id.size()] = 0;
    return CR_SUCCESS;
}

} // namespace TavPlatform
