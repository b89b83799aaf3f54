// SPDX-License-Identifier: MIT
// The root a request reads (TAVDISK_ROOT), and whether it is the kernel's
// own sysfs or a recording.
#include "Root.h"
#include "BlockView.h"
#include "State.h"
#include "Tree.h"

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/vfs.h>

namespace TavLinux {

Root CurrentRoot() {
    Root root;
#if defined(TAVDISK_REPLAY)
    // Only a build made for replaying recorded machines reads the
    // environment; every other build reads this machine.
    const char *env = secure_getenv("TAVDISK_ROOT");
    if (env && *env) {
        root.prefix = env;
        while (!root.prefix.empty() && root.prefix.back() == '/')
            root.prefix.pop_back();
        // "/" itself (or "//") is this machine.
        root.given = !root.prefix.empty();
    }
#endif
    return root;
}

bool HoldsSystemView(const Root &root) {
    struct stat st {};
    return stat(root.At("/sys/class/block").c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

namespace {
constexpr decltype(statfs::f_type) SysfsMagic = 0x62656572;

struct LiveTreeOverrides {
    std::mutex lock;
    std::map<std::string, bool> byPrefix;
};
LiveTreeOverrides &Overrides() { return Owned<LiveTreeOverrides>(Part::Overrides); }
} // namespace

bool LiveTree(const Root &root) {
    {
        LiveTreeOverrides &o = Overrides();
        std::lock_guard<std::mutex> guard(o.lock);
        auto it = o.byPrefix.find(root.prefix);
        if (it != o.byPrefix.end())
            return it->second;
    }
    // The live system's answer is asked once: its /sys stays where it is.
    static std::atomic<int> live{-1};
    if (root.prefix.empty() && live.load(std::memory_order_relaxed) >= 0)
        return live.load(std::memory_order_relaxed) == 1;
    struct statfs fs {};
    int result = ::statfs(root.At("/sys/class/block").c_str(), &fs);
    bool sysfs = result == 0 && fs.f_type == SysfsMagic;
    if (result != 0 && errno != ENOENT && errno != ENOTDIR) {
        NoteFailedRead(errno);
        return sysfs; // asked again next time
    }
    if (root.prefix.empty())
        live.store(sysfs ? 1 : 0, std::memory_order_relaxed);
    return sysfs;
}

void TreatAsLiveTree(const Root &root, std::optional<bool> live) {
    {
        LiveTreeOverrides &o = Overrides();
        std::lock_guard<std::mutex> guard(o.lock);
        if (live)
            o.byPrefix[root.prefix] = *live;
        else
            o.byPrefix.erase(root.prefix);
    }
    ForgetRegistrations(root);
}

} // namespace TavLinux
