// SPDX-License-Identifier: MIT
// A device node opened into the caller's device information set, described
// by its device description.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"

#include <utility>

using namespace TavRecords;
namespace P = TavRequests;

namespace {
// Device instance identifiers are at most 200 characters on the platform;
// the bound is looser, the longest wide string there is (32767 characters),
// so that only an absurd length reads as no identifier (an empty one).
constexpr ULONG MaxDeviceIdLength = 32767;

// The Adapter class as a caller who builds it from its header lays
// it out: these three fields in this order, and nothing else.
struct AdapterMirror {
    void *DeviceInfoSet;
    SP_DEVINFO_DATA *DevInfoData;
    SP_DEVICE_INTERFACE_DATA *InterfaceData;
};
} // namespace

Adapter::Adapter(void *DeviceInfoSet_, ULONG DevInst)
    : DeviceInfoSet(DeviceInfoSet_), DevInfoData(nullptr), InterfaceData(nullptr) {
    static_assert(sizeof(Adapter) == sizeof(AdapterMirror) &&
                      offsetof(Adapter, DeviceInfoSet) == offsetof(AdapterMirror, DeviceInfoSet) &&
                      offsetof(Adapter, DevInfoData) == offsetof(AdapterMirror, DevInfoData) &&
                      offsetof(Adapter, InterfaceData) == offsetof(AdapterMirror, InterfaceData),
                  "Adapter holds exactly the three fields of its layout, in order");
    DevInfoData = Alloc<SP_DEVINFO_DATA>();
    if (DevInfoData)
        DevInfoData->cbSize = sizeof(SP_DEVINFO_DATA);

    ULONG length = 0;
    P::CM_Get_Device_ID_Size(&length, DevInst, 0);
    if (length > MaxDeviceIdLength)
        length = 0;
    auto *id = Alloc<WCHAR>((size_t{length} + 1) * sizeof(WCHAR));
    static const WCHAR empty[1] = {0};
    if (id) {
        P::CM_Get_Device_IDW(DevInst, id, length + 1, 0);
        id[length] = 0;
    }
    const WCHAR *text = id ? id : empty;

    if (DevInfoData)
        P::SetupDiOpenDeviceInfoW(DeviceInfoSet, text, nullptr, 0, DevInfoData);

    InterfaceData = Alloc<SP_DEVICE_INTERFACE_DATA>();
    if (InterfaceData) {
        InterfaceData->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
        P::SetupDiOpenDeviceInterfaceW(DeviceInfoSet, text, 0, InterfaceData);
        P::GetLastError(); // read and not used: the interface record is kept whatever the outcome
    }
    Release(id);
}

Adapter::~Adapter() {
    Release(DevInfoData);
    Release(InterfaceData);
}

Adapter::Adapter(Adapter const &Other)
    : DeviceInfoSet(Other.DeviceInfoSet), DevInfoData(Duplicate(Other.DevInfoData)),
      InterfaceData(Duplicate(Other.InterfaceData)) {}

Adapter::Adapter(Adapter &&Other) noexcept
    : DeviceInfoSet(Other.DeviceInfoSet), DevInfoData(Other.DevInfoData), InterfaceData(Other.InterfaceData) {
    Other.DevInfoData = nullptr;
    Other.InterfaceData = nullptr;
}

Adapter &Adapter::operator=(Adapter const &Other) {
    if (this != &Other) {
        Adapter copy(Other);
        *this = std::move(copy);
    }
    return *this;
}

Adapter &Adapter::operator=(Adapter &&Other) noexcept {
    // An exchange: what this object held goes with the other one.
    std::swap(DeviceInfoSet, Other.DeviceInfoSet);
    std::swap(DevInfoData, Other.DevInfoData);
    std::swap(InterfaceData, Other.InterfaceData);
    return *this;
}

void Adapter::GetDescription(wchar_t const *Buffer, ULONG Capacity, ULONG *RequiredSize) {
    if (!DevInfoData)
        return;
    DWORD type = 0;
    P::SetupDiGetDeviceRegistryPropertyW(DeviceInfoSet, DevInfoData, SPDRP_DEVICEDESC, &type,
                                         reinterpret_cast<PBYTE>(const_cast<wchar_t *>(Buffer)), Capacity,
                                         RequiredSize);
}
