// SPDX-License-Identifier: MIT
// Failed platform requests, told to whoever asked to hear of them: standard
// error when TAVDISK_DEBUG is set (one line each), and the failure handler
// the calling thread installed through the C interface. Nothing is kept
// between reports but the calling thread's handler.
#ifndef TAVDISKLIB_DIAGNOSTICS_H
#define TAVDISKLIB_DIAGNOSTICS_H

#include "platform/types.h"
#include "tavdisk.h"

#include <string>

namespace TavDiagnostics {

// Installs the calling thread's handler (null removes it).
void SetHandler(tavdisk_failure_handler handler, void *context);

// Whether a report would reach anyone; checked before a report's target is
// described.
bool Listening();

// How a request reports its outcome.
enum class Code { LastError, ConfigRet };

// Tells of one failed request: `request` (e.g. "DeviceIoControl"), `detail`
// (e.g. "IOCTL_SCSI_GET_ADDRESS", or null), `target` (UTF-8, may be empty)
// and its code. Never throws; touches no last-error code.
void Report(const char *request, const char *detail, const std::string &target, DWORD code, Code kind) noexcept;

// The platform's name of an error code ("ERROR_ACCESS_DENIED",
// "CR_NO_SUCH_DEVNODE"), or "" when this library does not know it.
const char *ErrorName(DWORD code, Code kind);

// A code as reports write it: decimal, or hexadecimal above 0xFFFF.
std::string CodeText(DWORD code);

// The name of a control code the library sends ("IOCTL_SCSI_GET_ADDRESS"),
// or null.
const char *ControlCodeName(DWORD code);

// Wide text (a path, a volume name) as UTF-8 for a report line.
std::string Utf8(const wchar_t *text);
// `length` units of wide text (UTF-16 or UTF-32, as wchar_t is) as UTF-8:
// what is no character becomes U+FFFD, and with `oneLine` so does a
// control character.
std::string Utf8(const wchar_t *text, size_t length, bool oneLine);

} // namespace TavDiagnostics

#endif
