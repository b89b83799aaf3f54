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

constexpr DWORD FileReadData = 0x0001, FileWriteData = 0x0002, GenericAll = 0x10000000;

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

HANDLE OpenBlock(const Root &root, const BlockEntry &block, DWORD access, bool asVolume,
                 const std::vector<Extent> *extents = nullptr) {
    auto f = std::make_shared<FileObject>();
    f->root = root;
    f->block = block;
    f->isVolume = asVolume || block.partition;
    if (extents)
        f->extents = *extents;
    f->isDisk = !f->isVolume;
    bool read = (access & (GENERIC_READ | GenericAll | FileReadData)) != 0;
    bool write = (access & (GENERIC_WRITE | GenericAll | FileWriteData)) != 0;

    if (auto error = RecordedOpenError(root, block.name)) {
        Fail(ErrorFromErrno(*error));
        return INVALID_HANDLE_VALUE;
    }
    int flags = O_CLOEXEC | (read && write ? O_RDWR : write ? O_WRONLY : O_RDONLY);
    if (!read && !write)
        flags |= O_NONBLOCK;
    int fd = ::open(root.At("/dev/" + block.name).c_str(), flags);
    if (fd < 0) {
        int error = errno;
        // A handle on a volume, or one for queries only, needs no data
        // access: its answers come from sysfs.
        bool denied = error == EACCES || error == EPERM;
        if (!asVolume && !(denied && !read && !write)) {
            Fail(ErrorFromErrno(error));
            return INVALID_HANDLE_VALUE;
        }
    } else {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || (!S_ISBLK(st.st_mode) && !S_ISREG(st.st_mode))) {
            ::close(fd);
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        f->replay = S_ISREG(st.st_mode);
        f->fd = fd;
        f->canRead = read;
        f->canWrite = write;
    }

    if (!asVolume)
        f->LoadDisk();
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
    h.DeviceType = static_cast<BYTE>(ReadNumber(f.root, d.sys + "/device/type").value_or(0) & 0x1F);
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
    BlockView view(f.root);
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
    if (f.extents) {
        extents = *f.extents;
    } else {
        BlockView view(f.root);
        extents = VolumeExtents(view, f.block);
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
        return OpenBlock(root, volume->entry.block, dwDesiredAccess, true, &volume->extents);
    }
    if (StartsWith(name, L"\\\\.\\PhysicalDrive")) {
        std::string digits = Narrow(name.substr(17));
        char *end = nullptr;
        unsigned long n = std::strtoul(digits.c_str(), &end, 10);
        if (digits.empty() || *end || digits[0] < '0' || digits[0] > '9') {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        BlockView view(root);
        auto disk = view.NthDisk(n);
        if (!disk) {
            Fail(ERROR_FILE_NOT_FOUND);
            return INVALID_HANDLE_VALUE;
        }
        return OpenBlock(root, view.Entry(*disk), dwDesiredAccess, false);
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

BOOL CloseHandle(HANDLE hObject) {
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
    if (dwIoControlCode != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS && dwIoControlCode != IOCTL_STORAGE_GET_DEVICE_NUMBER)
        f->LoadDisk();
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
    auto f = Find<FileObject>(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (f->fd < 0)
        return Fail(ERROR_ACCESS_DENIED);
    if (dwMoveMethod > FILE_END)
        return Fail(ERROR_INVALID_PARAMETER);
    LONGLONG base = 0;
    if (dwMoveMethod == FILE_CURRENT)
        base = ::lseek(f->fd, 0, SEEK_CUR);
    else if (dwMoveMethod == FILE_END)
        base = static_cast<LONGLONG>(f->SizeBytes());
    if (base < 0)
        return Fail(ErrorFromErrno(errno));
    LONGLONG move = liDistanceToMove.QuadPart;
    if ((move < 0 && base + move < 0) || (move > 0 && base > INT64_MAX - move))
        return Fail(move < 0 ? ERROR_NEGATIVE_SEEK : ERROR_INVALID_PARAMETER);
    LONGLONG target = base + move;
    // A block device refuses a position past its end; a recording does the same.
    if (f->replay && static_cast<uint64_t>(target) > f->SizeBytes())
        return Fail(ErrorFromErrno(EINVAL));
    off_t at = ::lseek(f->fd, static_cast<off_t>(target), SEEK_SET);
    if (at < 0)
        return Fail(ErrorFromErrno(errno));
    if (lpNewFilePointer)
        lpNewFilePointer->QuadPart = at;
    return TRUE;
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead,
              LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = 0;
    auto f = Find<FileObject>(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    if (nNumberOfBytesToRead && !lpBuffer)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (f->fd < 0 || !f->canRead)
        return Fail(ERROR_ACCESS_DENIED);
    size_t done = 0;
    auto *p = static_cast<uint8_t *>(lpBuffer);
    while (done < nNumberOfBytesToRead) {
        ssize_t n = ::read(f->fd, p + done, nNumberOfBytesToRead - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (done == 0)
                return Fail(ErrorFromErrno(errno));
            break;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (lpNumberOfBytesRead)
        *lpNumberOfBytesRead = static_cast<DWORD>(done);
    // A disk has no end-of-file: reading at its end fails as the sector is not there.
    if (done == 0 && nNumberOfBytesToRead > 0)
        return Fail(ERROR_SECTOR_NOT_FOUND);
    return TRUE;
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED lpOverlapped) {
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = 0;
    auto f = Find<FileObject>(hFile);
    if (!f)
        return Fail(ERROR_INVALID_HANDLE);
    if (lpOverlapped)
        return Fail(ERROR_INVALID_PARAMETER);
    if (nNumberOfBytesToWrite && !lpBuffer)
        return Fail(ERROR_INVALID_USER_BUFFER);
    if (f->fd < 0 || !f->canWrite)
        return Fail(ERROR_ACCESS_DENIED);
    size_t want = nNumberOfBytesToWrite;
    if (f->replay) {
        // A recording behaves as the disk it stands for: read-only when the
        // disk is, and no byte past its end.
        if (f->disk && f->disk->readOnly)
            return Fail(ErrorFromErrno(EROFS));
        off_t at = ::lseek(f->fd, 0, SEEK_CUR);
        uint64_t size = f->SizeBytes();
        uint64_t room = at >= 0 && static_cast<uint64_t>(at) < size ? size - static_cast<uint64_t>(at) : 0;
        want = static_cast<size_t>(std::min<uint64_t>(want, room));
        if (want == 0 && nNumberOfBytesToWrite > 0)
            return Fail(ERROR_SECTOR_NOT_FOUND);
    }
    size_t done = 0;
    const auto *p = static_cast<const uint8_t *>(lpBuffer);
    while (done < want) {
        ssize_t n = ::write(f->fd, p + done, want - done);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0) {
            if (done == 0)
                return Fail(errno == ENOSPC ? ERROR_SECTOR_NOT_FOUND : ErrorFromErrno(errno));
            break;
        }
        if (n == 0)
            break;
        done += static_cast<size_t>(n);
    }
    if (lpNumberOfBytesWritten)
        *lpNumberOfBytesWritten = static_cast<DWORD>(done);
    return TRUE;
}

} // namespace TavPlatform
