// SPDX-License-Identifier: MIT
// The simulated machine in a Windows build: the set release a caller makes.
//
// A Windows caller releases the set from Drive::GetDeviceInfoSet with the
// system's SetupDiDestroyDeviceInfoList, declared by <setupapi.h> as a DLL
// import and so called through the import pointer the linker resolves. Over
// the simulated machine the set belongs to the machine, not to the system:
// this object defines that import pointer and sends the call to the machine.
// It sits in the simulated library, which every such program links before
// the system's import libraries, so the linker takes it first.
#include "platform.h"

#if !defined(_WIN32) || !defined(__GNUC__)
#error "only for Windows builds of the simulated machine with a GNU toolchain"
#endif

namespace {

BOOL WINAPI ReleaseSimulatedSet(HDEVINFO DeviceInfoSet) {
    return TavPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet);
}

} // namespace

// The import pointer's symbol: __imp_ plus the function's decorated name
// (stdcall decoration on 32-bit x86).
#if defined(_WIN64)
#define TAVDISK_SET_RELEASE_IMPORT "__imp_SetupDiDestroyDeviceInfoList"
#else
#define TAVDISK_SET_RELEASE_IMPORT "__imp__SetupDiDestroyDeviceInfoList@4"
#endif

extern "C" {
extern BOOL(WINAPI *const TavSimSetReleaseImport)(HDEVINFO) __asm__(TAVDISK_SET_RELEASE_IMPORT);
BOOL(WINAPI *const TavSimSetReleaseImport)(HDEVINFO) = ReleaseSimulatedSet;
}
