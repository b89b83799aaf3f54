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

// The codes the backends and the platform give the library's requests.
constexpr Name ErrorNames[] = {
    {0, "ERROR_SUCCESS"},
    {1, "ERROR_INVALID_FUNCTION"},
    {2, "ERROR_FILE_NOT_FOUND"},
    {3, "ERROR_PATH_NOT_FOUND"},
    {4, "ERROR_TOO_MANY_OPEN_FILES"},
    {5, "ERROR_ACCESS_DENIED"},
    {6, "ERROR_INVALID_HANDLE"},
    {8, "ERROR_NOT_ENOUGH_MEMORY"},
    {13, "ERROR_INVALID_DATA"},
    {14, "ERROR_OUTOFMEMORY"},
    {18, "ERROR_NO_MORE_FILES"},
    {19, "ERROR_WRITE_PROTECT"},
    {21, "ERROR_NOT_READY"},
    {23, "ERROR_CRC"},
    {25, "ERROR_SEEK"},
    {27, "ERROR_SECTOR_NOT_FOUND"},
    {29, "ERROR_WRITE_FAULT"},
    {30, "ERROR_READ_FAULT"},
    {31, "ERROR_GEN_FAILURE"},
    {32, "ERROR_SHARING_VIOLATION"},
    {38, "ERROR_HANDLE_EOF"},
    {39, "ERROR_HANDLE_DISK_FULL"},
    {50, "ERROR_NOT_SUPPORTED"},
    {55, "ERROR_DEV_NOT_EXIST"},
    {87, "ERROR_INVALID_PARAMETER"},
    {120, "ERROR_CALL_NOT_IMPLEMENTED"},
    {121, "ERROR_SEM_TIMEOUT"},
    {122, "ERROR_INSUFFICIENT_BUFFER"},
    {123, "ERROR_INVALID_NAME"},
    {131, "ERROR_NEGATIVE_SEEK"},
    {170, "ERROR_BUSY"},
    {206, "ERROR_FILENAME_EXCED_RANGE"},
    {234, "ERROR_MORE_DATA"},
    {259, "ERROR_NO_MORE_ITEMS"},
    {487, "ERROR_INVALID_ADDRESS"},
    {1004, "ERROR_INVALID_FLAGS"},
    {1117, "ERROR_IO_DEVICE"},
    {1168, "ERROR_NOT_FOUND"},
    {1450, "ERROR_NO_SYSTEM_RESOURCES"},
    {1460, "ERROR_TIMEOUT"},
    {1784, "ERROR_INVALID_USER_BUFFER"},
    {0xE000020Bu, "ERROR_NO_SUCH_DEVINST"},
    {0xE0000225u, "ERROR_NO_SUCH_DEVICE_INTERFACE"},
};

constexpr Name ConfigRetNames[] = {
    {0x00, "CR_SUCCESS"},         {0x03, "CR_INVALID_POINTER"}, {0x04, "CR_INVALID_FLAG"},
    {0x05, "CR_INVALID_DEVNODE"}, {0x0D, "CR_NO_SUCH_DEVNODE"}, {0x1A, "CR_BUFFER_SMALL"},
    {0x25, "CR_NO_SUCH_VALUE"},
};

constexpr Name ControlCodes[] = {
    {0x002D1400u, "IOCTL_STORAGE_QUERY_PROPERTY"},
    {0x002D1080u, "IOCTL_STORAGE_GET_DEVICE_NUMBER"},
    {0x00074080u, "SMART_GET_VERSION"},
    {0x0007C088u, "SMART_RCV_DRIVE_DATA"},
    {0x00070044u, "IOCTL_DISK_CONTROLLER_NUMBER"},
    {0x00070024u, "IOCTL_DISK_IS_WRITABLE"},
    {0x00070050u, "IOCTL_DISK_GET_DRIVE_LAYOUT_EX"},
    {0x00041018u, "IOCTL_SCSI_GET_ADDRESS"},
    {0x0004D014u, "IOCTL_SCSI_PASS_THROUGH_DIRECT"},
    {0x00070000u, "IOCTL_DISK_GET_DRIVE_GEOMETRY"},
    {0x000700A0u, "IOCTL_DISK_GET_DRIVE_GEOMETRY_EX"},
    {0x00560000u, "IOCTL_VOLUME_GET_VOLUME_DISK_EXTENTS"},
};

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
