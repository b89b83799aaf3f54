// SPDX-License-Identifier: MIT
// The handle table of the Linux backend: device handles, volume searches
// and device information sets are opaque values that stand for live
// objects of one kind; a value of another kind, closed or never given out
// finds nothing. Handle values are never reused.
#include "Handles.h"

#include <map>
#include <mutex>

namespace TavLinux {

std::atomic<uint64_t> handleRemovals{0};

namespace {
struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x1000;
};
HandleTable &Table() {
    static HandleTable *table = new HandleTable; // lives as long as the process
    return *table;
}
} // namespace

HANDLE AddHandle(std::shared_ptr<Object> object) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
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
