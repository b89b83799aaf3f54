// SPDX-License-Identifier: MIT
// The public headers after a program's own macros of Windows names: none of
// them is a name the headers use.
#define TRUE 1
#define FALSE 0
#define BOOL int
#define MAX_PATH 260
#define ERROR_SUCCESS 0L
#define Unknown 0
#define INVALID_HANDLE_VALUE (-1)
#define GENERIC_READ 1
#define DWORD unsigned
#define GUID int

#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/tavdisk.h"

#include <gtest/gtest.h>

TEST(PublicHeader, ProgramMacrosOfWindowsNamesDoNotBreakTheHeaders) {
    BOOL ok = TRUE;
    DWORD size = MAX_PATH;
    EXPECT_EQ(ok, 1);
    EXPECT_EQ(size, 260u);
    EXPECT_EQ(TavDiskLib::BusTypeUnknown, Unknown);
    EXPECT_EQ(tavdisk_version() >> 16, TAVDISK_TEST_VERSION_MAJOR);
}
