// SPDX-License-Identifier: MIT
// Reports of the requests in Requests.h that failed.
#include "Requests.h"

#include <cstdio>

namespace TavRequests {
namespace Report {

namespace {

// Answers by which the library walks lists and learns sizes, not failures.
bool Expected(DWORD code) {
    return code == ERROR_NO_MORE_ITEMS || code == ERROR_NO_MORE_FILES || code == ERROR_INSUFFICIENT_BUFFER ||
           code == ERROR_MORE_DATA;
}

// Reads the request's code, reports it, and leaves the code as it was for
// the logic that reads it next.
template <class Describe> void WithLastError(const char *request, const char *detail, Describe describe) {
    if (!TavDiagnostics::Listening())
        return;
    DWORD code = TavPlatform::GetLastError();
    if (Expected(code))
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
