// SPDX-License-Identifier: MIT
// What the backend keeps between requests is released on request, but never
// while a handle, set or search holds part of it; the next request makes it
// again.
#include "LinuxTestSupport.h"

#include <gtest/gtest.h>

using namespace TavLinuxTest;
namespace P = TavPlatform;

TEST(ReplayState, ReleasedOnlyWhileNothingIsOpenAndMadeAgainAfterwards) {
    Machine m("vm");
    size_t disks = 0;
    {
        Set set;
        disks = AllDrives(set.handle).size();
        EXPECT_EQ(P::ReleaseBackendState(), ERROR_BUSY); // a set is open
    }
    ASSERT_GT(disks, 0u);
    HANDLE disk =
        P::CreateFileW(L"/dev/vda", 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
    ASSERT_NE(disk, INVALID_HANDLE_VALUE);
    EXPECT_EQ(P::ReleaseBackendState(), ERROR_BUSY); // a disk is open
    EXPECT_TRUE(P::CloseHandle(disk));
    P::SetLastError(1234);
    EXPECT_EQ(P::ReleaseBackendState(), ERROR_SUCCESS);
    EXPECT_EQ(P::ReleaseBackendState(), ERROR_SUCCESS); // nothing left: harmless
    EXPECT_EQ(P::GetLastError(), 1234u);
    Set set;
    auto drives = AllDrives(set.handle);
    EXPECT_EQ(drives.size(), disks);
    EXPECT_FALSE(P::CloseHandle(disk)); // handle values are not given out again
}
