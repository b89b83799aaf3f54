// SPDX-License-Identifier: MIT
// The answer of GetStorageDependencyInformation as the Linux backend and the
// simulated machine lay it out: a STORAGE_DEPENDENCY_INFO of version 2 with
// one record per host, then the records' strings, the pointers in the
// records aimed at the caller's buffer.
#ifndef TAVDISKLIB_PLATFORM_DEPENDENCIES_H
#define TAVDISKLIB_PLATFORM_DEPENDENCIES_H

#include "types.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <string>
#include <vector>

namespace TavPlatform {

// What holds a virtual disk's content: a volume name or \\.\PhysicalDriveN,
// and the image file's path inside that volume (empty for a device).
struct DependencyHost {
    std::wstring hostVolume;
    std::wstring relativePath;
};

// The bytes of the answer for `hosts` as they are to lie at `base` (the
// caller's buffer).
inline std::vector<uint8_t> DependencyAnswer(const std::vector<DependencyHost> &hosts, const void *base) {
    const size_t header = offsetof(STORAGE_DEPENDENCY_INFO, Version2Entries);
    size_t size = header + hosts.size() * sizeof(STORAGE_DEPENDENCY_INFO_TYPE_2);
    if (hosts.empty())
        size = sizeof(STORAGE_DEPENDENCY_INFO);
    size_t textAt = size;
    for (const DependencyHost &h : hosts)
        size += (h.hostVolume.size() + 1 + h.relativePath.size() + 1) * sizeof(WCHAR);
    std::vector<uint8_t> answer(size, 0);
    const ULONG version = STORAGE_DEPENDENCY_INFO_VERSION_2;
    const ULONG count = static_cast<ULONG>(hosts.size());
    std::memcpy(answer.data(), &version, sizeof version);
    std::memcpy(answer.data() + offsetof(STORAGE_DEPENDENCY_INFO, NumberEntries), &count, sizeof count);
    // A string copied into the answer, and where it will lie for the caller.
    auto place = [&](const std::wstring &text) {
        std::memcpy(answer.data() + textAt, text.c_str(), (text.size() + 1) * sizeof(WCHAR));
        WCHAR *at = reinterpret_cast<WCHAR *>(reinterpret_cast<uintptr_t>(base) + textAt);
        textAt += (text.size() + 1) * sizeof(WCHAR);
        return at;
    };
    for (size_t i = 0; i < hosts.size(); ++i) {
        STORAGE_DEPENDENCY_INFO_TYPE_2 entry{};
        entry.HostVolumeName = place(hosts[i].hostVolume);
        entry.DependentVolumeRelativePath = place(hosts[i].relativePath);
        std::memcpy(answer.data() + header + i * sizeof entry, &entry, sizeof entry);
    }
    return answer;
}

// The checks both backends make before answering: a version they answer, a
// buffer and a place for the size. ERROR_SUCCESS when they pass.
inline DWORD DependencyRequestError(ULONG size, const void *info, const ULONG *sizeUsed) {
    if (!sizeUsed || !info || size < 8)
        return ERROR_INVALID_PARAMETER;
    ULONG version = 0;
    std::memcpy(&version, info, sizeof version);
    return version == STORAGE_DEPENDENCY_INFO_VERSION_2 ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}

} // namespace TavPlatform

#endif
