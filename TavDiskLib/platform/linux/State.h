// SPDX-License-Identifier: MIT
// What the backend keeps between requests, in one object with an explicit
// lifetime: made part by part when first needed, released by
// ReleaseBackendState or when the library is unloaded, and made again by
// the next request after that.
#ifndef TAVDISKLIB_PLATFORM_LINUX_STATE_H
#define TAVDISKLIB_PLATFORM_LINUX_STATE_H

#include "../types.h"

#include <cstddef>

namespace TavLinux {

// The parts of the state, one each; released in the reverse order of their
// making.
enum class Part : size_t {
    Handles,       // the handle table (Handles.cpp)
    Registrations, // what is fixed at a device's registration (BlockView.cpp)
    Overrides,     // recordings taken for live trees (Root.cpp)
    Claims,        // the devices this process holds claims on (Claims.cpp)
    DeviceNodes,   // the device node registry (SetupApi.cpp)
    Searches,      // the volume searches open (Volumes.cpp)
    PciNames,      // PCI names read and the databases they came from (PciNames.cpp)
    Looks,         // the kept look and the change signals (Looks.cpp)
    Count
};

// The part, made (`make`) when it is not there; `destroy` releases it.
void *StatePart(Part part, void *(*make)(), void (*destroy)(void *));
// The part when it is there, else null; never makes it.
void *ExistingStatePart(Part part);

template <class T> T &Owned(Part part) {
    return *static_cast<T *>(StatePart(
        part, []() -> void * { return new T; }, [](void *p) { delete static_cast<T *>(p); }));
}
template <class T> T *Existing(Part part) { return static_cast<T *>(ExistingStatePart(part)); }

// Whether any handle, device information set or volume search is open
// (Handles.cpp).
bool AnyHandleOpen();

// fork(): no part is made or released across it (the fork handlers of
// Looks.cpp hold this lock).
void LockStateForFork();
void UnlockStateAfterFork();

} // namespace TavLinux

#endif
