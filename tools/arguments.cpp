// SPDX-License-Identifier: MIT
// The arguments that name a disk and a sector, and whether a device path
// the user typed names a given disk.
#include "arguments.h"
#include "messages.h"
#include "text.h"
#include "cli.h"

#include <algorithm>
#include <cctype>
#include <filesystem>
#include <limits>

namespace tavdisk {

std::optional<uint64_t> ParseNumber(const std::string &text) {
    uint64_t base = 10;
    size_t i = 0;
    if (text.size() > 2 && text[0] == '0' && (text[1] == 'x' || text[1] == 'X')) {
        base = 16;
        i = 2;
    }
    if (i == text.size())
        return std::nullopt;
    uint64_t value = 0;
    for (; i < text.size(); ++i) {
        char c = text[i];
        uint64_t digit;
        if (c >= '0' && c <= '9')
            digit = static_cast<uint64_t>(c - '0');
        else if (base == 16 && c >= 'a' && c <= 'f')
            digit = static_cast<uint64_t>(c - 'a' + 10);
        else if (base == 16 && c >= 'A' && c <= 'F')
            digit = static_cast<uint64_t>(c - 'A' + 10);
        else
            return std::nullopt;
        if (value > (std::numeric_limits<uint64_t>::max() - digit) / base)
            return std::nullopt;
        value = value * base + digit;
    }
    return value;
}

std::optional<DiskArg> ParseDisk(const std::string &text, std::ostream &err) {
    DiskArg name;
    name.text = text;
    if (!text.empty() && text[0] >= '0' && text[0] <= '9') {
        std::optional<uint64_t> n = ParseNumber(text);
        if (!n || *n > std::numeric_limits<ULONG>::max()) {
            Fail(err, ExitUsage, "disk number " + Quoted(text) + " is not a number from 0 to 4294967295");
            return std::nullopt;
        }
        name.number = static_cast<ULONG>(*n);
        return name;
    }
    if (text.find_first_of("/\\") == std::string::npos) {
#if !defined(_WIN32)
        // A kernel name: sda, nvme0n1, loop16.
        if (!text.empty() && text.find_first_not_of("abcdefghijklmnopqrstuvwxyz0123456789-_.:") == std::string::npos &&
            text != "." && text != "..") {
            name.path = "/dev/" + text;
            return name;
        }
#endif
        Fail(err, ExitUsage,
             "disk " + Quoted(text) +
                 " is neither a disk number, a kernel name nor a device path (see 'tavdisk list')");
        return std::nullopt;
    }
    name.path = text;
    return name;
}

std::optional<uint64_t> ParseSector(const std::string &text, std::ostream &err) {
    std::optional<uint64_t> s = ParseNumber(text);
    if (!s)
        Fail(err, ExitUsage, "sector " + Quoted(text) + " is not a non-negative number");
    return s;
}

#if defined(_WIN32)
bool EqualNoCase(const std::string &a, const std::string &b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}
#endif

// Whether `wanted` (a device path the user typed) names `drive`, whose
// device path is `diskPath`: the same path; on Windows also without regard
// to case, or as \\.\PhysicalDriveN with the drive's device number;
// elsewhere also through symbolic links (/dev/disk/by-id/...).
bool NamesPath(const std::string &wanted, const std::string &diskPath) {
    if (wanted == diskPath)
        return true;
#if defined(_WIN32)
    return EqualNoCase(wanted, diskPath);
#else
    std::error_code ec;
    std::filesystem::path canonical = std::filesystem::canonical(wanted, ec);
    return !ec && canonical.string() == diskPath;
#endif
}

bool NamesDisk(const std::string &wanted, const std::string &diskPath, Drive &drive) {
    if (NamesPath(wanted, diskPath))
        return true;
#if defined(_WIN32)
    const std::string prefix = "\\\\.\\PhysicalDrive";
    if (wanted.size() > prefix.size() && EqualNoCase(wanted.substr(0, prefix.size()), prefix)) {
        std::optional<uint64_t> n = ParseNumber(wanted.substr(prefix.size()));
        if (!n || (wanted[prefix.size()] == '0' && wanted.size() > prefix.size() + 1))
            return false;
        ClearLastError();
        ULONG number = drive.GetDriveNumber();
        return LastError() == ERROR_SUCCESS && number == *n;
    }
    return false;
#else
    (void)drive;
    return false;
#endif
}

} // namespace tavdisk
