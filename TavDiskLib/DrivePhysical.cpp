// SPDX-License-Identifier: MIT
// Physical facts of the disk: sector sizes and alignment, rotation, TRIM,
// read-only and removable media.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"

#include <cstddef>

using namespace TavRecords;
namespace P = TavRequests;

// One property query into a record of its own: a fact is taken only from an
// answer that holds its whole record and says so in its Size field.
template <class Record> int Drive::QueryPhysicalFact(int Property, Record *Answer) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = static_cast<STORAGE_PROPERTY_ID>(Property);
    query.QueryType = PropertyStandardQuery;
    Record record{};
    DWORD returned = 0;
    if (!P::DeviceIoControl(DeviceHandle, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &record, sizeof record,
                            &returned, nullptr))
        return 0;
    if (returned < sizeof record || record.Size < sizeof record) {
        P::SetLastError(ERROR_INVALID_DATA);
        return 0;
    }
    *Answer = record;
    return 1;
}

int Drive::GetPhysicalBytesPerSector(ULONG *Bytes) {
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a;
    if (!Bytes || !QueryPhysicalFact(StorageAccessAlignmentProperty, &a))
        return 0;
    *Bytes = a.BytesPerPhysicalSector;
    return 1;
}

int Drive::GetAlignmentOffset(ULONG *Bytes) {
    STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a;
    if (!Bytes || !QueryPhysicalFact(StorageAccessAlignmentProperty, &a))
        return 0;
    *Bytes = a.BytesOffsetForSectorAlignment;
    return 1;
}

int Drive::IsRotational(int *Rotational) {
    DEVICE_SEEK_PENALTY_DESCRIPTOR p;
    if (!Rotational || !QueryPhysicalFact(StorageDeviceSeekPenaltyProperty, &p))
        return 0;
    *Rotational = p.IncursSeekPenalty ? 1 : 0;
    return 1;
}

int Drive::SupportsTrim(int *Trim) {
    DEVICE_TRIM_DESCRIPTOR t;
    if (!Trim || !QueryPhysicalFact(StorageDeviceTrimProperty, &t))
        return 0;
    *Trim = t.TrimEnabled ? 1 : 0;
    return 1;
}

int Drive::IsReadOnly(int *ReadOnly) {
    if (!ReadOnly)
        return 0;
    DWORD returned = 0;
    if (TavPlatform::DeviceIoControl(DeviceHandle, IOCTL_DISK_IS_WRITABLE, nullptr, 0, nullptr, 0, &returned,
                                     nullptr)) {
        *ReadOnly = 0;
        return 1;
    }
    // The refusal is the answer; any other failure is not, and is reported.
    const DWORD error = P::GetLastError();
    if (error == ERROR_WRITE_PROTECT) {
        *ReadOnly = 1;
        return 1;
    }
    P::Report::FailedOn("DeviceIoControl", TavDiagnostics::ControlCodeName(IOCTL_DISK_IS_WRITABLE), DeviceHandle);
    P::SetLastError(error);
    return 0;
}

int Drive::IsRemovable(int *Removable) {
    if (!Removable || HeldBytes(DeviceDescriptor) < offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia) + 1) {
        P::SetLastError(ERROR_NOT_SUPPORTED);
        return 0;
    }
    *Removable = RecordBytes(DeviceDescriptor)[offsetof(STORAGE_DEVICE_DESCRIPTOR, RemovableMedia)] ? 1 : 0;
    return 1;
}
