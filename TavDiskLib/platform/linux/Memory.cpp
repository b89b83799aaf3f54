// SPDX-License-Identifier: MIT
// Memory blocks of the Linux backend: LocalAlloc, LocalFree and LocalSize
// over malloc, each block carrying its size in front of it.
#include "Errors.h"
#include "../platform.h"

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>

namespace TavPlatform {

// Each block carries its size in a header in front of the bytes handed out,
// so that LocalSize can answer; the header keeps the bytes aligned as malloc
// aligns them.
namespace {
constexpr size_t BlockHeader = alignof(std::max_align_t);
} // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) {
        TavLinux::Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t bytes = uBytes ? uBytes : 1;
    if (bytes > SIZE_MAX - BlockHeader) {
        TavLinux::Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *block = static_cast<unsigned char *>((uFlags & LMEM_ZEROINIT) ? std::calloc(1, BlockHeader + bytes)
                                                                        : std::malloc(BlockHeader + bytes));
    if (!block) {
        TavLinux::Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(block, &bytes, sizeof bytes);
    return block + BlockHeader;
}

HLOCAL LocalFree(HLOCAL hMem) {
    if (hMem)
        std::free(static_cast<unsigned char *>(hMem) - BlockHeader);
    return nullptr;
}

SIZE_T LocalSize(HLOCAL hMem) {
    if (!hMem)
        return 0;
    size_t bytes;
    std::memcpy(&bytes, static_cast<unsigned char *>(hMem) - BlockHeader, sizeof bytes);
    return bytes;
}

} // namespace TavPlatform
