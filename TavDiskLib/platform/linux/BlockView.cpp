// SPDX-License-Identifier: MIT
// One look at the block devices of the Linux backend (BlockView), and what
// is kept about each registered block device from one look to the next on
// the live sysfs.
#include "BlockView.h"
#include "Disks.h"
#include "Text.h"
#include "State.h"
#include "Tree.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstdio>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <unistd.h>
#include <unordered_map>

namespace TavLinux {

// A block device as its /sys/class/block entry shows it, and the facts that
// stay as they are while it is registered, read once when first needed.
struct Registration {
    BlockEntry entry;
    uint64_t inode = 0;
    bool kept = false; // shared with later looks (live tree, registration complete)
    // A read of its fixed facts failed: they may be wrong, and no later
    // look uses them.
    std::atomic<bool> spoiled{false};

    std::once_flag fixedOnce;
    std::optional<std::string> dev, start;
    bool hidden = false;
    std::optional<uint64_t> scsiType;
    DWORD partitionNumber = 0;
    bool loopDisk = false; // a whole disk of the loop driver's major

    std::once_flag identityOnce;
    std::string identity;
};

namespace {

// The loop driver's block major, fixed in the kernel.
constexpr unsigned LoopMajor = 7;

struct RegistrationTable {
    std::mutex lock;
    // root prefix -> kernel name -> registration
    std::map<std::string, std::map<std::string, std::shared_ptr<Registration>>> byRoot;
};

RegistrationTable &Registrations() { return Owned<RegistrationTable>(Part::Registrations); }

// The sysfs directory of a /sys/class/block entry. The entry is a relative
// link into /sys/devices whose target has no further links: it is read and
// joined without visiting every component, unless it is unusual. On the
// live sysfs, `complete` tells whether the device had finished
// registering when it was read: its holders/ directory, made after all of
// its attributes, is there.
std::optional<BlockEntry> ClassEntry(const Root &root, const std::string &name, bool live, bool *complete) {
    if (complete)
        *complete = false;
    if (name.empty() || name.find('/') != std::string::npos || name == "." || name == "..")
        return std::nullopt;
    const std::string link = "/sys/class/block/" + name;
    std::optional<std::string> sys;
    bool held = false;
    char target[4096];
    ssize_t n = ::readlink(root.At(link).c_str(), target, sizeof target - 1);
    if (n < 0)
        NoteFailedRead(errno);
    if (n > 0 && target[0] != '/') {
        std::vector<std::string> parts = {"sys", "class", "block"};
        for (std::string &c : SplitFields(std::string(target, static_cast<size_t>(n)), '/')) {
            if (c == "..") {
                if (!parts.empty())
                    parts.pop_back();
            } else if (c != ".") {
                parts.push_back(std::move(c));
            }
        }
        std::string joined;
        for (const auto &c : parts)
            joined += "/" + c;
        if (joined.compare(0, 13, "/sys/devices/") == 0) {
            if (live && Exists(root, joined + "/holders")) {
                sys = joined;
                held = true;
            } else if (IsDirectory(root, joined)) {
                sys = joined;
            }
        }
    }
    if (!sys) {
        sys = Resolve(root, link);
        if (!sys || !IsDirectory(root, *sys))
            return std::nullopt;
        held = live && Exists(root, *sys + "/holders");
    }
    BlockEntry e;
    e.name = name;
    e.sys = *sys;
    e.partition = Exists(root, *sys + "/partition");
    if (complete)
        *complete = held;
    return e;
}

bool IsLoopName(const std::string &name) { return name.compare(0, 4, "loop") == 0; }

} // namespace

std::optional<BlockEntry> FindBlock(const Root &root, const std::string &name) {
    return ClassEntry(root, name, false, nullptr);
}

void ForgetRegistrations(const Root &root) {
    RegistrationTable &t = Registrations();
    std::lock_guard<std::mutex> guard(t.lock);
    t.byRoot.erase(root.prefix);
}

// ---- The look ---------------------------------------------------------------

// What one look has read about one device.
struct BlockView::Slot {
    std::shared_ptr<Registration> reg;
    std::optional<uint64_t> size;
    std::optional<bool> dm, md, loop, disk;
    std::optional<std::optional<std::string>> dmName;
    std::optional<std::vector<std::string>> slaves, holders;
    std::optional<std::string> identity;
};

BlockView::BlockView(const Root &r) : root(r), live(LiveTree(r)) {
    FailedReads reads;
    auto names = ListDirectoryInodes(root, "/sys/class/block");
    std::vector<std::shared_ptr<Registration>> regs(names.size());
    RegistrationTable &table = Registrations();
    if (live) {
        std::lock_guard<std::mutex> guard(table.lock);
        auto known = table.byRoot.find(root.prefix);
        if (known != table.byRoot.end()) {
            for (size_t i = 0; i < names.size(); ++i) {
                auto it = known->second.find(names[i].first);
                if (it != known->second.end() && it->second->inode == names[i].second && !it->second->spoiled)
                    regs[i] = it->second;
            }
        }
    }
    for (size_t i = 0; i < names.size(); ++i) {
        if (regs[i])
            continue;
        bool complete = false;
        auto entry = ClassEntry(root, names[i].first, live, &complete);
        if (!entry)
            continue;
        auto reg = std::make_shared<Registration>();
        reg->entry = std::move(*entry);
        reg->inode = names[i].second;
        reg->kept = live && complete;
        regs[i] = std::move(reg);
    }
    for (auto &reg : regs) {
        if (!reg)
            continue;
        auto slot = std::make_unique<Slot>();
        slot->reg = reg;
        slots.push_back(std::move(slot));
    }
    listed = slots.size();
    for (size_t i = 0; i < listed; ++i) {
        byName.emplace(slots[i]->reg->entry.name, i);
        bySys.emplace(slots[i]->reg->entry.sys, i);
    }
    if (live && !reads.First()) {
        // Keep what this look shows; whatever it does not show is gone.
        std::map<std::string, std::shared_ptr<Registration>> seen;
        for (auto &reg : regs)
            if (reg && reg->kept)
                seen.emplace(reg->entry.name, reg);
        std::lock_guard<std::mutex> guard(table.lock);
        table.byRoot[root.prefix] = std::move(seen);
    }
}

BlockView::~BlockView() = default;

BlockView::Slot &BlockView::At(size_t i) { return *slots.at(i); }

const BlockEntry &BlockView::Entry(size_t i) const { return slots.at(i)->reg->entry; }

std::optional<size_t> BlockView::Find(const std::string &name) const {
    auto it = byName.find(name);
    return it == byName.end() ? std::nullopt : std::optional<size_t>(it->second);
}

std::optional<size_t> BlockView::FindSys(const std::string &sys) const {
    auto it = bySys.find(sys);
    return it == bySys.end() ? std::nullopt : std::optional<size_t>(it->second);
}

size_t BlockView::Adopt(const BlockEntry &entry) {
    if (auto i = Find(entry.name)) {
        const BlockEntry &e = slots[*i]->reg->entry;
        if (e.sys == entry.sys && e.partition == entry.partition)
            return *i;
    }
    auto slot = std::make_unique<Slot>();
    slot->reg = std::make_shared<Registration>();
    slot->reg->entry = entry;
    slots.push_back(std::move(slot));
    return slots.size() - 1;
}

std::optional<std::string> BlockView::Attr(const std::string &path) const { return ReadTreeAttr(root, path, live); }

void BlockView::LoadFixed(size_t i) {
    Registration &r = *At(i).reg;
    std::call_once(r.fixedOnce, [&] {
        FailedReads reads;
        const std::string &sys = r.entry.sys;
        r.dev = Attr(sys + "/dev");
        if (r.entry.partition) {
            r.start = Attr(sys + "/start");
            r.partitionNumber = static_cast<DWORD>(ParseNumber(Attr(sys + "/partition")).value_or(0));
        } else if (!IsSoftwareDevice(sys)) {
            // Only a disk on hardware can be a hidden path of another (an
            // NVMe multipath controller path) or a SCSI device of another
            // type; software disks have neither attribute to ask.
            r.hidden = ParseNumber(Attr(sys + "/hidden")).value_or(0) != 0;
            r.scsiType = ParseNumber(Attr(sys + "/device/type"));
        }
        if (!r.entry.partition) {
            unsigned major = 0;
            r.loopDisk = r.dev && std::sscanf(r.dev->c_str(), "%u:", &major) == 1 && major == LoopMajor;
        }
        if (reads.First())
            r.spoiled = true;
    });
}

uint64_t BlockView::SizeSectors(size_t i) {
    Slot &s = At(i);
    if (!s.size)
        s.size = SectorCount(ParseNumber(Attr(s.reg->entry.sys + "/size")));
    return *s.size;
}

std::optional<std::string> BlockView::Dev(size_t i) {
    LoadFixed(i);
    return At(i).reg->dev;
}

bool BlockView::Hidden(size_t i) {
    LoadFixed(i);
    return At(i).reg->hidden;
}

std::optional<std::string> BlockView::StartText(size_t i) {
    LoadFixed(i);
    return At(i).reg->start;
}

uint64_t BlockView::StartSectors(size_t i) { return SectorCount(ParseNumber(StartText(i))); }

DWORD BlockView::PartitionNumber(size_t i) {
    LoadFixed(i);
    return At(i).reg->partitionNumber;
}

// On the live sysfs, a dm/, md/ or loop/ directory belongs to a disk
// of that driver only: partitions and hardware disks have none, and a disk
// of the loop major is neither dm nor md. Whether a loop device is bound
// (its loop/ directory) changes while it stays registered.
bool BlockView::KnownHardwareOrPartition(size_t i) {
    const Registration &r = *At(i).reg;
    return r.kept && (r.entry.partition || !IsSoftwareDevice(r.entry.sys));
}

bool BlockView::NeitherDmNorMd(size_t i) {
    if (KnownHardwareOrPartition(i))
        return true;
    const Registration &r = *At(i).reg;
    if (!r.kept)
        return false;
    LoadFixed(i);
    return r.loopDisk;
}

bool BlockView::HasDm(size_t i) {
    Slot &s = At(i);
    if (!s.dm)
        s.dm = !NeitherDmNorMd(i) && IsDirectory(root, s.reg->entry.sys + "/dm");
    return *s.dm;
}

bool BlockView::HasMd(size_t i) {
    Slot &s = At(i);
    if (!s.md)
        s.md = !NeitherDmNorMd(i) && IsDirectory(root, s.reg->entry.sys + "/md");
    return *s.md;
}

bool BlockView::HasLoop(size_t i) {
    Slot &s = At(i);
    if (!s.loop)
        s.loop = !KnownHardwareOrPartition(i) && IsDirectory(root, s.reg->entry.sys + "/loop");
    return *s.loop;
}

std::optional<std::string> BlockView::DmName(size_t i) {
    Slot &s = At(i);
    if (!s.dmName)
        s.dmName = HasDm(i) ? Attr(s.reg->entry.sys + "/dm/name") : std::nullopt;
    return *s.dmName;
}

// The kernel links a device into another's slaves/ only when a dm or md
// device is built on it: partitions, hardware disks and loop disks hold
// nothing.
const std::vector<std::string> &BlockView::Slaves(size_t i) {
    Slot &s = At(i);
    if (!s.slaves)
        s.slaves = NeitherDmNorMd(i) ? std::vector<std::string>() : ListDirectory(root, s.reg->entry.sys + "/slaves");
    return *s.slaves;
}

std::optional<std::pair<std::optional<std::string>, std::optional<std::string>>> BlockView::LoopBacking(size_t i) {
    Slot &s = At(i);
    const Registration &r = *s.reg;
    if (!s.loop && KnownHardwareOrPartition(i))
        s.loop = false;
    if (s.loop && !*s.loop)
        return std::nullopt;
    // Both files from one open loop/ directory, which also tells whether the
    // device is bound.
    int dir = ::open(root.At(r.entry.sys + "/loop").c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
    if (dir < 0)
        NoteFailedRead(errno);
    s.loop = dir >= 0;
    if (dir < 0)
        return std::nullopt;
    auto backing = std::make_pair(ReadAttrAt(dir, "backing_file", !live), ReadAttrAt(dir, "offset", !live));
    ::close(dir);
    return backing;
}

const std::vector<std::string> &BlockView::Holders(size_t i) {
    Slot &s = At(i);
    if (!s.holders)
        s.holders = ListDirectory(root, s.reg->entry.sys + "/holders");
    return *s.holders;
}

const std::string &BlockView::Identity(size_t i) {
    Slot &s = At(i);
    if (!s.identity)
        s.identity = DiskIdentity(*this, i);
    return *s.identity;
}

const std::string &BlockView::HardwareIdentity(size_t i) {
    Slot &s = At(i);
    Registration &r = *s.reg;
    if (r.kept) {
        std::call_once(r.identityOnce, [&] {
            FailedReads reads;
            r.identity = TavLinux::HardwareIdentity(root, r.entry);
            if (reads.First())
                r.spoiled = true;
        });
        return r.identity;
    }
    if (!s.identity)
        s.identity = TavLinux::HardwareIdentity(root, r.entry);
    return *s.identity;
}

bool BlockView::SizesUnchanged(const std::string &disk) {
    auto i = Find(disk);
    if (!i)
        return true; // not in this look: nothing was read about it
    if (!partitionsOf) {
        partitionsOf.emplace();
        for (size_t j = 0; j < listed; ++j)
            if (Entry(j).partition)
                (*partitionsOf)[DirName(Entry(j).sys)].push_back(j);
    }
    auto same = [this](size_t slot) {
        const Slot &s = At(slot);
        return !s.size || *s.size == SectorCount(ParseNumber(Attr(s.reg->entry.sys + "/size")));
    };
    if (!same(*i))
        return false;
    auto parts = partitionsOf->find(Entry(*i).sys);
    if (parts != partitionsOf->end())
        for (size_t p : parts->second)
            if (!same(p))
                return false;
    return true;
}

// ---- The disk list ----------------------------------------------------------

bool BlockView::IsDisk(size_t i) {
    Slot &s = At(i);
    if (!s.disk) {
        const BlockEntry &e = s.reg->entry;
        // The size first: it rules out most devices that are no disk (an
        // unbound loop device, an empty card reader) with one read.
        bool disk = !e.partition && SizeSectors(i) != 0 && !Hidden(i);
        if (disk) {
            // Direct-access, optical-memory and reduced-block devices are
            // disks; CD/DVD drives, tapes and the rest are not.
            auto type = s.reg->scsiType;
            disk = !type || *type == 0 || *type == 7 || *type == 0x0E;
        }
        disk = disk && !(IsLoopName(e.name) && !HasLoop(i));
        s.disk = disk;
    }
    return *s.disk;
}

namespace {
constexpr DWORD NoDisk = 0xFFFFFFFFu;
} // namespace

const std::vector<size_t> &BlockView::Disks() {
    if (!disks) {
        std::vector<size_t> physical, virt;
        for (size_t i = 0; i < listed; ++i)
            if (IsDisk(i))
                (IsSoftwareDevice(Entry(i).sys) ? virt : physical).push_back(i);
        physical.insert(physical.end(), virt.begin(), virt.end());
        disks = std::move(physical);
        diskNumbers.assign(listed, NoDisk);
        for (size_t n = 0; n < disks->size(); ++n)
            diskNumbers[(*disks)[n]] = static_cast<DWORD>(n);
    }
    return *disks;
}

// Asked of one disk, the list is read only as far as that disk.
std::optional<DWORD> BlockView::DiskNumber(size_t i) {
    if (i >= listed) {
        auto same = FindSys(Entry(i).sys);
        if (!same)
            return std::nullopt;
        i = *same;
    }
    if (disks) {
        if (diskNumbers[i] == NoDisk)
            return std::nullopt;
        return diskNumbers[i];
    }
    if (!IsDisk(i))
        return std::nullopt;
    bool virt = IsSoftwareDevice(Entry(i).sys);
    DWORD number = 0;
    for (int pass = 0; pass < 2; ++pass) {
        bool virtualPass = pass == 1;
        for (size_t j = 0; j < listed; ++j) {
            if (IsSoftwareDevice(Entry(j).sys) != virtualPass)
                continue;
            if (j == i)
                return number;
            if (IsDisk(j))
                ++number;
        }
        if (virtualPass == virt)
            break;
    }
    return std::nullopt;
}

std::optional<size_t> BlockView::NthDisk(size_t n) {
    if (disks)
        return n < disks->size() ? std::optional<size_t>((*disks)[n]) : std::nullopt;
    size_t seen = 0;
    for (int pass = 0; pass < 2; ++pass) {
        for (size_t j = 0; j < listed; ++j) {
            if (IsSoftwareDevice(Entry(j).sys) != (pass == 1) || !IsDisk(j))
                continue;
            if (seen++ == n)
                return j;
        }
    }
    return std::nullopt;
}

} // namespace TavLinux
