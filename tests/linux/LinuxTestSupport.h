// SPDX-License-Identifier: MIT
// Shared helpers of the Linux backend's tests: a recorded machine put in
// place for one test, and short ways to read a Drive's answers.
#ifndef TAVDISK_TESTS_LINUX_LINUXTESTSUPPORT_H
#define TAVDISK_TESTS_LINUX_LINUXTESTSUPPORT_H

#include "ReplayTree.h"
#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/platform/platform.h"

#include <memory>
#include <optional>
#include <string>
#include <vector>

namespace TavLinuxTest {

// A recorded machine that the backend answers from while the object lives.
struct Machine {
    explicit Machine(const std::string &name) : tree(name), root(tree.Root()) {}
    TavReplay::Tree tree;
    TavReplay::ScopedRoot root;
};

// A device information set released at the end of the scope.
struct Set {
    Set() : handle(Drive::GetDeviceInfoSet()) {}
    ~Set() { SetupDiDestroyDeviceInfoList(handle); }
    Set(const Set &) = delete;
    Set &operator=(const Set &) = delete;
    void *handle;
};

// A platform handle, closed at the end of the scope.
struct Handle {
    explicit Handle(HANDLE v) : h(v) {}
    // The device at `path` opened for queries only (no read or write
    // access), shared for reading and writing.
    explicit Handle(const std::wstring &path)
        : h(TavPlatform::CreateFileW(path.c_str(), 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0,
                                     nullptr)) {}
    ~Handle() {
        if (h != INVALID_HANDLE_VALUE)
            TavPlatform::CloseHandle(h);
    }
    Handle(const Handle &) = delete;
    Handle &operator=(const Handle &) = delete;
    HANDLE h;
};

// The device number a handle answers now; nullopt when the request fails.
inline std::optional<DWORD> DeviceNumber(HANDLE h) {
    STORAGE_DEVICE_NUMBER n{};
    DWORD returned = 0;
    if (!TavPlatform::DeviceIoControl(h, IOCTL_STORAGE_GET_DEVICE_NUMBER, nullptr, 0, &n, sizeof n, &returned, nullptr))
        return std::nullopt;
    return n.DeviceNumber;
}

inline std::string Narrow(const std::wstring &w) { return std::string(w.begin(), w.end()); }

inline std::wstring DevicePath(Drive &d) {
    wchar_t buffer[512] = {};
    ULONG count = 0;
    return d.GetDevicePath(buffer, 512, &count) ? std::wstring(buffer) : std::wstring();
}

// Every disk of the set, in member order.
inline std::vector<std::unique_ptr<Drive>> AllDrives(void *set) {
    std::vector<std::unique_ptr<Drive>> out;
    for (ULONG i = 0;; ++i) {
        Drive *d = Drive::GetDrive(set, i);
        if (!d)
            break;
        out.emplace_back(d);
    }
    return out;
}

// The disk of the set with this device path, or null.
inline std::unique_ptr<Drive> DriveAt(void *set, const std::wstring &path) {
    for (ULONG i = 0;; ++i) {
        std::unique_ptr<Drive> d(Drive::GetDrive(set, i));
        if (!d)
            return nullptr;
        if (DevicePath(*d) == path)
            return d;
    }
}

using TextGetter = int (Drive::*)(unsigned char *, ULONG, ULONG *);

// A narrow text getter's answer; "<none>" when the getter does not apply.
inline std::string Text(Drive &d, TextGetter getter) {
    unsigned char buffer[128] = {};
    ULONG count = 0;
    if (!(d.*getter)(buffer, sizeof buffer, &count))
        return "<none>";
    return std::string(reinterpret_cast<char *>(buffer));
}

inline std::string MountPoints(Drive &d) {
    ULONG length = 0;
    d.GetMountPoints(nullptr, 0, &length);
    std::wstring buffer(length, L'\0');
    if (length == 0 || !d.GetMountPoints(&buffer[0], length, &length))
        return "<error>";
    buffer.resize(length - 1);
    return Narrow(buffer);
}

inline std::wstring AdapterDescription(void *set, ULONG devinst) {
    Adapter a(set, devinst);
    wchar_t buffer[512] = {};
    ULONG required = 0;
    a.GetDescription(buffer, sizeof buffer, &required);
    return buffer;
}

} // namespace TavLinuxTest

#endif
