// SPDX-License-Identifier: MIT
// Internal state of the simulated machine, shared by SimMachine.cpp (the test
// API) and the files that answer the platform operations (SimCall.h and the
// files that include it). Not for tests.
#ifndef TAVDISKLIB_PLATFORM_SIMULATED_SIMSTATE_H
#define TAVDISKLIB_PLATFORM_SIMULATED_SIMSTATE_H

#include "SimMachine.h"

#include <cstddef>
#include <cstdint>
#include <mutex>
#include <unordered_map>
#include <vector>

namespace TavSim {

enum class HandleKind : uint8_t { Free, Disk, Volume, VolumeSearch, Set };

// One entry of the handle table. A handle value encodes the slot index and
// the slot's generation, so a stale or foreign value never finds an open slot.
struct Slot {
    uintptr_t gen = 0;
    HandleKind kind = HandleKind::Free;
    int target = -1;             // disk or volume index; volume search: next volume to give
    DWORD access = 0;            // CreateFileW desired access
    uint64_t position = 0;       // disk handles: the file position
    bool locked = false;         // disk and volume handles: FSCTL_LOCK_VOLUME holds
    bool diskInterfaces = false; // sets: every disk of the machine is a member, as the machine is now
    uint32_t serial = 0;         // sets: tag written into the records the set fills
    std::vector<DEVINST> opened; // sets: device nodes opened into the set
};

struct FaultRule {
    Fault fault;
    int seen = 0;    // matching calls so far
    int applied = 0; // calls the rule acted on
};

// The machine's own state (declared in Machine, defined here).
struct Machine::State {
    uint64_t id = 0;
    std::vector<Slot> slots;
    std::vector<uint32_t> freeSlots;
    size_t openHandles = 0;
    size_t openSets = 0;
    size_t liveBlocks = 0;
    size_t blocksAllocated = 0;
    size_t badReleases = 0;
    std::vector<Request> log;
    std::vector<FaultRule> faults;
    long allocCalls = 0;  // LocalAlloc calls while installed
    long failOneAt = -1;  // value of allocCalls whose call fails; -1 none
    long failFromAt = -1; // first value of allocCalls from which every call fails; -1 none
    uint32_t nextSetSerial = 1;
    // Finding by name: hash of a name -> index, rebuilt when the vectors change
    // size; every hit is checked against the name itself.
    std::unordered_map<uint64_t, int> diskByPath;     // Disk::devicePath
    std::unordered_map<uint64_t, int> volumeByName;   // Volume::name
    std::unordered_map<uint64_t, int> volumeByDevice; // Volume::name without its trailing backslash
    size_t indexedDisks = 0;
    size_t indexedVolumes = 0;
    size_t indexedVolumesByName = 0;
};

struct Backend {
    using State = Machine::State;
    static State &Of(Machine &m) { return *m.state; }
};

using State = Backend::State;

struct BlockInfo {
    size_t size = 0;
    uint64_t owner = 0; // id of the machine installed at allocation; 0 none
};

// Process-wide state: one lock over everything, the installed machine, the
// LocalAlloc blocks not yet freed and the machines that exist. Created on first use
// and never destroyed, so blocks may be released at any time, even during
// static destruction.
struct Globals {
    std::mutex mu;
    Machine *current = nullptr;
    std::unordered_map<const void *, BlockInfo> blocks;
    std::unordered_map<uint64_t, State *> machines;
    uint64_t nextMachineId = 1;
    uintptr_t nextGen = 1;
    size_t strayBadReleases = 0; // LocalFree of a non-block while no machine was installed
};

Globals &G();

// Sector store of a disk: sparse pages, `fill` elsewhere.
void StoreRead(const Disk &d, uint64_t offset, uint8_t *dst, size_t count);
void StoreWrite(Disk &d, uint64_t offset, const uint8_t *src, size_t count);

} // namespace TavSim

#endif
