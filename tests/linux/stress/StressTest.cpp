// SPDX-License-Identifier: MIT
// Churn and concurrency on this machine's own block layer (root only): while
// one thread attaches, detaches, resizes, partitions and mounts loop disks
// of its own, several threads of the same process enumerate the disks, read
// every getter, scan the volumes and read sectors. Every answer about one
// of those loop disks must be the disk's state before or after a change
// that overlapped the question: its own size, its own content, its own
// mount point, never another disk's and never garbage.
//
// Bounded in time and changes: TAVDISK_STRESS_SECONDS (default 12),
// TAVDISK_STRESS_THREADS (default 4), TAVDISK_STRESS_CHANGES (default 400);
// TAVDISK_STRESS_PAUSE_MS (default 20) spaces the changes, so that a slow
// build (ThreadSanitizer) still asks whole questions between two of them.
// The counts are printed at the end. Other developers' loop devices may
// come and go meanwhile; a disk that was not one of ours for the whole of a
// question is not judged. A second run, half as long, leaves the askers a
// few descriptors short of the limit and moves the process to a mount
// namespace of its own halfway. A third runs where no uevent reaches the
// process, which counts them instead.
#include "../LiveShell.h"

#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/linux/Looks.h"
#include "TavDiskLib/platform/types.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <functional>
#include <fcntl.h>
#include <linux/fs.h>
#include <memory>
#include <mutex>
#include <random>
#include <string>
#include <filesystem>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/mount.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <thread>
#include <unistd.h>
#include <vector>

using namespace TavLinuxTest;

namespace {

using Clock = std::chrono::steady_clock;

long EnvNumber(const char *name, long fallback) {
    const char *v = std::getenv(name);
    return v && *v ? std::strtol(v, nullptr, 10) : fallback;
}

constexpr uint64_t Small = 12u << 20, Large = 16u << 20;

// What a loop disk of ours is at some moment.
struct State {
    std::string loop; // "loopN"; empty while detached
    uint64_t bytes = 0;
    bool partitioned = false;
    bool mounted = false;
};

// A change: the old state holds until `end`, the new one from `begin`.
struct Change {
    Clock::time_point begin, end;
    State state;
};

struct Slot {
    std::string image, mnt, signature;
    std::vector<Change> history; // the first entry: detached, from the start
    State now;
};

class Machine {
public:
    std::vector<Slot> slots;
    std::mutex lock;

    // The states slot `s` had at some moment of [from, to].
    std::vector<State> StatesDuring(size_t s, Clock::time_point from, Clock::time_point to) {
        std::lock_guard<std::mutex> guard(lock);
        const auto &h = slots[s].history;
        std::vector<State> out;
        for (size_t i = 0; i < h.size(); ++i) {
            Clock::time_point validFrom = h[i].begin;
            Clock::time_point validTo = i + 1 < h.size() ? h[i + 1].end : Clock::time_point::max();
            if (validFrom <= to && validTo >= from)
                out.push_back(h[i].state);
        }
        return out;
    }

    // A change is in the history from before it starts: a question asked
    // meanwhile may see the old state or the new one.
    void Begin(size_t s, const State &state) {
        std::lock_guard<std::mutex> guard(lock);
        slots[s].history.push_back({Clock::now(), Clock::time_point::max(), state});
    }
    void End(size_t s, bool done) {
        std::lock_guard<std::mutex> guard(lock);
        Slot &slot = slots[s];
        if (done) {
            slot.history.back().end = Clock::now();
            slot.now = slot.history.back().state;
        } else {
            slot.history.pop_back(); // it did not happen
        }
    }
};

struct Counts {
    std::atomic<long> iterations{0}, drives{0}, checked{0}, judged{0};
    std::atomic<long> failures{0};
    std::atomic<long> resizesFailed{0};
    std::mutex messagesLock;
    std::vector<std::string> messages;

    void Fail(const std::string &m) {
        ++failures;
        std::lock_guard<std::mutex> guard(messagesLock);
        if (messages.size() < 20)
            messages.push_back(m);
    }
};

std::string Narrow(const std::wstring &w) {
    std::string s;
    for (wchar_t c : w)
        s += c < 0x80 ? static_cast<char>(c) : '?';
    return s;
}

std::wstring WideText(Drive &d, int (Drive::*getter)(wchar_t *, ULONG, ULONG *)) {
    ULONG length = 0;
    (d.*getter)(nullptr, 0, &length);
    if (length == 0 || length > (1u << 20))
        return {};
    std::vector<wchar_t> buffer(length + 1, 0);
    if (!(d.*getter)(buffer.data(), length, &length))
        return {};
    return buffer.data();
}

std::string NarrowText(Drive &d, int (Drive::*getter)(unsigned char *, ULONG, ULONG *)) {
    unsigned char buffer[256] = {};
    ULONG count = 0;
    if (!(d.*getter)(buffer, sizeof buffer - 1, &count))
        return {};
    return std::string(reinterpret_cast<char *>(buffer), count < sizeof buffer ? count : sizeof buffer - 1);
}

// Asks everything about one disk and judges the answers when the disk was
// one of ours for the whole time.
void Judge(Machine &m, Counts &c, void *set, ULONG index, bool &more) {
    Clock::time_point t0 = Clock::now();
    std::unique_ptr<Drive> d(Drive::GetDrive(set, index));
    if (!d) {
        more = false;
        return;
    }
    ++c.drives;
    std::string path = Narrow(WideText(*d, &Drive::GetDevicePath));
    STORAGE_BUS_TYPE bus = d->GetBusType();
    std::string vendor = NarrowText(*d, &Drive::GetVendorId);
    std::string product = NarrowText(*d, &Drive::GetProductId);
    uint64_t sectors = static_cast<uint64_t>(d->GetSectors().QuadPart);
    ULONG bytesPerSector = d->GetBytesPerSector();
    std::vector<unsigned char> sector1(bytesPerSector <= 4096 ? bytesPerSector : 0);
    bool read = !sector1.empty() && d->ReadSector(1, sector1.data());
    std::wstring mounts = WideText(*d, &Drive::GetMountPoints);
    std::wstring letters = WideText(*d, &Drive::GetDriveLetters);
    d.reset();
    Clock::time_point t1 = Clock::now();

    if (path.rfind("/dev/loop", 0) != 0)
        return;
    std::string loop = path.substr(5);
    for (size_t s = 0; s < m.slots.size(); ++s) {
        std::vector<State> states = m.StatesDuring(s, t0, t1);
        bool ours = !states.empty();
        for (const State &st : states)
            ours = ours && st.loop == loop;
        if (!ours)
            continue;
        ++c.judged;
        const Slot &slot = m.slots[s];
        auto fail = [&](const std::string &what) { c.Fail(path + " (slot " + std::to_string(s) + "): " + what); };

        // Bus and descriptor: a loop disk's, or nothing when it went away.
        ++c.checked;
        if (bus != BusTypeFileBackedVirtual && bus != BusTypeUnknown)
            fail("bus type " + std::to_string(bus));
        ++c.checked;
        if (!(vendor.empty() || vendor == "Linux") || !(product.empty() || product == "Loop Device"))
            fail("descriptor '" + vendor + "' '" + product + "'");
        // Size: the old or the new one.
        if (sectors != 0) {
            ++c.checked;
            bool known = false;
            for (const State &st : states)
                known = known || sectors * 512 == st.bytes;
            if (!known) {
                std::string seen;
                for (const State &st : states)
                    seen += " " + st.loop + ":" + std::to_string(st.bytes);
                fail("sector count " + std::to_string(sectors) + ", states" + seen);
            }
        }
        // Content: this disk's own.
        if (read) {
            ++c.checked;
            if (std::string(sector1.begin(), sector1.begin() + static_cast<long>(slot.signature.size())) !=
                slot.signature)
                fail("sector 1 is not this disk's");
        }
        // Volumes: this disk's own mount point or none; no letters on Linux.
        ++c.checked;
        if (!letters.empty())
            fail("drive letters");
        if (!mounts.empty()) {
            ++c.checked;
            bool mountedSometime = false;
            for (const State &st : states)
                mountedSometime = mountedSometime || st.mounted;
            if (!mountedSometime || Narrow(mounts) != slot.mnt)
                fail("mount points '" + Narrow(mounts) + "'");
        }
    }
}

bool Sh(const std::string &command) { return Shell(command) == 0; }

size_t OpenDescriptors() {
    size_t n = 0;
    for (const auto &entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        (void)entry;
        ++n;
    }
    return n;
}

// A DOS partition table with one Linux partition at 1 MiB (on kernels that
// read tables, the loop disk gets a partition while it is there).
std::string Mbr() {
    std::string sector(512, '\0');
    auto put32 = [&sector](size_t at, uint32_t v) {
        for (int i = 0; i < 4; ++i)
            sector[at + static_cast<size_t>(i)] = static_cast<char>((v >> (8 * i)) & 0xFF);
    };
    sector[446 + 4] = static_cast<char>(0x83);
    put32(446 + 8, 2048);
    put32(446 + 12, 8192);
    sector[510] = static_cast<char>(0x55);
    sector[511] = static_cast<char>(0xAA);
    return sector;
}

// Puts sector 0 (a partition table, or zeros) on the disk and has the
// kernel read the table again.
bool WriteTable(const std::string &dev, const std::string &sector) {
    int fd = ::open(dev.c_str(), O_RDWR | O_CLOEXEC);
    if (fd < 0)
        return false;
    bool ok = ::pwrite(fd, sector.data(), sector.size(), 0) == static_cast<ssize_t>(sector.size()) &&
              ::fsync(fd) == 0 && ::ioctl(fd, BLKRRPART) == 0;
    ::close(fd);
    return ok;
}

} // namespace

namespace {

// With `pressed`, the askers run a few descriptors short of the limit (a
// request then fails, or answers truly), and halfway through the process
// moves to a mount namespace of its own, where the churn goes on.
void Churn(long seconds, bool pressed) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for loop devices";
    if (Shell("command -v losetup mkfs.ext4 mount umount truncate") != 0)
        GTEST_SKIP() << "needs losetup, mkfs.ext4, mount";
    const long threads = EnvNumber("TAVDISK_STRESS_THREADS", 4);
    const long maxChanges = EnvNumber("TAVDISK_STRESS_CHANGES", 400);
    const long pauseMs = EnvNumber("TAVDISK_STRESS_PAUSE_MS", 20);
    if (seconds <= 0)
        GTEST_SKIP() << "TAVDISK_STRESS_SECONDS=" << seconds;

    std::string work;
    ASSERT_EQ(Shell("mktemp -d /tmp/tavdisk-stress.XXXXXX", &work), 0);
    work = Trim(work);
    Machine m;
    for (size_t s = 0; s < 3; ++s) {
        Slot slot;
        slot.image = work + "/disk" + std::to_string(s) + ".img";
        slot.mnt = work + "/mnt" + std::to_string(s);
        slot.signature = "TAVSTRESS slot " + std::to_string(s) + " of " + work;
        // A whole-disk ext4 file system (its first 1024 bytes are free), a DOS
        // table in sector 0 and the signature in sector 1.
        ASSERT_TRUE(Sh("truncate -s " + std::to_string(Small) + " " + Quote(slot.image) + " && mkfs.ext4 -q -F " +
                       Quote(slot.image) + " 2>/dev/null && mkdir -p " + Quote(slot.mnt)))
            << "preparing " << slot.image;
        std::string head = Mbr() + slot.signature;
        int fd = ::open(slot.image.c_str(), O_WRONLY | O_CLOEXEC);
        ASSERT_GE(fd, 0);
        ASSERT_EQ(::pwrite(fd, head.data(), head.size(), 0), static_cast<ssize_t>(head.size()));
        ::close(fd);
        State detached;
        detached.bytes = Small;
        detached.partitioned = true;
        slot.now = detached;
        slot.history.push_back({Clock::now(), Clock::now(), detached});
        m.slots.push_back(slot);
    }
    const std::string mbr = Mbr();

    Counts counts;
    std::atomic<bool> stop{false};
    Clock::time_point deadline = Clock::now() + std::chrono::seconds(seconds);
    Clock::time_point halfway = Clock::now() + std::chrono::seconds(seconds / 2);
    bool moved = !pressed;
    long changes = 0;
    rlimit saved{};
    getrlimit(RLIMIT_NOFILE, &saved);
    if (pressed) {
        rlimit low = saved;
        low.rlim_cur = std::min<rlim_t>(saved.rlim_cur, static_cast<rlim_t>(OpenDescriptors() + 10));
        setrlimit(RLIMIT_NOFILE, &low);
    }

    std::vector<std::thread> askers;
    for (long t = 0; t < threads; ++t)
        askers.emplace_back([&] {
            while (!stop) {
                void *set = Drive::GetDeviceInfoSet();
                if (set == INVALID_HANDLE_VALUE || !set)
                    continue;
                bool more = true;
                for (ULONG i = 0; more && i < 4096; ++i)
                    Judge(m, counts, set, i, more);
                SetupDiDestroyDeviceInfoList(set);
                ++counts.iterations;
            }
        });

    // The churn, on this thread.
    std::mt19937 random(12345);
    enum Kind { Attach, Detach, Resize, Table, Mount, Unmount, Kinds };
    const char *const kindNames[Kinds] = {"attached",         "detached", "resized",
                                          "partition tables", "mounted",  "unmounted"};
    long made[Kinds] = {};
    auto change = [&](Kind kind, size_t s, const State &to, const std::function<bool()> &act) {
        m.Begin(s, to);
        bool done = act();
        m.End(s, done);
        changes += done;
        made[kind] += done;
        return done;
    };
    while (Clock::now() < deadline && changes < maxChanges) {
        if (!moved && Clock::now() > halfway) {
            // Nothing of ours mounted in the namespace left behind; this
            // thread (the process's first, whose mounts /proc/self shows)
            // moves.
            for (size_t s = 0; s < m.slots.size(); ++s)
                if (m.slots[s].now.mounted) {
                    State to = m.slots[s].now;
                    to.mounted = false;
                    change(Unmount, s, to, [&] { return Sh("umount " + Quote(m.slots[s].mnt)); });
                }
            moved = true;
            EXPECT_TRUE(unshare(CLONE_FS) == 0 && unshare(CLONE_NEWNS) == 0 &&
                        mount("none", "/", "none", MS_REC | MS_PRIVATE, nullptr) == 0)
                << "no mount namespace of its own";
        }
        std::this_thread::sleep_for(std::chrono::milliseconds(pauseMs > 0 ? random() % (2 * pauseMs) : 0));
        size_t s = random() % m.slots.size();
        Slot &slot = m.slots[s];
        State st = slot.now;
        std::string q = Quote(slot.image), mnt = Quote(slot.mnt), dev = "/dev/" + st.loop;
        int op = static_cast<int>(random() % 5);
        if (st.loop.empty()) { // attach, with partition scanning; the name is known only afterwards
            std::string out;
            if (Shell("losetup -f --show -P " + q, &out) == 0) {
                State to = st;
                to.loop = Trim(out).substr(5);
                change(Attach, s, to, [] { return true; });
                // (Until recorded, nobody judges the new loop as ours.)
            }
        } else if (op == 0 && st.mounted) { // unmount, then detach next time
            State to = st;
            to.mounted = false;
            change(Unmount, s, to, [&] { return Sh("umount " + mnt); });
        } else if (op == 0) { // detach
            State to = st;
            to.loop.clear();
            change(Detach, s, to, [&] { return Sh("losetup -d " + dev); });
        } else if (op == 1) { // resize: the loop follows the file by losetup -c
            State to = st;
            to.bytes = st.bytes == Small ? Large : Small;
            change(Resize, s, to, [&] {
                if (!Sh("truncate -s " + std::to_string(to.bytes) + " " + q))
                    return false;
                if (Sh("losetup -c " + dev))
                    return true;
                ++counts.resizesFailed;
                return Sh("truncate -s " + std::to_string(st.bytes) + " " + q) && false;
            });
        } else if (op == 2 && !st.mounted) { // partition table written or wiped, read again
            State to = st;
            to.partitioned = !st.partitioned;
            change(Table, s, to, [&] { return WriteTable(dev, st.partitioned ? std::string(512, '\0') : mbr); });
        } else if (op == 3 && !st.mounted) { // mount the disk's own file system
            State to = st;
            to.mounted = true;
            change(Mount, s, to, [&] { return Sh("mount -t ext4 " + dev + " " + mnt); });
        } else if (op == 4 && st.mounted) {
            State to = st;
            to.mounted = false;
            change(Unmount, s, to, [&] { return Sh("umount " + mnt); });
        }
    }
    stop = true;
    for (auto &t : askers)
        t.join();
    setrlimit(RLIMIT_NOFILE, &saved);

    for (auto &slot : m.slots) {
        Sh("mountpoint -q " + Quote(slot.mnt) + " && umount " + Quote(slot.mnt));
        if (!slot.now.loop.empty())
            Sh("losetup -d /dev/" + slot.now.loop);
    }
    Sh("rm -rf " + Quote(work));

    std::printf("stress: %ld s, %ld threads: %ld enumerations, %ld disks asked, %ld of ours judged, %ld answers "
                "checked, %ld changes made (%ld resizes refused)\n",
                seconds, threads, counts.iterations.load(), counts.drives.load(), counts.judged.load(),
                counts.checked.load(), changes, counts.resizesFailed.load());
    std::string kinds;
    for (int k = 0; k < Kinds; ++k)
        kinds += std::string(k ? ", " : "") + std::to_string(made[k]) + " " + kindNames[k];
    std::printf("stress: changes: %s\n", kinds.c_str());
    for (const auto &message : counts.messages)
        ADD_FAILURE() << message;
    EXPECT_EQ(counts.failures.load(), 0);
    EXPECT_GT(changes, 0);
    EXPECT_GT(counts.judged.load(), 0);
}

// Moves the process into a network namespace owned by a child's user
// namespace, where the kernel sends no uevent; false when none can be made.
bool JoinForeignNetworkNamespace() {
    int ready[2];
    if (pipe(ready) != 0)
        return false;
    std::fflush(nullptr);
    pid_t child = fork();
    if (child == 0) {
        (void)!write(ready[1], unshare(CLONE_NEWUSER | CLONE_NEWNET) == 0 ? "u" : "x", 1);
        pause();
        _exit(0);
    }
    char c = 'x';
    if (child > 0)
        (void)!read(ready[0], &c, 1);
    bool joined = false;
    if (c == 'u') {
        int net = ::open(("/proc/" + std::to_string(child) + "/ns/net").c_str(), O_RDONLY | O_CLOEXEC);
        joined = net >= 0 && setns(net, CLONE_NEWNET) == 0;
        if (net >= 0)
            ::close(net);
    }
    if (child > 0) {
        kill(child, SIGKILL);
        waitpid(child, nullptr, 0);
    }
    ::close(ready[0]);
    ::close(ready[1]);
    return joined;
}

} // namespace

TEST(LiveStress, ThreadsAskWhileLoopDisksChurn) { Churn(EnvNumber("TAVDISK_STRESS_SECONDS", 12), false); }

TEST(LiveStress, ThreadsAskNearTheDescriptorLimitAcrossAMountNamespaceChange) {
    Churn(EnvNumber("TAVDISK_STRESS_SECONDS", 12) / 2, true);
}

// Looks kept with a fanotify group, as where no inotify instance can be
// had, and by polling, as where neither can.
TEST(LiveStress, ThreadsAskWhileLoopDisksChurnWithoutAnInotifyInstance) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for loop devices";
    for (auto watcher : {TavLinux::NodeWatcher::Fanotify, TavLinux::NodeWatcher::Polling}) {
        TavLinux::WatchNodesWithForTesting(watcher);
        EXPECT_TRUE(TavLinux::LooksCanBeKept()) << "no look is kept without an inotify instance";
        Churn(EnvNumber("TAVDISK_STRESS_SECONDS", 12) / 4, false);
    }
    TavLinux::WatchNodesWithForTesting(TavLinux::NodeWatcher::Inotify);
}

// Last: the process stays in that network namespace.
TEST(LiveStress, ThreadsAskWhileLoopDisksChurnWhereUeventsAreOnlyCounted) {
    if (geteuid() != 0)
        GTEST_SKIP() << "needs root for loop devices";
    if (!JoinForeignNetworkNamespace())
        GTEST_SKIP() << "no network namespace of another user namespace can be joined here";
    EXPECT_TRUE(TavLinux::LooksCanBeKept()) << "uevents are not counted here";
    Churn(EnvNumber("TAVDISK_STRESS_SECONDS", 12) / 2, false);
}
