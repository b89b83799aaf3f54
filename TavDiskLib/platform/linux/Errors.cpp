// SPDX-License-Identifier: MIT
// Errors of the Linux backend: the calling thread's last-error code, which
// every failing request sets (GetLastError, SetLastError, Fail), and the
// one translation of errno values into the platform's error codes.
#include "Errors.h"
#include "../platform.h"

#include <cerrno>

namespace TavLinux {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
} // namespace

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case EPERM:
    case EACCES: return ERROR_ACCESS_DENIED;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOTTY:
    case EINVAL:
    case EOPNOTSUPP: return ERROR_INVALID_FUNCTION;
    case EIO: return ERROR_IO_DEVICE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case EAGAIN: return ERROR_BUSY;
    case ENXIO:
    case ENODEV: return ERROR_DEV_NOT_EXIST;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC: return ERROR_HANDLE_DISK_FULL;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EFAULT: return ERROR_INVALID_ADDRESS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEDIUM: return ERROR_NOT_READY;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case EOVERFLOW: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

BOOL Fail(DWORD code) {
    lastError = code;
    return FALSE;
}

} // namespace TavLinux

namespace TavPlatform {

DWORD GetLastError() { return TavLinux::lastError; }

void SetLastError(DWORD dwErrCode) { TavLinux::lastError = dwErrCode; }

} // namespace TavPlatform
