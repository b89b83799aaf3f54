// SPDX-License-Identifier: MIT
// Expectations every backend of the platform requests meets, run against
// each of them: the simulated machine (tests/SeamTest.cpp) and the Linux
// backend over a recorded machine (tests/linux/ReplaySeamTest.cpp). Each
// suite hands in a way to open one ATA disk of 512-byte sectors with a
// given desired access; the cases are the requests the library sends, at
// their edges.
#ifndef TAVDISKLIB_TESTS_PLATFORM_SEAMCASES_H
#define TAVDISKLIB_TESTS_PLATFORM_SEAMCASES_H

#include "TavDiskLib/platform/platform.h"

#include <gtest/gtest.h>

#include <cstring>
#include <functional>
#include <vector>

namespace TavSeam {

namespace P = TavPlatform;

// What a request answered: its result and, when it failed, the thread's code.
struct Outcome {
    bool ok;
    DWORD error;
};

inline Outcome Ask(BOOL ok) { return {ok != FALSE, ok ? ERROR_SUCCESS : P::GetLastError()}; }

inline void ExpectConformance(const std::function<HANDLE(DWORD access)> &openAtaDisk) {
    const DWORD full = GENERIC_READ | GENERIC_WRITE;
    HANDLE disk = openAtaDisk(full), query = openAtaDisk(0);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    ASSERT_NE(query, INVALID_HANDLE_VALUE);
    std::vector<unsigned char> buffer(4096, 0);
    DWORD returned = 0;
    auto control = [&](HANDLE h, DWORD code, void *out, DWORD outSize) {
        P::SetLastError(0);
        return Ask(P::DeviceIoControl(h, code, nullptr, 0, out, outSize, &returned, nullptr));
    };
    auto read = [&](HANDLE h, LONGLONG at, DWORD count) {
        LARGE_INTEGER position;
        position.QuadPart = at;
        P::SetFilePointerEx(h, position, nullptr, FILE_BEGIN);
        P::SetLastError(0);
        return Ask(P::ReadFile(h, buffer.data(), count, &returned, nullptr));
    };
    const struct {
        const char *what;
        std::function<Outcome()> ask;
        Outcome expected;
    } cases[] = {
        {"an output buffer that is null but has a size",
         [&] { return control(disk, IOCTL_DISK_GET_DRIVE_GEOMETRY, nullptr, sizeof(DISK_GEOMETRY)); },
         {false, ERROR_INVALID_USER_BUFFER}},
        {"a whole sector", [&] { return read(disk, 0, 512); }, {true, ERROR_SUCCESS}},
        {"part of a sector", [&] { return read(disk, 0, 100); }, {false, ERROR_INVALID_PARAMETER}},
        {"a sector from inside another", [&] { return read(disk, 100, 512); }, {false, ERROR_INVALID_PARAMETER}},
        {"a query-only handle: the device number",
         [&] { return control(query, IOCTL_STORAGE_GET_DEVICE_NUMBER, buffer.data(), sizeof(STORAGE_DEVICE_NUMBER)); },
         {true, ERROR_SUCCESS}},
        {"a query-only handle: SMART",
         [&] { return control(query, SMART_GET_VERSION, buffer.data(), sizeof(GETVERSIONINPARAMS)); },
         {false, ERROR_ACCESS_DENIED}},
        {"a query-only handle: pass-through",
         [&] {
             return control(query, IOCTL_SCSI_PASS_THROUGH_DIRECT, buffer.data(),
                            static_cast<DWORD>(sizeof(SCSI_PASS_THROUGH_DIRECT)));
         },
         {false, ERROR_ACCESS_DENIED}},
        {"a query-only handle: a transfer", [&] { return read(query, 0, 512); }, {false, ERROR_ACCESS_DENIED}},
    };
    for (const auto &c : cases) {
        Outcome got = c.ask();
        EXPECT_EQ(got.ok, c.expected.ok) << c.what;
        EXPECT_EQ(got.error, c.expected.error) << c.what;
    }

    // An ATA disk can identify itself and take SMART commands; it is no
    // packet device.
    GETVERSIONINPARAMS version{};
    ASSERT_TRUE(control(disk, SMART_GET_VERSION, &version, sizeof version).ok);
    EXPECT_EQ(version.fCapabilities & 0x7u, 0x5u);

    // A disk on no virtual disk has nothing holding it; a version the
    // request does not know is refused, read as a number.
    alignas(8) unsigned char answer[256];
    auto dependencies = [&](ULONG asked) {
        std::memset(answer, 0, sizeof answer);
        std::memcpy(answer, &asked, sizeof asked);
        ULONG used = 0;
        return P::GetStorageDependencyInformation(
            disk,
            static_cast<GET_STORAGE_DEPENDENCY_FLAG>(GET_STORAGE_DEPENDENCY_FLAG_HOST_VOLUMES |
                                                     GET_STORAGE_DEPENDENCY_FLAG_DISK_HANDLE),
            sizeof answer, reinterpret_cast<STORAGE_DEPENDENCY_INFO *>(answer), &used);
    };
    EXPECT_EQ(dependencies(STORAGE_DEPENDENCY_INFO_VERSION_2), ERROR_SUCCESS);
    EXPECT_EQ(reinterpret_cast<STORAGE_DEPENDENCY_INFO *>(answer)->NumberEntries, 0u);
    EXPECT_EQ(dependencies(161), ERROR_INVALID_PARAMETER);

    P::CloseHandle(disk);
    P::CloseHandle(query);
}

} // namespace TavSeam

#endif
