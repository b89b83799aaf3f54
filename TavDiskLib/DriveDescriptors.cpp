// SPDX-License-Identifier: MIT
// What the storage stack and the device set-up services say about a disk:
// bus type, descriptor strings, disk number, device path and device node.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"
#include "protocol/ByteOrder.h"

#include <cwchar>

using namespace TavRecords;
namespace P = TavRequests;

int Drive::GetDescriptorString(ULONG OffsetFieldPosition, bool AllOnesMeansAbsent, unsigned char *Buffer,
                               ULONG Capacity, ULONG *Count) {
    ULONG ignored = 0;
    if (!Count)
        Count = &ignored;

    // The descriptor's own Size field is the device's word: the bytes held
    // are the block's. A descriptor shorter than its fixed part (its header
    // request failed) has no offsets; an offset at or past its end points at
    // nothing.
    const unsigned char *descriptor = RecordBytes(DeviceDescriptor);
    const ULONG held = HeldBytes(DeviceDescriptor);
    ULONG offset = 0;
    if (held >= DeviceDescriptorFixedPart)
        offset = TavProtocol::LoadLe32(descriptor + OffsetFieldPosition);
    if (offset == 0 || (AllOnesMeansAbsent && offset == 0xFFFFFFFFu) || offset >= held) {
        *Count = 1;
        if (Capacity >= 1 && Buffer) {
            Buffer[0] = 0;
            return 1;
        }
        return 0;
    }

    // The string ends at its terminator, or at the end of the descriptor
    // when the device left it unterminated.
    const unsigned char *text = descriptor + offset;
    ULONG available = held - offset;
    ULONG length = 0;
    while (length < available && text[length] != 0)
        ++length;
    ULONG extent = length < available ? length + 1 : length;
    DeliverText(text, extent, Buffer, Capacity, Count);
    return Capacity >= *Count ? 1 : 0;
}

int Drive::GetVendorId(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetDescriptorString(offsetof(STORAGE_DEVICE_DESCRIPTOR, VendorIdOffset), false, Buffer, Capacity, Count);
}

int Drive::GetProductId(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetDescriptorString(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductIdOffset), false, Buffer, Capacity, Count);
}

int Drive::GetProductRevision(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetDescriptorString(offsetof(STORAGE_DEVICE_DESCRIPTOR, ProductRevisionOffset), false, Buffer, Capacity,
                               Count);
}

int Drive::GetSerialNumber(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetDescriptorString(offsetof(STORAGE_DEVICE_DESCRIPTOR, SerialNumberOffset), true, Buffer, Capacity, Count);
}

STORAGE_BUS_TYPE Drive::GetBusType() {
    if (!AdapterDescriptor)
        return BusTypeUnknown;
    // The enumeration ends at BusTypeMaxReserved (0x7F): a byte above it
    // names no bus type the enumeration can hold.
    const BYTE bus = AdapterDescriptor->BusType;
    if (bus > BusTypeMaxReserved)
        return BusTypeUnknown;
    return static_cast<STORAGE_BUS_TYPE>(bus);
}

// Asks the device for its number: 1 when it answered, 0 when the request
// failed, -1 when there was no memory to ask.
int Drive::QueryDeviceNumber(ULONG *Number) {
    *Number = 0;
    auto *record = Alloc<STORAGE_DEVICE_NUMBER>();
    if (!record)
        return -1;
    DWORD returned = 0;
    BOOL ok = P::DeviceIoControl(DeviceHandle, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, record,
                                 sizeof(STORAGE_DEVICE_NUMBER), &returned, nullptr);
    *Number = record->DeviceNumber;
    Release(record);
    return ok ? 1 : 0;
}

ULONG Drive::GetDriveNumber() {
    ULONG number = 0;
    QueryDeviceNumber(&number);
    return number;
}

int Drive::QueryDriveNumber(ULONG *Number) {
    ULONG number = 0;
    if (QueryDeviceNumber(&number) <= 0)
        return 0;
    if (Number)
        *Number = number;
    return 1;
}

int Drive::GetDevicePath(wchar_t *Buffer, ULONG Capacity, ULONG *Count) {
    static const wchar_t empty[1] = {0};
    const wchar_t *path =
        InterfaceDetail ? reinterpret_cast<const wchar_t *>(RecordBytes(InterfaceDetail) + DevicePathOffset) : empty;
    size_t length = std::wcslen(path);
    ULONG needed = static_cast<ULONG>(length + 1);
    if (Count)
        *Count = needed;
    if (Capacity < needed || !Buffer)
        return 0;
    std::wmemcpy(Buffer, path, needed);
    return 1;
}

ULONG Drive::GetDeviceInstance() { return DevInfoData ? DevInfoData->DevInst : 0; }

ULONG Drive::GetDeviceParentInstance() {
    DEVINST parent = 0;
    P::CM_Get_Parent(&parent, DevInfoData ? DevInfoData->DevInst : 0, 0);
    return parent;
}
