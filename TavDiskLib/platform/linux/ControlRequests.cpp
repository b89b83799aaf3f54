// SPDX-License-Identifier: MIT
// The control requests (DeviceIoControl) a device handle of the Linux
// backend answers, as the storage stack answers them: the storage
// descriptors, device number, SMART version, IDENTIFY and health, controller number,
// SCSI address and pass-through, drive geometry and a volume's disk extents.
// Each request has one handler, found in a table that also says whether it
// needs the device opened and the disk described first.
#include "Device.h"
#include "Errors.h"
#include "FileSystems.h"
#include "Handles.h"
#include "Looks.h"
#include "Text.h"
#include "Tree.h"
#include "Volumes.h"
#include "../DeviceIds.h"
#include "../platform.h"
#include "../../protocol/Guid.h"

#include <algorithm>
#include <cstddef>
#include <cstdlib>
#include <cstring>

namespace TavLinux {
namespace {

// The buffers of one DeviceIoControl request.
struct IoRequest {
    LPVOID in;
    DWORD inSize;
    LPVOID out;
    DWORD outSize;
    LPDWORD returned;
};

// Answers a request with a record, cut to the output buffer.
BOOL Answer(const void *record, size_t size, const IoRequest &r) {
    size_t n = std::min<size_t>(size, r.outSize);
    std::memcpy(r.out, record, n);
    if (r.returned)
        *r.returned = static_cast<DWORD>(n);
    return TRUE;
}

std::vector<uint8_t> AdapterDescriptor(const DiskInfo &d) {
    STORAGE_ADAPTER_DESCRIPTOR a{};
    a.Version = sizeof a;
    a.Size = sizeof a;
    a.MaximumTransferLength = d.maxTransfer;
    a.MaximumPhysicalPages = d.maxSegments;
    a.AlignmentMask = d.alignmentMask;
    a.CommandQueueing = d.queueing;
    a.AcceleratedTransfer = TRUE;
    a.BusType = static_cast<BYTE>(d.bus);
    const auto *p = reinterpret_cast<const uint8_t *>(&a);
    return std::vector<uint8_t>(p, p + sizeof a);
}

// The device descriptor as the storage stack lays it out: the fixed part,
// the raw INQUIRY data when the disk has it, then the zero-terminated
// strings the offsets point at (an absent string has offset 0).
std::vector<uint8_t> DeviceDescriptor(FileObject &f) {
    const DiskInfo &d = *f.disk;
    std::string raw;
    if (d.speaksScsi) {
        if (f.replay)
            raw = f.RecordedAnswer("inquiry").value_or("");
        if (raw.empty())
            raw = ReadBytes(f.root.At(d.sys + "/device/inquiry"), 255).value_or("");
        raw.resize(std::min<size_t>(raw.size(), 255));
    }
    const size_t fixed = offsetof(STORAGE_DEVICE_DESCRIPTOR, RawDeviceProperties);
    std::vector<uint8_t> out(std::max(sizeof(STORAGE_DEVICE_DESCRIPTOR), fixed + raw.size()), 0);
    std::memcpy(out.data() + fixed, raw.data(), raw.size());
    auto place = [&out](const std::optional<std::string> &s) -> DWORD {
        if (!s)
            return 0;
        std::string text = s->substr(0, s->find('\0'));
        auto at = static_cast<DWORD>(out.size());
        out.insert(out.end(), text.begin(), text.end());
        out.push_back(0);
        return at;
    };
    STORAGE_DEVICE_DESCRIPTOR h{};
    h.VendorIdOffset = place(d.vendor);
    h.ProductIdOffset = place(d.product);
    h.ProductRevisionOffset = place(d.revision);
    h.SerialNumberOffset = place(DescriptorSerial(f));
    h.Version = sizeof(STORAGE_DEVICE_DESCRIPTOR);
    h.Size = static_cast<DWORD>(out.size());
    // The SCSI peripheral device type; a disk without SCSI is a disk (0).
    h.DeviceType = d.speaksScsi ? static_cast<BYTE>(ReadNumber(f.root, d.sys + "/device/type").value_or(0) & 0x1F) : 0;
    h.RemovableMedia = d.removable;
    h.CommandQueueing = d.queueing;
    h.BusType = d.bus;
    h.RawPropertiesLength = static_cast<DWORD>(raw.size());
    std::memcpy(out.data(), &h, fixed);
    return out;
}

// A physical fact of the handle's disk, read now from sysfs: its record in
// `record`, or the error when an attribute is not there
// (ERROR_NOT_SUPPORTED) or could not be read.
DWORD PhysicalFact(FileObject &f, uint32_t property, std::vector<uint8_t> &record) {
    FailedReads reads;
    const std::string &sys = f.disk->sys;
    // An attribute that is not there reads as Absent (no attribute holds
    // that value), so that no branch looks at an empty optional's value.
    constexpr uint64_t Absent = UINT64_MAX;
    const auto number = [&](const char *attribute) {
        return ReadNumber(f.root, sys + "/" + attribute).value_or(Absent);
    };
    const auto missing = [&reads] { return reads.First() ? ErrorFromErrno(reads.First()) : ERROR_NOT_SUPPORTED; };
    const auto put = [&record](const auto &r) {
        record.assign(reinterpret_cast<const uint8_t *>(&r), reinterpret_cast<const uint8_t *>(&r) + sizeof r);
        return ERROR_SUCCESS;
    };
    if (property == StorageAccessAlignmentProperty) {
        const uint64_t logical = number("queue/logical_block_size"), physical = number("queue/physical_block_size");
        const uint64_t offset = number("alignment_offset");
        if (logical > UINT32_MAX || physical > UINT32_MAX || offset > UINT32_MAX)
            return missing();
        STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR a{};
        a.Version = a.Size = sizeof a;
        a.BytesPerLogicalSector = static_cast<DWORD>(logical);
        a.BytesPerPhysicalSector = a.BytesPerCacheLine = static_cast<DWORD>(physical);
        a.BytesOffsetForSectorAlignment = a.BytesOffsetForCacheAlignment = static_cast<DWORD>(offset);
        return put(a);
    }
    if (property == StorageDeviceSeekPenaltyProperty) {
        const uint64_t rotational = number("queue/rotational");
        if (rotational == Absent)
            return missing();
        DEVICE_SEEK_PENALTY_DESCRIPTOR p{};
        p.Version = p.Size = sizeof p;
        p.IncursSeekPenalty = rotational != 0;
        return put(p);
    }
    const uint64_t discard = number("queue/discard_max_bytes");
    if (discard == Absent)
        return missing();
    DEVICE_TRIM_DESCRIPTOR t{};
    t.Version = t.Size = sizeof t;
    t.TrimEnabled = discard != 0;
    return put(t);
}

// The bytes written as hex digits in an attribute (an NVMe namespace's
// `nguid` as a UUID, its `eui` with spaces between the bytes): exactly
// `count` bytes, separators ignored; nullopt for anything else.
std::optional<std::vector<uint8_t>> HexAttribute(const std::optional<std::string> &text, size_t count) {
    if (!text)
        return std::nullopt;
    std::vector<uint8_t> bytes;
    int high = -1;
    for (char c : *text) {
        int digit = c >= '0' && c <= '9'   ? c - '0'
                    : c >= 'a' && c <= 'f' ? c - 'a' + 10
                    : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                           : -1;
        if (digit < 0) {
            if (c != '-' && c != ' ' && c != ':')
                return std::nullopt;
            continue;
        }
        if (high < 0) {
            high = digit;
        } else {
            bytes.push_back(static_cast<uint8_t>(high << 4 | digit));
            high = -1;
        }
    }
    if (high >= 0 || bytes.size() != count)
        return std::nullopt;
    return bytes;
}

// The disk's identifiers (platform.h): the designators of its Device
// Identification page, or an NVMe namespace's NGUID, EUI-64 and wwid. The
// answer in `record`, or the error: ERROR_NOT_SUPPORTED when the disk has
// none, the read's when an attribute could not be read.
DWORD DeviceIdentifiers(FileObject &f, std::vector<uint8_t> &record) {
    FailedReads reads;
    const DiskInfo &d = *f.disk;
    std::vector<TavPlatform::DeviceIdentifier> ids;
    if (d.speaksScsi) {
        if (auto page = ReadBytes(f.root.At(d.sys + "/device/vpd_pg83"), TavPlatform::VpdPageMostBytes))
            ids = TavPlatform::IdentifiersOfVpdPage(reinterpret_cast<const uint8_t *>(page->data()), page->size());
    } else if (d.transport == Transport::Nvme) {
        std::vector<std::string> names; // each as the kernel writes a wwid
        const auto add = [&](const std::optional<std::vector<uint8_t>> &value) {
            if (!value || std::all_of(value->begin(), value->end(), [](uint8_t b) { return b == 0; }))
                return;
            TavPlatform::DeviceIdentifier id;
            id.codeSet = StorageIdCodeSetBinary;
            id.type = StorageIdTypeEUI64;
            id.value = *value;
            ids.push_back(id);
            static const char digits[] = "0123456789abcdef";
            std::string name = "eui.";
            for (uint8_t b : *value)
                name += {digits[b >> 4], digits[b & 0x0F]};
            names.push_back(name);
        };
        add(HexAttribute(ReadAttr(f.root, d.sys + "/nguid"), 16));
        add(HexAttribute(ReadAttr(f.root, d.sys + "/eui"), 8));
        const std::optional<std::string> wwid = ReadAttr(f.root, d.sys + "/wwid");
        if (wwid && !wwid->empty() && wwid->size() <= 0xFF &&
            std::find(names.begin(), names.end(), *wwid) == names.end()) {
            TavPlatform::DeviceIdentifier id;
            id.codeSet = StorageIdCodeSetUtf8;
            id.type = StorageIdTypeScsiNameString;
            id.value.assign(wwid->begin(), wwid->end());
            ids.push_back(id);
        }
    }
    if (ids.empty())
        return reads.First() ? ErrorFromErrno(reads.First()) : ERROR_NOT_SUPPORTED;
    record = TavPlatform::MakeDeviceIdDescriptor(ids);
    return ERROR_SUCCESS;
}

BOOL AnswerNvmeHealthLog(FileObject &f, const IoRequest &r);

BOOL AnswerQueryProperty(FileObject &f, const IoRequest &r) {
    if (r.inSize < sizeof(STORAGE_PROPERTY_QUERY))
        return Fail(ERROR_INVALID_PARAMETER);
    const TavPlatform::PropertyQueryFields q = TavPlatform::ReadPropertyQuery(r.in);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    if (q.propertyId == StorageDeviceProtocolSpecificProperty && q.queryType == PropertyStandardQuery)
        return AnswerNvmeHealthLog(f, r);
    std::vector<uint8_t> record;
    switch (q.propertyId) {
    case StorageDeviceProperty:
    case StorageAdapterProperty: break;
    case StorageAccessAlignmentProperty:
    case StorageDeviceSeekPenaltyProperty:
    case StorageDeviceTrimProperty:
        if (DWORD error = PhysicalFact(f, q.propertyId, record))
            return Fail(error);
        break;
    case StorageDeviceIdProperty:
        if (DWORD error = DeviceIdentifiers(f, record))
            return Fail(error);
        break;
    default: return Fail(ERROR_NOT_SUPPORTED);
    }
    if (q.queryType == PropertyExistsQuery)
        return TRUE;
    if (q.queryType != PropertyStandardQuery)
        return Fail(ERROR_INVALID_PARAMETER);
    if (r.outSize < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (q.propertyId == StorageAdapterProperty)
        record = AdapterDescriptor(*f.disk);
    else if (q.propertyId == StorageDeviceProperty)
        record = DeviceDescriptor(f);
    return Answer(record.data(), record.size(), r);
}

BOOL AnswerIsWritable(FileObject &f, const IoRequest &) {
    // The handle's own device: a partition may be read-only on a disk that
    // is not.
    FailedReads reads;
    const uint64_t ro = ReadNumber(f.root, f.block.sys + "/ro").value_or(UINT64_MAX);
    if (ro == UINT64_MAX)
        return Fail(reads.First() ? ErrorFromErrno(reads.First()) : ERROR_NOT_SUPPORTED);
    return ro ? Fail(ERROR_WRITE_PROTECT) : TRUE;
}

BOOL AnswerGetDeviceNumber(FileObject &f, const IoRequest &r) {
    if (r.outSize < sizeof(STORAGE_DEVICE_NUMBER))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    // During a volume scan on this thread, the number in the scan's look:
    // the volumes' extents carry the numbers of that look.
    std::optional<DWORD> inSearch;
    if (!f.block.partition && DiskNumberInOpenSearch(f.root, f.block, inSearch)) {
        if (!inSearch)
            return Fail(ERROR_INVALID_FUNCTION);
        STORAGE_DEVICE_NUMBER n{};
        n.DeviceType = FILE_DEVICE_DISK;
        n.DeviceNumber = *inSearch;
        return Answer(&n, sizeof n, r);
    }
    // The list as it is now: a disk that came or went since the handle was
    // opened moves the numbers.
    LookInUse look(f.root);
    BlockView &view = look->view;
    if (look->kept)
        view.Disks(); // the whole list once, for every later request on this look
    size_t self = view.Adopt(f.block);
    size_t whole = self;
    DWORD partition = 0;
    if (f.block.partition) {
        auto parent = view.Find(BaseName(DirName(f.block.sys)));
        if (!parent)
            return Fail(look.Failure() ? look.Failure() : ERROR_INVALID_FUNCTION);
        whole = *parent;
        partition = view.PartitionNumber(self);
    }
    auto number = view.DiskNumber(whole);
    if (DWORD failure = look.Failure())
        return Fail(failure);
    if (!number)
        return Fail(ERROR_INVALID_FUNCTION);
    STORAGE_DEVICE_NUMBER n{};
    n.DeviceType = FILE_DEVICE_DISK;
    n.DeviceNumber = *number;
    n.PartitionNumber = partition;
    return Answer(&n, sizeof n, r);
}

// A request the disk cannot answer fails as such before its buffers are
// read (platform.h).
BOOL AnswerSmartGetVersion(FileObject &f, const IoRequest &r) {
    if (!TakesAta(f))
        return Fail(ERROR_INVALID_FUNCTION);
    if (r.outSize < sizeof(GETVERSIONINPARAMS))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    GETVERSIONINPARAMS v{};
    v.bVersion = 1;
    v.bRevision = 1;
    int target = f.disk->hctl ? f.disk->hctl->target : 0;
    v.bIDEDeviceMap = static_cast<BYTE>(target == 1 ? 0x02 : 0x01);
    v.fCapabilities = 0x00000001 | 0x00000004; // IDENTIFY, SMART commands
    return Answer(&v, sizeof v, r);
}

// The registers of a SMART request's input, when it holds them.
bool RegistersOf(const IoRequest &r, IDEREGS &registers) {
    if (r.inSize < offsetof(SENDCMDINPARAMS, bBuffer))
        return false;
    std::memcpy(&registers, static_cast<const uint8_t *>(r.in) + offsetof(SENDCMDINPARAMS, irDriveRegs),
                sizeof registers);
    return true;
}

// Whether the registers ask SMART feature `feature`, signature included.
bool AsksSmart(const IDEREGS &r, uint8_t feature) {
    return r.bCommandReg == SMART_CMD && r.bFeaturesReg == feature && r.bCylLowReg == SMART_CYL_LOW &&
           r.bCylHighReg == SMART_CYL_HI;
}

// IDENTIFY, SMART READ DATA and READ THRESHOLDS; every other command is
// refused before anything reaches the drive.
BOOL AnswerSmartRcvDriveData(FileObject &f, const IoRequest &r) {
    if (!TakesAta(f))
        return Fail(ERROR_INVALID_FUNCTION);
    IDEREGS registers;
    if (!RegistersOf(r, registers))
        return Fail(ERROR_INVALID_PARAMETER);
    const bool identify = registers.bCommandReg == ID_CMD;
    if (!identify && !AsksSmart(registers, READ_ATTRIBUTES) && !AsksSmart(registers, READ_THRESHOLDS))
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t answerSize = offsetof(SENDCMDOUTPARAMS, bBuffer) + IDENTIFY_BUFFER_SIZE;
    if (r.outSize < answerSize)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> block;
    if (DWORD error = identify ? Identify(f, block) : SmartBlock(f, registers.bFeaturesReg, block))
        return Fail(error);
    std::vector<uint8_t> answer(answerSize, 0);
    DWORD length = IDENTIFY_BUFFER_SIZE;
    std::memcpy(answer.data(), &length, sizeof length);
    std::memcpy(answer.data() + offsetof(SENDCMDOUTPARAMS, bBuffer), block.data(), IDENTIFY_BUFFER_SIZE);
    return Answer(answer.data(), answer.size(), r);
}

// RETURN STATUS only: the header and the registers the drive left.
BOOL AnswerSmartSendDriveCommand(FileObject &f, const IoRequest &r) {
    if (!TakesAta(f))
        return Fail(ERROR_INVALID_FUNCTION);
    IDEREGS registers;
    if (!RegistersOf(r, registers))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!AsksSmart(registers, RETURN_SMART_STATUS))
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t header = offsetof(SENDCMDOUTPARAMS, bBuffer);
    if (r.outSize < header + sizeof registers)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (DWORD error = SmartStatus(f, registers.bCylLowReg, registers.bCylHighReg))
        return Fail(error);
    std::vector<uint8_t> answer(header + sizeof registers, 0);
    DWORD length = sizeof registers;
    std::memcpy(answer.data(), &length, sizeof length);
    std::memcpy(answer.data() + header, &registers, sizeof registers);
    return Answer(answer.data(), answer.size(), r);
}

// The NVMe SMART / Health log through the protocol-specific property.
BOOL AnswerNvmeHealthLog(FileObject &f, const IoRequest &r) {
    if (!TavPlatform::GrantsData(f.desiredAccess, false))
        return Fail(ERROR_ACCESS_DENIED); // the log is asked of the device itself
    const size_t at = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
    if (r.inSize < at + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA))
        return Fail(ERROR_INVALID_PARAMETER);
    if (f.disk->transport != Transport::Nvme)
        return Fail(ERROR_NOT_SUPPORTED);
    STORAGE_PROTOCOL_SPECIFIC_DATA q;
    std::memcpy(&q, static_cast<const uint8_t *>(r.in) + at, sizeof q);
    if (q.ProtocolType != ProtocolTypeNvme || q.DataType != NVMeDataTypeLogPage || q.ProtocolDataRequestValue != 2 ||
        q.ProtocolDataOffset < sizeof q || q.ProtocolDataLength != 512)
        return Fail(ERROR_INVALID_PARAMETER);
    const size_t data = offsetof(STORAGE_PROTOCOL_DATA_DESCRIPTOR, ProtocolSpecificData) + q.ProtocolDataOffset;
    if (r.outSize < data + q.ProtocolDataLength)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> log;
    if (DWORD error = NvmeHealthLog(f, log))
        return Fail(error);
    std::vector<uint8_t> answer(data + q.ProtocolDataLength, 0);
    STORAGE_PROTOCOL_DATA_DESCRIPTOR head{};
    head.Version = head.Size = sizeof head;
    head.ProtocolSpecificData = q;
    std::memcpy(answer.data(), &head, sizeof head);
    std::memcpy(answer.data() + data, log.data(), std::min<size_t>(log.size(), q.ProtocolDataLength));
    return Answer(answer.data(), answer.size(), r);
}

BOOL AnswerGetControllerNumber(FileObject &f, const IoRequest &r) {
    if (!f.disk || !f.disk->hctl)
        return Fail(ERROR_INVALID_FUNCTION);
    if (r.outSize < sizeof(DISK_CONTROLLER_NUMBER))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    DISK_CONTROLLER_NUMBER c{};
    c.ControllerNumber = static_cast<DWORD>(f.disk->hctl->host);
    c.DiskNumber = static_cast<DWORD>(f.disk->hctl->target);
    return Answer(&c, sizeof c, r);
}

BOOL AnswerGetScsiAddress(FileObject &f, const IoRequest &r) {
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    SCSI_ADDRESS a{};
    a.Length = sizeof a;
    if (f.disk->hctl) {
        a.PortNumber = static_cast<UCHAR>(f.disk->hctl->host);
        a.PathId = static_cast<UCHAR>(f.disk->hctl->channel);
        a.TargetId = static_cast<UCHAR>(f.disk->hctl->target);
        a.Lun = static_cast<UCHAR>(f.disk->hctl->lun);
    } else if (f.disk->transport == Transport::Nvme && f.disk->nvmeController >= 0) {
        a.PortNumber = static_cast<UCHAR>(f.disk->nvmeController);
        a.Lun = static_cast<UCHAR>(f.disk->nsid > 0 ? f.disk->nsid - 1 : 0);
    } else {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    if (r.outSize < sizeof(SCSI_ADDRESS))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    return Answer(&a, sizeof a, r);
}

BOOL AnswerScsiPassThroughDirect(FileObject &f, const IoRequest &r) {
    if (r.inSize < sizeof(SCSI_PASS_THROUGH_DIRECT) || r.outSize < sizeof(SCSI_PASS_THROUGH_DIRECT))
        return Fail(ERROR_INVALID_PARAMETER);
    SCSI_PASS_THROUGH_DIRECT s;
    std::memcpy(&s, r.in, sizeof s);
    if (s.Length != sizeof s || s.CdbLength == 0 || s.CdbLength > sizeof s.Cdb ||
        s.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((s.DataTransferLength && !s.DataBuffer) || s.DataTransferLength > (16u << 20))
        return Fail(ERROR_INVALID_PARAMETER);
    if (s.SenseInfoLength &&
        (s.SenseInfoOffset < sizeof s || uint64_t{s.SenseInfoOffset} + s.SenseInfoLength > r.outSize))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    ScsiResult result = ScsiCommand(f, s.Cdb, s.CdbLength, static_cast<uint8_t *>(s.DataBuffer), s.DataTransferLength,
                                    s.DataIn, s.TimeOutValue);
    s.ScsiStatus = result.status;
    s.DataTransferLength = std::min(result.transferred, s.DataTransferLength);
    size_t sense = std::min<size_t>(result.sense.size(), s.SenseInfoLength);
    if (sense)
        std::memcpy(static_cast<uint8_t *>(r.out) + s.SenseInfoOffset, result.sense.data(), sense);
    s.SenseInfoLength = static_cast<UCHAR>(sense);
    std::memcpy(r.out, &s, sizeof s);
    if (r.returned)
        *r.returned = sizeof s;
    return result.error ? Fail(result.error) : TRUE;
}

// The disk's geometry and its size in bytes.
DISK_GEOMETRY_EX GeometryOf(FileObject &f) {
    uint64_t size;
    uint32_t sector;
    if (f.isDisk) {
        size = f.SizeBytes();
        sector = f.SectorSize();
    } else {
        size = f.disk->sectors512 * 512;
        sector = f.disk->logicalBlock;
    }
    uint32_t heads = 255, sectors = 63;
    if (f.isDisk)
        if (auto g = DriverGeometry(f, size, sector))
            heads = g->first, sectors = g->second;
    DISK_GEOMETRY_EX g{};
    g.Geometry.Cylinders.QuadPart =
        sector ? static_cast<LONGLONG>(size / (uint64_t{heads} * sectors * sector)) : LONGLONG{0};
    g.Geometry.MediaType = f.disk->removable ? RemovableMedia : FixedMedia;
    g.Geometry.TracksPerCylinder = heads;
    g.Geometry.SectorsPerTrack = sectors;
    g.Geometry.BytesPerSector = sector;
    g.DiskSize.QuadPart = static_cast<LONGLONG>(size);
    return g;
}

BOOL AnswerGetDriveGeometry(FileObject &f, const IoRequest &r) {
    if (r.outSize < sizeof(DISK_GEOMETRY))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    const DISK_GEOMETRY_EX g = GeometryOf(f);
    return Answer(&g.Geometry, sizeof g.Geometry, r);
}

// The geometry with the size; no partition or detection information follows.
BOOL AnswerGetDriveGeometryEx(FileObject &f, const IoRequest &r) {
    if (r.outSize < offsetof(DISK_GEOMETRY_EX, Data))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    const DISK_GEOMETRY_EX g = GeometryOf(f);
    return Answer(&g, offsetof(DISK_GEOMETRY_EX, Data), r);
}

BOOL AnswerGetVolumeDiskExtents(FileObject &f, const IoRequest &r) {
    if (!f.isVolume)
        return Fail(ERROR_INVALID_FUNCTION);
    if (r.outSize < sizeof(VOLUME_DISK_EXTENTS))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    // A volume opened by its name answers from the look it was found in;
    // one opened by its node reads its extents now.
    std::vector<Extent> ownExtents;
    if (!f.volume) {
        LookInUse look(f.root);
        ownExtents = VolumeExtents(look->view, f.block);
        if (DWORD failure = look.Failure())
            return Fail(failure);
    }
    const std::vector<Extent> &extents = f.volume ? f.volume->extents : ownExtents;
    const size_t header = offsetof(VOLUME_DISK_EXTENTS, Extents);
    size_t room = (r.outSize - header) / sizeof(DISK_EXTENT);
    size_t n = std::min(room, extents.size());
    auto *bytes = static_cast<uint8_t *>(r.out);
    auto count = static_cast<DWORD>(extents.size());
    std::memcpy(bytes, &count, sizeof count);
    for (size_t i = 0; i < n; ++i) {
        DISK_EXTENT e{};
        e.DiskNumber = extents[i].disk;
        e.StartingOffset.QuadPart = static_cast<LONGLONG>(extents[i].start);
        e.ExtentLength.QuadPart = static_cast<LONGLONG>(extents[i].length);
        std::memcpy(bytes + header + i * sizeof e, &e, sizeof e);
    }
    if (r.returned)
        *r.returned = static_cast<DWORD>(header + n * sizeof(DISK_EXTENT));
    return n < extents.size() ? Fail(ERROR_MORE_DATA) : TRUE;
}

// The partitions the kernel lists for the disk, with what the table itself
// tells of each (see the contract in platform.h).
BOOL AnswerGetDriveLayoutEx(FileObject &f, const IoRequest &r) {
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    const std::string &sys = f.disk->sys;
    std::vector<PARTITION_INFORMATION_EX> entries;
    FailedReads reads;
    for (const std::string &name : ListDirectory(f.root, sys)) {
        const std::string dir = sys + "/" + name;
        auto number = ReadNumber(f.root, dir + "/partition");
        auto start = ReadNumber(f.root, dir + "/start"), size = ReadNumber(f.root, dir + "/size");
        if (!number || !start || !size || *number == 0 || *number > UINT32_MAX)
            continue;
        PARTITION_INFORMATION_EX e;
        std::memset(&e, 0, sizeof e);
        e.PartitionNumber = static_cast<DWORD>(*number);
        e.StartingOffset.QuadPart = static_cast<LONGLONG>(SectorCount(start) * 512);
        e.PartitionLength.QuadPart = static_cast<LONGLONG>(SectorCount(size) * 512);
        entries.push_back(e);
    }
    if (reads.First())
        return Fail(ErrorFromErrno(reads.First()));
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return a.PartitionNumber < b.PartitionNumber; });

    const std::optional<PartitionTable> table = ReadPartitionTable(f.root, f.disk->name);
    const bool gpt = table && table->kind == "gpt", mbr = table && table->kind == "dos";
    DRIVE_LAYOUT_INFORMATION_EX h;
    std::memset(&h, 0, sizeof h);
    h.PartitionStyle = gpt               ? DWORD{PARTITION_STYLE_GPT}
                       : mbr             ? DWORD{PARTITION_STYLE_MBR}
                       : entries.empty() ? DWORD{PARTITION_STYLE_RAW}
                                         : TavPlatform::PartitionStyleUnknown;
    h.PartitionCount = static_cast<DWORD>(entries.size());
    if (gpt) {
        TavProtocol::ParseGuid(table->id, &h.Gpt.DiskId);
        h.Gpt.MaxPartitionCount = 128;
    } else if (mbr) {
        h.Mbr.Signature = static_cast<DWORD>(std::strtoul(table->id.c_str(), nullptr, 16));
    }
    for (PARTITION_INFORMATION_EX &e : entries) {
        e.PartitionStyle = static_cast<PARTITION_STYLE>(h.PartitionStyle);
        if (!table)
            continue;
        auto found = table->entries.find(static_cast<int>(e.PartitionNumber));
        if (found == table->entries.end())
            continue;
        const TableEntry &t = found->second;
        if (gpt) {
            TavProtocol::ParseGuid(t.typeGuid, &e.Gpt.PartitionType);
            TavProtocol::ParseGuid(t.uuid, &e.Gpt.PartitionId);
            e.Gpt.Attributes = t.flags;
            const std::wstring name = Widen(t.name);
            for (size_t i = 0; i < name.size() && i < 36; ++i)
                e.Gpt.Name[i] = name[i];
        } else if (mbr) {
            e.Mbr.PartitionType = static_cast<BYTE>(t.type);
            e.Mbr.BootIndicator = (t.flags & 0x80) != 0;
            e.Mbr.RecognizedPartition = TRUE;
            e.Mbr.HiddenSectors = static_cast<DWORD>(std::min<uint64_t>(e.StartingOffset.QuadPart / 512, UINT32_MAX));
            if (t.extended && t.sectors)
                e.PartitionLength.QuadPart = static_cast<LONGLONG>(SectorCount(t.sectors) * 512);
        }
    }
    const size_t header = offsetof(DRIVE_LAYOUT_INFORMATION_EX, PartitionEntry);
    const size_t needed = header + entries.size() * sizeof(PARTITION_INFORMATION_EX);
    if (r.outSize < needed || r.outSize < sizeof(DRIVE_LAYOUT_INFORMATION_EX))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    auto *bytes = static_cast<uint8_t *>(r.out);
    std::memcpy(bytes, &h, header);
    if (!entries.empty())
        std::memcpy(bytes + header, entries.data(), needed - header);
    if (r.returned)
        *r.returned = static_cast<DWORD>(needed);
    return TRUE;
}

BOOL AnswerLock(FileObject &f, const IoRequest &) {
    DWORD error = LockDevice(f);
    return error ? Fail(error) : TRUE;
}

BOOL AnswerUnlock(FileObject &f, const IoRequest &) {
    DWORD error = UnlockDevice(f);
    return error ? Fail(error) : TRUE;
}

// How each control request is answered. Requests that sysfs answers (a
// volume's extents, a device number) need neither the device opened nor the
// disk described.
struct RequestHandler {
    DWORD code;
    bool needsDevice;
    BOOL (*answer)(FileObject &, const IoRequest &);
};

constexpr RequestHandler RequestHandlers[] = {
    {IOCTL_STORAGE_QUERY_PROPERTY, true, AnswerQueryProperty},
    {IOCTL_STORAGE_GET_DEVICE_NUMBER, false, AnswerGetDeviceNumber},
    {SMART_GET_VERSION, true, AnswerSmartGetVersion},
    {SMART_RCV_DRIVE_DATA, true, AnswerSmartRcvDriveData},
    {SMART_SEND_DRIVE_COMMAND, true, AnswerSmartSendDriveCommand},
    {IOCTL_DISK_CONTROLLER_NUMBER, true, AnswerGetControllerNumber},
    {IOCTL_DISK_IS_WRITABLE, false, AnswerIsWritable},
    {IOCTL_DISK_GET_DRIVE_LAYOUT_EX, true, AnswerGetDriveLayoutEx},
    {IOCTL_SCSI_GET_ADDRESS, true, AnswerGetScsiAddress},
    {IOCTL_SCSI_PASS_THROUGH_DIRECT, true, AnswerScsiPassThroughDirect},
    {IOCTL_DISK_GET_DRIVE_GEOMETRY, true, AnswerGetDriveGeometry},
    {IOCTL_DISK_GET_DRIVE_GEOMETRY_EX, true, AnswerGetDriveGeometryEx},
    {IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, false, AnswerGetVolumeDiskExtents},
    {FSCTL_LOCK_VOLUME, false, AnswerLock},
    {FSCTL_UNLOCK_VOLUME, false, AnswerUnlock},
};

const RequestHandler *HandlerOf(DWORD code) {
    for (const auto &h : RequestHandlers)
        if (h.code == code)
            return &h;
    return nullptr;
}

} // namespace
} // namespace TavLinux

namespace TavPlatform {

using namespace TavLinux;

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED) {
    auto f = Find<FileObject>(hDevice);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpBytesReturned)
        *lpBytesReturned = 0;
    // The access the code asks of the handle, checked first, as the storage
    // stack checks it.
    if (!AllowsControl(f->desiredAccess, dwIoControlCode))
        return Fail(ERROR_ACCESS_DENIED);
    if ((nInBufferSize && !lpInBuffer) || (nOutBufferSize && !lpOutBuffer))
        return Fail(ERROR_INVALID_USER_BUFFER);
    const RequestHandler *handler = HandlerOf(dwIoControlCode);
    // An unknown request, too, opens the device first: its open fails as
    // any other request's would.
    if (!handler || handler->needsDevice) {
        if (DWORD error = f->OpenDevice())
            return Fail(error);
        f->LoadDisk();
    }
    if (!handler)
        return Fail(ERROR_INVALID_FUNCTION);
    return handler->answer(*f, {lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesReturned});
}

} // namespace TavPlatform
