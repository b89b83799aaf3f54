// SPDX-License-Identifier: MIT
// Text conversions: wide text and device bytes to UTF-8, escaping for a
// terminal, byte counts in binary units.
#include "text.h"
#include "cli.h"
#include "TavDiskLib/protocol/Utf8.h"

#include <algorithm>
#include <cstdio>
#include <type_traits>

namespace tavdisk {

using TavProtocol::AppendUtf8;

namespace {

uint32_t WideUnit(wchar_t c) { return static_cast<uint32_t>(static_cast<std::make_unsigned_t<wchar_t>>(c)); }

} // namespace

std::string WideToUtf8(const wchar_t *text, size_t length) {
    constexpr uint32_t Replacement = 0xFFFD;
    std::string out;
    out.reserve(length);
    for (size_t i = 0; i < length; ++i) {
        uint32_t unit = WideUnit(text[i]);
        if constexpr (sizeof(wchar_t) == 2) {
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < length) {
                uint32_t low = WideUnit(text[i + 1]);
                if (low >= 0xDC00 && low <= 0xDFFF) {
                    AppendUtf8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                    ++i;
                    continue;
                }
            }
        }
        if ((unit >= 0xD800 && unit <= 0xDFFF) || unit > 0x10FFFF)
            unit = Replacement;
        AppendUtf8(out, unit);
    }
    return out;
}

std::string BytesToUtf8(const std::string &bytes) {
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes)
        AppendUtf8(out, static_cast<unsigned char>(c));
    return out;
}

std::string EscapeBytes(const std::string &bytes) {
    static const char Hex[] = "0123456789abcdef";
    std::string out;
    out.reserve(bytes.size());
    for (char c : bytes) {
        auto b = static_cast<unsigned char>(c);
        if (b == '\\') {
            out += "\\\\";
        } else if (b >= 0x20 && b < 0x7F) {
            out += c;
        } else {
            out += "\\x";
            out += Hex[b >> 4];
            out += Hex[b & 0xF];
        }
    }
    return out;
}

std::string HumanBytes(uint64_t bytes) {
    static const char *const Units[] = {"B", "KiB", "MiB", "GiB", "TiB", "PiB", "EiB"};
    if (bytes < 1024)
        return std::to_string(bytes) + " B";
    double value = static_cast<double>(bytes);
    size_t unit = 0;
    while (value >= 1024.0 && unit + 1 < sizeof Units / sizeof Units[0]) {
        value /= 1024.0;
        ++unit;
    }
    char text[32];
    std::snprintf(text, sizeof text, "%.1f %s", value, Units[unit]);
    return text;
}

std::string EscapeText(const std::string &text) {
    std::string out;
    for (char c : text) {
        auto b = static_cast<unsigned char>(c);
        if (b < 0x20 || b == 0x7F)
            out += EscapeBytes(std::string(1, c));
        else
            out += c;
    }
    return out;
}

size_t DisplayWidth(const std::string &text) {
    return static_cast<size_t>(
        std::count_if(text.begin(), text.end(), [](char c) { return (static_cast<unsigned char>(c) & 0xC0) != 0x80; }));
}

std::string Quoted(const std::string &text) { return "'" + EscapeBytes(text) + "'"; }

} // namespace tavdisk
