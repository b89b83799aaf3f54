// SPDX-License-Identifier: MIT
// The backend's state: every part lives in one object that the library
// owns. A part is made on first use; ReleaseBackendState, or the unloading
// of the library (the object's destructor runs when the library is unloaded
// or the process exits), releases every part: descriptors closed, memory
// freed. While a handle, set or search is open nothing is released: they
// hold parts of it, and a thread that uses one may be inside the library.
#include "State.h"
#include "Errors.h"

#include "../platform.h"

#include <atomic>
#include <mutex>

namespace TavLinux {
namespace {

class State {
public:
    constexpr State() = default;
    State(const State &) = delete;
    State &operator=(const State &) = delete;
    ~State() {
        if (!AnyHandleOpen())
            Release();
    }

    void *Get(Part part, void *(*make)(), void (*destroy)(void *)) {
        auto &slot = slots[static_cast<size_t>(part)];
        if (void *p = slot.object.load(std::memory_order_acquire))
            return p;
        std::lock_guard<std::mutex> guard(lock);
        if (void *p = slot.object.load(std::memory_order_relaxed))
            return p;
        void *p = make();
        slot.destroy = destroy;
        slot.made = ++madeCount;
        slot.object.store(p, std::memory_order_release);
        return p;
    }

    void *Existing(Part part) const { return slots[static_cast<size_t>(part)].object.load(std::memory_order_acquire); }

    // Every part, newest first. A part's destructor may ask for another
    // part (a look lets go of its registrations): the parts are taken out
    // under the lock and released outside it.
    void Release() {
        struct Taken {
            void *object;
            void (*destroy)(void *);
            unsigned made;
        } taken[static_cast<size_t>(Part::Count)] = {};
        size_t count = 0;
        {
            std::lock_guard<std::mutex> guard(lock);
            for (auto &slot : slots)
                if (void *p = slot.object.exchange(nullptr, std::memory_order_acq_rel))
                    taken[count++] = {p, slot.destroy, slot.made};
        }
        for (size_t i = 1; i < count; ++i)
            for (size_t j = i; j > 0 && taken[j - 1].made < taken[j].made; --j)
                std::swap(taken[j - 1], taken[j]);
        for (size_t i = 0; i < count; ++i)
            taken[i].destroy(taken[i].object);
    }

    std::mutex lock;

private:
    struct Slot {
        std::atomic<void *> object{nullptr};
        void (*destroy)(void *) = nullptr;
        unsigned made = 0;
    };
    Slot slots[static_cast<size_t>(Part::Count)];
    unsigned madeCount = 0;
};

// Constant-initialized, so that it is there before any other static object
// of the library asks for a part; its destructor runs after theirs.
State state;

} // namespace

void *StatePart(Part part, void *(*make)(), void (*destroy)(void *)) { return state.Get(part, make, destroy); }

void *ExistingStatePart(Part part) { return state.Existing(part); }

void LockStateForFork() { state.lock.lock(); }
void UnlockStateAfterFork() { state.lock.unlock(); }

} // namespace TavLinux

namespace TavPlatform {

DWORD ReleaseBackendState() {
    if (TavLinux::AnyHandleOpen())
        return ERROR_BUSY;
    TavLinux::state.Release();
    return ERROR_SUCCESS;
}

} // namespace TavPlatform
