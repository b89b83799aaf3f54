// SPDX-License-Identifier: MIT
// DeviceIoControl on the simulated machine: the answers of a disk (property
// queries, device number, SMART, controller number, SCSI address, geometry,
// SCSI pass-through) and of a volume (its disk extents).
#include "SimCall.h"

#include "../../protocol/Scsi.h"

namespace TavSim {
namespace {

// The output of one control request: the caller's buffer and its size, and
// where the count of bytes returned goes.
struct Output {
    void *buffer;
    DWORD size;
    DWORD *returned;
};

BOOL AnswerNvmeHealthLog(Call<BOOL> &c, const Disk &d, const void *in, DWORD inSize, const Output &out);

BOOL AnswerQueryProperty(Call<BOOL> &c, const Disk &d, const void *in, DWORD inSize, const Output &out) {
    if (!in || inSize < sizeof(STORAGE_PROPERTY_QUERY))
        return c.Fail(ERROR_INVALID_PARAMETER);
    const TavPlatform::PropertyQueryFields q = TavPlatform::ReadPropertyQuery(in);
    if (q.propertyId == StorageDeviceProtocolSpecificProperty && q.queryType == PropertyStandardQuery)
        return AnswerNvmeHealthLog(c, d, in, inSize, out);
    ByteString fact; // a physical fact's record, made for this answer
    const auto record = [&fact](const auto &r) {
        fact.assign(reinterpret_cast<const uint8_t *>(&r), reinterpret_cast<const uint8_t *>(&r) + sizeof r);
        return &fact;
    };
    const ByteString *answer = nullptr;
    switch (q.propertyId) {
    case StorageDeviceProperty: answer = &d.deviceDescriptor; break;
    case StorageAdapterProperty: answer = &d.adapterDescriptor; break;
    case StorageAccessAlignmentProperty:
        if (d.alignment) {
            STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a = *d.alignment;
            a.Version = a.Size = sizeof a;
            answer = record(a);
        }
        break;
    case StorageDeviceSeekPenaltyProperty:
        if (d.seekPenalty) {
            DEVICE_SEEK_PENALTY_DESCRIPTOR p{};
            p.Version = p.Size = sizeof p;
            p.IncursSeekPenalty = *d.seekPenalty;
            answer = record(p);
        }
        break;
    case StorageDeviceTrimProperty:
        if (d.trim) {
            DEVICE_TRIM_DESCRIPTOR t{};
            t.Version = t.Size = sizeof t;
            t.TrimEnabled = *d.trim;
            answer = record(t);
        }
        break;
    case StorageDeviceIdProperty:
        if (d.deviceId)
            answer = &*d.deviceId;
        break;
    default: break;
    }
    if (!answer || answer->empty())
        return c.Fail(ERROR_NOT_SUPPORTED);
    if (q.queryType == PropertyExistsQuery)
        return c.Ok(TRUE);
    if (q.queryType != PropertyStandardQuery)
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (out.size < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    // A buffer shorter than the descriptor receives the part that fits.
    const size_t n = std::min<size_t>(out.size, answer->size());
    c.PutAt(out.buffer, 0, answer->data(), n);
    *out.returned = static_cast<DWORD>(c.Delivered(n));
    return c.Ok(TRUE);
}

// Answers with a fixed-size record.
template <class T> BOOL AnswerRecord(Call<BOOL> &c, const T &record, const Output &out) {
    if (out.size < sizeof(T))
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    c.PutAt(out.buffer, 0, &record, sizeof(T));
    *out.returned = static_cast<DWORD>(c.Delivered(sizeof(T)));
    return c.Ok(TRUE);
}

// Answers with a record the disk may not have (the request then fails).
template <class T> BOOL AnswerRecordIfAny(Call<BOOL> &c, const std::optional<T> &record, const Output &out) {
    if (!record)
        return c.Fail(ERROR_INVALID_FUNCTION);
    return AnswerRecord(c, *record, out);
}

// The geometry with the disk's size; nothing follows it in Data.
BOOL AnswerGetDriveGeometryEx(Call<BOOL> &c, const Disk &d, const Output &out) {
    if (!d.geometry)
        return c.Fail(ERROR_INVALID_FUNCTION);
    const size_t size = offsetof(DISK_GEOMETRY_EX, Data);
    if (out.size < size)
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    DISK_GEOMETRY_EX g;
    std::memset(&g, 0, sizeof g);
    g.Geometry = *d.geometry;
    g.DiskSize.QuadPart = static_cast<LONGLONG>(d.sizeBytes);
    c.PutAt(out.buffer, 0, &g, size);
    *out.returned = static_cast<DWORD>(c.Delivered(size));
    return c.Ok(TRUE);
}

BOOL AnswerSmartGetVersion(Call<BOOL> &c, const Disk &d, const Output &out) {
    if (!d.ata)
        return c.Fail(ERROR_INVALID_FUNCTION);
    GETVERSIONINPARAMS v;
    std::memset(&v, 0, sizeof v);
    v.bVersion = 1;
    v.bRevision = 1;
    v.bIDEDeviceMap = 1;
    v.fCapabilities = 0x5; // ATA IDENTIFY and SMART (no ATAPI IDENTIFY: a disk, not a packet device)
    return AnswerRecord(c, v, out);
}

// The registers of a SMART_RCV_DRIVE_DATA or SMART_SEND_DRIVE_COMMAND input.
IDEREGS RegistersOf(const void *in) {
    IDEREGS r;
    std::memcpy(&r, static_cast<const uint8_t *>(in) + offsetof(SENDCMDINPARAMS, irDriveRegs), sizeof r);
    return r;
}

// Whether the registers ask SMART feature `feature`, signature included.
bool AsksSmart(const IDEREGS &r, uint8_t feature) {
    return r.bCommandReg == SMART_CMD && r.bFeaturesReg == feature && r.bCylLowReg == SMART_CYL_LOW &&
           r.bCylHighReg == SMART_CYL_HI;
}

// IDENTIFY, SMART READ DATA and READ THRESHOLDS: the header and a 512-byte
// block, zero-filled past what the disk holds. Anything else is refused.
BOOL AnswerSmartRcvDriveData(Call<BOOL> &c, const Disk &d, const void *in, DWORD inSize, const Output &out) {
    if (!d.ata)
        return c.Fail(ERROR_INVALID_FUNCTION);
    if (!in || inSize < sizeof(SENDCMDINPARAMS) - 1)
        return c.Fail(ERROR_INVALID_PARAMETER);
    const IDEREGS r = RegistersOf(in);
    const ByteString *block = r.bCommandReg == ID_CMD         ? &d.identify
                              : AsksSmart(r, READ_ATTRIBUTES) ? &d.smartData
                              : AsksSmart(r, READ_THRESHOLDS) ? &d.smartThresholds
                                                              : nullptr;
    if (!block)
        return c.Fail(ERROR_INVALID_PARAMETER);
    const size_t header = offsetof(SENDCMDOUTPARAMS, bBuffer);
    if (out.size < header + IDENTIFY_BUFFER_SIZE)
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    if (block != &d.identify && block->empty())
        return c.Fail(ERROR_IO_DEVICE); // the drive aborted the command
    SENDCMDOUTPARAMS status;
    std::memset(&status, 0, sizeof status);
    status.cBufferSize = IDENTIFY_BUFFER_SIZE;
    c.PutAt(out.buffer, 0, &status, header);
    static const uint8_t zeros[IDENTIFY_BUFFER_SIZE] = {};
    const size_t have = std::min<size_t>(block->size(), IDENTIFY_BUFFER_SIZE);
    c.PutAt(out.buffer, header, block->data(), have);
    c.PutAt(out.buffer, header + have, zeros, IDENTIFY_BUFFER_SIZE - have);
    *out.returned = static_cast<DWORD>(c.Delivered(header + IDENTIFY_BUFFER_SIZE));
    return c.Ok(TRUE);
}

// RETURN STATUS only: the header and the registers the drive left.
BOOL AnswerSmartSendDriveCommand(Call<BOOL> &c, const Disk &d, const void *in, DWORD inSize, const Output &out) {
    if (!d.ata)
        return c.Fail(ERROR_INVALID_FUNCTION);
    if (!in || inSize < sizeof(SENDCMDINPARAMS) - 1)
        return c.Fail(ERROR_INVALID_PARAMETER);
    IDEREGS r = RegistersOf(in);
    if (!AsksSmart(r, RETURN_SMART_STATUS))
        return c.Fail(ERROR_INVALID_PARAMETER);
    const size_t header = offsetof(SENDCMDOUTPARAMS, bBuffer);
    if (out.size < header + sizeof r)
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!d.smartStatus)
        return c.Fail(ERROR_IO_DEVICE);
    SENDCMDOUTPARAMS status;
    std::memset(&status, 0, sizeof status);
    status.cBufferSize = sizeof r;
    r.bCylLowReg = d.smartStatus->first;
    r.bCylHighReg = d.smartStatus->second;
    c.PutAt(out.buffer, 0, &status, header);
    c.PutAt(out.buffer, header, &r, sizeof r);
    *out.returned = static_cast<DWORD>(c.Delivered(header + sizeof r));
    return c.Ok(TRUE);
}

// The NVMe SMART / Health log through the protocol-specific property.
BOOL AnswerNvmeHealthLog(Call<BOOL> &c, const Disk &d, const void *in, DWORD inSize, const Output &out) {
    const size_t at = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
    if (inSize < at + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA))
        return c.Fail(ERROR_INVALID_PARAMETER);
    if (!d.nvmeHealthLog)
        return c.Fail(ERROR_NOT_SUPPORTED);
    STORAGE_PROTOCOL_SPECIFIC_DATA q;
    std::memcpy(&q, static_cast<const uint8_t *>(in) + at, sizeof q);
    if (q.ProtocolType != ProtocolTypeNvme || q.DataType != NVMeDataTypeLogPage || q.ProtocolDataRequestValue != 2 ||
        q.ProtocolDataOffset < sizeof q || q.ProtocolDataLength != 512)
        return c.Fail(ERROR_INVALID_PARAMETER);
    const size_t data = offsetof(STORAGE_PROTOCOL_DATA_DESCRIPTOR, ProtocolSpecificData) + q.ProtocolDataOffset;
    if (out.size < data + q.ProtocolDataLength)
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    STORAGE_PROTOCOL_DATA_DESCRIPTOR head;
    std::memset(&head, 0, sizeof head);
    head.Version = head.Size = sizeof head;
    head.ProtocolSpecificData = q;
    c.PutAt(out.buffer, 0, &head, sizeof head);
    static const uint8_t zeros[512] = {};
    const size_t have = std::min<size_t>(d.nvmeHealthLog->size(), 512);
    c.PutAt(out.buffer, sizeof head, zeros, data - sizeof head);
    c.PutAt(out.buffer, data, d.nvmeHealthLog->data(), have);
    c.PutAt(out.buffer, data + have, zeros, 512 - have);
    *out.returned = static_cast<DWORD>(c.Delivered(data + 512));
    return c.Ok(TRUE);
}

// The AlignmentMask of the disk's adapter descriptor (0 when it has none).
DWORD AlignmentMaskOf(const Disk &d) {
    const size_t at = offsetof(STORAGE_ADAPTER_DESCRIPTOR, AlignmentMask);
    DWORD mask = 0;
    if (d.adapterDescriptor.size() >= at + sizeof mask)
        std::memcpy(&mask, d.adapterDescriptor.data() + at, sizeof mask);
    return mask;
}

// What the disk answers to a command: the data it returns (at most `n`
// bytes from `data`), or `good` false for a command it refuses.
struct CommandAnswer {
    const uint8_t *data = nullptr;
    size_t n = 0;
    bool good = true;
};

// The commands the disk knows: INQUIRY (standard data only), READ CAPACITY
// (10) and READ CAPACITY (16), LOG SENSE of the pages it keeps, each in a block of its full length (a cut
// block is refused). `reply` holds answers built on the spot.
CommandAnswer AnswerCommand(const Disk &d, const UCHAR *cdb, UCHAR cdbLength, TavProtocol::ReadCapacity16Data &reply) {
    using namespace TavProtocol;
    CommandAnswer a;
    switch (cdb[0]) {
    case OpInquiry: // vital product data pages are not kept
        if (cdbLength < 6 || InquiryWantsVpd(cdb)) {
            a.good = false;
            break;
        }
        a.data = d.inquiry.data();
        a.n = std::min<size_t>(InquiryAllocationLength(cdb), d.inquiry.size());
        break;
    case OpReadCapacity10: {
        if (cdbLength < 10) {
            a.good = false;
            break;
        }
        const ReadCapacity10Data answer = EncodeReadCapacity10(d.lastLba, d.blockLength);
        std::memcpy(reply.data(), answer.data(), answer.size());
        a.data = reply.data();
        a.n = answer.size();
        break;
    }
    case OpServiceActionIn16:
        if (!IsReadCapacity16(cdb, cdbLength)) {
            a.good = false;
            break;
        }
        reply = EncodeReadCapacity16(d.lastLba, d.blockLength);
        a.data = reply.data();
        a.n = std::min<size_t>(reply.size(), ReadCapacity16AllocationLength(cdb));
        break;
    case OpLogSense: { // the cumulative values of a page the disk keeps
        const auto page = d.logPages.find(static_cast<uint8_t>(cdb[2] & 0x3F));
        if (cdbLength < 10 || page == d.logPages.end()) {
            a.good = false;
            break;
        }
        a.data = page->second.data();
        a.n = std::min<size_t>(page->second.size(), TavProtocol::LoadBe16(cdb + 7));
        break;
    }
    default: a.good = false; break;
    }
    return a;
}

BOOL AnswerScsiPassThroughDirect(Call<BOOL> &c, const Disk &d, const void *in, DWORD inSize, const Output &out) {
    if (!d.scsi)
        return c.Fail(ERROR_INVALID_FUNCTION);
    const size_t size = sizeof(SCSI_PASS_THROUGH_DIRECT);
    if (!in || !out.buffer || inSize < size || out.size < size)
        return c.Fail(ERROR_INVALID_PARAMETER);
    SCSI_PASS_THROUGH_DIRECT p;
    std::memcpy(&p, in, size);
    if (p.Length != size || p.CdbLength == 0 || p.CdbLength > sizeof p.Cdb || p.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED ||
        (p.DataTransferLength != 0 && !p.DataBuffer) ||
        (p.SenseInfoLength != 0 &&
         (p.SenseInfoOffset < size || uint64_t{p.SenseInfoOffset} + p.SenseInfoLength > out.size)))
        return c.Fail(ERROR_INVALID_PARAMETER);
    // The data moves straight to and from the buffer: it must meet the
    // adapter's alignment.
    if (p.DataTransferLength != 0 && (reinterpret_cast<uintptr_t>(p.DataBuffer) & AlignmentMaskOf(d)) != 0)
        return c.Fail(ERROR_INVALID_PARAMETER);

    TavProtocol::ReadCapacity16Data reply{};
    const CommandAnswer a = AnswerCommand(d, p.Cdb, p.CdbLength, reply);
    // Only a command that reads moves data to the caller.
    const size_t n = a.good && p.DataIn == SCSI_IOCTL_DATA_IN ? std::min<size_t>(a.n, p.DataTransferLength) : 0;
    c.PutAt(p.DataBuffer, 0, a.data, n);
    p.DataTransferLength = static_cast<ULONG>(c.Delivered(n));
    p.ScsiStatus = a.good ? TavProtocol::StatusGood : TavProtocol::StatusCheckCondition;
    if (a.good) {
        p.SenseInfoLength = 0;
    } else if (p.SenseInfoLength != 0) {
        const TavProtocol::FixedSenseData sense = TavProtocol::EncodeFixedSense(
            TavProtocol::SenseKeyIllegalRequest, TavProtocol::AscInvalidCommandOperationCode);
        const size_t k = std::min<size_t>(sense.size(), p.SenseInfoLength);
        std::memcpy(static_cast<uint8_t *>(out.buffer) + p.SenseInfoOffset, sense.data(), k);
        p.SenseInfoLength = static_cast<UCHAR>(k);
    }
    std::memcpy(out.buffer, &p, size);
    *out.returned = static_cast<DWORD>(size);
    return c.Ok(TRUE);
}

// The header and every entry, or nothing when the output cannot hold them.
BOOL AnswerGetDriveLayoutEx(Call<BOOL> &c, const Disk &d, const Output &out) {
    if (!d.layout)
        return c.Fail(ERROR_INVALID_FUNCTION);
    const size_t header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    const size_t size = header + d.layout->entries.size() * sizeof(PARTITION_INFORMATION_EX);
    if (out.size < size || out.size < sizeof(DRIVE_LAYOUT_INFORMATION_EX))
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    ByteString answer(size, 0);
    DRIVE_LAYOUT_INFORMATION_EX h;
    std::memset(&h, 0, sizeof h);
    h.PartitionStyle = d.layout->style;
    h.PartitionCount = static_cast<DWORD>(d.layout->entries.size());
    if (h.PartitionStyle == PARTITION_STYLE_GPT) {
        h.Gpt.DiskId = d.layout->diskId;
        h.Gpt.MaxPartitionCount = 128;
    } else {
        h.Mbr.Signature = d.layout->signature;
    }
    std::memcpy(answer.data(), &h, header);
    if (!d.layout->entries.empty())
        std::memcpy(answer.data() + header, d.layout->entries.data(), size - header);
    c.PutAt(out.buffer, 0, answer.data(), size);
    *out.returned = static_cast<DWORD>(c.Delivered(size));
    return c.Ok(TRUE);
}

BOOL AnswerDiskRequest(Call<BOOL> &c, const Disk &d, DWORD code, const void *in, DWORD inSize, const Output &out) {
    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY: return AnswerQueryProperty(c, d, in, inSize, out);
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        STORAGE_DEVICE_NUMBER n;
        std::memset(&n, 0, sizeof n);
        n.DeviceType = FILE_DEVICE_DISK;
        n.DeviceNumber = d.deviceNumber;
        n.PartitionNumber = 0; // the whole disk
        return AnswerRecord(c, n, out);
    }
    case SMART_GET_VERSION: return AnswerSmartGetVersion(c, d, out);
    case SMART_RCV_DRIVE_DATA: return AnswerSmartRcvDriveData(c, d, in, inSize, out);
    case SMART_SEND_DRIVE_COMMAND: return AnswerSmartSendDriveCommand(c, d, in, inSize, out);
    case IOCTL_DISK_CONTROLLER_NUMBER: return AnswerRecordIfAny(c, d.controllerNumber, out);
    case IOCTL_DISK_IS_WRITABLE: return d.writeProtected ? c.Fail(ERROR_WRITE_PROTECT) : c.Ok(TRUE);
    case IOCTL_DISK_GET_DRIVE_LAYOUT_EX: return AnswerGetDriveLayoutEx(c, d, out);
    case IOCTL_SCSI_GET_ADDRESS: {
        std::optional<SCSI_ADDRESS> a = d.scsiAddress;
        if (a)
            a->Length = sizeof(SCSI_ADDRESS);
        return AnswerRecordIfAny(c, a, out);
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: return AnswerRecordIfAny(c, d.geometry, out);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY_EX: return AnswerGetDriveGeometryEx(c, d, out);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT: return AnswerScsiPassThroughDirect(c, d, in, inSize, out);
    default: return c.Fail(ERROR_INVALID_FUNCTION);
    }
}

// A volume answers one request: its disk extents.
BOOL AnswerVolumeRequest(Call<BOOL> &c, const Volume &v, DWORD code, const Output &out) {
    if (code != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)
        return c.Fail(ERROR_INVALID_FUNCTION);
    if (out.size < sizeof(VOLUME_DISK_EXTENTS))
        return c.Fail(ERROR_INSUFFICIENT_BUFFER);
    const size_t head = offsetof(VOLUME_DISK_EXTENTS, Extents);
    const size_t room = (out.size - head) / sizeof(DISK_EXTENT);
    const size_t k = std::min(room, v.extents.size());
    // A broken volume may claim a count of its own; only real extents are written.
    const DWORD count = v.claimedExtentCount ? *v.claimedExtentCount : static_cast<DWORD>(v.extents.size());
    c.PutAt(out.buffer, 0, &count, sizeof count);
    for (size_t i = 0; i < k; ++i) {
        DISK_EXTENT e;
        std::memset(&e, 0, sizeof e);
        e.DiskNumber = v.extents[i].diskNumber;
        e.StartingOffset.QuadPart = static_cast<LONGLONG>(v.extents[i].start);
        e.ExtentLength.QuadPart = static_cast<LONGLONG>(v.extents[i].length);
        c.PutAt(out.buffer, head + i * sizeof(DISK_EXTENT), &e, sizeof e);
    }
    *out.returned = static_cast<DWORD>(c.Delivered(head + k * sizeof(DISK_EXTENT)));
    // A buffer with room for fewer extents than the volume has: the count and
    // the extents that fit, and the request answers ERROR_MORE_DATA.
    if (room < count)
        return c.Fail(ERROR_MORE_DATA);
    return c.Ok(TRUE);
}

// FSCTL_LOCK_VOLUME and FSCTL_UNLOCK_VOLUME on a disk or volume handle: a
// device marked in use refuses the lock as a volume with open files does.
BOOL AnswerLockRequest(Call<BOOL> &c, Slot &slot, bool inUse, bool lock) {
    if (!lock) {
        if (!slot.locked)
            return c.Fail(ERROR_NOT_LOCKED);
        slot.locked = false;
        return c.Ok(TRUE);
    }
    if (inUse && !slot.locked)
        return c.Fail(ERROR_ACCESS_DENIED);
    slot.locked = true;
    return c.Ok(TRUE);
}

} // namespace
} // namespace TavSim

namespace TavPlatform {

using namespace TavSim;

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED) {
    DWORD ignored = 0;
    const Output out{lpOutBuffer, nOutBufferSize, lpBytesReturned ? lpBytesReturned : &ignored};
    *out.returned = 0;
    Call<BOOL> c(Op::DeviceIoControl, FALSE);
    Slot *slot = nullptr;
    if (!c.Begin([&] {
            c.req.ioctl = dwIoControlCode;
            c.req.inSize = nInBufferSize;
            c.req.outSize = nOutBufferSize;
            if (c.Logging() && lpInBuffer && nInBufferSize)
                c.req.input.assign(static_cast<const uint8_t *>(lpInBuffer),
                                   static_cast<const uint8_t *>(lpInBuffer) + nInBufferSize);
            slot = c.Address(FindDeviceSlot(*c.s, hDevice));
        }))
        return c.Failed();
    if (!slot)
        return c.Fail(ERROR_INVALID_HANDLE);
    if (!AllowsControl(slot->access, dwIoControlCode))
        return c.Fail(ERROR_ACCESS_DENIED);
    if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize))
        return c.Fail(ERROR_INVALID_USER_BUFFER);
    if (dwIoControlCode == FSCTL_LOCK_VOLUME || dwIoControlCode == FSCTL_UNLOCK_VOLUME) {
        const Volume *v = slot->kind == HandleKind::Volume ? c.VolumeAt(slot->target) : nullptr;
        const Disk *d = slot->kind == HandleKind::Disk ? c.DiskAt(slot->target) : nullptr;
        if (!v && !d)
            return c.Fail(ERROR_DEV_NOT_EXIST);
        return AnswerLockRequest(c, *slot, v ? v->inUse : d->inUse, dwIoControlCode == FSCTL_LOCK_VOLUME);
    }
    if (slot->kind == HandleKind::Volume) {
        const Volume *v = c.VolumeAt(slot->target);
        return v ? AnswerVolumeRequest(c, *v, dwIoControlCode, out) : c.Fail(ERROR_DEV_NOT_EXIST);
    }
    // The NVMe log is asked of the device itself: a handle for queries only
    // may not.
    if (dwIoControlCode == IOCTL_STORAGE_QUERY_PROPERTY && nInBufferSize >= sizeof(STORAGE_PROPERTY_QUERY) &&
        TavPlatform::ReadPropertyQuery(lpInBuffer).propertyId == StorageDeviceProtocolSpecificProperty &&
        !GrantsData(slot->access, false))
        return c.Fail(ERROR_ACCESS_DENIED);
    const Disk *d = c.DiskAt(slot->target);
    return d ? AnswerDiskRequest(c, *d, dwIoControlCode, lpInBuffer, nInBufferSize, out) : c.Fail(ERROR_DEV_NOT_EXIST);
}

} // namespace TavPlatform
