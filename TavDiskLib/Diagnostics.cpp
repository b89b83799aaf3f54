// SPDX-License-Identifier: MIT
// Reports of failed platform requests (Diagnostics.h).
#include "Diagnostics.h"
#include "protocol/Utf8.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <type_traits>

namespace TavDiagnostics {

namespace {

thread_local tavdisk_failure_handler handler = nullptr;
thread_local void *handlerContext = nullptr;
// A handler that makes requests of its own is not told of their failures.
thread_local bool reporting = false;

bool DebugEnvironment() {
    // Not read in a set-user-ID or set-group-ID process: its environment
    // is its caller's.
#if defined(__GLIBC__)
    const char *value = secure_getenv("TAVDISK_DEBUG");
#else
    const char *value = std::getenv("TAVDISK_DEBUG");
#endif
    return value && *value && std::strcmp(value, "0") != 0;
}

struct Name {
    DWORD code;
    const char *name;
};

// A code by its name: the value is the platform's own definition of it.
#define NAMED(code)                                                                                                    \
    Name { static_cast<DWORD>(code), #code }

// The codes the backends and the platform give the library's requests.
constexpr Name ErrorNames[] = {
    NAMED(ERROR_SUCCESS),
    NAMED(ERROR_INVALID_FUNCTION),
    NAMED(ERROR_FILE_NOT_FOUND),
    NAMED(ERROR_PATH_NOT_FOUND),
    NAMED(ERROR_TOO_MANY_OPEN_FILES),
    NAMED(ERROR_ACCESS_DENIED),
    NAMED(ERROR_INVALID_HANDLE),
    NAMED(ERROR_NOT_ENOUGH_MEMORY),
    NAMED(ERROR_INVALID_DATA),
    NAMED(ERROR_OUTOFMEMORY),
    NAMED(ERROR_NO_MORE_FILES),
    NAMED(ERROR_WRITE_PROTECT),
    NAMED(ERROR_NOT_READY),
    NAMED(ERROR_CRC),
    NAMED(ERROR_SEEK),
    NAMED(ERROR_SECTOR_NOT_FOUND),
    NAMED(ERROR_WRITE_FAULT),
    NAMED(ERROR_READ_FAULT),
    NAMED(ERROR_GEN_FAILURE),
    NAMED(ERROR_SHARING_VIOLATION),
    NAMED(ERROR_HANDLE_EOF),
    NAMED(ERROR_HANDLE_DISK_FULL),
    NAMED(ERROR_NOT_SUPPORTED),
    NAMED(ERROR_DEV_NOT_EXIST),
    NAMED(ERROR_INVALID_PARAMETER),
    NAMED(ERROR_CALL_NOT_IMPLEMENTED),
    NAMED(ERROR_SEM_TIMEOUT),
    NAMED(ERROR_INSUFFICIENT_BUFFER),
    NAMED(ERROR_INVALID_NAME),
    NAMED(ERROR_NEGATIVE_SEEK),
    NAMED(ERROR_BUSY),
    NAMED(ERROR_FILENAME_EXCED_RANGE),
    NAMED(ERROR_MORE_DATA),
    NAMED(ERROR_NO_MORE_ITEMS),
    NAMED(ERROR_INVALID_ADDRESS),
    NAMED(ERROR_INVALID_FLAGS),
    NAMED(ERROR_IO_DEVICE),
    NAMED(ERROR_NOT_FOUND),
    NAMED(ERROR_NO_SYSTEM_RESOURCES),
    NAMED(ERROR_TIMEOUT),
    NAMED(ERROR_INVALID_USER_BUFFER),
    NAMED(ERROR_NO_SUCH_DEVINST),
    NAMED(ERROR_NO_SUCH_DEVICE_INTERFACE),
};

constexpr Name ConfigRetNames[] = {
    NAMED(CR_SUCCESS),         NAMED(CR_INVALID_POINTER), NAMED(CR_INVALID_FLAG),  NAMED(CR_INVALID_DEVNODE),
    NAMED(CR_NO_SUCH_DEVNODE), NAMED(CR_BUFFER_SMALL),    NAMED(CR_NO_SUCH_VALUE),
};

constexpr Name ControlCodes[] = {
    NAMED(IOCTL_STORAGE_QUERY_PROPERTY),
    NAMED(IOCTL_STORAGE_GET_DEVICE_NUMBER),
    NAMED(SMART_GET_VERSION),
    NAMED(SMART_RCV_DRIVE_DATA),
    NAMED(SMART_SEND_DRIVE_COMMAND),
    NAMED(IOCTL_DISK_CONTROLLER_NUMBER),
    NAMED(IOCTL_DISK_IS_WRITABLE),
    NAMED(IOCTL_DISK_GET_DRIVE_LAYOUT_EX),
    NAMED(IOCTL_SCSI_GET_ADDRESS),
    NAMED(IOCTL_SCSI_PASS_THROUGH_DIRECT),
    NAMED(IOCTL_DISK_GET_DRIVE_GEOMETRY),
    NAMED(IOCTL_DISK_GET_DRIVE_GEOMETRY_EX),
    NAMED(IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS),
    NAMED(FSCTL_LOCK_VOLUME),
    NAMED(FSCTL_UNLOCK_VOLUME),
};
#undef NAMED

template <size_t N> const char *Find(const Name (&names)[N], DWORD code) {
    for (const Name &n : names)
        if (n.code == code)
            return n.name;
    return nullptr;
}

} // namespace

std::string CodeText(DWORD code) {
    // Codes of the device set-up services carry flags in their high bits.
    if (code <= 0xFFFF)
        return std::to_string(code);
    char text[16];
    std::snprintf(text, sizeof text, "0x%08lX", static_cast<unsigned long>(code));
    return text;
}

void SetHandler(tavdisk_failure_handler h, void *context) {
    handler = h;
    handlerContext = context;
}

bool Listening() { return !reporting && (handler || DebugEnvironment()); }

const char *ErrorName(DWORD code, Code kind) {
    const char *name = kind == Code::ConfigRet ? Find(ConfigRetNames, code) : Find(ErrorNames, code);
    return name ? name : "";
}

const char *ControlCodeName(DWORD code) { return Find(ControlCodes, code); }

std::string Utf8(const wchar_t *text, size_t length, bool oneLine) {
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        auto unit = static_cast<uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i]));
        if constexpr (sizeof(wchar_t) == 2) {
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
                auto low = static_cast<uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(text[i + 1]));
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    TavProtocol::AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
        }
        // A unit that is no character becomes U+FFFD; so does a control
        // character, which would break a one-line report.
        if ((oneLine && (unit < 0x20 || unit == 0x7F)) || (unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF)
            unit = 0xFFFD;
        TavProtocol::AppendUtf8(out, unit);
    }
    return out;
}

std::string Utf8(const wchar_t *text) {
    size_t length = 0;
    while (text && length < 32768 && text[length] != 0)
        ++length;
    return Utf8(text, length, true);
}

void Report(const char *request, const char *detail, const std::string &target, DWORD code, Code kind) noexcept {
    if (reporting)
        return;
    reporting = true;
    try {
        std::string what = request;
        if (detail) {
            what += ' ';
            what += detail;
        }
        const char *name = ErrorName(code, kind);
        std::string line = "TavDiskLib: " + what;
        if (!target.empty())
            line += " on " + target;
        line += kind == Code::ConfigRet ? " failed with CONFIGRET " : " failed with error ";
        line += CodeText(code);
        if (*name)
            line += std::string(" (") + name + ")";
        if (DebugEnvironment()) {
            std::string out = line + "\n";
            std::fwrite(out.data(), 1, out.size(), stderr);
            std::fflush(stderr);
        }
        if (handler) {
            tavdisk_failure failure{what.c_str(), target.c_str(), code, name, line.c_str()};
            handler(&failure, handlerContext);
        }
    } catch (...) {
        // No memory for the report: it is dropped.
    }
    reporting = false;
}

} // namespace TavDiagnostics
