// SPDX-License-Identifier: MIT
// Opening the disk a command names, by its number or its device path.
#include "open.h"
#include "cli.h"
#include "collect.h"
#include "messages.h"
#include "text.h"

#include "TavDiskLib/tavdisk.h"

#include <filesystem>
#include <limits>
#include <vector>

namespace tavdisk {

namespace {

// The platform requests that failed on this thread while the guard lived
// ("CreateFileW", "DeviceIoControl IOCTL_SCSI_GET_ADDRESS"), in order, as
// the library's failure handler tells them.
class Failures {
public:
    Failures() { tavdisk_set_failure_handler(&Failures::Take, this); }
    ~Failures() { tavdisk_set_failure_handler(nullptr, nullptr); }
    Failures(const Failures &) = delete;
    Failures &operator=(const Failures &) = delete;
    const std::vector<std::string> &Requests() const { return requests_; }

private:
    static void TAVDISK_CALL Take(const tavdisk_failure *failure, void *context) {
        auto *self = static_cast<Failures *>(context);
        try {
            if (failure->request && self->requests_.size() < 64)
                self->requests_.push_back(failure->request);
        } catch (...) {
        }
    }
    std::vector<std::string> requests_;
};

// Whether `partition` is the kernel's name of a partition of the disk named
// `disk`: sda1 of sda, nvme0n1p2 of nvme0n1, loop14p1 of loop14.
bool PartitionOf(const std::string &partition, const std::string &disk) {
    if (disk.empty() || partition.size() <= disk.size() || partition.compare(0, disk.size(), disk) != 0)
        return false;
    std::string rest = partition.substr(disk.size());
    if (disk.back() >= '0' && disk.back() <= '9') {
        if (rest[0] != 'p')
            return false;
        rest.erase(0, 1);
    }
    return !rest.empty() && rest.find_first_not_of("0123456789") == std::string::npos;
}

// The kernel's name behind a typed device path (links followed), or empty.
std::string KernelNameOf(const std::string &path) {
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::canonical(path, ec);
    std::string resolved = ec ? path : canonical.string();
    if (resolved.rfind("/dev/", 0) != 0)
        return std::string();
    return resolved.substr(resolved.find_last_of('/') + 1);
}

} // namespace

Opened OpenMember(void *set, ULONG index) {
    Opened o;
    o.number = index;
    Failures failures;
    ClearLastError();
    o.drive.reset(Drive::GetDrive(set, index));
    o.openError = LastError();
    o.failedRequests = failures.Requests();
    if (!o.failedRequests.empty())
        o.openRequest = o.failedRequests.front();
    return o;
}

Opened OpenDisk(const DeviceSet &set, const DiskArg &name, std::ostream &err, int &code) {
    if (!set.Valid()) {
        code = Fail(err, ExitFailure, "cannot enumerate the disks of this machine" + Because(set.Error()));
        return {};
    }
    if (name.number) {
        Opened o = OpenMember(set.Get(), *name.number);
        if (!o.drive)
            code = Fail(err, ExitFailure, "no disk " + name.text + " on this machine (see 'tavdisk list')");
        return o;
    }
    // The paths first, asked of the set without opening a disk: only the
    // disk named is built.
    std::vector<std::string> paths;
    std::vector<wchar_t> path;
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        ULONG length = 0;
        int got = Drive::GetMemberDevicePath(set.Get(), i, nullptr, 0, &length);
        if (got < 0)
            break;
        path.assign(length ? length : 1, L'\0');
        std::string text;
        if (length && Drive::GetMemberDevicePath(set.Get(), i, path.data(), length, &length) == 1)
            text = WideToUtf8(path.data(), length - 1);
        paths.push_back(text);
        if (!text.empty() && NamesPath(name.path, text)) {
            Opened o = OpenMember(set.Get(), i);
            if (o.drive)
                return o;
        }
    }
#if defined(_WIN32)
    // \\.\PhysicalDriveN names a disk by the number the disk itself tells.
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        Opened o = OpenMember(set.Get(), i);
        if (!o.drive)
            break;
        if (NamesDisk(name.path, PathOf(*o.drive), *o.drive))
            return o;
    }
#endif
    // A partition where a disk is expected: say which disk holds it.
    std::string partition = KernelNameOf(name.path);
    for (ULONG i = 0; i < paths.size() && !partition.empty(); ++i) {
        if (paths[i].rfind("/dev/", 0) == 0 && PartitionOf(partition, paths[i].substr(5))) {
            code = Fail(err, ExitFailure,
                        Quoted(name.text) + " is a partition of disk " + std::to_string(i) + " (" +
                            EscapeText(paths[i]) + "), not a disk: name the disk (see 'tavdisk list')");
            return {};
        }
    }
    code = Fail(err, ExitFailure, "no disk " + Quoted(name.text) + " on this machine (see 'tavdisk list')");
    return {};
}

} // namespace tavdisk
