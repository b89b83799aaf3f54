// Exclusive claims of block devices (FSCTL_LOCK_VOLUME, FSCTL_UNLOCK_VOLUME):
// what keeps a sector write out of storage that something else uses.
//
// The kernel knows what uses a block device: a mount (in any mount
// namespace, and after a lazy unmount for as long as the file system
// lives), an active swap area, a dm/md/bcache device built on it, another
// program's exclusive open. Each of them claims the device exclusively, and
// an exclusive open (O_EXCL) of a claimed device fails with EBUSY. A lock
// takes such an open and the handle holds it until it is unlocked or
// closed, so nothing can take the device between the check and the write.
//
// A loop device does not claim what lies beneath it, so a lock follows the
// loop devices both ways, to any depth: every bound loop device whose
// backing file is a claimed device, and the block device a claimed loop
// device is backed by; each of those is claimed as itself.
//
// The kernel refuses a claim of a whole disk while one of its partitions is
// claimed, and a claim of a partition while the whole disk is claimed. A
// lock on a whole disk asks whether the disk as a whole is in use: when its
// own claim is refused, a partition this process holds a claim on, or one
// it can claim now (held with the lock), shows that the whole disk is not
// claimed by anything else, and keeps it so while held. When every
// partition is claimed, one that is visibly mounted, swap or held by
// another device shows the same for as long as it stays so.
//
// On a recorded machine there is no kernel to ask: a device is in use when
// it is mounted, listed in proc/swaps or held by another device (holders/).
#include "Device.h"
#include "Errors.h"
#include "Mounts.h"
#include "Text.h"
#include "State.h"
#include "Tree.h"

#include <cerrno>
#include <fcntl.h>
#include <map>
#include <set>
#include <sys/stat.h>
#include <sys/sysmacros.h>
#include <unistd.h>

namespace TavLinux {
namespace {

constexpr int MaxDepth = 16;

// The devices this process holds claims on, by root and kernel name.
struct HeldByProcess {
    std::mutex lock;
    std::map<std::pair<std::string, std::string>, int> count;
};
HeldByProcess &Held() { return Owned<HeldByProcess>(Part::Claims); }

std::string ClassBlock(const std::string &name) { return "/sys/class/block/" + name; }

// The partitions of a whole disk, by kernel name.
std::vector<std::string> PartitionsOf(const Root &root, const std::string &disk) {
    std::vector<std::string> out;
    for (const auto &entry : ListDirectory(root, ClassBlock(disk)))
        if (entry.compare(0, disk.size(), disk) == 0 && Exists(root, ClassBlock(disk) + "/" + entry + "/partition"))
            out.push_back(entry);
    return out;
}

// The kernel name of the block device a loop device is backed by; nullopt
// when it is backed by a file (or is no bound loop device).
std::optional<std::string> LoopBackingDevice(const Root &root, const std::string &loop) {
    auto backing = ReadAttr(root, ClassBlock(loop) + "/loop/backing_file");
    if (!backing || backing->empty())
        return std::nullopt;
    struct stat st {};
    if (::stat(root.At(*backing).c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        std::string link =
            "/sys/dev/block/" + std::to_string(major(st.st_rdev)) + ":" + std::to_string(minor(st.st_rdev));
        std::string name = LinkName(root, link);
        if (!name.empty())
            return name;
    }
    // A recording's device files are plain files: named by their path.
    if (backing->compare(0, 5, "/dev/") == 0 && Exists(root, ClassBlock(BaseName(*backing))))
        return BaseName(*backing);
    return std::nullopt;
}

// Every bound loop device backed by `device`.
std::vector<std::string> LoopsOn(const Root &root, const std::string &device) {
    std::vector<std::string> out;
    for (const auto &entry : ListDirectory(root, "/sys/class/block"))
        if (entry.compare(0, 4, "loop") == 0 && LoopBackingDevice(root, entry) == device)
            out.push_back(entry);
    return out;
}

// Whether a device is visibly in use: mounted (in this mount namespace),
// an active swap area or held by another device. All a recorded device can
// tell.
bool VisiblyInUse(const Root &root, const std::string &name) {
    if (!ListDirectory(root, ClassBlock(name) + "/holders").empty())
        return true;
    auto dev = ReadAttr(root, ClassBlock(name) + "/dev");
    for (const Mount &m : ReadMounts(root).mounts)
        if ((dev && m.device == *dev) || m.source == "/dev/" + name)
            return true;
    auto swaps = ReadBytes(root.At("/proc/swaps"), 1u << 20);
    for (const std::string &line : SplitFields(swaps.value_or(""), '\n'))
        if (line.compare(0, 6 + name.size(), "/dev/" + name + " ") == 0 ||
            line.compare(0, 6 + name.size(), "/dev/" + name + "\t") == 0)
            return true;
    return false;
}

struct Claimer {
    Root root;
    bool recorded = false;
    std::vector<std::pair<int, std::string>> taken; // descriptors and the devices they claim
    std::set<std::string> visited;

    // An exclusive open of one device; 0 or its errno. A recorded whole
    // disk claimed as itself is in use when a partition of it is.
    int Open(const std::string &name, bool asWhole = true) {
        if (recorded) {
            bool used = VisiblyInUse(root, name);
            for (const auto &p : asWhole ? std::vector<std::string>() : PartitionsOf(root, name))
                used = used || VisiblyInUse(root, p);
            return used ? EBUSY : 0;
        }
        int fd = ::open(root.At("/dev/" + name).c_str(), O_RDONLY | O_EXCL | O_CLOEXEC);
        if (fd < 0)
            return errno;
        taken.emplace_back(fd, name);
        return 0;
    }

    bool HeldHere(const std::string &name) {
        HeldByProcess &h = Held();
        std::lock_guard<std::mutex> guard(h.lock);
        return h.count.count({root.prefix, name}) != 0;
    }

    // A whole disk whose own claim was refused: not in use as a whole when
    // one of its partitions is claimed by this process or can be claimed now.
    bool WholeFreeBesidePartitions(const std::string &disk) {
        std::vector<std::string> partitions = PartitionsOf(root, disk);
        if (recorded)
            return false; // the disk itself is mounted, swap or held
        for (const auto &p : partitions)
            if (HeldHere(p))
                return true;
        for (const auto &p : partitions)
            if (Open(p) == 0)
                return true;
        // Every partition is claimed: one that is visibly mounted, swap or
        // held shows the same, and keeps it so for as long as it stays so.
        for (const auto &p : partitions)
            if (VisiblyInUse(root, p))
                return true;
        return false;
    }

    // Claims `name` (as a whole disk when `asWhole`) and the loop devices
    // stacked on it or beneath it. 0, or the errno of the refusal.
    int Claim(const std::string &name, bool asWhole, int depth) {
        if (depth > MaxDepth)
            return ELOOP;
        if (!visited.insert(name).second)
            return 0;
        if (int error = Open(name, asWhole)) {
            if (!(error == EBUSY && asWhole && WholeFreeBesidePartitions(name)))
                return error;
        }
        for (const auto &loop : LoopsOn(root, name))
            if (int error = Claim(loop, false, depth + 1))
                return error;
        if (auto beneath = LoopBackingDevice(root, name))
            if (int error = Claim(*beneath, false, depth + 1))
                return error;
        return 0;
    }
};

} // namespace

DWORD LockDevice(FileObject &f) {
    std::lock_guard<std::mutex> guard(f.claimLock);
    if (f.locked)
        return ERROR_SUCCESS;
    Claimer c;
    c.root = f.root;
    c.recorded = !f.root.prefix.empty();
    const bool asWhole = f.isDisk && !f.block.partition;
    int error = c.Claim(f.block.name, asWhole, 0);
    if (error) {
        for (const auto &t : c.taken)
            ::close(t.first);
        return error == ELOOP ? ERROR_BUSY : ErrorFromErrno(error);
    }
    {
        HeldByProcess &h = Held();
        std::lock_guard<std::mutex> held(h.lock);
        for (const auto &t : c.taken)
            ++h.count[{f.root.prefix, t.second}];
    }
    f.claims = std::move(c.taken);
    f.locked = true;
    return ERROR_SUCCESS;
}

DWORD UnlockDevice(FileObject &f) {
    std::lock_guard<std::mutex> guard(f.claimLock);
    if (!f.locked)
        return ERROR_NOT_LOCKED;
    {
        HeldByProcess &h = Held();
        std::lock_guard<std::mutex> held(h.lock);
        for (const auto &t : f.claims) {
            auto it = h.count.find({f.root.prefix, t.second});
            if (it != h.count.end() && --it->second == 0)
                h.count.erase(it);
        }
    }
    for (const auto &t : f.claims)
        ::close(t.first);
    f.claims.clear();
    f.locked = false;
    return ERROR_SUCCESS;
}

} // namespace TavLinux
