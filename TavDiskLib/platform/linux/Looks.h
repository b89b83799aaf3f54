// SPDX-License-Identifier: MIT
// The look a request uses: kept between requests while the kernel signals
// no change, else a new one.
#ifndef TAVDISKLIB_PLATFORM_LINUX_LOOKS_H
#define TAVDISKLIB_PLATFORM_LINUX_LOOKS_H

#include "BlockView.h"
#include "Mounts.h"
#include "Tree.h"
#include "Volumes.h"

#include <atomic>
#include <cstdint>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace TavLinux {

// One look at the machine: its block devices (BlockView), its mounts and
// its volumes, each read when first needed and at most once. On the live
// system a look is kept and shared between requests for as long as the
// kernel signals no change that could alter it; a user holds its lock
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
// How device nodes are watched for closes and writes: inotify; where no
// inotify instance can be had (the per-user limit reached), a fanotify
// group; where neither can, polling.
enum class NodeWatcher { Inotify, Fanotify, Polling };
// Tests: the change signals behave as where `first` is the first of these
// that can be had.
void WatchNodesWithForTesting(NodeWatcher first);

// One event of a fanotify group that reports files by identity: what
// happened (FAN_* bits; FAN_Q_OVERFLOW also for a record cut short or of a
// layout not known), the process it names (this one's or 0), the
// descriptor it carries (none: -1), and the file's identity (its file
// system id, handle type and handle), absent where it names none.
struct MarkEvent {
    uint64_t mask = 0;
    int32_t pid = 0;
    int32_t fd = -1;
    std::optional<std::string> key;
};
// The events in the bytes a read of the group gave, in order; never reads
// outside them.
std::vector<MarkEvent> MarkEventsIn(const char *bytes, size_t length);

// For tests and fuzzers: the looks of the recorded tree at `root` are kept
// as the live system's are, and ended only by the signals given to
// SignalLookChange in place of the kernel's (nullopt: a recorded tree's
// look is taken anew for every request again).
void KeepLooksOf(const std::optional<Root> &root);
enum class LookSignal {
    Uevent,        // a uevent arrived
    MountsChanged, // mountinfo polled with POLLPRI
    Overflow,      // the uevent socket or the inotify (fanotify) queue overflowed
    DiskClosed,    // inotify (fanotify): the disk's node was closed
    DiskWritten,   // inotify (fanotify): the disk's node was written, or closed after opening for writing
};
// `disk`: the kernel name of the whole disk DiskClosed and DiskWritten name.
void SignalLookChange(LookSignal signal, const std::string &disk = std::string());

} // namespace TavLinux

#endif
