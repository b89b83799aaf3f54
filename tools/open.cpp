// Opening the disk a command names, by its number or its device path.
#include "internal.h"

#include "TavDiskLib/tavdisk.h"

#include <limits>
#include <vector>

namespace tavdisk {

namespace {

// The first platform request that failed on this thread while the guard
// lived ("CreateFileW"), as the library's failure handler tells it.
class FirstFailure {
public:
    FirstFailure() { tavdisk_set_failure_handler(&FirstFailure::Take, this); }
    ~FirstFailure() { tavdisk_set_failure_handler(nullptr, nullptr); }
    FirstFailure(const FirstFailure &) = delete;
    FirstFailure &operator=(const FirstFailure &) = delete;
    const std::string &Request() const { return request_; }

private:
    static void TAVDISK_CALL Take(const tavdisk_failure *failure, void *context) {
        auto *self = static_cast<FirstFailure *>(context);
        try {
            if (self->request_.empty())
                self->request_ = failure->request;
        } catch (...) {
        }
    }
    std::string request_;
};

} // namespace

Opened OpenMember(void *set, ULONG index) {
    Opened o;
    o.number = index;
    FirstFailure first;
    ClearLastError();
    o.drive.reset(Drive::GetDrive(set, index));
    o.openError = LastError();
    o.openRequest = first.Request();
    return o;
}

Opened OpenDisk(const DeviceSet &set, const DiskArg &name, std::ostream &err, int &code) {
    if (!set.Valid()) {
        code = Fail(err, ExitFailure, "cannot enumerate the disks of this machine");
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
    std::vector<wchar_t> path;
    for (ULONG i = 0; i < std::numeric_limits<ULONG>::max(); ++i) {
        ULONG length = 0;
        int got = Drive::GetMemberDevicePath(set.Get(), i, nullptr, 0, &length);
        if (got < 0)
            break;
        path.assign(length ? length : 1, L'\0');
        if (length && Drive::GetMemberDevicePath(set.Get(), i, path.data(), length, &length) == 1 &&
            NamesPath(name.path, WideToUtf8(path.data(), length - 1))) {
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
    code = Fail(err, ExitFailure, "no disk " + Quoted(name.path) + " on this machine (see 'tavdisk list')");
    return {};
}

} // namespace tavdisk
