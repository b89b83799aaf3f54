// SPDX-License-Identifier: MIT
// Reports of the requests in Requests.h that failed.
#include "Requests.h"

#include <cstdio>
#include <cstring>

namespace TavRequests {
namespace Report {

namespace {

// Answers by which the library walks lists and learns sizes, not failures.
bool Expected(DWORD code) {
    return code == ERROR_NO_MORE_ITEMS || code == ERROR_NO_MORE_FILES || code == ERROR_INSUFFICIENT_BUFFER ||
           code == ERROR_MORE_DATA;
}

// Refusals that are the answer the library asks for, not failures: the
// disk is not ATA (SMART_GET_VERSION) or has no SCSI address, the system has
// no Windows directory, a device node opened as an adapter has no device
// interface by its identifier.
bool ExpectedAnswer(const char *request, const char *detail, DWORD code) {
    static const struct {
        const char *request;
        const char *detail;
        DWORD code;
    } answers[] = {
        {"DeviceIoControl", "SMART_GET_VERSION", ERROR_INVALID_FUNCTION},
        {"DeviceIoControl", "SMART_GET_VERSION", ERROR_NOT_SUPPORTED},
        {"DeviceIoControl", "IOCTL_SCSI_GET_ADDRESS", ERROR_INVALID_FUNCTION},
        {"DeviceIoControl", "IOCTL_SCSI_GET_ADDRESS", ERROR_NOT_SUPPORTED},
        {"GetWindowsDirectoryW", nullptr, ERROR_PATH_NOT_FOUND},
        {"GetStorageDependencyInformation", nullptr, ERROR_CALL_NOT_IMPLEMENTED},
        {"SetupDiOpenDeviceInterfaceW", nullptr, ERROR_NO_SUCH_DEVICE_INTERFACE},
    };
    for (const auto &a : answers)
        if (a.code == code && std::strcmp(a.request, request) == 0 &&
            (a.detail == detail || (a.detail && detail && std::strcmp(a.detail, detail) == 0)))
            return true;
    return false;
}

// Reads the request's code, reports it, and leaves the code as it was for
// the logic that reads it next.
template <class Describe> void WithLastError(const char *request, const char *detail, Describe describe) {
    if (!TavDiagnostics::Listening())
        return;
    DWORD code = TavPlatform::GetLastError();
    if (Expected(code) || ExpectedAnswer(request, detail, code))
        return;
    TavDiagnostics::Report(request, detail, describe(), code, TavDiagnostics::Code::LastError);
    TavPlatform::SetLastError(code);
}

std::string HandleText(HANDLE handle) {
    if (handle == INVALID_HANDLE_VALUE)
        return "INVALID_HANDLE_VALUE";
    std::string target = TavDiagnostics::Utf8(TavPlatform::HandleTarget(handle).c_str());
    if (!target.empty())
        return target;
    char text[40];
    std::snprintf(text, sizeof text, "handle %p", handle);
    return text;
}

} // namespace

void Failed(const char *request, const char *detail, const std::string &target) {
    WithLastError(request, detail, [&] { return target; });
}

void FailedOn(const char *request, const char *detail, HANDLE handle) {
    WithLastError(request, detail, [&] { return HandleText(handle); });
}

void FailedOnName(const char *request, const char *detail, LPCWSTR name) {
    WithLastError(request, detail, [&] { return TavDiagnostics::Utf8(name); });
}

void FailedOnNode(const char *request, const char *detail, DEVINST node) {
    WithLastError(request, detail, [&] { return "device node " + std::to_string(node); });
}

void FailedOnWith(const char *request, HANDLE handle, DWORD code) {
    if (Expected(code) || ExpectedAnswer(request, nullptr, code) || !TavDiagnostics::Listening())
        return;
    TavDiagnostics::Report(request, nullptr, HandleText(handle), code, TavDiagnostics::Code::LastError);
}

void FailedOnNodeWith(const char *request, DEVINST node, CONFIGRET result) {
    if (result == CR_BUFFER_SMALL || !TavDiagnostics::Listening())
        return;
    TavDiagnostics::Report(request, nullptr, "device node " + std::to_string(node), result,
                           TavDiagnostics::Code::ConfigRet);
}

const char *PropertyName(DWORD property) {
    switch (property) {
    case SPDRP_DEVICEDESC: return "SPDRP_DEVICEDESC";
    case SPDRP_HARDWAREID: return "SPDRP_HARDWAREID";
    case SPDRP_DRIVER: return "SPDRP_DRIVER";
    case SPDRP_MFG: return "SPDRP_MFG";
    case SPDRP_FRIENDLYNAME: return "SPDRP_FRIENDLYNAME";
    default: return nullptr;
    }
}

} // namespace Report
} // namespace TavRequests
