// SPDX-License-Identifier: MIT
// The Linux backend's error codes: errno translated, and the common exit of
// a BOOL function that fails.
#ifndef TAVDISKLIB_PLATFORM_LINUX_ERRORS_H
#define TAVDISKLIB_PLATFORM_LINUX_ERRORS_H

#include "../types.h"

namespace TavLinux {

// The platform error code for an errno value.
DWORD ErrorFromErrno(int error);
// Sets the calling thread's last-error code and returns FALSE, for the
// common "fail with this code" exit of a BOOL function.
BOOL Fail(DWORD code);

} // namespace TavLinux

#endif
