// The TavPlatform operations answered from the installed simulated machine.
//
// Every operation runs under the global lock as one Call: it names its
// target (disk / volume), consults the failure rules, then either fails with
// the platform's error for the situation or answers, and on the way out
// appends its Request to the log when logging is on.
#include "SimState.h"

#include <algorithm>
#include <cstdlib>
#include <cstring>
#include <limits>

namespace TavSim {
namespace {

thread_local DWORD t_lastError = 0;

// Sets the thread's code. In a Windows build the system's own code follows
// it, so that a caller that reads the system's GetLastError after a library
// call (as tavdisk does) sees what the simulated machine answered.
void SetCode(DWORD code) {
    t_lastError = code;
#if defined(_WIN32)
    ::SetLastError(code);
#endif
}

constexpr DWORD kSpintActive = 0x00000001u;
constexpr unsigned kSlotBits = 18;            // up to 2^18 handles and sets open at once
constexpr uintptr_t kSlotMask = (uintptr_t{1} << kSlotBits) - 1;
constexpr uintptr_t kGenMask = std::numeric_limits<uintptr_t>::max() >> (kSlotBits + 2);
constexpr size_t kNoLimit = std::numeric_limits<size_t>::max();

// {4D36E967-E325-11CE-BFC1-08002BE10318}, the disk drive set-up class.
const GUID kDiskDriveClass = {0x4D36E967, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};

bool SameGuid(const GUID &a, const GUID &b) { return std::memcmp(&a, &b, sizeof(GUID)) == 0; }

bool EqualNoCase(const std::wstring &a, const wchar_t *b) {
    size_t i = 0;
    for (; i < a.size(); ++i) {
        wchar_t x = a[i], y = b[i];
        if (y == 0)
            return false;
        if (x >= L'A' && x <= L'Z')
            x = static_cast<wchar_t>(x - L'A' + L'a');
        if (y >= L'A' && y <= L'Z')
            y = static_cast<wchar_t>(y - L'A' + L'a');
        if (x != y)
            return false;
    }
    return b[i] == 0;
}

uint32_t Be32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}

void PutBe(uint8_t *p, uint64_t v, int bytes) {
    for (int i = bytes - 1; i >= 0; --i, v >>= 8)
        p[i] = static_cast<uint8_t>(v);
}

// ---------------------------------------------------------------------------
// The handle table.

HANDLE NewHandle(State &s, HandleKind kind, int target, DWORD access) {
    uint32_t index;
    if (!s.freeSlots.empty()) {
        index = s.freeSlots.back();
        s.freeSlots.pop_back();
    } else {
        if (s.slots.size() > kSlotMask)
            return INVALID_HANDLE_VALUE;
        index = static_cast<uint32_t>(s.slots.size());
        s.slots.emplace_back();
    }
    Globals &g = G();
    uintptr_t gen = g.nextGen++ & kGenMask;
    if (gen == 0)
        gen = g.nextGen++ & kGenMask;
    Slot &slot = s.slots[index];
    slot.gen = gen;
    slot.kind = kind;
    slot.target = target;
    slot.access = access;
    slot.position = 0;
    slot.diskInterfaces = false;
    slot.serial = 0;
    slot.opened.clear();
    if (kind == HandleKind::Set)
        ++s.openSets;
    else
        ++s.openHandles;
    // Low bits 10: never null, never INVALID_HANDLE_VALUE.
    return reinterpret_cast<HANDLE>((gen << (kSlotBits + 2)) | (uintptr_t{index} << 2) | 2u);
}

Slot *FindSlot(State &s, const void *h, HandleKind kind) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if ((v & 3u) != 2u)
        return nullptr;
    const size_t index = (v >> 2) & kSlotMask;
    if (index >= s.slots.size())
        return nullptr;
    Slot &slot = s.slots[index];
    if (slot.kind != kind || slot.gen != (v >> (kSlotBits + 2)))
        return nullptr;
    return &slot;
}

Slot *FindDeviceSlot(State &s, HANDLE h) {
    Slot *slot = FindSlot(s, h, HandleKind::Disk);
    return slot ? slot : FindSlot(s, h, HandleKind::Volume);
}

void FreeSlot(State &s, Slot &slot) {
    if (slot.kind == HandleKind::Set)
        --s.openSets;
    else
        --s.openHandles;
    slot.kind = HandleKind::Free;
    slot.opened.clear();
    s.freeSlots.push_back(static_cast<uint32_t>(&slot - s.slots.data()));
}

// Records filled by a set carry the set's serial and the disk's index in Reserved.
ULONG_PTR InterfaceTag(const Slot &set, int disk) {
    return (ULONG_PTR{set.serial} << 16) | static_cast<ULONG_PTR>(disk + 1);
}

int DiskOfTag(const Slot &set, ULONG_PTR tag) {
    if ((tag >> 16) != set.serial || (tag & 0xFFFF) == 0)
        return -1;
    return static_cast<int>(tag & 0xFFFF) - 1;
}

// ---------------------------------------------------------------------------
// Name lookups. Tests may edit the machine's vectors directly, so a hash hit
// is checked against the name, and a miss falls back to a linear search.

uint64_t HashName(const wchar_t *p, size_t n) {
    uint64_t h = 1469598103934665603ull;
    for (size_t i = 0; i < n; ++i)
        h = (h ^ static_cast<uint32_t>(p[i])) * 1099511628211ull;
    return h;
}

bool SameName(const std::wstring &a, size_t aLength, const wchar_t *b, size_t bLength) {
    return aLength == bLength && aLength <= a.size() && std::wmemcmp(a.data(), b, aLength) == 0;
}

// Index of the first item whose key (the first keyLength(item) characters of
// name(item)) equals `text`, or -1.
template <class Items, class Name, class KeyLength>
int FindByName(std::unordered_map<uint64_t, int> &index, size_t &indexedSize, const Items &items, Name name,
               KeyLength keyLength, const wchar_t *text) {
    const size_t n = std::wcslen(text);
    const uint64_t h = HashName(text, n);
    if (indexedSize != items.size()) {
        index.clear();
        for (size_t i = 0; i < items.size(); ++i) {
            const std::wstring &key = name(items[i]);
            if (keyLength(key) <= key.size())
                index.emplace(HashName(key.data(), keyLength(key)), static_cast<int>(i));
        }
        indexedSize = items.size();
    }
    auto it = index.find(h);
    if (it != index.end() && static_cast<size_t>(it->second) < items.size()) {
        const std::wstring &key = name(items[static_cast<size_t>(it->second)]);
        if (SameName(key, keyLength(key), text, n))
            return it->second;
    }
    for (size_t i = 0; i < items.size(); ++i) {
        const std::wstring &key = name(items[i]);
        if (SameName(key, keyLength(key), text, n)) {
            index[h] = static_cast<int>(i);
            return static_cast<int>(i);
        }
    }
    return -1;
}

size_t WholeName(const std::wstring &key) { return key.size(); }
// A volume's device name: its name without the trailing backslash (none when
// the name does not end in one).
size_t DeviceName(const std::wstring &key) {
    return !key.empty() && key.back() == L'\\' ? key.size() - 1 : std::wstring::npos;
}

int FindDisk(State &s, const Machine &m, const wchar_t *path) {
    return FindByName(
        s.diskByPath, s.indexedDisks, m.disks, [](const Disk &d) -> const std::wstring & { return d.devicePath; },
        WholeName, path);
}

int FindVolume(State &s, const Machine &m, const wchar_t *name, bool device) {
    auto volumeName = [](const Volume &v) -> const std::wstring & { return v.name; };
    // Both indexes follow the volumes vector; each keeps its own size mark.
    size_t &mark = device ? s.indexedVolumes : s.indexedVolumesByName;
    return device ? FindByName(s.volumeByDevice, mark, m.volumes, volumeName, DeviceName, name)
                  : FindByName(s.volumeByName, mark, m.volumes, volumeName, WholeName, name);
}

// ---------------------------------------------------------------------------
// One platform call.

class Call {
public:
    explicit Call(Op op) : g(G()), lock(g.mu), m(g.current), s(m ? &Backend::Of(*m) : nullptr) { req.op = op; }
    ~Call() {
        if (s && m->logging)
            s->log.push_back(std::move(req));
    }
    Call(const Call &) = delete;
    Call &operator=(const Call &) = delete;

    bool Logging() const { return s && m->logging; }

    // Consults the failure rules once req names the target. True when the
    // call must fail with faultError; otherwise a rule may have set a
    // delivery limit or an error code to leave on success.
    bool Faulted() {
        for (FaultRule &r : s->faults) {
            const Fault &f = r.fault;
            if (f.op != req.op || (f.ioctl != 0 && f.ioctl != req.ioctl) || (f.disk != -1 && f.disk != req.disk) ||
                (f.volume != -1 && f.volume != req.volume))
                continue;
            if (r.seen++ < f.skip || (f.times >= 0 && r.applied >= f.times))
                continue;
            ++r.applied;
            if (!f.shortBytes && !f.succeedWithError) {
                faultError = f.error;
                return true;
            }
            if (f.shortBytes)
                limit = *f.shortBytes;
            if (f.succeedWithError) {
                errorOnSuccess = true;
                successError = f.error;
            }
            return false;
        }
        return false;
    }

    template <class T> T Fail(DWORD error, T result) {
        SetCode(error);
        req.succeeded = false;
        req.error = error;
        return result;
    }
    template <class T> T Ok(T result) {
        req.succeeded = true;
        if (errorOnSuccess) {
            SetCode(successError);
            req.error = successError;
        }
        return result;
    }
    CONFIGRET Cr(CONFIGRET cr) {
        req.succeeded = cr == CR_SUCCESS;
        req.error = cr;
        return cr;
    }

    // Writes bytes [offset, offset + n) of the answer into `base`, cut at the
    // delivery limit.
    void PutAt(void *base, size_t offset, const void *src, size_t n) const {
        if (offset >= limit || n == 0)
            return;
        std::memcpy(static_cast<uint8_t *>(base) + offset, src, std::min(n, limit - offset));
    }
    size_t Delivered(size_t answerBytes) const { return std::min(answerBytes, limit); }

    Disk *DiskAt(int index) const {
        return index >= 0 && static_cast<size_t>(index) < m->disks.size() ? &m->disks[static_cast<size_t>(index)]
                                                                           : nullptr;
    }
    int DiskOfDevInst(DEVINST dn) const {
        for (size_t i = 0; i < m->disks.size(); ++i)
            if (m->disks[i].devInst == dn)
                return static_cast<int>(i);
        return -1;
    }
    const DeviceNode *Node(DEVINST dn) const {
        for (const DeviceNode &n : m->nodes)
            if (n.devInst == dn)
                return &n;
        return nullptr;
    }

    Globals &g;
    std::lock_guard<std::mutex> lock;
    Machine *m;
    State *s;
    Request req;
    size_t limit = kNoLimit;
    DWORD faultError = 0;
    bool errorOnSuccess = false;
    DWORD successError = 0;
};

// With no machine installed every call except the memory calls fails.
constexpr DWORD kNoMachineError = ERROR_NOT_READY;

// ---------------------------------------------------------------------------
// Control requests on a disk.

BOOL QueryProperty(Call &c, const Disk &d, const void *in, DWORD inSize, void *out, DWORD outSize, DWORD *ret) {
    if (!in || inSize < sizeof(STORAGE_PROPERTY_QUERY))
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    uint32_t propertyId, queryType;
    std::memcpy(&propertyId, static_cast<const uint8_t *>(in) + offsetof(STORAGE_PROPERTY_QUERY, PropertyId), 4);
    std::memcpy(&queryType, static_cast<const uint8_t *>(in) + offsetof(STORAGE_PROPERTY_QUERY, QueryType), 4);
    const Bytes *answer = propertyId == StorageDeviceProperty    ? &d.deviceDescriptor
                          : propertyId == StorageAdapterProperty ? &d.adapterDescriptor
                                                                 : nullptr;
    if (!answer || answer->empty())
        return c.Fail(ERROR_NOT_SUPPORTED, FALSE);
    if (queryType == PropertyExistsQuery)
        return c.Ok(TRUE);
    if (queryType != PropertyStandardQuery)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (outSize < sizeof(STORAGE_DESCRIPTOR_HEADER))
        return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    // A buffer shorter than the descriptor receives the part that fits.
    const size_t n = std::min<size_t>(outSize, answer->size());
    c.PutAt(out, 0, answer->data(), n);
    *ret = static_cast<DWORD>(c.Delivered(n));
    return c.Ok(TRUE);
}

template <class T> BOOL Answer(Call &c, const T &record, void *out, DWORD outSize, DWORD *ret) {
    if (outSize < sizeof(T))
        return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    c.PutAt(out, 0, &record, sizeof(T));
    *ret = static_cast<DWORD>(c.Delivered(sizeof(T)));
    return c.Ok(TRUE);
}

BOOL SmartReceive(Call &c, const Disk &d, const void *in, DWORD inSize, void *out, DWORD outSize, DWORD *ret) {
    if (!d.ata)
        return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
    if (!in || inSize < sizeof(SENDCMDINPARAMS) - 1)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    const uint8_t command = static_cast<const uint8_t *>(
        in)[offsetof(SENDCMDINPARAMS, irDriveRegs) + offsetof(IDEREGS, bCommandReg)];
    const size_t header = offsetof(SENDCMDOUTPARAMS, bBuffer);
    SENDCMDOUTPARAMS status;
    std::memset(&status, 0, sizeof status);
    if (command != ID_CMD) {
        // The drive aborts what it does not know: driver error, ABRT in the error register.
        if (outSize < header)
            return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
        status.DriverStatus.bDriverError = 1;
        status.DriverStatus.bIDEError = 0x04;
        c.PutAt(out, 0, &status, header);
        *ret = static_cast<DWORD>(c.Delivered(header));
        return c.Ok(TRUE);
    }
    if (outSize < header + IDENTIFY_BUFFER_SIZE)
        return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    status.cBufferSize = IDENTIFY_BUFFER_SIZE;
    c.PutAt(out, 0, &status, header);
    static const uint8_t zeros[IDENTIFY_BUFFER_SIZE] = {};
    const size_t have = std::min<size_t>(d.identify.size(), IDENTIFY_BUFFER_SIZE);
    c.PutAt(out, header, d.identify.data(), have);
    c.PutAt(out, header + have, zeros, IDENTIFY_BUFFER_SIZE - have);
    *ret = static_cast<DWORD>(c.Delivered(header + IDENTIFY_BUFFER_SIZE));
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

BOOL PassThrough(Call &c, const Disk &d, const void *in, DWORD inSize, void *out, DWORD outSize, DWORD *ret) {
    if (!d.scsi)
        return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
    const size_t size = sizeof(SCSI_PASS_THROUGH_DIRECT);
    if (!in || !out || inSize < size || outSize < size)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    SCSI_PASS_THROUGH_DIRECT p;
    std::memcpy(&p, in, size);
    if (p.Length != size || p.CdbLength == 0 || p.CdbLength > sizeof p.Cdb || p.DataIn > SCSI_IOCTL_DATA_UNSPECIFIED ||
        (p.DataTransferLength != 0 && !p.DataBuffer) ||
        (p.SenseInfoLength != 0 &&
         (p.SenseInfoOffset < size || uint64_t{p.SenseInfoOffset} + p.SenseInfoLength > outSize)))
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    // The data moves straight to and from the buffer: it must meet the
    // adapter's alignment.
    if (p.DataTransferLength != 0 && (reinterpret_cast<uintptr_t>(p.DataBuffer) & AlignmentMaskOf(d)) != 0)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);

    uint8_t reply[32] = {};
    const uint8_t *data = reply;
    size_t n = 0;
    bool good = true;
    switch (p.Cdb[0]) {
    case 0x12: // INQUIRY; vital product data pages are not kept
        if (p.Cdb[1] & 1) {
            good = false;
            break;
        }
        data = d.inquiry.data();
        n = std::min<size_t>((size_t{p.Cdb[3]} << 8) | p.Cdb[4], d.inquiry.size());
        break;
    case 0x25: // READ CAPACITY(10)
        PutBe(reply, std::min<uint64_t>(d.lastLba, 0xFFFFFFFFu), 4);
        PutBe(reply + 4, d.blockLength, 4);
        n = 8;
        break;
    case 0x9E: // SERVICE ACTION IN(16): READ CAPACITY(16)
        if ((p.Cdb[1] & 0x1F) != 0x10 || p.CdbLength < 16) {
            good = false;
            break;
        }
        PutBe(reply, d.lastLba, 8);
        PutBe(reply + 8, d.blockLength, 4);
        n = std::min<size_t>(32, Be32(p.Cdb + 10));
        break;
    default:
        good = false;
        break;
    }
    if (!good || p.DataIn != SCSI_IOCTL_DATA_IN)
        n = 0;
    n = std::min<size_t>(n, p.DataTransferLength);
    c.PutAt(p.DataBuffer, 0, data, n);
    p.DataTransferLength = static_cast<ULONG>(c.Delivered(n));
    p.ScsiStatus = good ? 0 : 2; // GOOD or CHECK CONDITION
    if (good) {
        p.SenseInfoLength = 0;
    } else if (p.SenseInfoLength != 0) {
        // Fixed-format sense: ILLEGAL REQUEST, INVALID COMMAND OPERATION CODE.
        uint8_t sense[18] = {0x70, 0, 0x05, 0, 0, 0, 0, 10, 0, 0, 0, 0, 0x20, 0, 0, 0, 0, 0};
        const size_t k = std::min<size_t>(sizeof sense, p.SenseInfoLength);
        std::memcpy(static_cast<uint8_t *>(out) + p.SenseInfoOffset, sense, k);
        p.SenseInfoLength = static_cast<UCHAR>(k);
    }
    std::memcpy(out, &p, size);
    *ret = static_cast<DWORD>(size);
    return c.Ok(TRUE);
}

BOOL DiskControl(Call &c, const Disk &d, DWORD code, const void *in, DWORD inSize, void *out, DWORD outSize,
                 DWORD *ret) {
    switch (code) {
    case IOCTL_STORAGE_QUERY_PROPERTY:
        return QueryProperty(c, d, in, inSize, out, outSize, ret);
    case IOCTL_STORAGE_GET_DEVICE_NUMBER: {
        STORAGE_DEVICE_NUMBER n;
        std::memset(&n, 0, sizeof n);
        n.DeviceType = FILE_DEVICE_DISK;
        n.DeviceNumber = d.deviceNumber;
        n.PartitionNumber = 0; // the whole disk
        return Answer(c, n, out, outSize, ret);
    }
    case SMART_GET_VERSION: {
        if (!d.ata)
            return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
        GETVERSIONINPARAMS v;
        std::memset(&v, 0, sizeof v);
        v.bVersion = 1;
        v.bRevision = 1;
        v.bIDEDeviceMap = 1;
        v.fCapabilities = 0x7; // ATA IDENTIFY, ATAPI IDENTIFY, SMART
        return Answer(c, v, out, outSize, ret);
    }
    case SMART_RCV_DRIVE_DATA:
        return SmartReceive(c, d, in, inSize, out, outSize, ret);
    case IOCTL_DISK_CONTROLLER_NUMBER:
        if (!d.controllerNumber)
            return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
        return Answer(c, *d.controllerNumber, out, outSize, ret);
    case IOCTL_SCSI_GET_ADDRESS: {
        if (!d.scsiAddress)
            return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
        SCSI_ADDRESS a = *d.scsiAddress;
        a.Length = sizeof(SCSI_ADDRESS);
        return Answer(c, a, out, outSize, ret);
    }
    case IOCTL_DISK_GET_DRIVE_GEOMETRY:
        if (!d.geometry)
            return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
        return Answer(c, *d.geometry, out, outSize, ret);
    case IOCTL_SCSI_PASS_THROUGH_DIRECT:
        return PassThrough(c, d, in, inSize, out, outSize, ret);
    default:
        return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
    }
}

// Control requests on a volume: only the disk extents.
BOOL VolumeControl(Call &c, const Volume &v, DWORD code, void *out, DWORD outSize, DWORD *ret) {
    if (code != IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS)
        return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
    if (outSize < sizeof(VOLUME_DISK_EXTENTS))
        return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    const size_t head = offsetof(VOLUME_DISK_EXTENTS, Extents);
    const size_t room = (outSize - head) / sizeof(DISK_EXTENT);
    const size_t k = std::min(room, v.extents.size());
    // A broken volume may claim a count of its own; only real extents are written.
    const DWORD count = v.claimedExtentCount ? *v.claimedExtentCount : static_cast<DWORD>(v.extents.size());
    c.PutAt(out, 0, &count, sizeof count);
    for (size_t i = 0; i < k; ++i) {
        DISK_EXTENT e;
        std::memset(&e, 0, sizeof e);
        e.DiskNumber = v.extents[i].diskNumber;
        e.StartingOffset.QuadPart = static_cast<LONGLONG>(v.extents[i].start);
        e.ExtentLength.QuadPart = static_cast<LONGLONG>(v.extents[i].length);
        c.PutAt(out, head + i * sizeof(DISK_EXTENT), &e, sizeof e);
    }
    *ret = static_cast<DWORD>(c.Delivered(head + k * sizeof(DISK_EXTENT)));
    // A buffer with room for fewer extents than the volume has: the count and
    // the extents that fit, and the request reports more data.
    if (room < count)
        return c.Fail(ERROR_MORE_DATA, FALSE);
    return c.Ok(TRUE);
}

// Sector transfers: aligned to the disk's sector size and inside the disk.
DWORD CheckTransfer(const Disk &d, uint64_t position, DWORD count) {
    const uint64_t sector = d.geometry && d.geometry->BytesPerSector ? d.geometry->BytesPerSector : d.blockLength;
    if (sector != 0 && (position % sector != 0 || count % sector != 0))
        return ERROR_INVALID_PARAMETER;
    if (count != 0 && (position > d.sizeBytes || count > d.sizeBytes - position))
        return ERROR_SECTOR_NOT_FOUND;
    return ERROR_SUCCESS;
}

template <bool Write> BOOL Transfer(Op op, HANDLE h, const void *src, void *dst, DWORD count, DWORD *moved) {
    if (moved)
        *moved = 0; // set before any work or checking, as the platform does
    Call c(op);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    Slot *slot = FindSlot(*c.s, h, HandleKind::Disk);
    const bool volumeHandle = !slot && FindSlot(*c.s, h, HandleKind::Volume);
    if (slot)
        c.req.disk = slot->target;
    c.req.outSize = count;
    if (slot)
        c.req.position = slot->position;
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (volumeHandle)
        return c.Fail(ERROR_INVALID_FUNCTION, FALSE);
    if (!slot)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    Disk *d = c.DiskAt(slot->target);
    if (!d)
        return c.Fail(ERROR_DEV_NOT_EXIST, FALSE);
    const DWORD needed = Write ? GENERIC_WRITE : GENERIC_READ;
    if (!(slot->access & (needed | GENERIC_ALL)))
        return c.Fail(ERROR_ACCESS_DENIED, FALSE);
    if (count != 0 && !(Write ? src : dst))
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DWORD e = CheckTransfer(*d, slot->position, count))
        return c.Fail(e, FALSE);
    const size_t k = c.Delivered(count);
    if (Write)
        StoreWrite(*d, slot->position, static_cast<const uint8_t *>(src), k);
    else
        StoreRead(*d, slot->position, static_cast<uint8_t *>(dst), k);
    slot->position += k;
    if (moved)
        *moved = static_cast<DWORD>(k);
    return c.Ok(TRUE);
}

BOOL InfoDataSizeWrong(const SP_DEVINFO_DATA *p) { return p && p->cbSize != sizeof(SP_DEVINFO_DATA); }

} // namespace
} // namespace TavSim

// ===========================================================================
// The platform seam.

namespace TavPlatform {

using namespace TavSim;

DWORD GetLastError() { return t_lastError; }

void SetLastError(DWORD dwErrCode) { SetCode(dwErrCode); }

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    Call c(Op::LocalAlloc);
    c.req.flags = uFlags;
    c.req.position = uBytes;
    if (c.s) {
        const long call = c.s->allocCalls++;
        if (call == c.s->failOneAt || (c.s->failFromAt >= 0 && call >= c.s->failFromAt))
            return c.Fail(ERROR_NOT_ENOUGH_MEMORY, HLOCAL{nullptr});
        if (c.Faulted())
            return c.Fail(c.faultError, HLOCAL{nullptr});
    }
    if (uBytes > Machine::MaxBlockBytes)
        return c.Fail(ERROR_NOT_ENOUGH_MEMORY, HLOCAL{nullptr});
    void *p = std::malloc(uBytes ? uBytes : 1);
    if (!p)
        return c.Fail(ERROR_NOT_ENOUGH_MEMORY, HLOCAL{nullptr});
    // Unrequested clearing would hide reads of memory nobody wrote.
    std::memset(p, (uFlags & LMEM_ZEROINIT) ? 0 : 0xCD, uBytes);
    BlockInfo info;
    info.size = uBytes;
    info.owner = c.s ? c.s->id : 0;
    c.g.blocks[p] = info;
    if (c.s) {
        ++c.s->blocksAllocated;
        ++c.s->liveBlocks;
    }
    return c.Ok(static_cast<HLOCAL>(p));
}

HLOCAL LocalFree(HLOCAL hMem) {
    Call c(Op::LocalFree);
    if (c.s && c.Faulted())
        return c.Fail(c.faultError, hMem);
    if (!hMem)
        return c.Ok(HLOCAL{nullptr});
    auto it = c.g.blocks.find(hMem);
    if (it == c.g.blocks.end()) {
        if (c.s)
            ++c.s->badReleases;
        else
            ++c.g.strayBadReleases;
        return c.Fail(ERROR_INVALID_HANDLE, hMem);
    }
    const BlockInfo info = it->second;
    c.g.blocks.erase(it);
    auto owner = c.g.machines.find(info.owner);
    if (owner != c.g.machines.end())
        --owner->second->liveBlocks;
    std::memset(hMem, 0xDD, info.size);
    std::free(hMem);
    return c.Ok(HLOCAL{nullptr});
}

SIZE_T LocalSize(HLOCAL hMem) {
    Call c(Op::LocalSize);
    if (c.s && c.Faulted())
        return c.Fail(c.faultError, SIZE_T{0});
    auto it = hMem ? c.g.blocks.find(hMem) : c.g.blocks.end();
    if (it == c.g.blocks.end())
        return c.Fail(ERROR_INVALID_HANDLE, SIZE_T{0});
    return c.Ok(it->second.size);
}

HANDLE CreateFileW(LPCWSTR lpFileName, DWORD dwDesiredAccess, DWORD dwShareMode, LPSECURITY_ATTRIBUTES,
                   DWORD dwCreationDisposition, DWORD dwFlagsAndAttributes, HANDLE) {
    Call c(Op::CreateFileW);
    if (!c.s)
        return c.Fail(kNoMachineError, INVALID_HANDLE_VALUE);
    if (c.Logging()) {
        c.req.path = lpFileName ? lpFileName : L"";
        c.req.access = dwDesiredAccess;
        c.req.share = dwShareMode;
        c.req.disposition = dwCreationDisposition;
        c.req.flags = dwFlagsAndAttributes;
    }
    bool volumeRoot = false; // the volume name with its trailing backslash: its root directory
    if (lpFileName) {
        // The likely kind first, so that an ordinary open finds its target at once.
        const bool volumeLike = std::wcsncmp(lpFileName, L"\\\\?\\Volume{", 11) == 0;
        if (!volumeLike)
            c.req.disk = FindDisk(*c.s, *c.m, lpFileName);
        if (c.req.disk < 0) {
            c.req.volume = FindVolume(*c.s, *c.m, lpFileName, true);
            if (c.req.volume < 0) {
                c.req.volume = FindVolume(*c.s, *c.m, lpFileName, false);
                volumeRoot = c.req.volume >= 0;
            }
        }
        if (volumeLike && c.req.volume < 0)
            c.req.disk = FindDisk(*c.s, *c.m, lpFileName);
    }
    if (c.Faulted())
        return c.Fail(c.faultError, INVALID_HANDLE_VALUE);
    if (!lpFileName || dwCreationDisposition < 1 || dwCreationDisposition > 5)
        return c.Fail(ERROR_INVALID_PARAMETER, INVALID_HANDLE_VALUE);
    HANDLE h = INVALID_HANDLE_VALUE;
    if (c.req.disk >= 0) {
        const Disk &d = c.m->disks[static_cast<size_t>(c.req.disk)];
        if (!d.openable)
            return c.Fail(d.openError, INVALID_HANDLE_VALUE);
        h = NewHandle(*c.s, HandleKind::Disk, c.req.disk, dwDesiredAccess);
    } else if (c.req.volume >= 0) {
        // A directory opened without backup semantics is refused.
        if (volumeRoot || !c.m->volumes[static_cast<size_t>(c.req.volume)].openable)
            return c.Fail(ERROR_ACCESS_DENIED, INVALID_HANDLE_VALUE);
        h = NewHandle(*c.s, HandleKind::Volume, c.req.volume, dwDesiredAccess);
    } else {
        return c.Fail(ERROR_FILE_NOT_FOUND, INVALID_HANDLE_VALUE);
    }
    if (h == INVALID_HANDLE_VALUE)
        return c.Fail(ERROR_NO_SYSTEM_RESOURCES, INVALID_HANDLE_VALUE);
    return c.Ok(h);
}

BOOL CloseHandle(HANDLE hObject) {
    Call c(Op::CloseHandle);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    Slot *slot = FindDeviceSlot(*c.s, hObject);
    if (slot)
        (slot->kind == HandleKind::Disk ? c.req.disk : c.req.volume) = slot->target;
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!slot) {
        ++c.s->badReleases;
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    FreeSlot(*c.s, *slot);
    return c.Ok(TRUE);
}

BOOL DeviceIoControl(HANDLE hDevice, DWORD dwIoControlCode, LPVOID lpInBuffer, DWORD nInBufferSize,
                     LPVOID lpOutBuffer, DWORD nOutBufferSize, LPDWORD lpBytesReturned, LPOVERLAPPED) {
    DWORD ignored = 0;
    DWORD *ret = lpBytesReturned ? lpBytesReturned : &ignored;
    *ret = 0;
    Call c(Op::DeviceIoControl);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.ioctl = dwIoControlCode;
    c.req.inSize = nInBufferSize;
    c.req.outSize = nOutBufferSize;
    if (c.Logging() && lpInBuffer && nInBufferSize)
        c.req.input.assign(static_cast<const uint8_t *>(lpInBuffer),
                           static_cast<const uint8_t *>(lpInBuffer) + nInBufferSize);
    Slot *slot = FindDeviceSlot(*c.s, hDevice);
    if (slot)
        (slot->kind == HandleKind::Disk ? c.req.disk : c.req.volume) = slot->target;
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!slot)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    // The access bits of the control code against the handle's access.
    const DWORD need = (dwIoControlCode >> 14) & 3;
    const DWORD have = slot->access;
    if (((need & 1) && !(have & (GENERIC_READ | GENERIC_ALL))) ||
        ((need & 2) && !(have & (GENERIC_WRITE | GENERIC_ALL))))
        return c.Fail(ERROR_ACCESS_DENIED, FALSE);
    if ((!lpInBuffer && nInBufferSize) || (!lpOutBuffer && nOutBufferSize))
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (slot->kind == HandleKind::Volume) {
        if (static_cast<size_t>(slot->target) >= c.m->volumes.size())
            return c.Fail(ERROR_DEV_NOT_EXIST, FALSE);
        return VolumeControl(c, c.m->volumes[static_cast<size_t>(slot->target)], dwIoControlCode, lpOutBuffer,
                             nOutBufferSize, ret);
    }
    const Disk *d = c.DiskAt(slot->target);
    if (!d)
        return c.Fail(ERROR_DEV_NOT_EXIST, FALSE);
    return DiskControl(c, *d, dwIoControlCode, lpInBuffer, nInBufferSize, lpOutBuffer, nOutBufferSize, ret);
}

BOOL SetFilePointerEx(HANDLE hFile, LARGE_INTEGER liDistanceToMove, PLARGE_INTEGER lpNewFilePointer,
                      DWORD dwMoveMethod) {
    Call c(Op::SetFilePointerEx);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    const int64_t distance = liDistanceToMove.QuadPart;
    c.req.position = static_cast<uint64_t>(distance);
    c.req.flags = dwMoveMethod;
    Slot *slot = FindSlot(*c.s, hFile, HandleKind::Disk);
    if (slot)
        c.req.disk = slot->target;
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!slot)
        return c.Fail(FindSlot(*c.s, hFile, HandleKind::Volume) ? ERROR_INVALID_FUNCTION : ERROR_INVALID_HANDLE,
                      FALSE);
    const Disk *d = c.DiskAt(slot->target);
    if (!d)
        return c.Fail(ERROR_DEV_NOT_EXIST, FALSE);
    uint64_t base;
    switch (dwMoveMethod) {
    case FILE_BEGIN: base = 0; break;
    case FILE_CURRENT: base = slot->position; break;
    case FILE_END: base = d->sizeBytes; break;
    default: return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    uint64_t position;
    if (distance < 0) {
        const uint64_t back = 0 - static_cast<uint64_t>(distance);
        if (back > base)
            return c.Fail(ERROR_NEGATIVE_SEEK, FALSE);
        position = base - back;
    } else {
        position = base + static_cast<uint64_t>(distance);
        if (position < base || position > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()))
            return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    }
    slot->position = position; // a disk accepts any position; transfers check it
    if (lpNewFilePointer) {
        LARGE_INTEGER answer;
        answer.QuadPart = static_cast<LONGLONG>(position);
        c.PutAt(lpNewFilePointer, 0, &answer, sizeof answer);
    }
    return c.Ok(TRUE);
}

BOOL ReadFile(HANDLE hFile, LPVOID lpBuffer, DWORD nNumberOfBytesToRead, LPDWORD lpNumberOfBytesRead, LPOVERLAPPED) {
    return Transfer<false>(Op::ReadFile, hFile, nullptr, lpBuffer, nNumberOfBytesToRead, lpNumberOfBytesRead);
}

BOOL WriteFile(HANDLE hFile, LPCVOID lpBuffer, DWORD nNumberOfBytesToWrite, LPDWORD lpNumberOfBytesWritten,
               LPOVERLAPPED) {
    return Transfer<true>(Op::WriteFile, hFile, lpBuffer, nullptr, nNumberOfBytesToWrite, lpNumberOfBytesWritten);
}

// ---------------------------------------------------------------------------
// Volumes.

namespace {

// Writes volume `index`'s name if the buffer holds it with its terminator.
BOOL PutVolumeName(Call &c, size_t index, LPWSTR buffer, DWORD capacity) {
    const std::wstring &name = c.m->volumes[index].name;
    if (!buffer)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (capacity < name.size() + 1)
        return c.Fail(ERROR_FILENAME_EXCED_RANGE, FALSE);
    c.PutAt(buffer, 0, name.c_str(), (name.size() + 1) * sizeof(WCHAR));
    return TRUE;
}

} // namespace

HANDLE FindFirstVolumeW(LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    Call c(Op::FindFirstVolumeW);
    if (!c.s)
        return c.Fail(kNoMachineError, INVALID_HANDLE_VALUE);
    c.req.outSize = cchBufferLength;
    if (!c.m->volumes.empty())
        c.req.volume = 0;
    if (c.Faulted())
        return c.Fail(c.faultError, INVALID_HANDLE_VALUE);
    if (c.m->volumes.empty())
        return c.Fail(ERROR_NO_MORE_FILES, INVALID_HANDLE_VALUE);
    if (!PutVolumeName(c, 0, lpszVolumeName, cchBufferLength))
        return INVALID_HANDLE_VALUE;
    HANDLE h = NewHandle(*c.s, HandleKind::VolumeSearch, 1, 0);
    if (h == INVALID_HANDLE_VALUE)
        return c.Fail(ERROR_NO_SYSTEM_RESOURCES, INVALID_HANDLE_VALUE);
    return c.Ok(h);
}

BOOL FindNextVolumeW(HANDLE hFindVolume, LPWSTR lpszVolumeName, DWORD cchBufferLength) {
    Call c(Op::FindNextVolumeW);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.outSize = cchBufferLength;
    Slot *slot = FindSlot(*c.s, hFindVolume, HandleKind::VolumeSearch);
    const bool more = slot && static_cast<size_t>(slot->target) < c.m->volumes.size();
    if (more)
        c.req.volume = slot->target;
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!slot)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!more)
        return c.Fail(ERROR_NO_MORE_FILES, FALSE);
    // A name that does not fit is not consumed: a retry with room gets it.
    if (!PutVolumeName(c, static_cast<size_t>(slot->target), lpszVolumeName, cchBufferLength))
        return FALSE;
    ++slot->target;
    return c.Ok(TRUE);
}

BOOL FindVolumeClose(HANDLE hFindVolume) {
    Call c(Op::FindVolumeClose);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    Slot *slot = FindSlot(*c.s, hFindVolume, HandleKind::VolumeSearch);
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!slot) {
        ++c.s->badReleases;
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    FreeSlot(*c.s, *slot);
    return c.Ok(TRUE);
}

BOOL GetVolumePathNamesForVolumeNameW(LPCWSTR lpszVolumeName, LPWSTR lpszVolumePathNames, DWORD cchBufferLength,
                                      PDWORD lpcchReturnLength) {
    Call c(Op::GetVolumePathNamesForVolumeNameW);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.outSize = cchBufferLength;
    if (c.Logging())
        c.req.path = lpszVolumeName ? lpszVolumeName : L"";
    bool withoutBackslash = false;
    if (lpszVolumeName) {
        c.req.volume = FindVolume(*c.s, *c.m, lpszVolumeName, false);
        withoutBackslash = c.req.volume < 0 && FindVolume(*c.s, *c.m, lpszVolumeName, true) >= 0;
    }
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!lpszVolumeName)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (c.req.volume < 0)
        return c.Fail(withoutBackslash ? ERROR_INVALID_NAME : ERROR_FILE_NOT_FOUND, FALSE);
    const Volume &v = c.m->volumes[static_cast<size_t>(c.req.volume)];
    // The multi-string: each name with its terminator, then the empty name.
    size_t whole = 1;
    for (const std::wstring &p : v.pathNames)
        whole += p.size() + 1;
    const size_t needed = c.m->pathNameLengthsCountFinalTerminator ? whole : whole - 1;
    if (cchBufferLength < needed) {
        if (lpcchReturnLength)
            *lpcchReturnLength = static_cast<DWORD>(needed);
        return c.Fail(ERROR_MORE_DATA, FALSE);
    }
    if (!lpszVolumePathNames)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    size_t at = 0;
    for (const std::wstring &p : v.pathNames) {
        c.PutAt(lpszVolumePathNames, at * sizeof(WCHAR), p.c_str(), (p.size() + 1) * sizeof(WCHAR));
        at += p.size() + 1;
    }
    const WCHAR nul = 0;
    if (at < cchBufferLength)
        c.PutAt(lpszVolumePathNames, at * sizeof(WCHAR), &nul, sizeof nul);
    // On success the length is the count of characters copied.
    if (lpcchReturnLength)
        *lpcchReturnLength = static_cast<DWORD>(c.Delivered(needed * sizeof(WCHAR)) / sizeof(WCHAR));
    return c.Ok(TRUE);
}

UINT GetWindowsDirectoryW(LPWSTR lpBuffer, UINT uSize) {
    Call c(Op::GetWindowsDirectoryW);
    if (!c.s)
        return c.Fail(kNoMachineError, UINT{0});
    c.req.outSize = uSize;
    if (c.Faulted())
        return c.Fail(c.faultError, UINT{0});
    if (!c.m->windowsDirectory)
        return c.Fail(ERROR_PATH_NOT_FOUND, UINT{0});
    const std::wstring &dir = *c.m->windowsDirectory;
    // Fits: the length without the terminator; else the size needed with it.
    if (!lpBuffer || uSize < dir.size() + 1)
        return c.Ok(static_cast<UINT>(dir.size() + 1));
    c.PutAt(lpBuffer, 0, dir.c_str(), (dir.size() + 1) * sizeof(WCHAR));
    return c.Ok(static_cast<UINT>(dir.size()));
}

// ---------------------------------------------------------------------------
// Device set-up.

HDEVINFO SetupDiGetClassDevsExW(const GUID *ClassGuid, PCWSTR, HWND, DWORD Flags, HDEVINFO DeviceInfoSet,
                                PCWSTR MachineName, void *Reserved) {
    Call c(Op::SetupDiGetClassDevsExW);
    if (!c.s)
        return c.Fail(kNoMachineError, HDEVINFO{INVALID_HANDLE_VALUE});
    c.req.flags = Flags;
    if (c.Faulted())
        return c.Fail(c.faultError, HDEVINFO{INVALID_HANDLE_VALUE});
    if ((!ClassGuid && !(Flags & DIGCF_ALLCLASSES)) || Reserved || (MachineName && MachineName[0]))
        return c.Fail(ERROR_INVALID_PARAMETER, HDEVINFO{INVALID_HANDLE_VALUE});
    if (!c.m->interfacesEnumerable)
        return c.Fail(ERROR_INVALID_DATA, HDEVINFO{INVALID_HANDLE_VALUE});
    const bool disks = (Flags & DIGCF_DEVICEINTERFACE) &&
                       ((Flags & DIGCF_ALLCLASSES) || SameGuid(*ClassGuid, TavPlatform::DiskInterfaceClass));
    if (DeviceInfoSet && DeviceInfoSet != INVALID_HANDLE_VALUE) {
        // Adding to an existing set returns that set.
        Slot *set = FindSlot(*c.s, DeviceInfoSet, HandleKind::Set);
        if (!set)
            return c.Fail(ERROR_INVALID_HANDLE, HDEVINFO{INVALID_HANDLE_VALUE});
        set->diskInterfaces = set->diskInterfaces || disks;
        return c.Ok(DeviceInfoSet);
    }
    HANDLE h = NewHandle(*c.s, HandleKind::Set, -1, 0);
    if (h == INVALID_HANDLE_VALUE)
        return c.Fail(ERROR_NO_SYSTEM_RESOURCES, HDEVINFO{INVALID_HANDLE_VALUE});
    Slot *set = FindSlot(*c.s, h, HandleKind::Set);
    set->diskInterfaces = disks;
    set->serial = c.s->nextSetSerial;
    c.s->nextSetSerial = c.s->nextSetSerial % 0x7FFF + 1;
    return c.Ok(HDEVINFO{h});
}

BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    Call c(Op::SetupDiDestroyDeviceInfoList);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    Slot *set = FindSlot(*c.s, DeviceInfoSet, HandleKind::Set);
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!set) {
        ++c.s->badReleases;
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    }
    FreeSlot(*c.s, *set);
    return c.Ok(TRUE);
}

BOOL SetupDiEnumDeviceInterfaces(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData,
                                 const GUID *InterfaceClassGuid, DWORD MemberIndex,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    Call c(Op::SetupDiEnumDeviceInterfaces);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.index = MemberIndex;
    Slot *set = FindSlot(*c.s, DeviceInfoSet, HandleKind::Set);
    const size_t members = set && set->diskInterfaces ? c.m->disks.size() : 0;
    int disk = -1;
    if (DeviceInfoData && !InfoDataSizeWrong(DeviceInfoData)) {
        // Only the interface of that device, at index 0.
        const int owner = c.DiskOfDevInst(DeviceInfoData->DevInst);
        if (MemberIndex == 0 && owner >= 0 && static_cast<size_t>(owner) < members)
            disk = owner;
    } else if (MemberIndex < members) {
        disk = static_cast<int>(MemberIndex);
    }
    c.req.disk = disk;
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!set)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!DeviceInterfaceData || !InterfaceClassGuid)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA) || InfoDataSizeWrong(DeviceInfoData))
        return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (disk < 0 || !SameGuid(*InterfaceClassGuid, TavPlatform::DiskInterfaceClass))
        return c.Fail(ERROR_NO_MORE_ITEMS, FALSE);
    SP_DEVICE_INTERFACE_DATA r = *DeviceInterfaceData;
    r.InterfaceClassGuid = TavPlatform::DiskInterfaceClass;
    r.Flags = kSpintActive;
    r.Reserved = InterfaceTag(*set, disk);
    c.PutAt(DeviceInterfaceData, 0, &r, sizeof r);
    return c.Ok(TRUE);
}

BOOL SetupDiGetDeviceInterfaceDetailW(HDEVINFO DeviceInfoSet, PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData,
                                      PSP_DEVICE_INTERFACE_DETAIL_DATA_W DeviceInterfaceDetailData,
                                      DWORD DeviceInterfaceDetailDataSize, PDWORD RequiredSize,
                                      PSP_DEVINFO_DATA DeviceInfoData) {
    Call c(Op::SetupDiGetDeviceInterfaceDetailW);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.outSize = DeviceInterfaceDetailDataSize;
    Slot *set = FindSlot(*c.s, DeviceInfoSet, HandleKind::Set);
    if (set && DeviceInterfaceData) {
        const int disk = DiskOfTag(*set, DeviceInterfaceData->Reserved);
        if (c.DiskAt(disk))
            c.req.disk = disk;
    }
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!set)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!DeviceInterfaceData)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (c.req.disk < 0)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    const Disk &d = c.m->disks[static_cast<size_t>(c.req.disk)];
    const size_t pathOffset = offsetof(SP_DEVICE_INTERFACE_DETAIL_DATA_W, DevicePath);
    const size_t pathBytes = (d.devicePath.size() + 1) * sizeof(WCHAR);
    const DWORD needed = static_cast<DWORD>(pathOffset + pathBytes);
    if (!DeviceInterfaceDetailData) {
        if (DeviceInterfaceDetailDataSize != 0)
            return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
        if (RequiredSize)
            *RequiredSize = needed;
        return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    if (DeviceInterfaceDetailDataSize < sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
        DeviceInterfaceDetailData->cbSize != sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) ||
        InfoDataSizeWrong(DeviceInfoData))
        return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (DeviceInterfaceDetailDataSize < needed) {
        if (RequiredSize)
            *RequiredSize = needed;
        return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    }
    c.PutAt(DeviceInterfaceDetailData, pathOffset, d.devicePath.c_str(), pathBytes);
    if (DeviceInfoData) {
        DeviceInfoData->ClassGuid = kDiskDriveClass;
        DeviceInfoData->DevInst = d.devInst;
        DeviceInfoData->Reserved = InterfaceTag(*set, c.req.disk);
    }
    if (RequiredSize)
        *RequiredSize = needed;
    return c.Ok(TRUE);
}

BOOL SetupDiOpenDeviceInfoW(HDEVINFO DeviceInfoSet, PCWSTR DeviceInstanceId, HWND, DWORD OpenFlags,
                            PSP_DEVINFO_DATA DeviceInfoData) {
    Call c(Op::SetupDiOpenDeviceInfoW);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.flags = OpenFlags;
    if (c.Logging())
        c.req.path = DeviceInstanceId ? DeviceInstanceId : L"";
    Slot *set = FindSlot(*c.s, DeviceInfoSet, HandleKind::Set);
    const DeviceNode *node = nullptr;
    if (DeviceInstanceId)
        for (const DeviceNode &n : c.m->nodes)
            if (!node && EqualNoCase(n.instanceId, DeviceInstanceId))
                node = &n;
    if (node)
        c.req.disk = c.DiskOfDevInst(node->devInst);
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!set)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!DeviceInstanceId)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (InfoDataSizeWrong(DeviceInfoData))
        return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (!node)
        return c.Fail(ERROR_NO_SUCH_DEVINST, FALSE);
    if (std::find(set->opened.begin(), set->opened.end(), node->devInst) == set->opened.end())
        set->opened.push_back(node->devInst);
    if (DeviceInfoData) {
        SP_DEVINFO_DATA r = *DeviceInfoData;
        std::memset(&r.ClassGuid, 0, sizeof r.ClassGuid);
        if (c.req.disk >= 0)
            r.ClassGuid = kDiskDriveClass;
        r.DevInst = node->devInst;
        r.Reserved = InterfaceTag(*set, -1);
        c.PutAt(DeviceInfoData, 0, &r, sizeof r);
    }
    return c.Ok(TRUE);
}

BOOL SetupDiOpenDeviceInterfaceW(HDEVINFO DeviceInfoSet, PCWSTR DevicePath, DWORD OpenFlags,
                                 PSP_DEVICE_INTERFACE_DATA DeviceInterfaceData) {
    Call c(Op::SetupDiOpenDeviceInterfaceW);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.flags = OpenFlags;
    if (c.Logging())
        c.req.path = DevicePath ? DevicePath : L"";
    Slot *set = FindSlot(*c.s, DeviceInfoSet, HandleKind::Set);
    if (DevicePath)
        for (size_t i = 0; i < c.m->disks.size() && c.req.disk < 0; ++i)
            if (EqualNoCase(c.m->disks[i].devicePath, DevicePath))
                c.req.disk = static_cast<int>(i);
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!set)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!DevicePath)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (DeviceInterfaceData && DeviceInterfaceData->cbSize != sizeof(SP_DEVICE_INTERFACE_DATA))
        return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (c.req.disk < 0)
        return c.Fail(ERROR_NO_SUCH_DEVICE_INTERFACE, FALSE);
    if (DeviceInterfaceData) {
        SP_DEVICE_INTERFACE_DATA r = *DeviceInterfaceData;
        r.InterfaceClassGuid = TavPlatform::DiskInterfaceClass;
        r.Flags = kSpintActive;
        r.Reserved = InterfaceTag(*set, c.req.disk);
        c.PutAt(DeviceInterfaceData, 0, &r, sizeof r);
    }
    return c.Ok(TRUE);
}

BOOL SetupDiGetDeviceRegistryPropertyW(HDEVINFO DeviceInfoSet, PSP_DEVINFO_DATA DeviceInfoData, DWORD Property,
                                       PDWORD PropertyRegDataType, PBYTE PropertyBuffer, DWORD PropertyBufferSize,
                                       PDWORD RequiredSize) {
    Call c(Op::SetupDiGetDeviceRegistryPropertyW);
    if (!c.s)
        return c.Fail(kNoMachineError, FALSE);
    c.req.index = Property;
    c.req.outSize = PropertyBufferSize;
    Slot *set = FindSlot(*c.s, DeviceInfoSet, HandleKind::Set);
    const bool recordOk = DeviceInfoData && !InfoDataSizeWrong(DeviceInfoData);
    const DEVINST dn = recordOk ? DeviceInfoData->DevInst : 0;
    if (dn)
        c.req.disk = c.DiskOfDevInst(dn);
    if (c.Faulted())
        return c.Fail(c.faultError, FALSE);
    if (!set)
        return c.Fail(ERROR_INVALID_HANDLE, FALSE);
    if (!DeviceInfoData)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    if (!recordOk)
        return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    // The record must name an element of this set: a node opened into it or
    // one of its disks.
    bool member = dn != 0 && std::find(set->opened.begin(), set->opened.end(), dn) != set->opened.end();
    if (!member && dn != 0 && set->diskInterfaces)
        member = c.DiskOfDevInst(dn) >= 0;
    if (!member)
        return c.Fail(ERROR_INVALID_PARAMETER, FALSE);
    const DeviceNode *node = c.Node(dn);
    if (!node)
        return c.Fail(ERROR_NO_SUCH_DEVINST, FALSE);
    if (Property != SPDRP_DEVICEDESC || node->description.empty())
        return c.Fail(ERROR_INVALID_DATA, FALSE);
    const size_t needed = (node->description.size() + 1) * sizeof(WCHAR);
    if (PropertyRegDataType)
        *PropertyRegDataType = REG_SZ;
    if (!PropertyBuffer && PropertyBufferSize)
        return c.Fail(ERROR_INVALID_USER_BUFFER, FALSE);
    if (RequiredSize)
        *RequiredSize = static_cast<DWORD>(needed);
    if (PropertyBufferSize < needed)
        return c.Fail(ERROR_INSUFFICIENT_BUFFER, FALSE);
    c.PutAt(PropertyBuffer, 0, node->description.c_str(), needed);
    return c.Ok(TRUE);
}

CONFIGRET CM_Get_Parent(PDEVINST pdnDevInst, DEVINST dnDevInst, ULONG ulFlags) {
    Call c(Op::CM_Get_Parent);
    if (!c.s)
        return c.Cr(CR_NO_SUCH_DEVNODE);
    c.req.flags = ulFlags;
    c.req.disk = c.DiskOfDevInst(dnDevInst);
    if (c.Faulted())
        return c.Cr(c.faultError);
    if (!pdnDevInst)
        return c.Cr(CR_INVALID_POINTER);
    if (dnDevInst == 0)
        return c.Cr(CR_INVALID_DEVNODE);
    const DeviceNode *node = c.Node(dnDevInst);
    if (!node || node->parent == 0)
        return c.Cr(CR_NO_SUCH_DEVNODE);
    c.PutAt(pdnDevInst, 0, &node->parent, sizeof(DEVINST));
    return c.Cr(CR_SUCCESS);
}

CONFIGRET CM_Get_Device_ID_Size(PULONG pulLen, DEVINST dnDevInst, ULONG ulFlags) {
    Call c(Op::CM_Get_Device_ID_Size);
    if (!c.s)
        return c.Cr(CR_NO_SUCH_DEVNODE);
    c.req.flags = ulFlags;
    c.req.disk = c.DiskOfDevInst(dnDevInst);
    if (c.Faulted())
        return c.Cr(c.faultError);
    if (!pulLen)
        return c.Cr(CR_INVALID_POINTER);
    if (dnDevInst == 0)
        return c.Cr(CR_INVALID_DEVNODE);
    const DeviceNode *node = c.Node(dnDevInst);
    if (!node)
        return c.Cr(CR_NO_SUCH_DEVNODE);
    const ULONG length = static_cast<ULONG>(node->instanceId.size()); // without the terminator
    c.PutAt(pulLen, 0, &length, sizeof length);
    return c.Cr(CR_SUCCESS);
}

CONFIGRET CM_Get_Device_IDW(DEVINST dnDevInst, PWSTR Buffer, ULONG BufferLen, ULONG ulFlags) {
    Call c(Op::CM_Get_Device_IDW);
    if (!c.s)
        return c.Cr(CR_NO_SUCH_DEVNODE);
    c.req.flags = ulFlags;
    c.req.outSize = BufferLen;
    c.req.disk = c.DiskOfDevInst(dnDevInst);
    if (c.Faulted())
        return c.Cr(c.faultError);
    if (!Buffer)
        return c.Cr(CR_INVALID_POINTER);
    if (dnDevInst == 0)
        return c.Cr(CR_INVALID_DEVNODE);
    const DeviceNode *node = c.Node(dnDevInst);
    if (!node)
        return c.Cr(CR_NO_SUCH_DEVNODE);
    const size_t length = node->instanceId.size();
    if (BufferLen < length)
        return c.Cr(CR_BUFFER_SMALL);
    // A buffer of exactly the length receives the identifier without terminator.
    const size_t chars = BufferLen > length ? length + 1 : length;
    c.PutAt(Buffer, 0, node->instanceId.c_str(), chars * sizeof(WCHAR));
    return c.Cr(CR_SUCCESS);
}

std::wstring HandleTarget(HANDLE hObject) {
    // Not a request of the machine: neither logged nor subject to faults.
    Globals &g = G();
    std::lock_guard<std::mutex> lock(g.mu);
    if (!g.current)
        return std::wstring();
    Machine &m = *g.current;
    State &s = Backend::Of(m);
    if (Slot *slot = FindSlot(s, hObject, HandleKind::Disk))
        return slot->target >= 0 && static_cast<size_t>(slot->target) < m.disks.size()
                   ? m.disks[static_cast<size_t>(slot->target)].devicePath
                   : std::wstring();
    if (Slot *slot = FindSlot(s, hObject, HandleKind::Volume))
        return slot->target >= 0 && static_cast<size_t>(slot->target) < m.volumes.size()
                   ? m.volumes[static_cast<size_t>(slot->target)].name
                   : std::wstring();
    if (FindSlot(s, hObject, HandleKind::VolumeSearch))
        return L"a volume search";
    return std::wstring();
}

} // namespace TavPlatform
