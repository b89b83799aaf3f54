// SPDX-License-Identifier: MIT
// The handle table: handles, device information sets and volume searches
// as opaque values that are never followed unless still open.
#ifndef TAVDISKLIB_PLATFORM_LINUX_HANDLES_H
#define TAVDISKLIB_PLATFORM_LINUX_HANDLES_H

#include "../types.h"

#include <atomic>
#include <cstdint>
#include <memory>

namespace TavLinux {

struct Object {
    enum class Kind { File, VolumeSearch, DeviceSet };
    explicit Object(Kind k) : kind(k) {}
    virtual ~Object() = default;
    Kind kind;
};

HANDLE AddHandle(std::shared_ptr<Object> object);
std::shared_ptr<Object> FindHandle(HANDLE handle, Object::Kind kind);
bool RemoveHandle(HANDLE handle, Object::Kind kind);
// Changes whenever a handle is removed (handle values are never reused).
extern std::atomic<uint64_t> handleRemovals;

// The object of that kind still behind a handle, or null. Each thread
// remembers what it found last, for as long as no handle is removed: a
// sector transfer finds its handle twice (positioning, then the
// transfer), and the table's lock would cost more than the rest of it.
template <class T> struct LastFound {
    uintptr_t handle = 0;
    uint64_t removals = 0;
    std::weak_ptr<T> object;
    static LastFound &OfThisThread() {
        static thread_local LastFound last;
        return last;
    }
};

template <class T> [[gnu::noinline]] std::shared_ptr<T> FindInTable(HANDLE handle, uint64_t removals) {
    auto object = std::static_pointer_cast<T>(FindHandle(handle, T::TheKind));
    if (object) {
        LastFound<T> &last = LastFound<T>::OfThisThread();
        last.handle = reinterpret_cast<uintptr_t>(handle);
        last.removals = removals; // read before the search: a removal since shows at the next
        last.object = object;
    }
    return object;
}

template <class T> inline std::shared_ptr<T> Find(HANDLE handle) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    const uint64_t removals = handleRemovals.load(std::memory_order_acquire);
    LastFound<T> &last = LastFound<T>::OfThisThread();
    if (value != 0 && value == last.handle && removals == last.removals)
        if (auto object = last.object.lock())
            return object;
    return FindInTable<T>(handle, removals);
}

} // namespace TavLinux

#endif
