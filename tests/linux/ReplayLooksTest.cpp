// SPDX-License-Identifier: MIT
// Every device-number request and every volume search looks at the machine
// as it is at that moment: disks and partitions that came or went, sizes,
// loop bindings and mounts that changed since the previous look are seen.
// Each case runs on a recording as such and on the same recording taken
// for a live sysfs, where the backend keeps what the kernel fixes
// at a device's registration from one look to the next.
#include "LinuxTestSupport.h"
#include "TavDiskLib/platform/linux/Looks.h"
#include "TavDiskLib/platform/linux/Tree.h"

#include <gtest/gtest.h>

#include <cstring>
#include <filesystem>
#include <map>
#include <optional>
#include <thread>

using namespace TavLinuxTest;
namespace P = TavPlatform;

namespace {

const std::string Loop0 = "sys/devices/virtual/block/loop0/";

// The recorded VM, taken for a live sysfs or not for the test's life.
struct Vm {
    explicit Vm(bool live) : m("vm"), root{m.tree.Root()} { TavLinux::TreatAsLiveTree(root, live); }
    ~Vm() { TavLinux::TreatAsLiveTree(root, std::nullopt); }
    Vm(const Vm &) = delete;
    Vm &operator=(const Vm &) = delete;

    // A partition of loop0 as the kernel adds one; `complete` adds the
    // holders/ directory the kernel makes last.
    void AddPartition(int number, uint64_t start, uint64_t size, bool complete) const {
        std::string name = "loop0p" + std::to_string(number), dir = Loop0 + name + "/";
        m.tree.Write(dir + "partition", std::to_string(number) + "\n");
        m.tree.Write(dir + "start", std::to_string(start) + "\n");
        m.tree.Write(dir + "size", std::to_string(size) + "\n");
        m.tree.Write(dir + "dev", "259:" + std::to_string(number + 10) + "\n");
        if (complete)
            std::filesystem::create_directories(m.tree.Path(dir + "holders"));
        std::filesystem::create_symlink("../../devices/virtual/block/loop0/" + name,
                                        m.tree.Path("sys/class/block/" + name));
    }

    Machine m;
    TavLinux::Root root;
};

std::optional<DWORD> DeviceNumberOf(const wchar_t *path) {
    Handle h(path);
    return h.h == INVALID_HANDLE_VALUE ? std::nullopt : DeviceNumber(h.h);
}

struct VolumeView {
    std::vector<std::tuple<DWORD, LONGLONG, LONGLONG>> extents;
    std::vector<std::wstring> paths;
};

// One volume search: every volume with its extents and path names.
std::map<std::wstring, VolumeView> Search() {
    std::map<std::wstring, VolumeView> out;
    wchar_t name[51] = {};
    HANDLE search = P::FindFirstVolumeW(name, 51);
    if (search == INVALID_HANDLE_VALUE)
        return out;
    do {
        VolumeView &v = out[name];
        std::wstring bare(name, 48);
        HANDLE h = P::CreateFileW(bare.c_str(), GENERIC_READ, 3, nullptr, OPEN_EXISTING, 0, nullptr);
        EXPECT_NE(h, INVALID_HANDLE_VALUE);
        unsigned char block[8 + 24 * 8] = {};
        DWORD returned = 0;
        if (P::DeviceIoControl(h, IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS, nullptr, 0, block, sizeof block, &returned,
                               nullptr)) {
            DWORD count = 0;
            std::memcpy(&count, block, sizeof count);
            for (DWORD i = 0; i < count && i < 8; ++i) {
                DISK_EXTENT e;
                std::memcpy(&e, block + offsetof(VOLUME_DISK_EXTENTS, Extents) + i * sizeof e, sizeof e);
                v.extents.emplace_back(e.DiskNumber, e.StartingOffset.QuadPart, e.ExtentLength.QuadPart);
            }
        }
        P::CloseHandle(h);
        wchar_t list[1024] = {};
        DWORD length = 0;
        if (P::GetVolumePathNamesForVolumeNameW(name, list, 1024, &length))
            for (const wchar_t *p = list; *p; p += std::wcslen(p) + 1)
                v.paths.emplace_back(p);
    } while (P::FindNextVolumeW(search, name, 51));
    P::FindVolumeClose(search);
    return out;
}

// The volume with an extent starting at `start` bytes on disk `disk`.
const VolumeView *VolumeAt(const std::map<std::wstring, VolumeView> &volumes, DWORD disk, LONGLONG start,
                           std::wstring *name = nullptr) {
    for (const auto &v : volumes)
        for (const auto &e : v.second.extents)
            if (std::get<0>(e) == disk && std::get<1>(e) == start) {
                if (name)
                    *name = v.first;
                return &v.second;
            }
    return nullptr;
}

class ReplayLooks : public ::testing::TestWithParam<bool> {};

} // namespace

// vda is disk 0; loop0, loop1 and zram0 follow (loop2-7 are unbound).
TEST_P(ReplayLooks, DeviceNumbersFollowDisksThatComeAndGo) {
    Vm vm(GetParam());
    Handle zram(L"/dev/zram0");
    ASSERT_NE(zram.h, INVALID_HANDLE_VALUE);
    EXPECT_EQ(DeviceNumber(zram.h), 3u);
    EXPECT_EQ(DeviceNumber(zram.h), 3u);

    // loop1 is detached: its size drops to 0 and it leaves the list.
    vm.m.tree.Write("sys/devices/virtual/block/loop1/size", "0\n");
    vm.m.tree.Remove("sys/devices/virtual/block/loop1/loop");
    EXPECT_EQ(DeviceNumber(zram.h), 2u);
    EXPECT_EQ(DeviceNumberOf(L"/dev/loop1"), std::nullopt);

    // loop2 is attached: bound and sized, it takes its place in the order.
    vm.m.tree.Write("sys/devices/virtual/block/loop2/loop/backing_file", "/tmp/new.img\n");
    vm.m.tree.Write("sys/devices/virtual/block/loop2/loop/offset", "0\n");
    vm.m.tree.Write("sys/devices/virtual/block/loop2/size", "2048\n");
    EXPECT_EQ(DeviceNumber(zram.h), 3u);
    EXPECT_EQ(DeviceNumberOf(L"/dev/loop2"), 2u);
    EXPECT_EQ(DeviceNumberOf(L"\\\\.\\PhysicalDrive2"), 2u);
    EXPECT_EQ(DeviceNumberOf(L"\\\\.\\PhysicalDrive3"), 3u);

    // A loop device with a size but no binding is no disk.
    vm.m.tree.Write("sys/devices/virtual/block/loop3/size", "2048\n");
    EXPECT_EQ(DeviceNumber(zram.h), 3u);
    EXPECT_EQ(DeviceNumberOf(L"/dev/loop3"), std::nullopt);

    // A new disk before it in the order: the handle's number moves on.
    vm.m.tree.Write("sys/devices/virtual/block/loop3/loop/backing_file", "/tmp/other.img\n");
    EXPECT_EQ(DeviceNumber(zram.h), 4u);
    EXPECT_EQ(DeviceNumberOf(L"\\\\.\\PhysicalDrive4"), 4u);
    EXPECT_EQ(DeviceNumberOf(L"\\\\.\\PhysicalDrive5"), std::nullopt);
}

TEST_P(ReplayLooks, DuringAVolumeSearchNumbersAreThoseOfTheSearchesLook) {
    Vm vm(GetParam());
    Handle zram(L"/dev/zram0");
    ASSERT_NE(zram.h, INVALID_HANDLE_VALUE);
    wchar_t name[51] = {};
    HANDLE search = P::FindFirstVolumeW(name, 51);
    ASSERT_NE(search, INVALID_HANDLE_VALUE);

    // loop1 goes away after the search took its look: the search's extents
    // still number zram0 3, and so does the device-number request of this
    // thread, so that a scan matches it against its own volumes.
    vm.m.tree.Write("sys/devices/virtual/block/loop1/size", "0\n");
    vm.m.tree.Remove("sys/devices/virtual/block/loop1/loop");
    EXPECT_EQ(DeviceNumber(zram.h), 3u);
    // Another thread has no search open: it sees the machine as it is now.
    std::optional<DWORD> elsewhere;
    std::thread([&] { elsewhere = DeviceNumber(zram.h); }).join();
    EXPECT_EQ(elsewhere, 2u);
    // A disk the search's look did not list has no number during the search.
    vm.m.tree.Write("sys/devices/virtual/block/loop2/loop/backing_file", "/tmp/new.img\n");
    vm.m.tree.Write("sys/devices/virtual/block/loop2/loop/offset", "0\n");
    vm.m.tree.Write("sys/devices/virtual/block/loop2/size", "2048\n");
    {
        Handle loop2(L"/dev/loop2");
        ASSERT_NE(loop2.h, INVALID_HANDLE_VALUE);
        EXPECT_EQ(DeviceNumber(loop2.h), std::nullopt);
    }

    P::FindVolumeClose(search);
    EXPECT_EQ(DeviceNumber(zram.h), 3u); // loop2 took loop1's place
    EXPECT_EQ(DeviceNumberOf(L"/dev/loop2"), 2u);
}

// A thread's volume search answers its own path-name requests, even when
// another thread opened a search on a newer look after it; a thread with no
// search of its own gets the newest look among those open.
TEST_P(ReplayLooks, DuringAVolumeSearchPathNamesAreThoseOfTheSearchesLook) {
    Vm vm(GetParam());
    std::wstring p2Name;
    ASSERT_NE(VolumeAt(Search(), 1, 43008LL * 512, &p2Name), nullptr);
    auto pathsOf = [&p2Name] {
        wchar_t list[256] = {};
        DWORD length = 0;
        std::vector<std::wstring> paths;
        if (P::GetVolumePathNamesForVolumeNameW(p2Name.c_str(), list, 256, &length))
            for (const wchar_t *p = list; *p; p += std::wcslen(p) + 1)
                paths.emplace_back(p);
        return paths;
    };
    wchar_t name[51] = {};
    HANDLE older = P::FindFirstVolumeW(name, 51);
    ASSERT_NE(older, INVALID_HANDLE_VALUE);

    std::string mountinfo = vm.m.tree.Read("proc/self/mountinfo");
    size_t at = mountinfo.find(" /mnt/tavp2 ");
    ASSERT_NE(at, std::string::npos);
    mountinfo.replace(at, 12, " /srv/p2 ");
    vm.m.tree.Write("proc/self/mountinfo", mountinfo);
    HANDLE newer = INVALID_HANDLE_VALUE;
    std::thread([&] { newer = P::FindFirstVolumeW(name, 51); }).join();
    ASSERT_NE(newer, INVALID_HANDLE_VALUE);

    EXPECT_EQ(pathsOf(), std::vector<std::wstring>{L"/mnt/tavp2"});
    std::vector<std::wstring> elsewhere;
    std::thread([&] { elsewhere = pathsOf(); }).join();
    EXPECT_EQ(elsewhere, std::vector<std::wstring>{L"/srv/p2"});
    P::FindVolumeClose(newer);
    P::FindVolumeClose(older);
    EXPECT_EQ(pathsOf(), std::vector<std::wstring>{L"/srv/p2"});
}

TEST_P(ReplayLooks, EveryVolumeSearchSeesTheMachineAsItIsNow) {
    Vm vm(GetParam());
    auto before = Search();
    std::wstring p2Name, loop1Name;
    const VolumeView *p2 = VolumeAt(before, 1, 43008LL * 512, &p2Name);
    ASSERT_NE(p2, nullptr);
    EXPECT_EQ(p2->paths, std::vector<std::wstring>{L"/mnt/tavp2"});
    EXPECT_EQ(std::get<2>(p2->extents.at(0)), 88064LL * 512);
    ASSERT_NE(VolumeAt(before, 2, 0, &loop1Name), nullptr);
    ASSERT_NE(VolumeAt(before, 1, 2048LL * 512), nullptr);

    // p2 unmounted and mounted elsewhere, and grown; loop1 rebound to
    // another file; loop0p1 deleted and loop0p3 added.
    std::string mountinfo = vm.m.tree.Read("proc/self/mountinfo");
    size_t line = mountinfo.find("/mnt/tavp2");
    ASSERT_NE(line, std::string::npos);
    size_t from = mountinfo.rfind('\n', line) + 1, to = mountinfo.find('\n', line) + 1;
    mountinfo.replace(from, to - from, "48 27 259:1 / /srv/p2 rw,relatime - ext4 /dev/loop0p2 rw\n");
    vm.m.tree.Write("proc/self/mountinfo", mountinfo);
    vm.m.tree.Write(Loop0 + "loop0p2/size", "90112\n");
    vm.m.tree.Write("sys/devices/virtual/block/loop1/loop/backing_file", "/tmp/elsewhere.img\n");
    vm.m.tree.Remove("sys/class/block/loop0p1");
    vm.AddPartition(3, 133120, 8192, true);

    auto after = Search();
    const VolumeView *p2now = VolumeAt(after, 1, 43008LL * 512);
    ASSERT_NE(p2now, nullptr);
    EXPECT_EQ(p2now->paths, std::vector<std::wstring>{L"/srv/p2"});
    EXPECT_EQ(std::get<2>(p2now->extents.at(0)), 90112LL * 512);
    EXPECT_EQ(after.count(p2Name), 1u); // the same volume
    std::wstring loop1Now;
    ASSERT_NE(VolumeAt(after, 2, 0, &loop1Now), nullptr);
    EXPECT_NE(loop1Now, loop1Name); // named after its new backing file
    EXPECT_EQ(VolumeAt(after, 1, 2048LL * 512), nullptr);
    const VolumeView *p3 = VolumeAt(after, 1, 133120LL * 512);
    ASSERT_NE(p3, nullptr);
    EXPECT_EQ(std::get<2>(p3->extents.at(0)), 8192LL * 512);
    EXPECT_EQ(after.size(), before.size());

    // Outside a search, a volume's path names are the system's too.
    vm.m.tree.Write("proc/self/mountinfo", "");
    wchar_t list[64] = {};
    DWORD length = 0;
    ASSERT_TRUE(P::GetVolumePathNamesForVolumeNameW(p2Name.c_str(), list, 64, &length));
    EXPECT_EQ(length, 2u);
}

INSTANTIATE_TEST_SUITE_P(RecordingOrSysfs, ReplayLooks, ::testing::Bool(), [](const ::testing::TestParamInfo<bool> &p) {
    return std::string(p.param ? "AsSysfs" : "AsRecording");
});

// On a live sysfs a partition's start never changes while it is
// registered, so it is read once; a recording is read anew every time. An
// entry caught before its registration finished (no holders/ yet) is read
// anew until it is seen complete.
TEST(ReplayLooksAsSysfs, FactsFixedAtRegistrationAreReadOnceCompleteEntriesOnly) {
    for (bool live : {false, true}) {
        SCOPED_TRACE(live ? "taken for sysfs" : "recording");
        Vm vm(live);
        vm.AddPartition(3, 133120, 8192, false);
        ASSERT_NE(VolumeAt(Search(), 1, 43008LL * 512), nullptr);
        ASSERT_NE(VolumeAt(Search(), 1, 133120LL * 512), nullptr);

        vm.m.tree.Write(Loop0 + "loop0p2/start", "45056\n");
        vm.m.tree.Write(Loop0 + "loop0p3/start", "135168\n");
        auto volumes = Search();
        EXPECT_EQ(VolumeAt(volumes, 1, 43008LL * 512) != nullptr, live);
        EXPECT_EQ(VolumeAt(volumes, 1, 45056LL * 512) != nullptr, !live);
        EXPECT_NE(VolumeAt(volumes, 1, 135168LL * 512), nullptr);
    }
}

// A recorded tree has no change signal: every request takes a new look.
TEST(ReplayLooksKept, ARecordedTreeIsNeverKept) {
    Machine m("vm");
    auto before = TavLinux::CountLooks();
    for (int i = 0; i < 3; ++i) {
        Set set;
        AllDrives(set.handle);
    }
    auto after = TavLinux::CountLooks();
    EXPECT_EQ(after.reused, before.reused);
    EXPECT_GE(after.taken - before.taken, 3u);
}

// A recorded tree kept by a test: the look is used again until a signal
// that could change its answers arrives (a disk closed ends it only when a
// size read again differs; a write only on a disk whose content was probed).
TEST(ReplayLooksKept, AKeptRecordedTreeEndsItsLookOnTheSignalsThatMayChangeIt) {
    using S = TavLinux::LookSignal;
    struct Row {
        const char *what;
        std::optional<S> signal;
        const char *disk;
        bool resize; // loop0 gets another size before the signal
        bool newLook;
    } rows[] = {
        {"no signal, a size changed unseen", std::nullopt, "", true, false},
        {"a uevent", S::Uevent, "", false, true},
        {"a mount changed", S::MountsChanged, "", false, true},
        {"events lost", S::Overflow, "", false, true},
        {"a disk closed, its size unchanged", S::DiskClosed, "loop0", false, false},
        {"a disk closed, its size changed", S::DiskClosed, "loop0", true, true},
        {"a disk with partitions written", S::DiskWritten, "loop0", false, false},
        {"a disk probed for its content written", S::DiskWritten, "zram0", false, true},
    };
    auto list = [] { // every disk and its volumes: every whole disk's content probed
        Set set;
        for (auto &drive : AllDrives(set.handle)) {
            wchar_t points[512];
            ULONG length = 0;
            drive->GetMountPoints(points, 512, &length);
        }
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Machine m("vm");
        TavLinux::KeepLooksOf(TavLinux::Root{m.tree.Root()});
        list(); // the look kept from here on
        if (row.resize)
            m.tree.Write(Loop0 + "size", "65536\n");
        if (row.signal)
            TavLinux::SignalLookChange(*row.signal, row.disk);
        auto before = TavLinux::CountLooks();
        list();
        auto after = TavLinux::CountLooks();
        TavLinux::KeepLooksOf(std::nullopt);
        EXPECT_EQ(after.taken > before.taken, row.newLook);
        if (!row.newLook) {
            EXPECT_GT(after.reused, before.reused);
        }
    }
}

// A closed volume search answers nothing more, whichever thread opened or
// closed it, even while the look that took its snapshot is still kept: a
// volume unmounted after the search is asked for by name from a new look.
TEST(ReplayLooksKept, AClosedVolumeSearchNoLongerAnswers) {
    struct Row {
        const char *what;
        bool openedElsewhere, closedElsewhere;
    } rows[] = {
        {"opened and closed by this thread", false, false},
        {"opened and closed by another thread", true, true},
        {"opened here, closed by another thread", false, true},
    };
    for (const Row &row : rows) {
        SCOPED_TRACE(row.what);
        Machine m("vm");
        TavLinux::KeepLooksOf(TavLinux::Root{m.tree.Root()});
        std::wstring p2Name;
        const bool found = VolumeAt(Search(), 1, 43008LL * 512, &p2Name) != nullptr;
        auto onThread = [](bool elsewhere, const auto &f) { elsewhere ? std::thread(f).join() : f(); };
        wchar_t name[51] = {};
        HANDLE search = INVALID_HANDLE_VALUE;
        onThread(row.openedElsewhere, [&] { search = P::FindFirstVolumeW(name, 51); });
        BOOL closed = FALSE;
        onThread(row.closedElsewhere, [&] { closed = P::FindVolumeClose(search); });

        std::string mountinfo = m.tree.Read("proc/self/mountinfo");
        size_t line = mountinfo.find("/mnt/tavp2");
        if (line != std::string::npos) {
            size_t from = mountinfo.rfind('\n', line) + 1;
            mountinfo.erase(from, mountinfo.find('\n', line) + 1 - from);
        }
        m.tree.Write("proc/self/mountinfo", mountinfo);
        TavLinux::SignalLookChange(TavLinux::LookSignal::MountsChanged);
        wchar_t list[64] = {};
        DWORD length = 0;
        const BOOL answered = P::GetVolumePathNamesForVolumeNameW(p2Name.c_str(), list, 64, &length);
        TavLinux::KeepLooksOf(std::nullopt);
        ASSERT_TRUE(found);
        ASSERT_NE(line, std::string::npos);
        EXPECT_TRUE(closed);
        EXPECT_TRUE(answered);
        EXPECT_EQ(length, 2u); // no mount point left
    }
}
