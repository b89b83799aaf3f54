// SPDX-License-Identifier: MIT
// The handle table of the Linux backend: device handles, volume searches
// and device information sets are opaque values that stand for open
// objects of one kind; a value of another kind, closed or never given out
// finds nothing. Handle values are never reused.
#include "Handles.h"
#include "State.h"

#include <map>
#include <mutex>

namespace TavLinux {

std::atomic<uint64_t> handleRemovals{0};

namespace {
struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
};
// Outside the table: a value is not given out again after the table was
// released and made anew either.
std::atomic<uintptr_t> nextHandle{0x1000};
HandleTable &Table() { return Owned<HandleTable>(Part::Handles); }
} // namespace

bool AnyHandleOpen() {
    HandleTable *t = Existing<HandleTable>(Part::Handles);
    if (!t)
        return false;
    std::lock_guard<std::mutex> guard(t->lock);
    return !t->objects.empty();
}

HANDLE AddHandle(std::shared_ptr<Object> object) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = nextHandle.fetch_add(4, std::memory_order_relaxed);
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindHandle(HANDLE handle, Object::Kind kind) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end() || it->second->kind != kind)
        return nullptr;
    return it->second;
}

bool RemoveHandle(HANDLE handle, Object::Kind kind) {
    std::shared_ptr<Object> doomed;
    HandleTable &t = Table();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.objects.end() || it->second->kind != kind)
            return false;
        doomed = std::move(it->second);
        t.objects.erase(it);
        handleRemovals.fetch_add(1, std::memory_order_release);
    }
    return true; // the object goes when its last user lets go of it
}

} // namespace TavLinux
