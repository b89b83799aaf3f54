// SPDX-License-Identifier: MIT
// Internals of the Linux backend: the block-device model read from sysfs,
// the handle table, error codes and text conversion. Nothing here is seen
// by the Drive/Adapter logic, which knows only platform.h. Each section
// names the file that defines it.
//
// Every file the backend reads lies below a root prefix (TAVDISK_ROOT, "/"
// by default), so that a recorded tree of sysfs, /proc/self/mountinfo and
// /dev replays without the hardware. Paths held in the model are
// root-relative and absolute ("/sys/devices/..."); Root::At() prefixes them.
#ifndef TAVDISKLIB_PLATFORM_LINUX_LINUX_H
#define TAVDISKLIB_PLATFORM_LINUX_LINUX_H

#include "../platform.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <unordered_map>
#include <utility>
#include <vector>

#ifndef CR_INVALID_FLAG
#define CR_INVALID_FLAG 0x00000004u
#endif
#ifndef ERROR_INVALID_FLAGS
#define ERROR_INVALID_FLAGS 1004u
#endif
#ifndef ERROR_HANDLE_DISK_FULL
#define ERROR_HANDLE_DISK_FULL 39u
#endif
#ifndef ERROR_TOO_MANY_OPEN_FILES
#define ERROR_TOO_MANY_OPEN_FILES 4u
#endif

namespace TavLinux {

// ---- Errors (Errors.cpp) --------------------------------------------------

// The platform error code for an errno value.
DWORD ErrorFromErrno(int error);
// Sets the calling thread's last-error code and returns FALSE, for the
// common "fail with this code" exit of a BOOL function.
BOOL Fail(DWORD code);

// ---- Text (Text.cpp) ------------------------------------------------------

// UTF-8 to wide text; a byte that is not part of valid UTF-8 becomes
// U+DC00 + byte, so that Narrow() gives the same bytes back.
std::wstring Widen(const std::string &text);
std::string Narrow(const std::wstring &text);
// Copies `text` and a terminator into a wide buffer of `capacity` characters
// when it fits; returns the characters needed, terminator included.
size_t CopyWide(const std::wstring &text, WCHAR *buffer, size_t capacity);
// The non-empty pieces of `text` between separators, in order.
std::vector<std::string> SplitFields(const std::string &text, char separator);
// Orders kernel names as people count them: sda < sdb < sdz < sdaa, loop2 < loop10.
bool NaturalLess(const std::string &a, const std::string &b);

// ---- Files below the root (Files.cpp) -------------------------------------

struct Root {
    std::string prefix; // "" for "/", else a directory without trailing '/'
    bool given = false; // named by TAVDISK_ROOT, rather than this machine's "/"
    std::string At(const std::string &path) const { return prefix + path; }
    bool operator==(const Root &o) const { return prefix == o.prefix; }
};

// The root named by TAVDISK_ROOT now (read on every call that starts from
// nothing: a new device information set, an open, a volume search), in a
// build made with TAVDISK_REPLAY; "/" in every other build.
Root CurrentRoot();
// Whether `root` holds a view of a system at all (a sys/class/block directory).
bool HoldsSystemView(const Root &root);
// Whether the tree below `root` is the kernel's own sysfs rather than a
// recording (a sysfs file system at <root>/sys).
bool KernelTree(const Root &root);
// For tests: takes a tree for the kernel's own (true) or not (false), or
// lets KernelTree decide again (nullopt); forgets what was kept about it.
void TreatAsKernelTree(const Root &root, std::optional<bool> kernel);

// A read of sysfs, /proc or /dev that failed for a reason other than "not
// there" (too many open files, no memory, an I/O error, no access): noted
// for the calling thread, so that what was built from it is not taken for a
// fact. Every function of this section notes its own failures.
void NoteFailedRead(int error);
// Learns of the reads that fail on the calling thread while it lives; an
// enclosing one learns of them too.
class FailedReads {
public:
    FailedReads();
    ~FailedReads();
    FailedReads(const FailedReads &) = delete;
    FailedReads &operator=(const FailedReads &) = delete;
    // The errno of the first read that failed since, 0 when none did.
    int First() const;

private:
    int saved;
};

// Whole file content (binary), at most `limit` bytes; nullopt when unreadable.
std::optional<std::string> ReadBytes(const std::string &file, size_t limit = 1u << 20);
// A sysfs attribute (or a recorded answer): the content without its
// trailing newline. The kernel variant skips the check of the file's type
// on the kernel's own sysfs.
std::optional<std::string> ReadAttr(const Root &root, const std::string &path);
std::optional<std::string> ReadKernelAttr(const Root &root, const std::string &path, bool kernelTree);
// An attribute of an open directory.
std::optional<std::string> ReadAttrAt(int directory, const char *name, bool checkType);
// A number as sysfs writes it (decimal, 0x hex, leading spaces); nullopt
// when absent, negative or garbled.
std::optional<uint64_t> ParseNumber(const std::optional<std::string> &text);
std::optional<uint64_t> ReadNumber(const Root &root, const std::string &path);
// A count of 512-byte sectors (sysfs size, start); 0 when absent or too
// large for a byte count to hold.
uint64_t SectorCount(std::optional<uint64_t> sectors);
uint64_t Sectors(const Root &root, const std::string &path);
bool Exists(const Root &root, const std::string &path);
bool IsDirectory(const Root &root, const std::string &path);
// A directory's entries in natural order of their names, with their inode
// numbers; empty when it cannot be read.
std::vector<std::pair<std::string, uint64_t>> ListDirectoryInodes(const Root &root, const std::string &path);
std::vector<std::string> ListDirectory(const Root &root, const std::string &path);

// ---- PCI names (PciNames.cpp) ----------------------------------------------

// "<vendor> <device>" (no device: "<vendor>") from the PCI ID database, as
// lspci words it; nullopt when no database can be read.
std::optional<std::string> PciName(const Root &root, unsigned vendor, std::optional<unsigned> device);
// The last component of a symbolic link's target ("" when not a link).
std::string LinkName(const Root &root, const std::string &path);
// Resolves every symbolic link of a root-relative path without leaving the
// root (absolute link targets are taken relative to the root).
std::optional<std::string> Resolve(const Root &root, const std::string &path);
std::string BaseName(const std::string &path);
std::string DirName(const std::string &path);

// Reads (or writes) `length` bytes at `offset` of an open file, with as
// many calls as the file needs, until all moved, its end, or a failing call;
// returns the bytes moved, and in `error` the errno of a failing call (0
// when none failed).
size_t MoveAt(int fd, bool write, uint8_t *data, size_t length, uint64_t offset, int &error);

// ---- Block devices (BlockView.cpp) ----------------------------------------

enum class Transport { Scsi, Libata, Nvme, Virtio, Mmc, Loop, Zram, Dm, Md, Xen, Other };

struct BlockEntry {
    std::string name; // kernel name, e.g. "sda1"
    std::string sys;  // resolved sysfs directory, "/sys/devices/..."
    bool partition = false;
};

// The entry of /sys/class/block of that name, read now.
std::optional<BlockEntry> FindBlock(const Root &root, const std::string &name);
// Drops the registrations kept for that root (see BlockView).
void ForgetRegistrations(const Root &root);

struct Registration;

// One look at the block devices: the entries of /sys/class/block at one
// moment, and what is read about each, each fact at most once per look.
//
// What the kernel fixes when it registers a block device (its sysfs
// directory, whether it is a partition, dev, hidden, the SCSI type, a
// partition's start and number, a disk's lasting identity) does not change
// until the device is removed, and its /sys/class/block link goes with it.
// On the kernel's own sysfs these facts are therefore kept process-wide for
// each entry, and a later look uses them again while the entry shows the
// same name and inode number (the kernel numbers sysfs nodes without reuse);
// an entry seen before its registration finished (no holders/ yet) is not
// kept. What may change while a device stays registered (size, loop
// binding and backing file, dm name, slaves, holders, content) and the
// mounts are read anew by every look. On a recorded tree every look reads
// everything anew.
class BlockView {
public:
    explicit BlockView(const Root &root);
    ~BlockView();
    BlockView(const BlockView &) = delete;
    BlockView &operator=(const BlockView &) = delete;

    const Root &GetRoot() const { return root; }
    // Entries 0 .. Listed()-1 are /sys/class/block in natural order of the
    // kernel names; adopted entries follow.
    size_t Listed() const { return listed; }
    const BlockEntry &Entry(size_t i) const;
    std::optional<size_t> Find(const std::string &name) const;
    std::optional<size_t> FindSys(const std::string &sys) const;
    // The slot of an entry read earlier (a handle's device): the listed one
    // of the same name and directory, else a slot of its own.
    size_t Adopt(const BlockEntry &entry);

    // An attribute below the root, read now.
    std::optional<std::string> Attr(const std::string &path) const;

    uint64_t SizeSectors(size_t i);
    std::optional<std::string> Dev(size_t i);
    bool Hidden(size_t i);
    std::optional<std::string> StartText(size_t i);
    uint64_t StartSectors(size_t i);
    DWORD PartitionNumber(size_t i);
    // Whether the dm/, md/, loop/ directories are there.
    bool HasDm(size_t i);
    bool HasMd(size_t i);
    bool HasLoop(size_t i);
    std::optional<std::string> DmName(size_t i);
    // A bound loop device's loop/backing_file and loop/offset; nullopt when
    // the device is no bound loop device.
    std::optional<std::pair<std::optional<std::string>, std::optional<std::string>>> LoopBacking(size_t i);
    const std::vector<std::string> &Slaves(size_t i);
    const std::vector<std::string> &Holders(size_t i);
    // The text naming a whole disk that survives reboots (DiskIdentity).
    const std::string &Identity(size_t i);
    // The part of it fixed at the registration.
    const std::string &HardwareIdentity(size_t i);

    // The whole disks that form the disk interface set, in their fixed
    // order: no partitions, nothing hidden, nothing of size 0, no unbound
    // loop device, no optical drive; physical disks before the kernel's
    // virtual ones. A disk's place in this list is its device number.
    bool IsDisk(size_t i);
    const std::vector<size_t> &Disks();
    std::optional<DWORD> DiskNumber(size_t i);
    std::optional<size_t> NthDisk(size_t n);

    // Whether the sizes this look read of a whole disk (by kernel name) and
    // of its partitions are what sysfs says now; a size not read yet counts
    // as unchanged (it will be read as it is then).
    bool SizesUnchanged(const std::string &disk);

private:
    struct Slot;
    Slot &At(size_t i);
    void LoadFixed(size_t i);
    // Whether the device is known, from its kept registration, to be a
    // partition or a hardware disk, which have no dm/, md/ or loop/
    // directory on the kernel's own sysfs.
    bool KnownHardwareOrPartition(size_t i);
    // Whether the device is known to have no dm/ or md/ directory without
    // a look: a kept registration of a partition, a hardware disk or a
    // whole disk of the loop major. False when it must be looked at.
    bool NeitherDmNorMd(size_t i);

    Root root;
    bool kernel = false;
    size_t listed = 0;
    std::vector<std::unique_ptr<Slot>> slots;
    std::unordered_map<std::string, size_t> byName, bySys; // first listed entry of each
    std::optional<std::vector<size_t>> disks;
    std::vector<DWORD> diskNumbers; // by slot, with Disks(); NoDisk for the rest
    std::optional<std::unordered_map<std::string, std::vector<size_t>>> partitionsOf; // disk sys -> slots
};

// ---- Disks (Disks.cpp) ----------------------------------------------------

// Devices of the kernel's own (loop, zram, dm, md), not NVMe subsystems.
bool IsKernelVirtual(const std::string &sys);

// A SCSI device's address as sysfs names it: host:channel:target:lun.
struct Hctl {
    int host = 0, channel = 0, target = 0, lun = 0;
};

// What sysfs says about one whole disk.
struct DiskInfo {
    Root root;
    std::string name, sys;
    Transport transport = Transport::Other;
    bool usb = false;
    bool speaksScsi = false; // SG_IO reaches a SCSI device (sd, incl. libata and usb-storage)
    STORAGE_BUS_TYPE bus = BusTypeUnknown;
    bool removable = false, readOnly = false;
    uint64_t sectors512 = 0;
    uint32_t logicalBlock = 512, physicalBlock = 512;
    std::optional<Hctl> hctl;
    int nvmeController = -1, nsid = -1;
    std::string controller; // the controller's sysfs directory; "" for a disk of the kernel's own
    std::string driver;     // the disk's driver, named when there is no controller
    std::string usbDevice;  // the USB device's sysfs directory
    // Descriptor strings; nullopt is "absent".
    std::optional<std::string> vendor, product, revision, serial;
    // Adapter properties.
    uint32_t maxTransfer = 0, maxSegments = 0, alignmentMask = 0;
    bool queueing = false;
};

// The serial number held in a unit serial number VPD page (0x80).
std::optional<std::string> SerialOfVpd80(const std::optional<std::string> &page);

std::optional<DiskInfo> DescribeDisk(const Root &root, const BlockEntry &entry);
// The controller of a disk: the nearest PCI, USB or platform device above it.
std::string ControllerOf(const Root &root, const std::string &sys);
// The driver of a disk of the kernel's own (loop, zram, dm ...).
std::string DriverOf(const Root &root, const BlockEntry &entry);

// A text naming a disk that survives reboots where the hardware allows
// (WWID, serial number, loop backing file ...), used to name its volumes.
std::string DiskIdentity(BlockView &view, size_t disk);
// Its part that comes from the hardware (or the sysfs path), when the disk
// is no loop, dm or md device.
std::string HardwareIdentity(const Root &root, const BlockEntry &disk);

// ---- Volume and mount records ---------------------------------------------

struct VolumeEntry {
    BlockEntry block;
    std::wstring name; // \\?\Volume{GUID}\  (49 characters)
    bool wholeDisk = false;
};

struct Mount {
    std::string device; // "major:minor"
    std::string path;   // unescaped mount point
    std::string source; // the mount source ("/dev/sda1")
};
// The mounts of /proc/self/mountinfo in its order, found by device number
// and by source.
struct MountTable {
    std::vector<Mount> mounts;
    std::unordered_multimap<std::string, size_t> byDevice, bySource;
};
MountTable ReadMounts(const Root &root); // Mounts.cpp
// The innermost mount point a path lies below (the last mount of that path,
// which covers the earlier ones); "" when none holds it (Mounts.cpp).
std::string InnermostMount(const MountTable &mounts, const std::string &path);

struct Extent {
    DWORD disk;
    uint64_t start, length;
};

// A volume with what requests on it answer.
struct VolumeRecord {
    VolumeEntry entry;
    std::vector<Extent> extents;
    std::vector<std::string> mounts;
};

// The volumes of the machine at one look, found by name (lower case), and
// the disks of that look by kernel name with their numbers, which the
// volumes' extents carry.
struct VolumeSnapshot {
    std::vector<VolumeRecord> volumes;
    std::unordered_map<std::wstring, size_t> byName;
    std::unordered_map<std::string, std::pair<BlockEntry, DWORD>> disks;
    uint64_t look = 0; // the sequence number of the look it was taken from: higher is newer
};

// ---- Looks (Looks.cpp) ----------------------------------------------------

// One look at the machine: its block devices (BlockView), its mounts and
// its volumes, each read when first needed and at most once. On the live
// system a look is kept and shared between requests for as long as the
// kernel reports no change that could alter it; a user holds its lock
// while using it.
class Look {
public:
    Look(const Root &root, bool kept);
    Look(const Look &) = delete;
    Look &operator=(const Look &) = delete;

    std::mutex lock;
    BlockView view;
    // Shared with later requests; a look that cannot stay true (a device
    // whose writes cannot be watched was read) is spoiled and not reused.
    const bool kept;
    const uint64_t sequence; // looks are numbered in the order they are taken
    bool Spoiled() const { return spoiled.load(); }
    // A read made for this look failed (NoteFailedRead): what it shows may
    // be wrong, so every request that uses it fails with that errno, and it
    // is not used again. 0 while none failed.
    int Failure() const { return failure.load(); }
    void Fail(int error);

    const MountTable &Mounts();
    // Every volume, whole disks only when they hold a file system or are
    // mounted.
    std::shared_ptr<const VolumeSnapshot> Volumes();
    // Every volume a name may stand for, without reading any disk: every
    // whole disk without partitions is a candidate.
    std::shared_ptr<const VolumeSnapshot> Candidates();
    // Whether a whole disk starts with a file system this backend knows.
    // A kept look first has the disk's node watched for writes.
    bool HoldsFileSystem(const std::string &name);

private:
    std::shared_ptr<const VolumeSnapshot> Snapshot(bool probeContent);
    std::optional<MountTable> mounts;
    std::shared_ptr<const VolumeSnapshot> volumes, candidates;
    std::atomic<bool> spoiled{false};
    std::atomic<int> failure{0};
};

// The look for a request that must see the machine as it is now: the kept
// one while nothing has changed since it was taken, else a new one (kept
// when changes can be learnt of: the live system, uevents reaching this
// process, mountinfo polled).
std::shared_ptr<Look> CurrentLook(const Root &root);
// A request's use of the current look, under its lock. Failure() tells
// whether a read made for the look (by this request or an earlier one)
// failed; the request then fails with that platform error rather than
// answer from a look that may be wrong.
class LookInUse {
public:
    explicit LookInUse(const Root &root);
    LookInUse(const LookInUse &) = delete;
    LookInUse &operator=(const LookInUse &) = delete;
    Look *operator->() const { return look.get(); }
    // 0 when every read of the look succeeded or found its file absent.
    DWORD Failure();

private:
    std::shared_ptr<Look> look;
    std::lock_guard<std::mutex> guard;
    FailedReads reads;
};
// For tests: how many looks were taken and how many requests reused a kept
// one, since the process started.
struct LookCounts {
    uint64_t taken = 0, reused = 0;
};
LookCounts CountLooks();
// This process is about to close a whole disk's descriptor (its node
// "/dev/<name>") that it opened for writing and wrote nothing through: that
// close is no change of the disk's content.
void ClosingOwnWriter(const std::string &node);
// Whether changes can be learnt of here, so that looks of the live system
// are kept.
bool LooksCanBeKept();

// ---- Volumes (Volumes.cpp, Mounts.cpp, FileSystems.cpp) -------------------

// Whether the start of a block device holds a file system this backend
// knows (FileSystems.cpp).
bool HasFileSystem(const Root &root, const std::string &name);

// The volumes of a look: partitions, dm and md devices, and whole disks
// that carry a file system without a partition table. With `probeContent`
// false, every whole disk without partitions is a candidate (used to find
// a volume by name without reading any disk).
std::vector<VolumeEntry> ListVolumes(Look &look, bool probeContent);
// The whole disks beneath a volume, with their disk numbers.
std::vector<Extent> VolumeExtents(BlockView &view, const BlockEntry &volume);
// The volume's mount points in mountinfo's order, each once (Mounts.cpp).
std::vector<std::string> MountPointsOf(BlockView &view, const BlockEntry &volume, const MountTable &mounts);
// The key of a volume name in a snapshot: the name in lower case.
std::wstring VolumeKey(const std::wstring &name);

// The volume of that name: from the snapshot of an open volume search that
// holds it (a scan over all volumes then costs one pass), else as the
// system has it now.
// Null when there is none; then `failure` gets the platform error when the
// system could not be read (0 when the volume is simply not there).
std::shared_ptr<const VolumeRecord> LookupVolume(const Root &root, const std::wstring &name, DWORD &failure);
// Whether a volume search opened on the calling thread is open; then
// `number` gets the number of the whole disk `disk` in the look that search
// took (nullopt when that look did not list it). So a volume scan matches
// the disk against extents numbered in the same look, even while disks come
// and go.
bool DiskNumberInOpenSearch(const Root &root, const BlockEntry &disk, std::optional<DWORD> &number);

// ---- Handles (Handles.cpp) ------------------------------------------------

struct Object {
    enum class Kind { File, VolumeSearch, DeviceSet };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
};

HANDLE AddHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> FindHandle(HANDLE handle, Object::Kind kind);
bool RemoveHandle(HANDLE handle, Object::Kind kind);
// Changes whenever a handle is removed (handle values are never reused).
extern std::atomic<uint64_t> handleRemovals;

// The live object of that kind behind a handle, or null. Each thread
// remembers what it found last, for as long as no handle is removed: a
// sector transfer looks its handle up twice (positioning, then the
// transfer), and the table's lock would cost more than the rest of it.
template <class T> struct LastFound {
    uintptr_t handle = 0;
    uint64_t removals = 0;
    std::weak_ptr<T> object;
    static LastFound &OfThisThread() {
        static thread_local LastFound last;
        return last;
    }
};

template <class T> [[gnu::noinline]] std::shared_ptr<T> FindInTable(HANDLE handle, uint64_t removals) {
    auto object = std::static_pointer_cast<T>(FindHandle(handle, T::TheKind));
    if (object) {
        LastFound<T> &last = LastFound<T>::OfThisThread();
        last.handle = reinterpret_cast<uintptr_t>(handle);
        last.removals = removals; // read before the lookup: a removal since shows at the next
        last.object = object;
    }
    return object;
}

template <class T> inline std::shared_ptr<T> Find(HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    const uint64_t removals = handleRemovals.load(std::memory_order_acquire);
    LastFound<T> &last = LastFound<T>::OfThisThread();
    if (value != 0 && value == last.handle && removals == last.removals)
        if (auto object = last.object.lock())
            return object;
    return FindInTable<T>(handle, removals);
}

// ---- Device nodes (SetupApi.cpp) ------------------------------------------

// Process-wide numbering of device nodes: the same node under the same root
// always gets the same DEVINST. A key is a sysfs directory or, for the
// driver node of a disk of the kernel's own, "driver:<name>".
DEVINST NodeNumber(const Root &root, const std::string &key);

} // namespace TavLinux

#endif
