// Device handles of the Linux backend: opening disks, partitions and
// volumes, the control requests the storage stack answers on them, and
// positioned single-descriptor transfers.
#include "Device.h"

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TavLinux {
namespace {

// A recorded device may name the errno its open fails with (never on the
// live system, whose root is "/").
std::optional<int> RecordedOpenError(const Root &root, const std::string &name) {
    if (root.prefix.empty())
        return std::nullopt;
    auto text = ReadAttr(root, "/ioctl/" + name + "/open_errno");
    if (!text)
        return std::nullopt;
    static const struct {
        const char *name;
        int value;
    } names[] = {{"EACCES", EACCES}, {"EPERM", EPERM},         {"ENOENT", ENOENT}, {"EBUSY", EBUSY}, {"ENXIO", ENXIO},
                 {"ENODEV", ENODEV}, {"ENOMEDIUM", ENOMEDIUM}, {"EIO", EIO},       {"EROFS", EROFS}};
    for (const auto &n : names)
        if (*text == n.name)
            return n.value;
    int value = std::atoi(text->c_str());
    return value > 0 ? value : EIO;
}

// Opens the device file with the access asked for. A volume handle, or one
// for queries only, needs no data access (its answers come from sysfs), so
// `tolerateRefusal` leaves it without a descriptor when the open is refused.
DWORD OpenDescriptor(FileObject &f, DWORD access, bool tolerateRefusal) {
    bool read = (access & (GENERIC_READ | GENERIC_ALL | FILE_READ_DATA)) != 0;
    bool write = (access & (GENERIC_WRITE | GENERIC_ALL | FILE_WRITE_DATA)) != 0;
    if (auto error = RecordedOpenError(f.root, f.block.name))
        return tolerateRefusal ? ERROR_SUCCESS : ErrorFromErrno(*error);
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    if (!read && !write)
        flags |= O_NONBLOCK;
    int fd = ::open(f.root.At("/dev/" + f.block.name).c_str(), flags);
    if (fd < 0) {
        int error = errno;
        bool denied = error == EACCES || error == EPERM;
        if (tolerateRefusal || (denied && !read && !write))
            return ERROR_SUCCESS;
        return ErrorFromErrno(error);
    }
    struct stat st {};
    if (::fstat(fd, &st) != 0 || (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))) {
        ::close(fd);
        return ERROR_FILE_NOT_FOUND;
    }
    f.replay = S_ISREG(st.st_mode);
    f.fd = fd;
    f.canRead = read;
    f.canWrite = write;
    return ERROR_SUCCESS;
}

HANDLE OpenBlock(const Root &root, const BlockEntry &block, DWORD access, bool asVolume,
                 std::shared_ptr<const VolumeRecord> volume = nullptr) {
    auto f = std::make_shared<FileObject>();
    f->root = root;
    f->block = block;
    f->isVolume = asVolume || block.partition;
    f->volume = std::move(volume);
    f->isDisk = !f->isVolume;
    f->desiredAccess = access;
    if (!asVolume) {
        // A disk or partition opened by its path is opened at once: an open
        // that fails fails the request.
        if (DWORD error = OpenDescriptor(*f, access, false)) {
            Fail(error);
            return INVALID_HANDLE_VALUE;
        }
        f->LoadDisk();
    }
    return AddHandle(f);
}

bool StartsWith(const std::wstring &s, const wchar_t *prefix) {
    return s.compare(0, std::wcslen(prefix), prefix) == 0;
}

BOOL Answer(const void *record, size_t size, LPVOID out, DWORD outSize, LPDWORD returned) {
    size_t n = std::min<size_t>(size, outSize);
    std::memcpy(out, record, n);
    if (returned)
        *returned = static_cast<DWORD>(n);
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
            raw = f.Recorded("inquiry").value_or("");
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

BOOL QueryProperty(FileObject &f, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (inSize < sizeof(STORAGE_PROPERTY_QUERY))
        return Fail(ERROR_INVALID_PARAMETER);
    STORAGE_PROPERTY_QUERY q;
    std::memcpy(&q, in, sizeof q);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    if (q.PropertyId != StorageDeviceProperty && q.PropertyId != StorageAdapterProperty)
        return Fail(ERROR_NOT_SUPPORTED);
    if (q.QueryType == PropertyExistsQuery)
        return TRUE;
    if (q.QueryType != PropertyStandardQuery)
        return Fail(ERROR_INVALID_PARAMETER);
    if (outSize < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::vector<uint8_t> record =
        q.PropertyId == StorageAdapterProperty ? AdapterDescriptor(*f.disk) : DeviceDescriptor(f);
    return Answer(record.data(), record.size(), out, outSize, returned);
}

BOOL DeviceNumber(FileObject &f, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (outSize < sizeof(STORAGE_DEVICE_NUMBER))
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
        return Answer(&n, sizeof n, out, outSize, returned);
    }
    // The list as it is now: a disk that came or went since the handle was
    // opened moves the numbers.
    auto look = CurrentLook(f.root);
    std::lock_guard<std::mutex> guard(look->lock);
    BlockView &view = look->view;
    if (look->kept)
        view.Disks(); // the whole list once, for every later request on this look
    size_t self = view.Adopt(f.block);
    size_t whole = self;
    DWORD partition = 0;
    if (f.block.partition) {
        auto parent = view.Find(BaseName(DirName(f.block.sys)));
        if (!parent)
            return Fail(ERROR_INVALID_FUNCTION);
        whole = *parent;
        partition = view.PartitionNumber(self);
    }
    auto number = view.DiskNumber(whole);
    if (!number)
        return Fail(ERROR_INVALID_FUNCTION);
    STORAGE_DEVICE_NUMBER n{};
    n.DeviceType = FILE_DEVICE_DISK;
    n.DeviceNumber = *number;
    n.PartitionNumber = partition;
    return Answer(&n, sizeof n, out, outSize, returned);
}

BOOL SmartVersion(FileObject &f, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (outSize < sizeof(GETVERSIONINPARAMS))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!TakesAta(f))
        return Fail(ERROR_INVALID_FUNCTION);
    GETVERSIONINPARAMS v{};
    v.bVersion = 1;
    v.bRevision = 1;
    int target = f.disk->address ? f.disk->address->target : 0;
    v.bIDEDeviceMap = static_cast<BYTE>(target == 1 ? 0x02 : 0x01);
    v.fCapabilities = 0x00000001 | 0x00000004; // IDENTIFY, SMART commands
    return Answer(&v, sizeof v, out, outSize, returned);
}

BOOL SmartReceive(FileObject &f, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (inSize < offsetof(SENDCMDINPARAMS, bBuffer))
        return Fail(ERROR_INVALID_PARAMETER);
    SENDCMDINPARAMS params;
    std::memcpy(&params, in, offsetof(SENDCMDINPARAMS, bBuffer));
    const size_t answerSize = offsetof(SENDCMDOUTPARAMS, bBuffer) + IDENTIFY_BUFFER_SIZE;
    if (outSize < answerSize)
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!TakesAta(f))
        return Fail(ERROR_INVALID_FUNCTION);
    if (params.irDriveRegs.bCommandReg != ID_CMD)
        return Fail(ERROR_NOT_SUPPORTED);
    std::vector<uint8_t> id;
    if (DWORD error = Identify(f, id))
        return Fail(error);
    std::vector<uint8_t> answer(answerSize, 0);
    DWORD length = IDENTIFY_BUFFER_SIZE;
    std::memcpy(answer.data(), &length, sizeof length);
    std::memcpy(answer.data() + offsetof(SENDCMDOUTPARAMS, bBuffer), id.data(), IDENTIFY_BUFFER_SIZE);
    return Answer(answer.data(), answer.size(), out, outSize, returned);
}

BOOL ControllerNumber(FileObject &f, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (outSize < sizeof(DISK_CONTROLLER_NUMBER))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!f.disk || !f.disk->address)
        return Fail(ERROR_INVALID_FUNCTION);
    DISK_CONTROLLER_NUMBER c{};
    c.ControllerNumber = static_cast<DWORD>(f.disk->address->host);
    c.DiskNumber = static_cast<DWORD>(f.disk->address->target);
    return Answer(&c, sizeof c, out, outSize, returned);
}

BOOL GetScsiAddress(FileObject &f, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (outSize < sizeof(SCSI_ADDRESS))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    SCSI_ADDRESS a{};
    a.Length = sizeof a;
    if (f.disk->address) {
        a.PortNumber = static_cast<UCHAR>(f.disk->address->host);
        a.PathId = static_cast<UCHAR>(f.disk->address->channel);
        a.TargetId = static_cast<UCHAR>(f.disk->address->target);
        a.Lun = static_cast<UCHAR>(f.disk->address->lun);
    } else if (f.disk->transport == Transport::Nvme && f.disk->nvmeController >= 0) {
        a.PortNumber = static_cast<UCHAR>(f.disk->nvmeController);
        a.Lun = static_cast<UCHAR>(f.disk->nsid > 0 ? f.disk->nsid - 1 : 0);
    } else {
        return Fail(ERROR_INVALID_FUNCTION);
    }
    return Answer(&a, sizeof a, out, outSize, returned);
}

BOOL PassThrough(FileObject &f, LPVOID in, DWORD inSize, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (inSize < sizeof(SCSI_PASS_THROUGH_DIRECT) || outSize < sizeof(SCSI_PASS_THROUGH_DIRECT))
        return Fail(ERROR_INVALID_PARAMETER);
    SCSI_PASS_THROUGH_DIRECT s;
    std::memcpy(&s, in, sizeof s);
    if (s.Length != sizeof s || s.CdbLength == 0 || s.CdbLength > sizeof s.Cdb ||
        s.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED)
        return Fail(ERROR_INVALID_PARAMETER);
    if ((s.DataTransferLength && !s.DataBuffer) || s.DataTransferLength > (16u << 20))
        return Fail(ERROR_INVALID_PARAMETER);
    if (s.SenseInfoLength &&
        (s.SenseInfoOffset < sizeof s || uint64_t{s.SenseInfoOffset} + s.SenseInfoLength > outSize))
        return Fail(ERROR_INVALID_PARAMETER);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
    ScsiResult r = ScsiCommand(f, s.Cdb, s.CdbLength, static_cast<uint8_t *>(s.DataBuffer), s.DataTransferLength,
                               s.DataIn, s.TimeOutValue);
    s.ScsiStatus = r.status;
    s.DataTransferLength = std::min(r.transferred, s.DataTransferLength);
    size_t sense = std::min<size_t>(r.sense.size(), s.SenseInfoLength);
    if (sense)
        std::memcpy(static_cast<uint8_t *>(out) + s.SenseInfoOffset, r.sense.data(), sense);
    s.SenseInfoLength = static_cast<UCHAR>(sense);
    std::memcpy(out, &s, sizeof s);
    if (returned)
        *returned = sizeof s;
    return r.error ? Fail(r.error) : TRUE;
}

BOOL Geometry(FileObject &f, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (outSize < sizeof(DISK_GEOMETRY))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    if (!f.disk)
        return Fail(ERROR_INVALID_FUNCTION);
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
    DISK_GEOMETRY g{};
    g.Cylinders.QuadPart = static_cast<LONGLONG>(size / (uint64_t{heads} * sectors * sector));
    g.MediaType = f.disk->removable ? RemovableMedia : FixedMedia;
    g.TracksPerCylinder = heads;
    g.SectorsPerTrack = sectors;
    g.BytesPerSector = sector;
    return Answer(&g, sizeof g, out, outSize, returned);
}

BOOL Extents(FileObject &f, LPVOID out, DWORD outSize, LPDWORD returned) {
    if (!f.isVolume)
        return Fail(ERROR_INVALID_FUNCTION);
    if (outSize < sizeof(VOLUME_DISK_EXTENTS))
        return Fail(ERROR_INSUFFICIENT_BUFFER);
    std::vector<Extent> extents;
    if (f.volume) {
        extents = f.volume->extents;
    } else {
        auto look = CurrentLook(f.root);
        std::lock_guard<std::mutex> guard(look->lock);
        extents = VolumeExtents(look->view, f.block);
    }
    const size_t header = offsetof(VOLUME_DISK_EXTENTS, Extents);
    size_t room = (outSize - header) / sizeof(DISK_EXTENT);
    size_t n = std::min(room, extents.size());
    auto *bytes = static_cast<uint8_t *>(out);
    auto count = static_cast<DWORD>(extents.size());
    std::memcpy(bytes, &count, sizeof count);
    for (size_t i = 0; i < n; ++i) {
        DISK_EXTENT e{};
        e.DiskNumber = extents[i].disk;
        e.StartingOffset.QuadPart = static_cast<LONGLONG>(extents[i].start);
        e.ExtentLength.QuadPart = static_cast<LONGLONG>(extents[i].length);
        std::memcpy(bytes + header + i * sizeof e, &e, sizeof e);
    }
    if (returned)
        *returned = static_cast<DWORD>(header + n * sizeof(DISK_EXTENT));
    return n < extents.size() ? Fail(ERROR_MORE_DATA) : TRUE;
}

} // namespace

DWORD FileObject::OpenVolumeDevice() {
    std::call_once(openOnce, [this] {
        if (fd < 0)
            openError = OpenDescriptor(*this, desiredAccess, true);
    });
    return openError;
}

} // namespace TavLinux

namespace TavPlatform {

using namespace TavLinux;

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD, LPSECURITY_ATTRIBUTES, DWORD dwCreationDisposition,
                   DWORD, HANDLE) {
    if (!lpFileName) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    if (dwCreationDisposition != OPEN_EXISTING) {
        Fail(ERROR_INVALID_PARAMETER);
        return INVALID_HANDLE_VALUE;
    }
    std::wstring name(lpFileName);
    Root root = CurrentRoot();
    if (StartsWith(name, L"\\\\?\\Volume{")) {
        auto volume = LookupVolume(root, name);
        if (!volume) {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        const BlockEntry block = volume->entry.block;
        return OpenBlock(root, block, dwDesiredAccess, true, std::move(volume));
    }
    if (StartsWith(name, L"\\\\.\\PhysicalDrive")) {
        std::string digits = Narrow(name.substr(17));
        char *end = nullptr;
        unsigned long n = std::strtoul(digits.c_str(), &end, 10);
        if (digits.empty() || *end || digits[0] < '0' || digits[0] > '9') {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        std::optional<BlockEntry> block;
        {
            auto look = CurrentLook(root);
            std::lock_guard<std::mutex> guard(look->lock);
            if (auto disk = look->view.NthDisk(n))
                block = look->view.Entry(*disk);
        }
        if (!block) {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return OpenBlock(root, *block, dwDesiredAccess, false);
    }
    if (StartsWith(name, L"/dev/")) {
        if (auto block = FindBlock(root, Narrow(name.substr(5))))
            return OpenBlock(root, *block, dwDesiredAccess, false);
        Fail(ERROR_FILE_NOT_FOUND);
        return INVALID_HANDLE_VALUE;
    }
    Fail(name.find(L'/') != std::wstring::npos ? ERROR_PATH_NOT_FOUND : ERROR_FILE_NOT_FOUND);
    return INVALID_HANDLE_VALUE;
}

namespace {

// A sector transfer is a positioning and then a transfer on one handle.
// What the positioning found is handed to the transfer that follows on this
// thread, so that the two take one reference to the object between them
// (valid while no handle was removed since). Released by the next transfer,
// positioning or close on this thread.
struct Positioned {
    HANDLE handle = nullptr;
    uint64_t removals = 0;
    std::shared_ptr<FileObject> object;
};
thread_local Positioned positioned;

inline std::shared_ptr<FileObject> FindPositioned(HANDLE handle) {
    Positioned &p = positioned;
    if (p.handle == handle && p.removals == handleRemovals.load(std::memory_order_acquire) && p.object) {
        p.handle = nullptr;
        return std::move(p.object);
    }
    if (p.object)
        p.object.reset();
    return Find<FileObject>(handle);
}

} // namespace

BOOL CloseHandle(HANDLE hObject) {
    if (positioned.handle == hObject)
        positioned = {};
    return RemoveHandle(hObject, Object::Kind::File) ? TRUE : Fail(ERROR_INVALID_HANDLE);
}

std::wstring HandleTarget(HANDLE hObject) {
    if (auto f = Find<FileObject>(hObject))
        return Widen("/dev/" + f->block.name);
    if (FindHandle(hObject, Object::Kind::VolumeSearch))
        return L"a volume search";
    return std::wstring();
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize, LPVOID lpOutBuffer,
                     DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED) {
    auto f = Find<FileObject>(hDevice);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpBytesReturned)
        *lpBytesReturned = 0;
    if ((nInBufferSize && !lpInBuffer) || (nOutBufferSize && !lpOutBuffer))
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (dwIoControlCode != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS && dwIoControlCode != IOCTL_STORAGE_GET_DEVICE_NUMBER) {
        if (DWORD error = f->OpenDevice())
            return Fail(error);
        f->LoadDisk();
    }
    switch (dwIoControlCode) {
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(*f, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: return DeviceNumber(*f, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case SMART_GET_VERSION: return SmartVersion(*f, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case SMART_RCV_DRIVE_DATA:
        return SmartReceive(*f, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case IOCTL_DISK_CONTROLLER_NUMBER: return ControllerNumber(*f, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case IOCTL_SCSI_GET_ADDRESS: return GetScsiAddress(*f, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThrough(*f, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case IOCTL_DISK_GET_DRIVE_GEOMETRY: return Geometry(*f, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    case IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS: return Extents(*f, lpOutBuffer, nOutBufferSize, lpBytesReturned);
    default: return Fail(ERROR_INVALID_FUNCTION);
    }
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
    const uint64_t removals = handleRemovals.load(std::memory_order_acquire);
    auto f = FindPositioned(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (DWORD error = f->OpenDevice())
        return Fail(error);
    if (f->fd < 0)
        return Fail(ERROR_ACCESS_DENIED);
    if (dwMoveMethod > FILE_END)
        return Fail(ERROR_INVALID_PARAMETER);
    // The position is the handle's own: setting it asks nothing of the
    // device, and any position from 0 on may be set, past the end too (a
    // transfer there fails), as on Windows.
    LONGLONG base = 0;
    if (dwMoveMethod == FILE_CURRENT)
        base = static_cast<LONGLONG>(f->position.load(std::memory_order_relaxed));
    else if (dwMoveMethod == FILE_END)
        base = static_cast<LONGLONG>(f->SizeBytes());
    LONGLONG move = liDistanceToMove.QuadPart;
    if ((move < 0 && base + move < 0) || (move > 0 && base > INT64_MAX - move))
        return Fail(move < 0 ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_PARAMETER);
    LONGLONG target = base + move;
    f->position.store(static_cast<uint64_t>(target), std::memory_order_relaxed);
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = target;
    Positioned &p = positioned;
    p.handle = hFile;
    p.removals = removals;
    p.object = std::move(f);
    return TRUE;
}

namespace {

// One transfer at the handle's position (a pread or pwrite, more only when
// the device moves less at once), advancing the position by what moved.
template <bool Write> BOOL Transfer(HANDLE hFile, void *buffer, DWORD count, LPDWORD moved, LPOVERLAPPED overlapped) {
    if (moved)
        *moved = 0;
    auto f = FindPositioned(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (overlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    if (count && !buffer)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (DWORD error = f->OpenDevice())
        return Fail(error);
    if (f->fd < 0 || !(Write ? f->canWrite : f->canRead))
        return Fail(ERROR_ACCESS_DENIED);
    const uint64_t at = f->position.load(std::memory_order_relaxed);
    if (at > static_cast<uint64_t>(INT64_MAX) - count)
        return Fail(ERROR_SECTOR_NOT_FOUND);
    size_t want = count;
    if (Write && f->replay) {
        // A recording behaves as the disk it stands for: read-only when the
        // disk is, and no byte past its end.
        if (f->disk && f->disk->readOnly)
            return Fail(ErrorFromErrno(EROFS));
        uint64_t size = f->SizeBytes();
        want = static_cast<size_t>(std::min<uint64_t>(want, at < size ? size - at : 0));
        if (want == 0 && count > 0)
            return Fail(ERROR_SECTOR_NOT_FOUND);
    }
    size_t done = 0;
    auto *p = static_cast<uint8_t *>(buffer);
    while (done < want) {
        const auto offset = static_cast<off_t>(at + done);
        ssize_t n = Write ? ::pwrite(f->fd, p + done, want - done, offset) : ::pread(f->fd, p + done, want - done, offset);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (done == 0)
                return Fail(Write && errno == ENOSPC ? ERROR_SECTOR_NOT_FOUND : ErrorFromErrno(errno));
            break;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    f->position.store(at + done, std::memory_order_relaxed);
    if (moved)
        *moved = static_cast<DWORD>(done);
    // A disk has no end-of-file: reading at its end fails as the sector is not there.
    if (!Write && done == 0 && count > 0)
        return Fail(ERROR_SECTOR_NOT_FOUND);
    return TRUE;
}

} // namespace

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    return Transfer<false>(hFile, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead, lpOverlapped);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    return Transfer<true>(hFile, const_cast<void *>(lpBuffer), nNumberOfBytesToWrite, lpNumberOfBytesWritten,
                          lpOverlapped);
}

} // namespace TavPlatform
