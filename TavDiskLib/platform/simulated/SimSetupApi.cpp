// SPDX-License-Identifier: MIT
// Device information sets on the simulated machine: the disk interfaces, the
// device nodes opened into a set and their descriptions.
#include "SimCall.h"

namespace TavSim {
namespace {

Slot *FindSet(CallBase &c, HDEVINFO set) { return FindSlot(*c.s, set, HandleKind::Set); }

// The preamble of a call on a set: `name(found)` fills in the request, given
// the set the handle names (null: none); after the failure rules, a handle
// that names no set fails the call with ERROR_INVALID_HANDLE. Null: the call
// has failed.
template <class Name> Slot *BeginOnSet(Call<BOOL> &c, HDEVINFO handle, Name &&name) {
    Slot *set = nullptr;
    if (!c.Begin([&] {
            set = FindSet(c, handle);
            name(set);
        }))
        return nullptr;
    if (!set)
        c.Fail(ERROR_INVALID_HANDLE);
    return set;
}

// Fills the caller's record for the interface of `disk` in `set`.
void PutInterfaceData(CallBase &c, const Slot &set, int disk, PSP_DEVICE_INTERFACE_DATA record) {
    SP_DEVICE_INTERFACE_DATA r = *record;
    r.InterfaceClassGuid = TavPlatform::DiskInterfaceClass;
    r.Flags = SPINT_ACTIVE;
    r.Reserved = InterfaceTag(set, disk);
    c.PutAt(record, 0, &r, sizeof r);
}

} // namespace
} // namespace TavSim

namespace TavPlatform {

using namespace TavSim;

HDEVINFO SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR, HWND, DWORD Flags, HDEVINFO DeviceInfoSet,
                                PCWSTR MachineName, void *Reserved) {
    Call<HDEVINFO> c(Op::SetupDiGetClassDevsExW, INVALID_HANDLE_VALUE);
    if (!c.Begin([&] { c.req.flags = Flags; }))
        return c.Failed();
    if ((!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) || Reserved || (MachineName && MachineName[0]))
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (!c.m->interfacesEnumerable)
        return c.Fail(ERROR_INVALID_DATA);
    const bool disks = (Flags & DIGCF_DEVICEINTERFACE) &&
                       ((Flags & DIGCF_ALLCLASSES) || SameGuid(*ClassGuid, TavPlatform::DiskInterfaceClass));
    if (DeviceInfoSet && DeviceInfoSet != INVALID_HANDLE_VALUE) {
        // Adding to an existing set returns that set.
        Slot *set = FindSet(c, DeviceInfoSet);
        if (!set)
            return c.Fail(ERROR_INVALID_HANDLE);
        set->diskInterfaces = set->diskInterfaces || disks;
        return c.Ok(DeviceInfoSet);
    }
    HANDLE h = NewHandle(*c.s, HandleKind::Set, -1, 0);
    if (h == INVALID_HANDLE_VALUE)
        return c.Fail(ERROR_NO_SYSTEM_RESOURCES);
    Slot *set = FindSet(c, h);
    set->diskInterfaces = disks;
    set->serial = c.s->nextSetSerial;
    c.s->nextSetSerial = c.s->nextSetSerial % 0x7FFF + 1;
    return c.Ok(HDEVINFO{h});
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    Call<BOOL> c(Op::SetupDiDestroyDeviceInfoList, FALSE);
    Slot *set = nullptr;
    if (!c.Begin([&] { set = FindSet(c, DeviceInfoSet); }))
        return c.Failed();
    return Release(c, set);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    Call<BOOL> c(Op::SetupDiEnumDeviceInterfaces, FALSE);
    Slot *set = BeginOnSet(c, DeviceInfoSet, [&](const Slot *found) {
        c.req.index = MemberIndex;
        const size_t members = found && found->diskInterfaces ? c.m->disks.size() : 0;
        if (DeviceInfoData && !InfoDataSizeWrong(DeviceInfoData)) {
            // Only the interface of that device, at index 0.
            const int owner = c.DiskOfDevInst(DeviceInfoData->DevInst);
            if (MemberIndex == 0 && owner >= 0 && static_cast<size_t>(owner) < members)
                c.req.disk = owner;
        } else if (MemberIndex < members) {
            c.req.disk = static_cast<int>(MemberIndex);
        }
    });
    if (!set)
        return c.Failed();
    if (!DeviceInterfaceData || !InterfaceClassGuid)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || InfoDataSizeWrong(DeviceInfoData))
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (c.req.disk < 0 || !SameGuid(*InterfaceClassGuid, TavPlatform::DiskInterfaceClass))
        return c.Fail(ERROR_NO_MORE_ITEMS);
    PutInterfaceData(c, *set, c.req.disk, DeviceInterfaceData);
    return c.Ok(TRUE);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    Call<BOOL> c(Op::SetupDiGetDeviceInterfaceDetailW, FALSE);
    Slot *set = BeginOnSet(c, DeviceInfoSet, [&](const Slot *found) {
        c.req.outSize = DeviceInterfaceDetailDataSize;
        if (found && DeviceInterfaceData) {
            const int disk = DiskOfTag(*found, DeviceInterfaceData->Reserved);
            if (c.DiskAt(disk))
                c.req.disk = disk;
        }
    });
    if (!set)
        return c.Failed();
    if (!DeviceInterfaceData)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (c.req.disk < 0)
        return c.Fail(ERROR_INVALID_PARAMETER);
    const Disk &d = c.m->disks[static_cast<size_t>(c.req.disk)];
    const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const size_t pathBytes = (d.devicePath.size() + 1) * sizeof(WCHAR);
    const DWORD needed = static_cast<DWORD>(pathOffset + pathBytes);
    if (!DeviceInterfaceDetailData) {
        if (DeviceInterfaceDetailDataSize != 0)
            return c.Fail(ERROR_INVALID_USER_BUFFER);
        if (RequiredSize)
            *RequiredSize = needed;
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    if (DeviceInterfaceDetailDataSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
        DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
        InfoDataSizeWrong(DeviceInfoData))
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (DeviceInterfaceDetailDataSize < needed) {
        if (RequiredSize)
            *RequiredSize = needed;
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    }
    c.PutAt(DeviceInterfaceDetailData, pathOffset, d.devicePath.c_str(), pathBytes);
    if (DeviceInfoData) {
        DeviceInfoData->ClassGuid = TavPlatform::DiskDriveClass;
        DeviceInfoData->DevInst = d.devInst;
        DeviceInfoData->Reserved = InterfaceTag(*set, c.req.disk);
    }
    if (RequiredSize)
        *RequiredSize = needed;
    return c.Ok(TRUE);
}

BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData) {
    Call<BOOL> c(Op::SetupDiOpenDeviceInfoW, FALSE);
    const DeviceNode *node = nullptr;
    Slot *set = BeginOnSet(c, DeviceInfoSet, [&](const Slot *) {
        c.req.flags = OpenFlags;
        if (c.Logging())
            c.req.path = DeviceInstanceId ? DeviceInstanceId : L"";
        if (DeviceInstanceId)
            for (const DeviceNode &n : c.m->nodes)
                if (!node && EqualNoCase(n.instanceId, DeviceInstanceId))
                    node = &n;
        if (node)
            c.req.disk = c.DiskOfDevInst(node->devInst);
    });
    if (!set)
        return c.Failed();
    if (!DeviceInstanceId)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (InfoDataSizeWrong(DeviceInfoData))
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (!node)
        return c.Fail(ERROR_NO_SUCH_DEVINST);
    if (std::find(set->opened.begin(), set->opened.end(), node->devInst) == set->opened.end())
        set->opened.push_back(node->devInst);
    if (DeviceInfoData) {
        SP_DEVINFO_DATA r = *DeviceInfoData;
        std::memset(&r.ClassGuid, 0, sizeof r.ClassGuid);
        if (c.req.disk >= 0)
            r.ClassGuid = TavPlatform::DiskDriveClass;
        r.DevInst = node->devInst;
        r.Reserved = InterfaceTag(*set, -1);
        c.PutAt(DeviceInfoData, 0, &r, sizeof r);
    }
    return c.Ok(TRUE);
}

BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO DeviceInfoSet, PCWSTR DevicePath, DWORD OpenFlags,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    Call<BOOL> c(Op::SetupDiOpenDeviceInterfaceW, FALSE);
    Slot *set = BeginOnSet(c, DeviceInfoSet, [&](const Slot *) {
        c.req.flags = OpenFlags;
        if (c.Logging())
            c.req.path = DevicePath ? DevicePath : L"";
        if (DevicePath)
            for (size_t i = 0; i < c.m->disks.size() && c.req.disk < 0; ++i)
                if (EqualNoCase(c.m->disks[i].devicePath, DevicePath))
                    c.req.disk = static_cast<int>(i);
    });
    if (!set)
        return c.Failed();
    if (!DevicePath)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (DeviceInterfaceData && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (c.req.disk < 0)
        return c.Fail(ERROR_NO_SUCH_DEVICE_INTERFACE);
    if (DeviceInterfaceData)
        PutInterfaceData(c, *set, c.req.disk, DeviceInterfaceData);
    return c.Ok(TRUE);
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    Call<BOOL> c(Op::SetupDiGetDeviceRegistryPropertyW, FALSE);
    const bool recordOk = DeviceInfoData && !InfoDataSizeWrong(DeviceInfoData);
    const DEVINST dn = recordOk ? DeviceInfoData->DevInst : 0;
    Slot *set = BeginOnSet(c, DeviceInfoSet, [&](const Slot *) {
        c.req.index = Property;
        c.req.outSize = PropertyBufferSize;
        if (dn)
            c.req.disk = c.DiskOfDevInst(dn);
    });
    if (!set)
        return c.Failed();
    if (!DeviceInfoData)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (!recordOk)
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    // The record must name an element of this set: a node opened into it or
    // one of its disks.
    bool member = dn != 0 && std::find(set->opened.begin(), set->opened.end(), dn) != set->opened.end();
    if (!member && dn != 0 && set->diskInterfaces)
        member = c.DiskOfDevInst(dn) >= 0;
    if (!member)
        return c.Fail(ERROR_INVALID_PARAMETER);
    const DeviceNode *node = c.Node(dn);
    if (!node)
        return c.Fail(ERROR_NO_SUCH_DEVINST);
    if (Property != SPDRP_DEVICEDESC || node->description.empty())
        return c.Fail(ERROR_INVALID_DATA);
    const size_t needed = (node->description.size() + 1) * sizeof(WCHAR);
    if (PropertyRegDataType)
        *PropertyRegDataType = REG_SZ;
    if (!PropertyBuffer && PropertyBufferSize)
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (RequiredSize)
        *RequiredSize = static_cast<DWORD>(needed);
    if (PropertyBufferSize < needed)
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    c.PutAt(PropertyBuffer, 0, node->description.c_str(), needed);
    return c.Ok(TRUE);
}

} // namespace TavPlatform
