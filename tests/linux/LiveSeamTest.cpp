// SPDX-License-Identifier: MIT
// The platform requests' shared expectations, on the Linux backend over a
// loop disk of this test's own (an 8 MiB sparse image, attached for the
// test and detached after it). Needs root and loop devices; skips with the
// reason otherwise. The disk cases only: the machine-wide cases run over the
// recorded machine (ReplaySeamTest.cpp), since this machine's disks and
// volumes are shared with other programs that attach and mount their own.
#include "LinuxTestSupport.h"
#include "LiveShell.h"
#include "../platform/SeamCases.h"

#include <cstdlib>
#include <fcntl.h>
#include <filesystem>
#include <unistd.h>

using namespace TavLinuxTest;

namespace {

// The loop disk: attached by the constructor, detached (and its image
// removed) by the destructor; `skip` says why there is none.
struct OwnLoopDisk {
    std::string skip, dir, device;
    OwnLoopDisk() {
        if (geteuid() != 0) {
            skip = "needs root (loop devices)";
            return;
        }
        if (access("/dev/loop-control", F_OK) != 0 || Shell("command -v losetup") != 0) {
            skip = "this machine has no loop devices (or no losetup)";
            return;
        }
        char pattern[] = "/tmp/tavdisk-seam-XXXXXX";
        if (!mkdtemp(pattern)) {
            skip = "no temporary directory";
            return;
        }
        dir = pattern;
        const std::string image = dir + "/disk.img";
        int fd = open(image.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
        const bool made = fd >= 0 && ftruncate(fd, 8 << 20) == 0;
        if (fd >= 0)
            close(fd);
        std::string out;
        if (!made || Shell("losetup -f --show " + Quote(image), &out) != 0) {
            skip = "losetup failed: " + Trim(out);
            return;
        }
        device = Trim(out);
    }
    ~OwnLoopDisk() {
        if (!device.empty())
            Shell("losetup -d " + device);
        if (!dir.empty()) {
            std::error_code ignored;
            std::filesystem::remove_all(dir, ignored);
        }
    }
};

// TAVDISK_ROOT unset for the scope: the machine itself, not a recording.
struct OnThisMachine {
    const char *saved = std::getenv("TAVDISK_ROOT");
    const std::string root = saved ? saved : "";
    OnThisMachine() { unsetenv("TAVDISK_ROOT"); }
    ~OnThisMachine() {
        if (saved)
            setenv("TAVDISK_ROOT", root.c_str(), 1);
    }
};

} // namespace

TEST(LiveSeam, TheLinuxBackendAnswersAsEveryBackendDoesOnALoopDisk) {
    OnThisMachine machine;
    OwnLoopDisk loop;
    if (!loop.skip.empty())
        GTEST_SKIP() << loop.skip;
    const std::wstring path(loop.device.begin(), loop.device.end());
    TavSeam::DiskUnderTest disk;
    disk.open = [&path](DWORD access) {
        return TavPlatform::CreateFileW(path.c_str(), access, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                        OPEN_EXISTING, 0, nullptr);
    };
    disk.ata = false; // a loop disk takes no ATA commands and has no SCSI address
    disk.virtualDisk = true;
    disk.deviceIds = false; // a loop disk has no Device Identification page, no wwid
    TavSeam::ExpectDiskConformance(disk);
}
