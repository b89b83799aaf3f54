// SPDX-License-Identifier: MIT
// LocalAlloc blocks of the simulated machine: real heap blocks, accounted to
// the machine installed when each was allocated.
#include "SimCall.h"

#include <cstdlib>

namespace TavPlatform {

using namespace TavSim;

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    Call<HLOCAL> c(Op::LocalAlloc, nullptr);
    c.req.flags = uFlags;
    c.req.position = uBytes;
    if (c.s) {
        const long call = c.s->allocCalls++;
        if (call == c.s->failOneAt || (c.s->failFromAt >= 0 && call >= c.s->failFromAt))
            return c.Fail(ERROR_NOT_ENOUGH_MEMORY);
    }
    if (!c.BeginAnyMachine())
        return c.Failed();
    if (uBytes > Machine::MaxBlockBytes)
        return c.Fail(ERROR_NOT_ENOUGH_MEMORY);
    void *p = std::malloc(uBytes ? uBytes : 1);
    if (!p)
        return c.Fail(ERROR_NOT_ENOUGH_MEMORY);
    // Unrequested clearing would hide reads of memory nobody wrote.
    std::memset(p, (uFlags & LMEM_ZEROINIT) ? 0 : 0xCD, uBytes);
    BlockInfo info;
    info.size = uBytes;
    info.owner = c.s ? c.s->id : 0;
    c.g.blocks[p] = info;
    if (c.s) {
        ++c.s->blocksAllocated;
        ++c.s->liveBlocks;
    }
    return c.Ok(static_cast<HLOCAL>(p));
}

HLOCAL LocalFree(HLOCAL hMem) {
    // A failing LocalFree returns its argument.
    Call<HLOCAL> c(Op::LocalFree, hMem);
    if (!c.BeginAnyMachine())
        return c.Failed();
    if (!hMem)
        return c.Ok(nullptr);
    auto it = c.g.blocks.find(hMem);
    if (it == c.g.blocks.end()) {
        if (c.s)
            ++c.s->badReleases;
        else
            ++c.g.strayBadReleases;
        return c.Fail(ERROR_INVALID_HANDLE);
    }
    const BlockInfo info = it->second;
    c.g.blocks.erase(it);
    auto owner = c.g.machines.find(info.owner);
    if (owner != c.g.machines.end())
        --owner->second->liveBlocks;
    std::memset(hMem, 0xDD, info.size);
    std::free(hMem);
    return c.Ok(nullptr);
}

SIZE_T LocalSize(HLOCAL hMem) {
    Call<SIZE_T> c(Op::LocalSize, 0);
    if (!c.BeginAnyMachine())
        return c.Failed();
    auto it = hMem ? c.g.blocks.find(hMem) : c.g.blocks.end();
    if (it == c.g.blocks.end())
        return c.Fail(ERROR_INVALID_HANDLE);
    return c.Ok(it->second.size);
}

} // namespace TavPlatform
