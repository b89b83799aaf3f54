// SPDX-License-Identifier: MIT
// The public headers in a program with names of its own: away from Windows,
// TavDiskLib.h and tavdisk.h define no Windows macro and put no Windows name
// into the global namespace, so a program's own Unknown, BOOL, TRUE,
// ERROR_SUCCESS, MAX_PATH, ULONG, LARGE_INTEGER, HANDLE or GUID lives beside
// them. This file sees only the public headers; ApiMachines.cpp sets up the
// simulated machine the calls go to.
#include "TavDiskLib/TavDiskLib.h"
#include "TavDiskLib/tavdisk.h"

#include "ApiMachines.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <type_traits>

#if defined(TRUE) || defined(FALSE) || defined(MAX_PATH) || defined(ERROR_SUCCESS) || defined(INVALID_HANDLE_VALUE)
#error "the public headers define Windows macros"
#endif
#if defined(IOCTL_STORAGE_QUERY_PROPERTY) || defined(GENERIC_READ) || defined(DIGCF_PRESENT) || defined(LPTR)
#error "the public headers define Windows macros"
#endif

// The program's own names, each of a kind different from the Windows one.
enum Status { Unknown, Ready };
typedef bool BOOL;
constexpr BOOL TRUE = true;
constexpr long ERROR_SUCCESS = -1;
constexpr int MAX_PATH = 4096;
struct ULONG {
    int value;
};
struct LARGE_INTEGER {};
struct HANDLE {};
struct GUID {
    char text[37];
};
struct _GUID {};
struct DWORD {};
struct SP_DEVICE_INTERFACE_DATA {};
enum FixedMedia { RemovableMedia };
int BusTypeScsi = 3;

namespace {

struct Machine {
    Machine() { tavtest_install_two_disks(); }
    ~Machine() {
        EXPECT_EQ(tavtest_leftovers(), 0ul);
        tavtest_uninstall();
    }
};

TEST(PublicHeader, ProgramNamesAndLibraryTypesLiveSideBySide) {
    Machine machine;
    static_assert(std::is_same<TavDiskLib::ULONG, uint32_t>::value, "ULONG is 32 bits");
    static_assert(sizeof(TavDiskLib::LARGE_INTEGER) == 8, "LARGE_INTEGER is 64 bits");
    Status status = Unknown;
    BOOL ok = TRUE;
    ULONG mine{MAX_PATH};

    void *set = Drive::GetDeviceInfoSet();
    ASSERT_NE(set, TavDiskLib::InvalidHandleValue());
    Drive *sas = Drive::GetDrive(set, 1);
    ASSERT_NE(sas, nullptr);
    EXPECT_EQ(sas->GetBusType(), TavDiskLib::BusTypeSas);
    TavDiskLib::LARGE_INTEGER sectors = sas->GetSectors();
    EXPECT_EQ(sectors.QuadPart, 0x1E848);
    unsigned char text[32];
    TavDiskLib::ULONG count = 0;
    EXPECT_EQ(sas->GetScsiProductId(text, sizeof text, &count), 1);
    EXPECT_EQ(std::string(reinterpret_cast<char *>(text), count), "ARRAY DISK");
    delete sas;

    Adapter adapter(set, 1);
    EXPECT_NE(SetupDiDestroyDeviceInfoList(set), 0);

    EXPECT_EQ(status, Unknown);
    EXPECT_TRUE(ok);
    EXPECT_EQ(mine.value, 4096);
    EXPECT_EQ(ERROR_SUCCESS, -1);
    EXPECT_EQ(BusTypeScsi, 3);
}

TEST(PublicHeader, CInterfaceFromCxx) {
    Machine machine;
    tavdisk_set *set = tavdisk_set_new();
    ASSERT_NE(set, nullptr);
    tavdisk_drive *ata = tavdisk_drive_new(set, 0);
    char model[41];
    uint32_t count = 0;
    EXPECT_EQ(tavdisk_drive_get_ide_drive_model_no(ata, model, sizeof model, &count), 1);
    EXPECT_STREQ(model, "TAV MODEL 1000");
    // The C handle is the C++ object: both views answer alike.
    EXPECT_EQ(reinterpret_cast<Drive *>(ata)->GetSectors().QuadPart, tavdisk_drive_get_sectors(ata));
    tavdisk_drive_free(ata);
    tavdisk_set_free(set);
}

} // namespace
