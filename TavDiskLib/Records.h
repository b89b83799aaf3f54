// SPDX-License-Identifier: MIT
// Internal helpers shared by the Drive and Adapter sources: platform record
// blocks, byte views of them, and the offsets of their variable tails. The
// device data inside them is read with the protocol/ helpers.
#ifndef TAVDISKLIB_RECORDS_H
#define TAVDISKLIB_RECORDS_H

#include "platform/platform.h"

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace TavRecords {

// A zero-filled block of `bytes` bytes (at least one, so that a record of
// size 0 is still a distinct block in use), or null when memory is exhausted.
inline void *AllocBlock(size_t bytes) { return TavPlatform::LocalAlloc(LPTR, bytes ? bytes : 1); }

template <class T> T *Alloc(size_t bytes = sizeof(T)) { return static_cast<T *>(AllocBlock(bytes)); }

// Releases a block from Alloc; null is ignored.
inline void Release(void *block) {
    if (block)
        TavPlatform::LocalFree(block);
}

// The bytes a block from Alloc holds (0 for none), bounded to what a ULONG
// counts.
inline ULONG HeldBytes(const void *block) {
    if (!block)
        return 0;
    const SIZE_T size = TavPlatform::LocalSize(const_cast<void *>(block));
    return size > 0xFFFFFFFFu ? 0xFFFFFFFFu : static_cast<ULONG>(size);
}

// A copy of a block from Alloc, as many bytes as it holds (null for none or
// when memory is exhausted).
template <class T> T *Duplicate(const T *block) {
    if (!block)
        return nullptr;
    const ULONG bytes = HeldBytes(block);
    T *copy = bytes ? static_cast<T *>(AllocBlock(bytes)) : nullptr;
    if (copy)
        std::memcpy(copy, block, bytes);
    return copy;
}

// Byte view of a record, for fields that lie past a record's declared end
// (variable-length tails such as IDENTIFY data or device path strings).
template <class T> unsigned char *RecordBytes(T *record) { return reinterpret_cast<unsigned char *>(record); }
template <class T> const unsigned char *RecordBytes(const T *record) {
    return reinterpret_cast<const unsigned char *>(record);
}

// Offset of the IDENTIFY DEVICE data inside SENDCMDOUTPARAMS, and the size
// of the whole block the IDENTIFY request is answered into (528 bytes).
constexpr size_t IdentifyDataOffset = offsetof(SENDCMDOUTPARAMS, bBuffer);
constexpr size_t IdentifyResultSize = IdentifyDataOffset + IDENTIFY_BUFFER_SIZE;

// Fixed part of STORAGE_DEVICE_DESCRIPTOR: everything before the raw
// properties. A descriptor shorter than this holds no usable offsets.
constexpr size_t DeviceDescriptorFixedPart = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);

// The block a Drive keeps its device node record in: the platform's record,
// then the access the disk was opened with (Drive::AccessNone, AccessQuery
// or AccessFull), which the platform never reads.
struct DevInfoRecord {
    SP_DEVINFO_DATA Data;
    int Access;
};

// The block a Drive keeps its SCSI address in: the platform's record, then
// whether the request answered (a disk without an address reads 0:0:0:0).
struct ScsiAddressRecord {
    SCSI_ADDRESS Address;
    int Answered;
};

// Offset of the device path inside SP_DEVICE_INTERFACE_DETAIL_DATA_W.
constexpr size_t DevicePathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);

} // namespace TavRecords

#endif
