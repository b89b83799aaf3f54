// SCSI commands and ATA IDENTIFY on an open disk: SG_IO for SCSI devices of
// the live system; for disks that speak no SCSI (NVMe, virtio-blk, loop,
// MMC, zram, dm, md) and for recorded devices, the backend answers INQUIRY,
// READ CAPACITY and TEST UNIT READY itself, as a storage miniport does.
#include "Device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <linux/fs.h>
#include <linux/hdreg.h>
#include <scsi/sg.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TavLinux {

namespace {

constexpr uint8_t StatusGood = 0x00, StatusCheckCondition = 0x02, StatusBusy = 0x08, StatusReservationConflict = 0x18;
constexpr uint8_t SenseNotReady = 0x2, SenseMediumError = 0x3, SenseIllegalRequest = 0x5, SenseDataProtect = 0x7;

uint32_t Be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
void PutBe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
void PutBe64(uint8_t *p, uint64_t v) {
    PutBe32(p, static_cast<uint32_t>(v >> 32));
    PutBe32(p + 4, static_cast<uint32_t>(v));
}

// The platform error for a CHECK CONDITION, from its sense key.
DWORD ErrorOfSense(const std::vector<uint8_t> &sense) {
    uint8_t key = 0;
    if (sense.size() >= 3 && (sense[0] & 0x7F) >= 0x70 && (sense[0] & 0x7F) <= 0x71)
        key = sense[2] & 0x0F;
    else if (sense.size() >= 2 && (sense[0] & 0x7F) >= 0x72 && (sense[0] & 0x7F) <= 0x73)
        key = sense[1] & 0x0F;
    switch (key) {
    case SenseNotReady: return ERROR_NOT_READY;
    case SenseMediumError: return ERROR_CRC;
    case SenseIllegalRequest: return ERROR_INVALID_FUNCTION;
    case SenseDataProtect: return ERROR_WRITE_PROTECT;
    default: return ERROR_IO_DEVICE;
    }
}

ScsiResult CheckCondition(uint8_t key, uint8_t asc, uint8_t ascq = 0) {
    ScsiResult r;
    r.status = StatusCheckCondition;
    r.sense.assign(18, 0);
    r.sense[0] = 0x70;
    r.sense[2] = key;
    r.sense[7] = 10;
    r.sense[12] = asc;
    r.sense[13] = ascq;
    r.error = ErrorOfSense(r.sense);
    return r;
}

ScsiResult Deliver(const std::vector<uint8_t> &answer, uint32_t allocation, uint8_t *data, uint32_t length) {
    ScsiResult r;
    size_t n = std::min<size_t>({answer.size(), allocation, length});
    if (n && data)
        std::memcpy(data, answer.data(), n);
    r.transferred = static_cast<uint32_t>(n);
    return r;
}

void PutField(std::vector<uint8_t> &buf, size_t at, size_t width, const std::optional<std::string> &text) {
    std::string s = text.value_or("");
    for (size_t i = 0; i < width; ++i) {
        char c = i < s.size() ? s[i] : ' ';
        buf[at + i] = static_cast<uint8_t>((c < 0x20 || c > 0x7E) ? ' ' : c);
    }
}

// Standard INQUIRY data as a miniport builds it for a disk without SCSI.
std::vector<uint8_t> BuiltInquiry(const DiskInfo &d) {
    std::vector<uint8_t> inq(36, 0);
    inq[1] = d.removable ? 0x80 : 0x00;
    inq[2] = 0x05; // SPC-3
    inq[3] = 0x02; // response data format 2
    inq[4] = 31;
    inq[7] = d.queueing ? 0x02 : 0x00;
    PutField(inq, 8, 8, d.vendor);
    PutField(inq, 16, 16, d.product);
    PutField(inq, 32, 4, d.revision);
    return inq;
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
    if (page == 0x00) {
        std::vector<uint8_t> p = {0, 0x00, 0, 1, 0x00};
        if (serial) {
            p.push_back(0x80);
            p[3] = 2;
        }
        return p;
    }
    if (page == 0x80 && serial) {
        size_t n = std::min<size_t>(serial->size(), 251);
        std::vector<uint8_t> p = {0, 0x80, 0, static_cast<uint8_t>(n)};
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
    case 0x00: // TEST UNIT READY
        if (f.SizeBytes() == 0)
            return CheckCondition(SenseNotReady, 0x3A);
        return {};
    case 0x12: { // INQUIRY
        if (cdbLength < 6)
            return CheckCondition(SenseIllegalRequest, 0x24);
        uint32_t allocation = (uint32_t{cdb[3]} << 8) | cdb[4];
        if (cdb[1] & 0x01) {
            auto page = VpdPage(f, cdb[2]);
            if (!page)
                return CheckCondition(SenseIllegalRequest, 0x24);
            return Deliver(*page, allocation, data, length);
        }
        if (cdb[2] != 0)
            return CheckCondition(SenseIllegalRequest, 0x24);
        return Deliver(StandardInquiry(f), allocation, data, length);
    }
    case 0x25:   // READ CAPACITY(10)
    case 0x9E: { // SERVICE ACTION IN(16): READ CAPACITY(16)
        bool sixteen = cdb[0] == 0x9E;
        if (cdbLength < (sixteen ? 16u : 10u) || (sixteen && (cdb[1] & 0x1F) != 0x10))
            return CheckCondition(SenseIllegalRequest, sixteen ? 0x24 : 0x20);
        uint32_t block = f.SectorSize();
        uint64_t blocks = f.SizeBytes() / block;
        if (blocks == 0)
            return CheckCondition(SenseNotReady, 0x3A);
        std::vector<uint8_t> answer(sixteen ? 32 : 8, 0);
        if (sixteen) {
            PutBe64(answer.data(), blocks - 1);
            PutBe32(answer.data() + 8, block);
            uint32_t ratio = f.disk->physicalBlock / block;
            uint8_t exponent = 0;
            while (ratio > 1 && exponent < 15)
                ratio >>= 1, ++exponent;
            answer[13] = exponent;
            return Deliver(answer, Be32(cdb + 10), data, length);
        }
        PutBe32(answer.data(), blocks - 1 > 0xFFFFFFFEull ? 0xFFFFFFFFu : static_cast<uint32_t>(blocks - 1));
        PutBe32(answer.data() + 4, block);
        return Deliver(answer, 8, data, length);
    }
    case 0x85:   // ATA PASS-THROUGH(16)
    case 0xA1: { // ATA PASS-THROUGH(12)
        bool sixteen = cdb[0] == 0x85;
        if (!f.replay || !f.disk->speaksScsi || cdbLength < (sixteen ? 16u : 12u))
            return CheckCondition(SenseIllegalRequest, 0x20);
        uint8_t command = sixteen ? cdb[14] : cdb[9];
        auto recorded = f.Recorded("identify");
        if (command != 0xEC || !recorded || recorded->size() < 512)
            return CheckCondition(SenseIllegalRequest, 0x24);
        return Deliver(std::vector<uint8_t>(recorded->begin(), recorded->begin() + 512), 512, data, length);
    }
    default: return CheckCondition(SenseIllegalRequest, 0x20); // INVALID COMMAND OPERATION CODE
    }
}

// The allocation length a data-in command announces in its command block,
// for the commands whose layout is known; 0 when unknown.
uint32_t AnnouncedAllocationLength(const uint8_t *cdb, size_t cdbLength) {
    auto be = [cdb](size_t at, size_t bytes) {
        uint32_t v = 0;
        for (size_t i = 0; i < bytes; ++i)
            v = (v << 8) | cdb[at + i];
        return v;
    };
    switch (cdb[0]) {
    case 0x03: // REQUEST SENSE
    case 0x1A: // MODE SENSE(6)
        return cdbLength >= 6 ? cdb[4] : 0;
    case 0x12: // INQUIRY
        return cdbLength >= 6 ? be(3, 2) : 0;
    case 0x4D: // LOG SENSE
    case 0x5A: // MODE SENSE(10)
        return cdbLength >= 10 ? be(7, 2) : 0;
    case 0x9E: // SERVICE ACTION IN(16), e.g. READ CAPACITY(16)
        return cdbLength >= 16 ? be(10, 4) : 0;
    case 0xA0: // REPORT LUNS
        return cdbLength >= 12 ? be(6, 4) : 0;
    default:
        return 0;
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
    if (id.size() < 512)
        return false;
    if (std::all_of(id.begin(), id.begin() + 512, [](uint8_t b) { return b == 0; }) ||
        std::all_of(id.begin(), id.begin() + 512, [](uint8_t b) { return b == 0xFF; }))
        return false;
    if (id[1] & 0x80)
        return false;
    if (id[510] == 0xA5) {
        uint8_t sum = 0;
        for (size_t i = 0; i < 512; ++i)
            sum = static_cast<uint8_t>(sum + id[i]);
        if (sum != 0)
            return false;
    }
    return true;
}

// HDIO_GET_IDENTITY hands the serial, firmware and model strings over in
// reading order; the drive's own layout has the first character of each
// word in its high byte.
void SwapIdentityStrings(std::vector<uint8_t> &id) {
    auto swap = [&id](size_t first, size_t words) {
        for (size_t w = first; w < first + words; ++w)
            std::swap(id[2 * w], id[2 * w + 1]);
    };
    swap(10, 10);
    swap(23, 4);
    swap(27, 20);
}

DWORD FetchIdentify(FileObject &f, std::vector<uint8_t> &out) {
    const DiskInfo &d = *f.disk;
    if (f.replay) {
        std::vector<uint8_t> id;
        if (auto raw = f.Recorded("identify"); raw && raw->size() >= 512) {
            id.assign(raw->begin(), raw->begin() + 512);
        } else if (auto hd = f.Recorded("hdio_identity"); hd && hd->size() >= 512 && d.transport == Transport::Libata) {
            id.assign(hd->begin(), hd->begin() + 512);
            SwapIdentityStrings(id);
        }
        if (!PlausibleIdentify(id))
            return id.empty() ? ERROR_INVALID_FUNCTION : ERROR_IO_DEVICE;
        out = id;
        return ERROR_SUCCESS;
    }
    if (f.fd < 0)
        return ERROR_ACCESS_DENIED;
    std::vector<uint8_t> id(512, 0);
    const uint8_t pt16[16] = {0x85, 4 << 1, 0x0E, 0, 0, 0, 1, 0, 0, 0, 0, 0, 0, 0, 0xEC, 0};
    ScsiResult r = SgIo(f, pt16, sizeof pt16, id.data(), 512, SCSI_IOCTL_DATA_IN, 2);
    if (r.error == ERROR_SUCCESS && r.transferred == 512 && PlausibleIdentify(id)) {
        out = id;
        return ERROR_SUCCESS;
    }
    DWORD error = r.error ? r.error : ERROR_IO_DEVICE;
    if (d.usb) {
        // Some bridges know only the 12-byte form.
        std::fill(id.begin(), id.end(), 0);
        const uint8_t pt12[12] = {0xA1, 4 << 1, 0x0E, 0, 1, 0, 0, 0, 0, 0xEC, 0, 0};
        r = SgIo(f, pt12, sizeof pt12, id.data(), 512, SCSI_IOCTL_DATA_IN, 2);
        if (r.error == ERROR_SUCCESS && r.transferred == 512 && PlausibleIdentify(id)) {
            out = id;
            return ERROR_SUCCESS;
        }
    }
    if (d.transport == Transport::Libata) {
        uint16_t words[256] = {};
        if (::ioctl(f.fd, HDIO_GET_IDENTITY, words) == 0) {
            id.assign(reinterpret_cast<uint8_t *>(words), reinterpret_cast<uint8_t *>(words) + 512);
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
    if (fd >= 0)
        ::close(fd);
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
    return ReadNumber(root, block.sys + "/size").value_or(0) * 512;
}

uint32_t FileObject::SectorSize() const {
    if (fd >= 0 && !replay) {
        int size = 0;
        if (::ioctl(fd, BLKSSZGET, &size) == 0 && size >= 512 && size <= 65536)
            return static_cast<uint32_t>(size);
    }
    return disk ? disk->logicalBlock : 512;
}

ScsiResult ScsiCommand(FileObject &f, const uint8_t *cdb, size_t cdbLength, uint8_t *data, uint32_t length,
                       int direction, uint32_t timeoutSeconds) {
    if (!f.disk || cdbLength == 0)
        return CheckCondition(SenseIllegalRequest, 0x20);
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
    if (f.identify.size() != 512) {
        DWORD error = FetchIdentify(f, f.identify);
        if (error != ERROR_SUCCESS) {
            f.identify.clear();
            return error;
        }
    }
    data = f.identify;
    return ERROR_SUCCESS;
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
                const uint8_t cdb[6] = {0x12, 0x01, 0x80, 0x00, 252, 0x00};
                ScsiResult r =
                    SgIo(f, cdb, sizeof cdb, page.data(), static_cast<uint32_t>(page.size()), SCSI_IOCTL_DATA_IN, 2);
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
