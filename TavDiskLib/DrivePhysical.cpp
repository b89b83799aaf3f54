// SPDX-License-Identifier: MIT
// Physical facts of the disk: sector sizes and alignment, rotation, TRIM,
// read-only and removable media, its world-wide name.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"
#include "platform/DeviceIds.h"
#include "protocol/Identifiers.h"

#include <cstddef>
#include <cstring>
#include <string>
#include <vector>

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

namespace {

// The largest identifiers' answer taken: far beyond what a page of
// designators can fill.
constexpr DWORD MostDeviceIdBytes = 1u << 20;

// The name among the identifiers the disk tells, in `name` ("" when it
// tells none of a kind the name is chosen from). 0, or the reason there is
// no answer: the request's error (ERROR_NOT_SUPPORTED for a disk without
// identifiers), ERROR_INVALID_DATA for a malformed one.
DWORD NameOfDeviceIds(HANDLE device, std::string &name) {
    STORAGE_PROPERTY_QUERY query{};
    query.PropertyId = StorageDeviceIdProperty;
    query.QueryType = PropertyStandardQuery;
    STORAGE_DESCRIPTOR_HEADER header{};
    DWORD returned = 0;
    if (!P::DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, &header, sizeof header,
                            &returned, nullptr))
        return P::GetLastError();
    if (returned < sizeof header || header.Size < TavPlatform::DeviceIdHeaderBytes || header.Size > MostDeviceIdBytes)
        return ERROR_INVALID_DATA;
    unsigned char *block = Alloc<unsigned char>(header.Size);
    if (!block)
        return ERROR_NOT_ENOUGH_MEMORY;
    DWORD error = ERROR_SUCCESS;
    if (!P::DeviceIoControl(device, IOCTL_STORAGE_QUERY_PROPERTY, &query, sizeof query, block, header.Size, &returned,
                            nullptr)) {
        error = P::GetLastError();
    } else {
        std::vector<TavPlatform::DeviceIdentifier> ids;
        const size_t arrived = returned < header.Size ? returned : header.Size;
        if (!TavPlatform::ReadDeviceIdDescriptor(block, arrived, ids)) {
            error = ERROR_INVALID_DATA;
        } else {
            const std::vector<uint8_t> page = TavPlatform::VpdPageOfIdentifiers(ids);
            name = TavProtocol::DecodeDeviceIdentification(page.data(), page.size());
        }
    }
    Release(block);
    return error;
}

} // namespace

int Drive::GetWorldWideName(char *Buffer, ULONG Capacity, ULONG *Length) {
    ULONG ignored = 0;
    if (!Length)
        Length = &ignored;
    *Length = 0;
    std::string name;
    DWORD error = NameOfDeviceIds(DeviceHandle, name);
    // A disk that tells no name of its own may still have given one in its
    // IDENTIFY data.
    if ((error == ERROR_NOT_SUPPORTED || (error == ERROR_SUCCESS && name.empty())) && SmartVersion &&
        HeldBytes(IdentifyResult) >= IdentifyResultSize) {
        name = TavProtocol::IdentifyWorldWideName(RecordBytes(IdentifyResult) + IdentifyDataOffset);
        error = ERROR_SUCCESS;
    }
    if (error == ERROR_SUCCESS && name.empty())
        error = ERROR_NOT_SUPPORTED;
    if (error != ERROR_SUCCESS) {
        P::SetLastError(error);
        return 0;
    }
    *Length = static_cast<ULONG>(name.size() + 1);
    if (!Buffer || Capacity < *Length) {
        P::SetLastError(ERROR_INSUFFICIENT_BUFFER);
        return 0;
    }
    std::memcpy(Buffer, name.c_str(), name.size() + 1);
    return 1;
}
