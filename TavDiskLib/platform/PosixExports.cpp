// SPDX-License-Identifier: MIT
// Functions the library exports on systems other than Windows so that a
// caller writes the same code on every system.
#include "../TavDiskLib.h"
#include "platform.h"

extern "C" BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet) {
    return TavPlatform::SetupDiDestroyDeviceInfoList(DeviceInfoSet);
}

extern "C" DWORD GetLastError() { return TavPlatform::GetLastError(); }

extern "C" void SetLastError(DWORD dwErrCode) { TavPlatform::SetLastError(dwErrCode); }
