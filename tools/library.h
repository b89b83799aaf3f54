// SPDX-License-Identifier: MIT
// What tavdisk's files share of the library: its integer type and the
// last-error codes the program looks at, the limits of what it asks for, the
// device information set and the thread's last-error code.
#ifndef TAVDISK_TOOLS_LIBRARY_H
#define TAVDISK_TOOLS_LIBRARY_H

#include "TavDiskLib/TavDiskLib.h"

#include <cstdint>

namespace tavdisk {

// The library's 32-bit unsigned integer (unsigned long on Windows), and the
// last-error codes this program looks at. Away from Windows the library's
// header names no Windows type or code (so that a program's own do not
// clash with them): the program names what it uses itself.
using TavDiskLib::ULONG;
using DWORD = TavDiskLib::ULONG;
#if !defined(_WIN32)
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_BUSY = 170;
#endif

// Largest sector the program will move; a device claiming more is not believed.
constexpr uint64_t MaxSectorSize = 1u << 20;
// Capacity handed to the narrow text getters: more than the largest storage
// descriptor the library keeps (64 KiB), so no device string is ever cut.
constexpr ULONG TextCapacity = (64u << 10) + 1;
// Longest wide text (path, mount list, description) the program asks for;
// a longer one is told of in a note, never dropped silently.
constexpr ULONG MaxWideLength = 1u << 24;

// The device information set of the machine's disks, released on scope exit.
class DeviceSet {
public:
    DeviceSet() : set_(Drive::GetDeviceInfoSet()), error_(Valid() ? 0 : ::GetLastError()) {}
    ~DeviceSet() {
        if (Valid())
            SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet &) = delete;
    DeviceSet &operator=(const DeviceSet &) = delete;
    bool Valid() const { return set_ != nullptr && set_ != TavDiskLib::InvalidHandleValue(); }
    void *Get() const { return set_; }
    // Why the set could not be had (its last-error code), when it could not.
    DWORD Error() const { return error_; }

private:
    void *set_;
    DWORD error_;
};

// The library's thread last-error code: the system's on Windows, the
// library's own export elsewhere.
inline DWORD LastError() { return ::GetLastError(); }
inline void ClearLastError() { ::SetLastError(ERROR_SUCCESS); }

} // namespace tavdisk

#endif
