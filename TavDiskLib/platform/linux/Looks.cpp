// SPDX-License-Identifier: MIT
// Looks kept between requests on the live system, and the change signals
// that end them.
//
// A look answers what the machine is like: which block devices there are,
// their sizes, bindings, holders and slaves, the mounts, the volumes. Taken
// anew for every request, listing N disks with V volumes costs N × V visits
// to sysfs. Instead the last look is kept and reused for as long as nothing
// that could change its answers has happened, and the backend learns of
// every such change cheaply:
// - the kernel's uevents (NETLINK_KOBJECT_UEVENT): a block device added or
//   removed, a loop device bound or released, a size changed, a
//   device-mapper table loaded, a partition table read again;
// - /proc/self/mountinfo, which polls with POLLPRI when a mount changes;
// - inotify on the device node of every whole disk of the look. A write to
//   a disk whose content was probed for a file system is the only change
//   of content no uevent announces: it ends the look. The kernel announces
//   no partition resized in place (BLKPG), nor a size that goes to or from
//   0, by uevent either; whoever does either has the disk open, so a disk
//   closed since the last request has its size and its partitions' sizes
//   read again, and the look ends when one of them changed.
// - a close after opening for writing, on a disk probed for a file system
//   (a discard, a zeroing ioctl, a shared mapping), and the backing file of
//   such a loop disk; a zram disk's disksize and reset attributes;
// - a move to another mount namespace (/proc/self/ns/mnt).
// Any of them ends the kept look; so does an overflow of the uevent socket
// or of the inotify queue. A look for which a read failed (other than for
// absence) is never kept, and the requests that use it fail.
// A device announced removed may still be in sysfs for a moment after its
// uevent: no look is kept while one such is still there.
//
// A process whose network namespace gets no uevents (a user namespace of
// its own, a container) cannot receive them, but it can count them: the
// kernel numbers every uevent it sends, wherever it sends it, and
// /sys/kernel/uevent_seqnum shows the last number. Such a process reads
// that number at every check instead; a new number ends the kept look.
//
// A process that can have no inotify instance (the per-user limit is
// reached) marks the same files with a fanotify group, whose limit is
// counted apart, and learns the same from its events. One that can have
// neither polls what they would have told it instead, at every check:
// /proc/partitions, whose sizes change with every resize (to the KiB it
// shows them in), and for each disk probed for a file system (and its loop
// backing file) the node's modification time, which every write and shared
// mapping written moves, and the disk's completed writes and discards in
// /proc/diskstats, which a discard or zeroing ioctl moves. It asks for an
// inotify instance and a fanotify group again at every check.
//
// Where no change signal exists (a recorded tree under TAVDISK_ROOT, no
// uevent counter to read, a socket or mountinfo that cannot be had at the
// moment: asked for again at the next request) every request takes a new
// look.
#include "Looks.h"
#include "Disks.h"
#include "Errors.h"
#include "FileSystems.h"
#include "State.h"
#include "Tree.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <fcntl.h>
#include <linux/netlink.h>
#include <linux/nsfs.h>
#include <poll.h>
#include <pthread.h>
#include <map>
#include <set>
#include <unordered_map>
#include <sys/fanotify.h>
#include <sys/inotify.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace TavLinux {
namespace {

// Kernel uevents reach the network namespaces owned by the initial user
// namespace only; the kernel tells which user namespace owns this process's
// network namespace (the initial one has a fixed inode number). One owned by
// a user namespace above this process's own cannot be seen from here, and is
// not taken for the initial one. Kernels without that request: the process's
// own user namespace must be the initial one (it maps every user id to
// itself).
constexpr ino_t InitialUserNamespace = 0xEFFFFFFDu;

bool UidMapIsInitial() {
    auto map = ReadBytes("/proc/self/uid_map", 4096);
    if (!map)
        return false;
    unsigned long long inside = 1, outside = 1, count = 0;
    char rest = 0;
    int fields = std::sscanf(map->c_str(), " %llu %llu %llu %c", &inside, &outside, &count, &rest);
    return fields == 3 && inside == 0 && outside == 0 && count == 4294967295ull;
}

bool UeventsReachHere() {
    int net = ::open("/proc/self/ns/net", O_RDONLY | O_CLOEXEC);
    if (net < 0) {
        NoteFailedRead(errno);
        return false;
    }
    int owner = ::ioctl(net, NS_GET_USERNS);
    int error = errno;
    ::close(net);
    if (owner < 0) {
        if (error == ENOTTY || error == EINVAL)
            return UidMapIsInitial();
        if (error != EPERM)
            NoteFailedRead(error);
        return false;
    }
    struct stat st {};
    bool initial = ::fstat(owner, &st) == 0 && st.st_ino == InitialUserNamespace;
    ::close(owner);
    return initial;
}

// The number of the last uevent the kernel sent, read from an open
// /sys/kernel/uevent_seqnum; nullopt when it cannot be read.
std::optional<uint64_t> UeventNumber(int counter) {
    char text[32];
    ssize_t n = ::pread(counter, text, sizeof text, 0);
    uint64_t number = 0;
    ssize_t at = 0;
    for (; at < n && text[at] >= '0' && text[at] <= '9' && number < UINT64_MAX / 10; ++at)
        number = number * 10 + static_cast<uint64_t>(text[at] - '0');
    if (at == 0 || at == n || text[at] != '\n')
        return std::nullopt;
    return number;
}

// The identity of this process's mount namespace: mountinfo, once open,
// keeps showing the namespace it was opened in.
std::optional<std::pair<dev_t, ino_t>> MountNamespace() {
    struct stat st {};
    if (::stat("/proc/self/ns/mnt", &st) != 0)
        return std::nullopt;
    return std::make_pair(st.st_dev, st.st_ino);
}

void CloseQuietly(int &fd) {
    if (fd >= 0)
        ::close(fd);
    fd = -1;
}

// The whole of a /proc file through its open descriptor; nullopt when it
// cannot be read.
std::optional<std::string> ReadWhole(int fd) {
    std::string text;
    char chunk[16384];
    for (off_t at = 0;;) {
        ssize_t n = ::pread(fd, chunk, sizeof chunk, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            return std::nullopt;
        if (n == 0)
            return text;
        text.append(chunk, static_cast<size_t>(n));
        at += n;
    }
}

// Each disk's completed writes and discards in /proc/diskstats (the fifth
// and twelfth counters of its line; 0 where the kernel shows no discards),
// read in one pass.
using DiskWrites = std::unordered_map<std::string, std::pair<uint64_t, uint64_t>>;

DiskWrites WritesIn(const std::string &diskstats) {
    DiskWrites writes;
    for (size_t at = 0; at < diskstats.size();) {
        size_t end = diskstats.find('\n', at);
        if (end == std::string::npos)
            end = diskstats.size();
        unsigned major = 0, minor = 0;
        char device[64] = {};
        unsigned long long c[11] = {};
        const std::string line = diskstats.substr(at, end - at);
        int got =
            std::sscanf(line.c_str(), "%u %u %63s %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu %llu", &major,
                        &minor, device, &c[0], &c[1], &c[2], &c[3], &c[4], &c[5], &c[6], &c[7], &c[8], &c[9], &c[10]);
        if (got >= 7)
            writes[device] = std::make_pair(uint64_t{c[4]}, uint64_t{got >= 14 ? c[10] : 0});
        at = end + 1;
    }
    return writes;
}

std::optional<std::pair<uint64_t, uint64_t>> WritesOf(const DiskWrites &writes, const std::string &name) {
    auto it = writes.find(name);
    if (it == writes.end())
        return std::nullopt;
    return it->second;
}

// What shows a write to a node or file without inotify: its identity and
// its modification and change times.
struct Stamp {
    dev_t dev = 0;
    ino_t ino = 0;
    timespec mtime{}, ctime{};
    bool operator==(const Stamp &o) const {
        return dev == o.dev && ino == o.ino && mtime.tv_sec == o.mtime.tv_sec && mtime.tv_nsec == o.mtime.tv_nsec &&
               ctime.tv_sec == o.ctime.tv_sec && ctime.tv_nsec == o.ctime.tv_nsec;
    }
    bool operator!=(const Stamp &o) const { return !(*this == o); }
};

std::optional<Stamp> StampOf(const std::string &path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return std::nullopt;
    return Stamp{st.st_dev, st.st_ino, st.st_mtim, st.st_ctim};
}

// A fanotify group that reports what it marks by identity (file system and
// file handle) rather than by an open descriptor, which for a device node
// would open the disk itself; the only kind an unprivileged process may
// have. -1 with errno when none can be had.
int OpenFanotify() {
    return ::fanotify_init(FAN_CLASS_NOTIF | FAN_REPORT_FID | FAN_CLOEXEC | FAN_NONBLOCK, O_RDONLY | O_CLOEXEC);
}

#ifndef AT_HANDLE_FID
#define AT_HANDLE_FID 0x200 // a handle to identify the file by, not to open it
#endif

// The identity fanotify's events give a file: its file system's id, then
// its handle's type and bytes.
std::string MarkKey(const __kernel_fsid_t &fsid, int type, const unsigned char *handle, size_t length) {
    std::string key(reinterpret_cast<const char *>(&fsid), sizeof fsid);
    key.append(reinterpret_cast<const char *>(&type), sizeof type);
    key.append(reinterpret_cast<const char *>(handle), length);
    return key;
}

// The identity of the file at `path`; nullopt with errno when it cannot be
// had.
std::optional<std::string> MarkKeyOf(const std::string &path) {
    alignas(file_handle) unsigned char buffer[sizeof(file_handle) + MAX_HANDLE_SZ] = {};
    auto *handle = reinterpret_cast<file_handle *>(buffer);
    int mount = 0;
    handle->handle_bytes = MAX_HANDLE_SZ;
    // Kernels without AT_HANDLE_FID refuse it; their fanotify marks only
    // file systems whose handles can be had without it.
    if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mount, AT_HANDLE_FID) != 0) {
        if (errno != EINVAL)
            return std::nullopt;
        handle->handle_bytes = MAX_HANDLE_SZ;
        if (::name_to_handle_at(AT_FDCWD, path.c_str(), handle, &mount, 0) != 0)
            return std::nullopt;
    }
    struct statfs fs {};
    if (::statfs(path.c_str(), &fs) != 0)
        return std::nullopt;
    __kernel_fsid_t fsid;
    static_assert(sizeof fsid == sizeof fs.f_fsid, "a file system id as statfs gives it");
    std::memcpy(&fsid, &fs.f_fsid, sizeof fsid);
    return MarkKey(fsid, handle->handle_type, buffer + sizeof(file_handle),
                   std::min<size_t>(handle->handle_bytes, MAX_HANDLE_SZ));
}

// The change signals of the live system, shared by the whole process.
class Monitor {
public:
    Monitor() = default;
    Monitor(const Monitor &) = delete;
    Monitor &operator=(const Monitor &) = delete;
    ~Monitor() {
        CloseQuietly(uevents), CloseQuietly(counter), CloseQuietly(mounts), CloseQuietly(writes);
        CloseQuietly(partitions), CloseQuietly(diskstats);
    }

    // The number of changes seen so far, after taking in every signal that
    // is waiting; nullopt when changes cannot be learnt of here.
    std::optional<uint64_t> Check() {
        std::lock_guard<std::mutex> guard(lock);
        if (forked) {
            // Signals opened by the parent belong to it: reading them here
            // would take its events away.
            CloseQuietly(uevents), CloseQuietly(counter), CloseQuietly(mounts), CloseQuietly(writes);
            CloseQuietly(partitions), CloseQuietly(diskstats);
            watched.clear(), closed.clear(), contentNodes.clear(), ownCloses.clear(), polledContent.clear();
            marked.clear(), fanotify = false;
            opened = false, forked = false;
            ++changes;
        }
        if (usable && MountNamespace() != mountNamespace)
            Retry(); // the process moved to another mount namespace: start over
        if (!opened)
            Open();
        if (!usable)
            return std::nullopt;
        if (counter >= 0) {
            auto number = UeventNumber(counter);
            if (!number) {
                Retry();
                return std::nullopt;
            }
            if (*number != lastUevent)
                ++changes, lastUevent = *number;
        }
        pollfd fds[3] = {{uevents, POLLIN, 0}, {mounts, POLLPRI, 0}, {writes, POLLIN, 0}};
        int ready = ::poll(fds, 3, 0);
        if (ready < 0 && errno != EINTR) {
            Retry();
            return std::nullopt;
        }
        if (ready > 0) {
            if (fds[0].revents)
                TakeUevents();
            if (fds[1].revents & (POLLPRI | POLLERR))
                ++changes;
            if (fds[2].revents && fanotify)
                TakeMarks();
            else if (fds[2].revents)
                TakeWrites();
        }
        if (partitions >= 0 && !Poll())
            return std::nullopt;
        return changes;
    }

    // Watches a whole disk's device node for writes and closes, before its
    // size or content is read; false when it cannot be watched (a look that
    // read it cannot be kept). With `content`, a write ends the look.
    // With `absentIsFine`, a file that is not there (a loop disk's backing
    // file named as another mount namespace sees it, or deleted) counts as
    // watched.
    bool WatchDisk(const Root &root, const std::string &node, bool content, bool absentIsFine = false) {
        std::lock_guard<std::mutex> guard(lock);
        if (!root.prefix.empty()) { // kept by a test: its signals come from Signal
            if (content)
                contentNodes.insert("/dev/" + BaseName(node));
            return scripted && *scripted == root.prefix;
        }
        if (!usable)
            return false;
        if (partitions >= 0)
            return PollDisk(node, content, absentIsFine);
        if (fanotify)
            return MarkDisk(node, content, absentIsFine);
        int wd = ::inotify_add_watch(writes, node.c_str(), IN_MODIFY | IN_CLOSE_WRITE | IN_CLOSE_NOWRITE);
        if (wd < 0)
            return absentIsFine && (errno == ENOENT || errno == ENOTDIR);
        NoteWatch(wd, node, content);
        return true;
    }

    // This process closes a descriptor of a disk it opened for writing and
    // did not write through (a write shows by itself): the close that
    // follows is its own, and no change of content.
    void ClosingOwnWriter(const std::string &node) {
        std::lock_guard<std::mutex> guard(lock);
        if (usable && contentNodes.count(node) && ownCloses[node] < 1024)
            ++ownCloses[node];
    }

    // The device nodes closed (or written) since the last call.
    std::set<std::string> TakeClosed() {
        std::lock_guard<std::mutex> guard(lock);
        std::set<std::string> out;
        out.swap(closed);
        return out;
    }

    // Whether every device announced removed has left sysfs.
    bool RemovalsDone() {
        std::lock_guard<std::mutex> guard(lock);
        for (auto it = removed.begin(); it != removed.end();) {
            struct stat st {};
            if (::lstat(("/sys" + *it).c_str(), &st) != 0 && errno == ENOENT)
                it = removed.erase(it);
            else
                ++it;
        }
        return removed.empty();
    }

    // Tests: looks of the recorded tree at `prefix` are kept, ended by the
    // signals given to Signal only.
    void Script(const std::optional<std::string> &prefix) {
        std::lock_guard<std::mutex> guard(lock);
        scripted = prefix;
        closed.clear(), contentNodes.clear();
        ++changes;
    }
    std::optional<uint64_t> CheckScripted(const Root &root) {
        std::lock_guard<std::mutex> guard(lock);
        if (!scripted || *scripted != root.prefix)
            return std::nullopt;
        return changes;
    }
    // What the kernel would have announced, on the disk named (a kernel
    // name) where it names one.
    void Signal(LookSignal signal, const std::string &disk) {
        std::lock_guard<std::mutex> guard(lock);
        const std::string node = "/dev/" + disk;
        switch (signal) {
        case LookSignal::Uevent:
        case LookSignal::MountsChanged:
        case LookSignal::Overflow: ++changes; break;
        case LookSignal::DiskClosed: closed.insert(node); break;
        case LookSignal::DiskWritten:
            if (contentNodes.count(node))
                ++changes;
            else
                closed.insert(node);
            break;
        }
    }

    // fork(): the lock must not be held across it, and the child opens
    // signals of its own.
    void BeforeFork() { lock.lock(); }
    void AfterForkInParent() { lock.unlock(); }
    void AfterForkInChild() {
        forked = true;
        lock.unlock();
    }

private:
    // Opens the signals; when that fails for want of descriptors or memory
    // (or anything else that may pass), it is tried again at the next check
    // rather than given up for the life of the process.
    void Open() {
        usable = false;
        FailedReads reads;
        bool reachable = UeventsReachHere();
        if (reads.First())
            return;
        opened = true;
        if (reachable) {
            uevents = ::socket(AF_NETLINK, SOCK_DGRAM | SOCK_CLOEXEC | SOCK_NONBLOCK, NETLINK_KOBJECT_UEVENT);
            if (uevents < 0)
                return Retry();
            sockaddr_nl address{};
            address.nl_family = AF_NETLINK;
            address.nl_groups = 1; // the kernel's own uevents
            if (::bind(uevents, reinterpret_cast<sockaddr *>(&address), sizeof address) != 0)
                return Retry();
            // Room for a burst (a partition table read again, many disks
            // attached); an overflow only costs a new look.
            int room = 4 << 20;
            if (::setsockopt(uevents, SOL_SOCKET, SO_RCVBUFFORCE, &room, sizeof room) != 0)
                ::setsockopt(uevents, SOL_SOCKET, SO_RCVBUF, &room, sizeof room);
        } else {
            // Counted rather than received. Without their device paths no
            // removal is followed to its end, and none needs to be: the
            // kernel takes a device's /sys/class/block link away before it
            // announces the removal, so a look taken after the number
            // moved does not list the device.
            counter = ::open("/sys/kernel/uevent_seqnum", O_RDONLY | O_CLOEXEC);
            if (counter < 0) {
                if (errno == ENOENT || errno == ENOTDIR)
                    return; // no counter here: no look is kept
                return Retry();
            }
            auto number = UeventNumber(counter);
            if (!number)
                return Retry();
            lastUevent = *number;
        }
        mountNamespace = MountNamespace();
        mounts = ::open("/proc/self/mountinfo", O_RDONLY | O_CLOEXEC);
        writes = watcher == NodeWatcher::Inotify ? ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK) : -1;
        // No inotify instance to be had (the per-user limit; EMFILE is also
        // a process out of descriptors, and then nothing below can be had
        // either): a fanotify group, whose limit is counted apart, tells the
        // same of the nodes it marks; without one, what they would tell is
        // polled instead.
        bool noInotify = writes < 0 && (watcher != NodeWatcher::Inotify || errno == EMFILE);
        if (noInotify && watcher != NodeWatcher::Polling && !fanotifyRefused) {
            writes = OpenFanotify();
            if (writes >= 0)
                fanotify = true, self = ::getpid();
            else if (errno == ENOMEM || errno == ENFILE)
                return Retry();
        }
        if (writes < 0 && noInotify) {
            partitions = ::open("/proc/partitions", O_RDONLY | O_CLOEXEC);
            diskstats = ::open("/proc/diskstats", O_RDONLY | O_CLOEXEC);
            auto sizes = partitions >= 0 && diskstats >= 0 ? ReadWhole(partitions) : std::nullopt;
            if (!sizes)
                return Retry();
            lastPartitions = std::move(*sizes);
        } else if (writes < 0) {
            return Retry();
        }
        if (!mountNamespace || mounts < 0)
            return Retry();
        usable = true;
        ++changes;
    }

    // The polled checks, in place of inotify's events. False when they
    // cannot be made (the signals are opened again at the next check).
    bool Poll() {
        // An inotify instance or a fanotify group to be had again: its
        // signals take over.
        int fd = watcher == NodeWatcher::Inotify ? ::inotify_init1(IN_CLOEXEC | IN_NONBLOCK) : -1;
        if (fd < 0 && watcher != NodeWatcher::Polling && !fanotifyRefused)
            fd = OpenFanotify();
        if (fd >= 0) {
            ::close(fd);
            Retry();
            return false;
        }
        auto sizes = ReadWhole(partitions);
        if (!sizes) {
            Retry();
            return false;
        }
        if (*sizes != lastPartitions)
            ++changes, lastPartitions = std::move(*sizes);
        // The counters at most once a check, and only while a disk's content
        // is polled: the disks watched from now on take them as they were
        // before their content is read.
        countersRead = false;
        for (const auto &entry : polledContent)
            if (!entry.second.disk.empty()) {
                if (!ReadCounters()) {
                    Retry();
                    return false;
                }
                break;
            }
        for (auto &[path, polled] : polledContent) {
            auto stamp = StampOf(path);
            if (stamp != polled.stamp)
                ++changes, polled.stamp = stamp;
            if (!polled.disk.empty()) {
                auto counted = WritesOf(lastWrites, polled.disk);
                if (counted != polled.writes)
                    ++changes, polled.writes = counted;
            }
        }
        return true;
    }

    // Without inotify a node is watched for its content by what a write
    // moves (its times, the disk's counters), noted before the content is
    // read; its size and a sysfs attribute's effect show in
    // /proc/partitions.
    bool PollDisk(const std::string &node, bool content, bool absentIsFine) {
        if (!content || node.compare(0, 5, "/sys/") == 0)
            return true;
        auto stamp = StampOf(node);
        if (!stamp)
            return absentIsFine && (errno == ENOENT || errno == ENOTDIR);
        if (polledContent.size() >= 4096)
            return false;
        Polled &p = polledContent[node];
        p.stamp = stamp;
        if (S_ISBLK(StatMode(node))) {
            // The counters of the check this look began with, else read
            // now, before the content: a write since then shows at the next
            // check.
            if (!countersRead && !ReadCounters())
                return false;
            p.disk = node.substr(node.rfind('/') + 1);
            p.writes = WritesOf(lastWrites, p.disk);
        }
        return true;
    }

    bool ReadCounters() {
        auto stats = ReadWhole(diskstats);
        if (!stats)
            return false;
        lastWrites = WritesIn(*stats);
        countersRead = true;
        return true;
    }

    static mode_t StatMode(const std::string &path) {
        struct stat st {};
        return ::stat(path.c_str(), &st) == 0 ? st.st_mode : 0;
    }

    void Retry() {
        Drop();
        opened = false;
    }

    void Drop() {
        CloseQuietly(uevents), CloseQuietly(counter), CloseQuietly(mounts), CloseQuietly(writes);
        CloseQuietly(partitions), CloseQuietly(diskstats);
        watched.clear(), closed.clear(), contentNodes.clear(), ownCloses.clear(), polledContent.clear();
        marked.clear(), fanotify = false;
        usable = false;
        ++changes;
    }

    void TakeUevents() {
        char message[8192];
        while (true) {
            sockaddr_nl from{};
            iovec part = {message, sizeof message - 1};
            msghdr header{};
            header.msg_name = &from;
            header.msg_namelen = sizeof from;
            header.msg_iov = &part;
            header.msg_iovlen = 1;
            ssize_t n = ::recvmsg(uevents, &header, MSG_DONTWAIT);
            if (n < 0) {
                if (errno == EINTR)
                    continue;
                if (errno == ENOBUFS) { // events were lost: whatever they were
                    ++changes;
                    continue;
                }
                break; // EAGAIN: all taken
            }
            if (from.nl_pid != 0) // only the kernel speaks for the kernel
                continue;
            Take(message, static_cast<size_t>(n));
        }
    }

    // One uevent: "ACTION@DEVPATH", then KEY=VALUE strings.
    void Take(char *message, size_t length) {
        message[length] = 0;
        bool synthetic = false;
        for (size_t at = std::strlen(message) + 1; at < length; at += std::strlen(message + at) + 1)
            synthetic = synthetic || std::strncmp(message + at, "SYNTH_UUID=", 11) == 0;
        // Written by a program to sysfs to have a device announced again
        // (udev does so after a disk opened for writing is closed): the
        // kernel's state did not change.
        if (synthetic)
            return;
        ++changes;
        // A device made again under the same path (a partition table read
        // again, a disk plugged in again) is there: its removal is over.
        if (std::strncmp(message, "remove@/", 8) == 0 && removed.size() < 4096)
            removed.insert(message + 7);
        else if (std::strncmp(message, "add@/", 5) == 0)
            removed.erase(message + 4);
    }

    void TakeWrites() {
        alignas(inotify_event) char events[8192];
        ssize_t n;
        while ((n = ::read(writes, events, sizeof events)) > 0) {
            for (ssize_t at = 0; at + static_cast<ssize_t>(sizeof(inotify_event)) <= n;) {
                inotify_event e;
                std::memcpy(&e, events + at, sizeof e);
                at += static_cast<ssize_t>(sizeof e + e.len);
                auto w = watched.find(e.wd);
                if ((e.mask & (IN_Q_OVERFLOW | IN_IGNORED)) || w == watched.end()) {
                    // Events lost, or a node gone (its disk went away).
                    if (w != watched.end())
                        watched.erase(w);
                    ++changes;
                } else if ((e.mask & (IN_MODIFY | IN_CLOSE_WRITE)) && w->second.content) {
                    // Written, or open for writing and closed: a discard,
                    // a zeroing ioctl or a shared mapping changes the
                    // content without a write() through the node. One close
                    // per close of this process's own is taken for it
                    // (events come in the order of the closes, so each
                    // foreign close still counts once).
                    auto own = ownCloses.find(w->second.node);
                    if (!(e.mask & IN_MODIFY) && own != ownCloses.end()) {
                        if (--own->second == 0)
                            ownCloses.erase(own);
                        closed.insert(w->second.node);
                    } else {
                        ++changes;
                    }
                } else {
                    // Every other close counts, this process's own reads
                    // too: inotify merges identical events not yet read, so
                    // a close of its own cannot be told from another's
                    // that follows it (a partition resized in place).
                    closed.insert(w->second.node);
                }
            }
        }
    }

    // With a fanotify group: marks the node for what inotify would watch.
    // A file system whose files it cannot mark (no handles, no id) will
    // not do for any: the signals are opened again, polling.
    bool MarkDisk(const std::string &node, bool content, bool absentIsFine) {
        auto key = MarkKeyOf(node);
        if (key && !marked.count(*key) &&
            ::fanotify_mark(writes, FAN_MARK_ADD, FAN_MODIFY | FAN_CLOSE_WRITE | FAN_CLOSE_NOWRITE | FAN_DELETE_SELF,
                            AT_FDCWD, node.c_str()) != 0)
            key.reset();
        if (!key) {
            if (errno == ENOENT || errno == ENOTDIR)
                return absentIsFine;
            if (errno == EOPNOTSUPP || errno == ENODEV || errno == EXDEV || errno == EPERM || errno == EINVAL) {
                fanotifyRefused = true;
                Retry();
            }
            return false;
        }
        auto [it, added] = marked.emplace(*key, lastMark + 1);
        if (added)
            ++lastMark;
        NoteWatch(it->second, node, content);
        return true;
    }

    // The node an inotify watch or a fanotify mark stands for.
    void NoteWatch(int id, const std::string &node, bool content) {
        Watch &w = watched[id];
        w.node = node;
        w.content = w.content || content;
        if (content)
            contentNodes.insert(node);
    }

    // fanotify's events, as TakeWrites takes inotify's. Events of one
    // process on one file are merged until read, and this process's own
    // carry its pid while others' carry none: a write-close of a content
    // node is this process's own only when it says so and announced one.
    // (inotify merges only identical events that follow each other.)
    void TakeMarks() {
        alignas(fanotify_event_metadata) char events[8192];
        ssize_t n;
        while ((n = ::read(writes, events, sizeof events)) > 0)
            for (const MarkEvent &e : MarkEventsIn(events, static_cast<size_t>(n))) {
                if (e.fd >= 0)
                    ::close(e.fd);
                TakeMark(e);
            }
    }

    void TakeMark(const MarkEvent &e) {
        auto mark = e.key ? marked.find(*e.key) : marked.end();
        auto w = mark == marked.end() ? watched.end() : watched.find(mark->second);
        if ((e.mask & (FAN_Q_OVERFLOW | FAN_DELETE_SELF)) || w == watched.end()) {
            // Events lost, a file gone (its mark goes with it), or not a
            // file this process marked as it is now.
            if ((e.mask & FAN_DELETE_SELF) && w != watched.end())
                watched.erase(w), marked.erase(mark);
            ++changes;
            return;
        }
        if ((e.mask & (FAN_MODIFY | FAN_CLOSE_WRITE)) && w->second.content) {
            auto own = ownCloses.find(w->second.node);
            if (!(e.mask & FAN_MODIFY) && e.pid == self && own != ownCloses.end()) {
                ownCloses.erase(own); // however many of its closes were merged
                closed.insert(w->second.node);
            } else {
                ++changes;
            }
        } else {
            closed.insert(w->second.node);
        }
    }

    struct Watch {
        std::string node;
        bool content = false; // probed for a file system: a write changes what it is
    };

    // A node or backing file polled for its content, as it was when noted.
    struct Polled {
        std::optional<Stamp> stamp;
        std::string disk; // a block device's name in /proc/diskstats
        std::optional<std::pair<uint64_t, uint64_t>> writes;
    };

public:
    // Tests: behave as where `first` is the first way to watch nodes that
    // can be had.
    void WatchNodesWith(NodeWatcher first) {
        std::lock_guard<std::mutex> guard(lock);
        if (first != watcher) {
            watcher = first;
            Retry();
        }
    }

private:
    std::mutex lock;
    bool opened = false, usable = false, forked = false;
    int uevents = -1, mounts = -1, writes = -1;
    int counter = -1;                                      // /sys/kernel/uevent_seqnum, where uevents do not reach
    uint64_t lastUevent = 0;                               // the number it showed at the last check
    std::optional<std::pair<dev_t, ino_t>> mountNamespace; // where mountinfo was opened
    std::unordered_map<int, Watch> watched;                // inotify watch or mark -> node
    std::set<std::string> closed;                          // nodes closed or written since the last request
    std::set<std::string> contentNodes;                    // watched for their content
    std::unordered_map<std::string, int> ownCloses;        // closes of this process's writers not yet taken
    uint64_t changes = 0;
    std::set<std::string> removed; // devpaths of devices announced removed
    // Without inotify: /proc/partitions as it last read, and the nodes polled.
    int partitions = -1, diskstats = -1;
    std::string lastPartitions;
    std::map<std::string, Polled> polledContent;
    DiskWrites lastWrites;                      // /proc/diskstats when last read
    bool countersRead = false;                  // ... at this check
    NodeWatcher watcher = NodeWatcher::Inotify; // the first way to watch nodes tried
    // With a fanotify group: the nodes marked, by the identity its events
    // carry (MarkKey), each with its entry in `watched`.
    bool fanotify = false, fanotifyRefused = false;
    std::unordered_map<std::string, int> marked;
    int lastMark = 0;
    pid_t self = 0;                      // this process, as its own events name it
    std::optional<std::string> scripted; // the prefix of a recorded tree whose looks a test keeps
};

struct KeptLook {
    std::mutex lock;
    std::shared_ptr<Look> look;
    uint64_t changes = 0;
    LookCounts counts;
};

// The kept look and the monitor: one part of the backend's state. fork()
// takes the kept look's lock, the state's and the monitor's, in that order
// (a new look is taken under the kept look's lock and may make another
// part), and both sides let go of them after it: no lock is held by a
// thread the child does not have, and no part is made or released across.
struct Looks;
Looks *lockedForFork = nullptr;

struct Looks {
    Looks() {
        static std::once_flag registered; // once per loading of the library
        std::call_once(registered, [] {
            ::pthread_atfork(
                BeforeFork, [] { AfterFork(false); }, [] { AfterFork(true); });
        });
    }
    KeptLook kept;
    Monitor monitor;

private:
    static void BeforeFork() {
        Looks *l = Existing<Looks>(Part::Looks);
        if (l)
            l->kept.lock.lock();
        LockStateForFork();
        if (l)
            l->monitor.BeforeFork();
        lockedForFork = l;
    }
    static void AfterFork(bool inChild) {
        Looks *l = lockedForFork;
        if (l && inChild)
            l->monitor.AfterForkInChild();
        else if (l)
            l->monitor.AfterForkInParent();
        UnlockStateAfterFork();
        if (l)
            l->kept.lock.unlock();
    }
};

KeptLook &Kept() { return Owned<Looks>(Part::Looks).kept; }
Monitor &TheMonitor() { return Owned<Looks>(Part::Looks).monitor; }

} // namespace

namespace {
std::atomic<uint64_t> looksTaken{0};
} // namespace

Look::Look(const Root &root, bool keep) : view(root), kept(keep), sequence(++looksTaken) {}

void Look::Fail(int error) {
    int none = 0;
    failure.compare_exchange_strong(none, error);
    spoiled = true;
}

LookInUse::LookInUse(const Root &root) : look(CurrentLook(root)), guard(look->lock) {}

DWORD LookInUse::Failure() {
    if (int error = reads.First())
        look->Fail(error);
    int error = look->Failure();
    return error ? ErrorFromErrno(error) : 0;
}

const MountTable &Look::Mounts() {
    if (!mounts)
        mounts = ReadMounts(view.GetRoot());
    return *mounts;
}

std::shared_ptr<const VolumeSnapshot> Look::Volumes() {
    if (!volumes)
        volumes = Snapshot(true);
    return volumes;
}

std::shared_ptr<const VolumeSnapshot> Look::Candidates() {
    if (!candidates)
        candidates = Snapshot(false);
    return candidates;
}

bool Look::HoldsFileSystem(const std::string &name) {
    const std::string node = view.GetRoot().At("/dev/" + name);
    if (kept && !TheMonitor().WatchDisk(view.GetRoot(), node, true))
        spoiled = true;
    // A loop disk's content is also its backing file's, which is written
    // without its node (mkfs on the file, the file copied over). A file this
    // process cannot see by that name is not watched.
    if (auto slot = view.Find(name); kept && slot)
        if (auto backing = view.LoopBacking(*slot); backing && backing->first)
            if (!TheMonitor().WatchDisk(view.GetRoot(), *backing->first, true, true))
                spoiled = true;
    return HasFileSystem(view.GetRoot(), name);
}

std::shared_ptr<const VolumeSnapshot> Look::Snapshot(bool probeContent) {
    auto snapshot = std::make_shared<VolumeSnapshot>();
    snapshot->look = sequence;
    for (auto &v : ListVolumes(*this, probeContent)) {
        VolumeFacts r;
        r.extents = VolumeExtents(view, v.block);
        r.mounts = MountPointsOf(view, v.block, Mounts());
        r.entry = std::move(v);
        snapshot->byName.emplace(VolumeKey(r.entry.name), snapshot->volumes.size());
        snapshot->volumes.push_back(std::move(r));
    }
    const auto &disks = view.Disks();
    for (size_t n = 0; n < disks.size(); ++n)
        snapshot->disks.emplace(view.Entry(disks[n]).name, std::make_pair(view.Entry(disks[n]), static_cast<DWORD>(n)));
    return snapshot;
}

std::shared_ptr<Look> CurrentLook(const Root &root) {
    FailedReads reads;
    std::optional<uint64_t> changes;
    if (root.prefix.empty())
        changes = TheMonitor().Check();
    else
        changes = TheMonitor().CheckScripted(root);
    KeptLook &k = Kept();
    std::lock_guard<std::mutex> guard(k.lock);
    if (changes && k.look && k.changes == *changes && !k.look->Spoiled()) {
        bool same = true;
        {
            std::lock_guard<std::mutex> viewGuard(k.look->lock);
            for (const auto &node : TheMonitor().TakeClosed())
                same = same && k.look->view.SizesUnchanged(BaseName(node));
        }
        if (same) {
            ++k.counts.reused;
            return k.look;
        }
    }
    k.look.reset();
    ++k.counts.taken;
    // Checked before the look is taken: a device that has left sysfs by
    // now is in no look taken from now on.
    bool keep = changes && (!root.prefix.empty() || (TheMonitor().RemovalsDone() && LiveTree(root)));
    auto look = std::make_shared<Look>(root, keep);
    if (keep) {
        // Every whole disk is watched before any size is read (the look
        // reads them when first needed), so a change that follows shows.
        TheMonitor().TakeClosed();
        for (size_t i = 0; i < look->view.Listed() && keep; ++i) {
            const BlockEntry &e = look->view.Entry(i);
            if (e.partition)
                continue;
            keep = TheMonitor().WatchDisk(root, "/dev/" + e.name, false);
            // A compressed RAM disk gets its size, and loses it, by a write
            // to sysfs that no uevent announces and that opens no node.
            if (keep && e.name.compare(0, 4, "zram") == 0 && IsSoftwareDevice(e.sys))
                for (const char *attribute : {"/disksize", "/reset"})
                    keep = keep && TheMonitor().WatchDisk(root, e.sys + attribute, true);
        }
    }
    // A look of sysfs that could not be read whole is no look at all.
    if (int error = reads.First()) {
        look->Fail(error);
        keep = false;
    }
    if (keep) {
        k.look = look;
        k.changes = *changes;
    }
    return look;
}

std::vector<MarkEvent> MarkEventsIn(const char *bytes, size_t length) {
    std::vector<MarkEvent> out;
    for (size_t at = 0; at + sizeof(fanotify_event_metadata) <= length;) {
        fanotify_event_metadata m;
        std::memcpy(&m, bytes + at, sizeof m);
        MarkEvent e;
        e.mask = m.mask;
        e.pid = m.pid;
        e.fd = m.fd;
        if (m.event_len < sizeof m || m.event_len > length - at) {
            // Cut short: nothing after it can be placed.
            e.mask = FAN_Q_OVERFLOW;
            out.push_back(e);
            break;
        }
        if (m.vers != FANOTIFY_METADATA_VERSION || m.metadata_len < sizeof m || m.metadata_len > m.event_len)
            e.mask = FAN_Q_OVERFLOW; // a layout not known: taken for lost events
        // The first record naming the file: its file system, then a
        // struct file_handle.
        const char *event = bytes + at;
        for (size_t r = m.metadata_len;
             e.mask != FAN_Q_OVERFLOW && !e.key && r + sizeof(fanotify_event_info_fid) <= m.event_len;) {
            fanotify_event_info_fid fid;
            std::memcpy(&fid, event + r, sizeof fid);
            if (fid.hdr.len < sizeof fid || fid.hdr.len > m.event_len - r)
                break;
            file_handle head;
            const size_t room = fid.hdr.len - sizeof fid;
            if (fid.hdr.info_type == FAN_EVENT_INFO_TYPE_FID && room >= sizeof head) {
                std::memcpy(&head, event + r + sizeof fid, sizeof head);
                if (head.handle_bytes <= room - sizeof head)
                    e.key = MarkKey(fid.fsid, head.handle_type,
                                    reinterpret_cast<const unsigned char *>(event + r + sizeof fid + sizeof head),
                                    head.handle_bytes);
            }
            r += fid.hdr.len;
        }
        out.push_back(std::move(e));
        at += m.event_len;
    }
    return out;
}

void ClosingOwnWriter(const std::string &node) { TheMonitor().ClosingOwnWriter(node); }

bool LooksCanBeKept() { return TheMonitor().Check().has_value(); }

void WatchNodesWithForTesting(NodeWatcher first) { TheMonitor().WatchNodesWith(first); }

void KeepLooksOf(const std::optional<Root> &root) {
    TheMonitor().Script(root ? std::optional<std::string>(root->prefix) : std::nullopt);
}

void SignalLookChange(LookSignal signal, const std::string &disk) { TheMonitor().Signal(signal, disk); }

LookCounts CountLooks() {
    KeptLook &k = Kept();
    std::lock_guard<std::mutex> guard(k.lock);
    return k.counts;
}

} // namespace TavLinux
