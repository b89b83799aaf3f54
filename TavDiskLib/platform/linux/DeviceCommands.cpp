// SPDX-License-Identifier: MIT
// SCSI commands and ATA IDENTIFY on an open disk: SG_IO for SCSI devices of
// the live system; for disks that speak no SCSI (NVMe, virtio-blk, loop,
// MMC, zram, dm, md) and for recorded devices, the backend answers INQUIRY,
// READ CAPACITY and TEST UNIT READY itself, as a storage miniport does.
#include "Device.h"
#include "Errors.h"
#include "Files.h"
#include "Looks.h"
#include "../../protocol/Health.h"
#include "../../protocol/Scsi.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <linux/nvme_ioctl.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TavLinux {

using namespace TavProtocol;

namespace {

// The platform error for a CHECK CONDITION, from its sense key.
DWORD ErrorOfSense(const std::vector<uint8_t> &sense) {
    switch (SenseKeyOf(sense.data(), sense.size())) {
    case SenseKeyNotReady: return ERROR_NOT_READY;
    case SenseKeyMediumError: return ERROR_CRC;
    case SenseKeyIllegalRequest: return ERROR_INVALID_FUNCTION;
    case SenseKeyDataProtect: return ERROR_WRITE_PROTECT;
    default: return ERROR_IO_DEVICE;
    }
}

ScsiResult CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    ScsiResult r;
    r.status = StatusCheckCondition;
    const FixedSenseData sense = EncodeFixedSense(key, asc, ascq);
    r.sense.assign(sense.begin(), sense.end());
    r.error = ErrorOfSense(r.sense);
    return r;
}

ScsiResult Deliver(const uint8_t *answer, size_t size, uint32_t allocation, uint8_t *data, uint32_t length) {
    ScsiResult r;
    size_t n = std::min<size_t>({size, allocation, length});
    if (n && data)
        std::memcpy(data, answer, n);
    r.transferred = static_cast<uint32_t>(n);
    return r;
}
ScsiResult Deliver(const std::vector<uint8_t> &answer, uint32_t allocation, uint8_t *data, uint32_t length) {
    return Deliver(answer.data(), answer.size(), allocation, data, length);
}

// A string of the disk's description as INQUIRY data carries it: printable
// ASCII, anything else a space.
std::string InquiryText(const std::optional<std::string> &text) {
    std::string s = text.value_or("");
    for (char &c : s)
        if (c < 0x20 || c > 0x7E)
            c = ' ';
    return s;
}

// Standard INQUIRY data as a miniport builds it for a disk without SCSI.
std::vector<uint8_t> BuiltInquiry(const DiskInfo &d) {
    InquiryFields fields;
    fields.removable = d.removable;
    fields.commandQueueing = d.queueing;
    fields.vendor = InquiryText(d.vendor);
    fields.product = InquiryText(d.product);
    fields.revision = InquiryText(d.revision);
    std::vector<uint8_t> inquiry(InquiryStandardLength);
    EncodeInquiry(fields, inquiry.data(), inquiry.size());
    return inquiry;
}

std::optional<std::vector<uint8_t>> AsBytes(const std::optional<std::string> &s) {
    if (!s)
        return std::nullopt;
    return std::vector<uint8_t>(s->begin(), s->end());
}

std::vector<uint8_t> StandardInquiry(FileObject &f) {
    const DiskInfo &d = *f.disk;
    if (f.replay && d.speaksScsi) {
        if (auto rec = AsBytes(f.Recorded("inquiry")); rec && rec->size() >= 5)
            return *rec;
        if (auto sys = AsBytes(ReadBytes(f.root.At(d.sys + "/device/inquiry"), 4096)); sys && sys->size() >= 5)
            return *sys;
    }
    return BuiltInquiry(d);
}

std::optional<std::vector<uint8_t>> VpdPage(FileObject &f, uint8_t page) {
    const DiskInfo &d = *f.disk;
    if (f.replay && d.speaksScsi) {
        char name[16];
        std::snprintf(name, sizeof name, "vpd_pg%02x", page);
        if (auto rec = AsBytes(f.Recorded(name)); rec && rec->size() >= 4)
            return rec;
        if (auto sys = AsBytes(ReadBytes(f.root.At(d.sys + "/device/" + name), 4096)); sys && sys->size() >= 4)
            return sys;
        return std::nullopt;
    }
    std::optional<std::string> serial = d.serial;
    if (page == VpdSupportedPages) {
        std::vector<uint8_t> p = {0, VpdSupportedPages, 0, 1, VpdSupportedPages};
        if (serial) {
            p.push_back(VpdUnitSerialNumber);
            p[3] = 2;
        }
        return p;
    }
    if (page == VpdUnitSerialNumber && serial) {
        size_t n = std::min<size_t>(serial->size(), 251);
        std::vector<uint8_t> p = {0, VpdUnitSerialNumber, 0, static_cast<uint8_t>(n)};
        p.insert(p.end(), serial->begin(), serial->begin() + static_cast<long>(n));
        return p;
    }
    return std::nullopt;
}

ScsiResult Translate(FileObject &f, const uint8_t *cdb, size_t cdbLength, uint8_t *data, uint32_t length,
                     int direction) {
    if (direction != SCSI_IOCTL_DATA_IN)
        length = 0; // every command answered here moves data in, or nothing
    switch (cdb[0]) {
    case OpTestUnitReady:
        if (cdbLength < 6)
            return CheckCondition(SenseKeyIllegalRequest, AscInvalidCommandOperationCode);
        if (f.SizeBytes() == 0)
            return CheckCondition(SenseKeyNotReady, AscMediumNotPresent);
        return {};
    case OpInquiry: {
        if (cdbLength < 6)
            return CheckCondition(SenseKeyIllegalRequest, AscInvalidFieldInCdb);
        const uint32_t allocation = InquiryAllocationLength(cdb);
        if (InquiryWantsVpd(cdb)) {
            auto page = VpdPage(f, InquiryPageCode(cdb));
            if (!page)
                return CheckCondition(SenseKeyIllegalRequest, AscInvalidFieldInCdb);
            return Deliver(*page, allocation, data, length);
        }
        if (InquiryPageCode(cdb) != 0)
            return CheckCondition(SenseKeyIllegalRequest, AscInvalidFieldInCdb);
        return Deliver(StandardInquiry(f), allocation, data, length);
    }
    case OpReadCapacity10:
    case OpServiceActionIn16: {
        const bool sixteen = cdb[0] == OpServiceActionIn16;
        if (sixteen && !IsReadCapacity16(cdb, cdbLength))
            return CheckCondition(SenseKeyIllegalRequest, AscInvalidFieldInCdb);
        if (!sixteen && cdbLength < 10)
            return CheckCondition(SenseKeyIllegalRequest, AscInvalidCommandOperationCode);
        uint32_t block = f.SectorSize();
        uint64_t blocks = f.SizeBytes() / block;
        if (blocks == 0)
            return CheckCondition(SenseKeyNotReady, AscMediumNotPresent);
        if (sixteen) {
            uint32_t ratio = f.disk->physicalBlock / block;
            uint8_t exponent = 0;
            while (ratio > 1 && exponent < 15)
                ratio >>= 1, ++exponent;
            const ReadCapacity16Data answer = EncodeReadCapacity16(blocks - 1, block, exponent);
            return Deliver(answer.data(), answer.size(), ReadCapacity16AllocationLength(cdb), data, length);
        }
        const ReadCapacity10Data answer = EncodeReadCapacity10(blocks - 1, block);
        return Deliver(answer.data(), answer.size(), ReadCapacity10Length, data, length);
    }
    case OpAtaPassThrough16:
    case OpAtaPassThrough12: {
        const bool sixteen = cdb[0] == OpAtaPassThrough16;
        if (!f.replay || !f.disk->speaksScsi || cdbLength < (sixteen ? 16u : 12u))
            return CheckCondition(SenseKeyIllegalRequest, AscInvalidCommandOperationCode);
        auto recorded = f.Recorded("identify");
        if (AtaPassThroughCommand(cdb, cdbLength) != AtaIdentifyDevice || !recorded ||
            recorded->size() < IdentifyLength)
            return CheckCondition(SenseKeyIllegalRequest, AscInvalidFieldInCdb);
        return Deliver(reinterpret_cast<const uint8_t *>(recorded->data()), IdentifyLength, IdentifyLength, data,
                       length);
    }
    default: return CheckCondition(SenseKeyIllegalRequest, AscInvalidCommandOperationCode);
    }
}

ScsiResult SgIo(FileObject &f, const uint8_t *cdb, size_t cdbLength, uint8_t *data, uint32_t length, int direction,
                uint32_t timeoutSeconds) {
    ScsiResult r;
    if (f.fd < 0) {
        r.error = ERROR_ACCESS_DENIED;
        return r;
    }
    // A command that announces more data than the caller's buffer holds
    // (INQUIRY with allocation length 255 into 56 bytes, say) is an overrun
    // to the transport: virtio-scsi then delivers nothing and UAS times out
    // and resets the device. The storage stack keeps the leading part, so
    // take the whole answer into a buffer of the announced size and hand the
    // caller what fits.
    uint32_t announced = direction == SCSI_IOCTL_DATA_IN ? AnnouncedAllocationLength(cdb, cdbLength) : 0;
    if (announced > length && announced <= 65535) {
        std::vector<uint8_t> bounce(announced);
        ScsiResult whole = SgIo(f, cdb, cdbLength, bounce.data(), announced, direction, timeoutSeconds);
        uint32_t kept = std::min(whole.transferred, length);
        if (kept && data)
            std::memcpy(data, bounce.data(), kept);
        whole.transferred = kept;
        return whole;
    }
    uint8_t command[16] = {};
    std::memcpy(command, cdb, std::min<size_t>(cdbLength, sizeof command));
    uint8_t sense[64] = {};
    sg_io_hdr_t h{};
    h.interface_id = 'S';
    h.cmd_len = static_cast<unsigned char>(cdbLength);
    h.cmdp = command;
    h.mx_sb_len = sizeof sense;
    h.sbp = sense;
    h.dxfer_len = length;
    h.dxferp = length ? data : nullptr;
    h.dxfer_direction = length == 0                        ? SG_DXFER_NONE
                        : direction == SCSI_IOCTL_DATA_OUT ? SG_DXFER_TO_DEV
                                                           : SG_DXFER_FROM_DEV;
    h.timeout = std::clamp<uint32_t>(timeoutSeconds, 1, 108000) * 1000;
    // TEST UNIT READY, REQUEST SENSE, INQUIRY, MODE SENSE, READ CAPACITY and
    // the READs change nothing on the medium.
    // LOG SENSE reads the device's counters.
    static const uint8_t onlyRead[] = {0x00, 0x03, 0x12, 0x1A, 0x5A, 0x25, 0x9E, 0x08, 0x28, 0x88, 0xA8, 0x4D};
    if (std::find(std::begin(onlyRead), std::end(onlyRead), command[0]) == std::end(onlyRead))
        f.wrote = true;
    int rc;
    do
        rc = ::ioctl(f.fd, SG_IO, &h);
    while (rc < 0 && errno == EINTR);
    if (rc < 0) {
        r.error = ErrorFromErrno(errno);
        return r;
    }
    r.status = h.status;
    r.transferred =
        h.resid > 0 && static_cast<uint32_t>(h.resid) <= length ? length - static_cast<uint32_t>(h.resid) : length;
    if (h.sb_len_wr > 0)
        r.sense.assign(sense, sense + std::min<size_t>(h.sb_len_wr, sizeof sense));
    if (h.host_status != 0) {
        r.error = h.host_status == 0x03 ? ERROR_SEM_TIMEOUT // DID_TIME_OUT
                  : (h.host_status == 0x01 || h.host_status == 0x04)
                      ? ERROR_DEV_NOT_EXIST // DID_NO_CONNECT, DID_BAD_TARGET
                      : ERROR_IO_DEVICE;
    } else if ((h.driver_status & 0x0F) != 0) {
        r.error = (h.driver_status & 0x0F) == 0x06 ? ERROR_SEM_TIMEOUT : ERROR_IO_DEVICE;
    } else if (h.status == StatusCheckCondition) {
        r.error = ErrorOfSense(r.sense);
    } else if (h.status == StatusBusy || h.status == StatusReservationConflict) {
        r.error = ERROR_BUSY;
    } else if (h.status != StatusGood) {
        r.error = ERROR_IO_DEVICE;
    }
    return r;
}

// IDENTIFY DEVICE data is worth keeping when it is neither blank nor the
// answer of a packet device, and its checksum (when it has one) holds.
bool PlausibleIdentify(const std::vector<uint8_t> &id) {
    if (id.size() < IdentifyLength)
        return false;
    const auto end = id.begin() + IdentifyLength;
    if (std::all_of(id.begin(), end, [](uint8_t b) { return b == 0; }) ||
        std::all_of(id.begin(), end, [](uint8_t b) { return b == 0xFF; }))
        return false;
    return !IdentifyIsPacketDevice(id.data()) && IdentifyChecksumHolds(id.data());
}

// HDIO_GET_IDENTITY hands the serial, firmware and model strings over in
// reading order; the drive's own layout has the first character of each
// word in its high byte.
void SwapIdentityStrings(std::vector<uint8_t> &id) {
    SwapAtaString(id.data(), IdentifySerialWord, IdentifySerialWords);
    SwapAtaString(id.data(), IdentifyFirmwareWord, IdentifyFirmwareWords);
    SwapAtaString(id.data(), IdentifyModelWord, IdentifyModelWords);
}

DWORD FetchIdentify(FileObject &f, std::vector<uint8_t> &out) {
    const DiskInfo &d = *f.disk;
    if (f.replay) {
        std::vector<uint8_t> id;
        if (auto raw = f.Recorded("identify"); raw && raw->size() >= IdentifyLength) {
            id.assign(raw->begin(), raw->begin() + IdentifyLength);
        } else if (auto hd = f.Recorded("hdio_identity");
                   hd && hd->size() >= IdentifyLength && d.transport == Transport::Libata) {
            id.assign(hd->begin(), hd->begin() + IdentifyLength);
            SwapIdentityStrings(id);
        }
        if (!PlausibleIdentify(id))
            return id.empty() ? ERROR_INVALID_FUNCTION : ERROR_IO_DEVICE;
        out = id;
        return ERROR_SUCCESS;
    }
    if (f.fd < 0)
        return ERROR_ACCESS_DENIED;
    std::vector<uint8_t> id(IdentifyLength, 0);
    const Cdb16 pt16 = AtaPassThrough16IdentifyCdb();
    ScsiResult r = SgIo(f, pt16.data(), pt16.size(), id.data(), IdentifyLength, SCSI_IOCTL_DATA_IN, 2);
    if (r.error == ERROR_SUCCESS && r.transferred == IdentifyLength && PlausibleIdentify(id)) {
        out = id;
        return ERROR_SUCCESS;
    }
    DWORD error = r.error ? r.error : ERROR_IO_DEVICE;
    if (d.usb) {
        // Some bridges know only the 12-byte form.
        std::fill(id.begin(), id.end(), 0);
        const Cdb12 pt12 = AtaPassThrough12IdentifyCdb();
        r = SgIo(f, pt12.data(), pt12.size(), id.data(), IdentifyLength, SCSI_IOCTL_DATA_IN, 2);
        if (r.error == ERROR_SUCCESS && r.transferred == IdentifyLength && PlausibleIdentify(id)) {
            out = id;
            return ERROR_SUCCESS;
        }
    }
    if (d.transport == Transport::Libata) {
        uint16_t words[256] = {};
        if (::ioctl(f.fd, HDIO_GET_IDENTITY, words) == 0) {
            id.assign(reinterpret_cast<uint8_t *>(words), reinterpret_cast<uint8_t *>(words) + IdentifyLength);
            SwapIdentityStrings(id);
            if (PlausibleIdentify(id)) {
                out = id;
                return ERROR_SUCCESS;
            }
            error = ERROR_IO_DEVICE;
        } else {
            error = ErrorFromErrno(errno);
        }
    }
    return error;
}

} // namespace

FileObject::~FileObject() {
    if (locked)
        UnlockDevice(*this);
    if (fd >= 0) {
        if (canWrite && !wrote && root.prefix.empty() && !block.partition)
            ClosingOwnWriter("/dev/" + block.name);
        ::close(fd);
    }
}

void FileObject::LoadDisk() {
    std::call_once(diskOnce, [this] {
        if (!block.partition) {
            disk = DescribeDisk(root, block);
            return;
        }
        std::string parentSys = DirName(block.sys);
        if (auto parent = FindBlock(root, BaseName(parentSys)); parent && parent->sys == parentSys)
            disk = DescribeDisk(root, *parent);
    });
}

std::optional<std::string> FileObject::Recorded(const std::string &file) const {
    if (root.prefix.empty())
        return std::nullopt; // the live system records nothing
    return ReadBytes(root.At("/ioctl/" + block.name + "/" + file), 1u << 20);
}

uint64_t FileObject::SizeBytes() const {
    if (fd >= 0) {
        // A recording is a regular file: its size stands for the disk's.
        struct stat st {};
        if (replay && ::fstat(fd, &st) == 0 && S_ISREG(st.st_mode))
            return static_cast<uint64_t>(st.st_size);
        uint64_t bytes = 0;
        if (!replay && ::ioctl(fd, BLKGETSIZE64, &bytes) == 0)
            return bytes;
    }
    return Sectors(root, block.sys + "/size") * 512;
}

uint32_t FileObject::SectorSize() const {
    // With a descriptor, the size its transfers move, read when it opened.
    return sectorBytes ? sectorBytes : disk ? disk->logicalBlock : 512;
}

ScsiResult ScsiCommand(FileObject &f, const uint8_t *cdb, size_t cdbLength, uint8_t *data, uint32_t length,
                       int direction, uint32_t timeoutSeconds) {
    if (!f.disk || cdbLength == 0)
        return CheckCondition(SenseKeyIllegalRequest, AscInvalidCommandOperationCode);
    if (!f.replay && f.disk->speaksScsi)
        return SgIo(f, cdb, cdbLength, data, length, direction, timeoutSeconds);
    if (!f.replay && f.fd < 0) {
        ScsiResult r;
        r.error = ERROR_ACCESS_DENIED;
        return r;
    }
    return Translate(f, cdb, cdbLength, data, length, direction);
}

namespace {

bool TakesAtaLocked(FileObject &f) {
    if (!f.disk)
        return false;
    if (f.ataState < 0) {
        const DiskInfo &d = *f.disk;
        std::string vendor = d.vendor.value_or("");
        vendor.erase(vendor.find_last_not_of(' ') + 1);
        bool candidate = d.transport == Transport::Libata || (d.speaksScsi && (d.usb || vendor == "ATA"));
        f.ataState = 0;
        if (candidate) {
            std::vector<uint8_t> id;
            if (FetchIdentify(f, id) == ERROR_SUCCESS) {
                f.identify = id;
                f.ataState = 1;
            } else if (d.transport == Transport::Libata) {
                f.ataState = 1; // libata disks are ATA even when IDENTIFY cannot be had now
            }
        }
    }
    return f.ataState == 1;
}

} // namespace

bool TakesAta(FileObject &f) {
    std::lock_guard<std::mutex> guard(f.stateLock);
    return TakesAtaLocked(f);
}

DWORD Identify(FileObject &f, std::vector<uint8_t> &data) {
    std::lock_guard<std::mutex> guard(f.stateLock);
    if (!TakesAtaLocked(f))
        return ERROR_INVALID_FUNCTION;
    if (f.identify.size() != IdentifyLength) {
        DWORD error = FetchIdentify(f, f.identify);
        if (error != ERROR_SUCCESS) {
            f.identify.clear();
            return error;
        }
    }
    data = f.identify;
    return ERROR_SUCCESS;
}

DWORD SmartBlock(FileObject &f, uint8_t feature, std::vector<uint8_t> &block) {
    if (!TakesAta(f))
        return ERROR_INVALID_FUNCTION;
    if (f.replay) {
        auto recorded = AsBytes(f.Recorded(feature == SmartReadData ? "smart_data" : "smart_thresholds"));
        if (!recorded || recorded->size() < SmartBlockLength)
            return ERROR_NOT_SUPPORTED;
        block.assign(recorded->begin(), recorded->begin() + SmartBlockLength);
        return ERROR_SUCCESS;
    }
    if (f.fd < 0)
        return ERROR_ACCESS_DENIED;
    block.assign(SmartBlockLength, 0);
    const Cdb16 cdb = AtaPassThrough16SmartCdb(feature);
    const ScsiResult r = SgIo(f, cdb.data(), cdb.size(), block.data(), SmartBlockLength, SCSI_IOCTL_DATA_IN, 5);
    if (r.error != ERROR_SUCCESS)
        return r.error;
    return r.transferred == SmartBlockLength ? ERROR_SUCCESS : ERROR_IO_DEVICE;
}

DWORD SmartStatus(FileObject &f, uint8_t &lbaMid, uint8_t &lbaHigh) {
    if (!TakesAta(f))
        return ERROR_INVALID_FUNCTION;
    std::optional<AtaLbaMidHigh> registers;
    if (f.replay) {
        auto recorded = AsBytes(f.Recorded("smart_status"));
        if (!recorded || recorded->size() < 2)
            return ERROR_NOT_SUPPORTED;
        registers = AtaLbaMidHigh{(*recorded)[0], (*recorded)[1]};
    } else {
        if (f.fd < 0)
            return ERROR_ACCESS_DENIED;
        // The registers come back as sense data (CK_COND): a CHECK
        // CONDITION that carries them is the answer, not a failure.
        const Cdb16 cdb = AtaPassThrough16SmartCdb(SmartReturnStatus);
        const ScsiResult r = SgIo(f, cdb.data(), cdb.size(), nullptr, 0, SCSI_IOCTL_DATA_UNSPECIFIED, 5);
        registers = AtaReturnedLba(r.sense.data(), r.sense.size());
        if (!registers)
            return r.error != ERROR_SUCCESS ? r.error : ERROR_IO_DEVICE;
    }
    lbaMid = registers->mid;
    lbaHigh = registers->high;
    return ERROR_SUCCESS;
}

DWORD NvmeHealthLog(FileObject &f, std::vector<uint8_t> &log) {
    if (!f.disk || f.disk->transport != Transport::Nvme)
        return ERROR_NOT_SUPPORTED;
    if (f.replay) {
        auto recorded = AsBytes(f.Recorded("nvme_smart_log"));
        if (!recorded || recorded->empty())
            return ERROR_NOT_SUPPORTED;
        log = *recorded;
        log.resize(NvmeHealthLogLength, 0);
        return ERROR_SUCCESS;
    }
    if (f.fd < 0)
        return ERROR_ACCESS_DENIED;
    log.assign(NvmeHealthLogLength, 0);
    // Get Log Page (02h) of the SMART / Health log for the controller as a
    // whole: 128 dwords, their count less one in bits 16-27 of dword 10.
    struct nvme_admin_cmd cmd {};
    cmd.opcode = 0x02;
    cmd.nsid = 0xFFFFFFFFu;
    cmd.addr = reinterpret_cast<uintptr_t>(log.data());
    cmd.data_len = static_cast<uint32_t>(log.size());
    cmd.cdw10 = ((NvmeHealthLogLength / 4 - 1) << 16) | NvmeLogHealth;
    cmd.timeout_ms = 5000;
    int rc;
    do
        rc = ::ioctl(f.fd, NVME_IOCTL_ADMIN_CMD, &cmd);
    while (rc < 0 && errno == EINTR);
    if (rc < 0)
        return ErrorFromErrno(errno);
    return rc == 0 ? ERROR_SUCCESS : ERROR_IO_DEVICE; // rc > 0: the controller's status
}

std::optional<std::string> DescriptorSerial(FileObject &f) {
    if (!f.disk)
        return std::nullopt;
    if (f.disk->serial)
        return f.disk->serial;
    std::lock_guard<std::mutex> guard(f.stateLock);
    if (!f.serial) {
        std::optional<std::string> found;
        if (f.disk->speaksScsi) {
            if (f.replay) {
                found = SerialOfVpd80(f.Recorded("vpd_pg80"));
            } else if (f.fd >= 0) {
                // usb-storage keeps no VPD pages in sysfs, yet answers page 0x80.
                std::vector<uint8_t> page(252, 0);
                const Cdb6 cdb = InquiryVpdCdb(VpdUnitSerialNumber, static_cast<uint16_t>(page.size()));
                ScsiResult r = SgIo(f, cdb.data(), cdb.size(), page.data(), static_cast<uint32_t>(page.size()),
                                    SCSI_IOCTL_DATA_IN, 2);
                if (r.error == ERROR_SUCCESS)
                    found = SerialOfVpd80(std::string(page.begin(), page.begin() + r.transferred));
            }
        }
        if (!found && f.disk->usb)
            found = ReadAttr(f.root, f.disk->usbDevice + "/serial");
        if (found && found->find_first_not_of(' ') == std::string::npos)
            found.reset();
        f.serial = found;
    }
    return *f.serial;
}

std::optional<std::pair<uint32_t, uint32_t>> DriverGeometry(FileObject &f, uint64_t size, uint32_t sectorSize) {
    unsigned heads = 0, sectors = 0, cylinders = 0;
    if (f.replay) {
        auto text = f.Recorded("hdio_geometry");
        if (!text || std::sscanf(text->c_str(), "%u %u %u", &heads, &sectors, &cylinders) != 3)
            return std::nullopt;
    } else {
        // The loop and zram drivers keep no geometry.
        if (f.disk && (f.disk->transport == Transport::Loop || f.disk->transport == Transport::Zram))
            return std::nullopt;
        struct hd_geometry g {};
        if (f.fd < 0 || ::ioctl(f.fd, HDIO_GETGEO, &g) != 0)
            return std::nullopt;
        heads = g.heads, sectors = g.sectors, cylinders = g.cylinders;
    }
    // The driver counts 512-byte units in a 16-bit cylinder number, cut or
    // wrapped on large disks: take its heads and sectors only where that
    // answer describes this disk; the caller computes the cylinders.
    if (sectorSize != 512 || heads == 0 || heads > 255 || sectors == 0 || sectors > 63)
        return std::nullopt;
    uint64_t computed = size / (uint64_t{heads} * sectors * 512);
    bool consistent =
        computed == cylinders || (computed > 0xFFFF && (cylinders == 0xFFFF || cylinders == (computed & 0xFFFF)));
    if (!consistent)
        return std::nullopt;
    return std::make_pair(static_cast<uint32_t>(heads), static_cast<uint32_t>(sectors));
}

} // namespace TavLinux
