// SPDX-License-Identifier: MIT
// What every platform operation of the simulated machine shares: the call
// (lock, request log entry, failure rules, outcome), the handle table and the
// finding by name. Each operation is one Call:
//
//     Call<BOOL> c(Op::CloseHandle, FALSE);
//     Slot *slot = nullptr;
//     if (!c.Begin([&] { slot = c.Address(FindDeviceSlot(*c.s, hObject)); }))
//         return c.Failed();
//
// Begin fails the call when no machine is installed; otherwise it lets the
// operation fill in its request (the fields it logs, the disk or volume it
// addresses) and then consults the failure rules. After that the operation
// either fails with the platform's error for the situation or answers.
#ifndef TAVDISKLIB_PLATFORM_SIMULATED_SIMCALL_H
#define TAVDISKLIB_PLATFORM_SIMULATED_SIMCALL_H

#include "SimState.h"

#include "../../protocol/Guid.h"

#include <algorithm>
#include <cstring>
#include <limits>

namespace TavSim {

// Sets the calling thread's last-error code (TavPlatform::GetLastError).
void SetCode(DWORD code);

// With no machine installed every call except the memory calls fails with
// this code (the configuration manager calls with CR_NO_SUCH_DEVNODE).
constexpr DWORD NoMachineError = ERROR_NOT_READY;

using TavProtocol::SameGuid;
// Case-insensitive (ASCII letters) comparison with a terminated string.
bool EqualNoCase(const std::wstring &a, const wchar_t *b);

// ---------------------------------------------------------------------------
// The handle table. A handle value encodes the slot index and the slot's
// generation, so a stale or foreign value never finds an open slot.

constexpr unsigned SlotBits = 18; // up to 2^18 handles and sets open at once
constexpr uintptr_t SlotMask = (uintptr_t{1} << SlotBits) - 1;

// A new handle of `kind`, or INVALID_HANDLE_VALUE when the table is full.
HANDLE NewHandle(State &s, HandleKind kind, int target, DWORD access);
void FreeSlot(State &s, Slot &slot);

// The open slot of `kind` that handle `h` names, or null.
inline Slot *FindSlot(State &s, const void *h, HandleKind kind) {
    const uintptr_t v = reinterpret_cast<uintptr_t>(h);
    if ((v & 3u) != 2u)
        return nullptr;
    const size_t index = (v >> 2) & SlotMask;
    if (index >= s.slots.size())
        return nullptr;
    Slot &slot = s.slots[index];
    if (slot.kind != kind || slot.gen != (v >> (SlotBits + 2)))
        return nullptr;
    return &slot;
}

// A disk or volume handle.
inline Slot *FindDeviceSlot(State &s, HANDLE h) {
    Slot *slot = FindSlot(s, h, HandleKind::Disk);
    return slot ? slot : FindSlot(s, h, HandleKind::Volume);
}

// Records filled by a set carry the set's serial and the disk's index in
// Reserved; DiskOfTag reads the disk back (-1: not a record of this set).
ULONG_PTR InterfaceTag(const Slot &set, int disk);
int DiskOfTag(const Slot &set, ULONG_PTR tag);

// Finding by name: the disk whose device path is `path`; the volume whose name
// (device: its name without the trailing backslash) is `name`. -1: none.
int FindDisk(State &s, const Machine &m, const wchar_t *path);
int FindVolume(State &s, const Machine &m, const wchar_t *name, bool device);

// ---------------------------------------------------------------------------
// One platform call: the global lock from start to end, the request's log entry
// appended to the log on the way out when logging is on.

class CallBase {
public:
    explicit CallBase(Op op) : g(G()), lock(g.mu), m(g.current), s(m ? &Backend::Of(*m) : nullptr) { req.op = op; }
    ~CallBase() {
        if (Logging())
            s->log.push_back(std::move(req));
    }
    CallBase(const CallBase &) = delete;
    CallBase &operator=(const CallBase &) = delete;

    bool Logging() const { return s && m->logging; }

    // Notes the failure with `error` and, except for calls that return
    // their code (the configuration manager's), sets the thread's code.
    // Always false.
    bool Refuse(DWORD error) {
        if (!returnsCode)
            SetCode(error);
        req.succeeded = false;
        req.error = error;
        return false;
    }

    // Names the disk or volume a device handle's slot addresses; returns the slot.
    Slot *Address(Slot *slot) {
        if (slot)
            (slot->kind == HandleKind::Disk ? req.disk : req.volume) = slot->target;
        return slot;
    }

    // Writes bytes [offset, offset + n) of the answer into `base`, cut at the
    // delivery limit.
    void PutAt(void *base, size_t offset, const void *src, size_t n) const {
        if (offset >= limit || n == 0)
            return;
        std::memcpy(static_cast<uint8_t *>(base) + offset, src, std::min(n, limit - offset));
    }
    size_t Delivered(size_t answerBytes) const { return std::min(answerBytes, limit); }

    Disk *DiskAt(int index) const {
        return index >= 0 && static_cast<size_t>(index) < m->disks.size() ? &m->disks[static_cast<size_t>(index)]
                                                                          : nullptr;
    }
    Volume *VolumeAt(int index) const {
        return index >= 0 && static_cast<size_t>(index) < m->volumes.size() ? &m->volumes[static_cast<size_t>(index)]
                                                                            : nullptr;
    }
    int DiskOfDevInst(DEVINST dn) const;
    const DeviceNode *Node(DEVINST dn) const;

    Globals &g;
    std::lock_guard<std::mutex> lock;
    Machine *m;
    State *s;
    Request req;

protected:
    // The preamble: no machine, the call fails with `noMachine`; else `name`
    // fills in the request and the failure rules are consulted.
    template <class Name> bool Start(DWORD noMachine, Name &&name) {
        if (!s)
            return Refuse(noMachine);
        name();
        return !Faulted() || Refuse(faultError);
    }
    // For the memory calls, which work without a machine: the failure rules
    // of the installed machine, if any.
    bool StartAnyMachine() { return !s || !Faulted() || Refuse(faultError); }

    // A call that returns its code has no thread's code to leave on success.
    void Succeed() {
        req.succeeded = true;
        if (errorOnSuccess && !returnsCode) {
            SetCode(successError);
            req.error = successError;
        }
    }

    bool returnsCode = false; // the call returns its error code, not the thread's

private:
    // Consults the failure rules once req names the target. True when the
    // call must fail with faultError; otherwise a rule may have set a
    // delivery limit or an error code to leave on success.
    bool Faulted() { return !s->faults.empty() && MatchFaults(); }
    bool MatchFaults();

    size_t limit = std::numeric_limits<size_t>::max();
    DWORD faultError = 0;
    bool errorOnSuccess = false;
    DWORD successError = 0;
};

// A call that returns R, and `failure` when it fails.
template <class R> class Call : public CallBase {
public:
    Call(Op op, R failure) : CallBase(op), failed(failure) {}

    template <class Name> bool Begin(Name &&name) { return Start(NoMachineError, name); }
    bool BeginAnyMachine() { return StartAnyMachine(); }

    R Fail(DWORD error) {
        Refuse(error);
        return failed;
    }
    R Failed() const { return failed; }
    R Ok(R result) {
        Succeed();
        return result;
    }

private:
    R failed;
};

// A call that returns its own code, failures included, and leaves the
// thread's code alone: the configuration manager's calls (their CONFIGRET;
// CR_NO_SUCH_DEVNODE without a machine) and GetStorageDependencyInformation
// (an error code).
class CodeCall : public CallBase {
public:
    CodeCall(Op op, DWORD noMachine) : CallBase(op), noMachine_(noMachine) { returnsCode = true; }

    template <class Name> bool Begin(Name &&name) { return Start(noMachine_, name); }

    // Ends the call with `code`, which is 0 (ERROR_SUCCESS, CR_SUCCESS) on success.
    DWORD Code(DWORD code) {
        if (code == 0)
            Succeed();
        else
            Refuse(code);
        return code;
    }
    DWORD Failed() const { return req.error; }

private:
    DWORD noMachine_;
};

// Closes a handle, set or volume search: a slot that is not open counts as a
// bad release.
BOOL Release(Call<BOOL> &c, Slot *slot);

inline bool InfoDataSizeWrong(const SP_DEVINFO_DATA *p) { return p && p->cbSize != sizeof(SP_DEVINFO_DATA); }

} // namespace TavSim

#endif
