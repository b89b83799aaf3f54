// SPDX-License-Identifier: MIT
// Text of the Linux backend: UTF-8 to wide text and back (bytes that are no
// valid UTF-8 survive the round trip), wide strings into caller buffers,
// fields of a line, and the natural order of kernel names.
#include "Text.h"
#include "../../protocol/Utf8.h"

#include <cwchar>

namespace TavLinux {

std::wstring Widen(const std::string &text) {
    std::wstring out;
    out.reserve(text.size());
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = p[i];
        size_t extra = 0;
        uint32_t cp = 0, min = 0;
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1Fu, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0Fu, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07u, min = 0x10000;
        } else {
            extra = 0;
        }
        bool good = extra > 0 && i + extra < n;
        for (size_t k = 1; good && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                good = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        if (good && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            good = false;
        if (good) {
            out.push_back(static_cast<wchar_t>(cp));
            i += extra + 1;
        } else {
            out.push_back(static_cast<wchar_t>(0xDC00 + b));
            ++i;
        }
    }
    return out;
}

std::string Narrow(const std::wstring &text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<uint32_t>(wc);
        if (c >= 0xDC80 && c <= 0xDCFF)
            out.push_back(static_cast<char>(c - 0xDC00)); // a byte Widen() found no UTF-8
        else if (c <= 0x10FFFF)
            TavProtocol::AppendUtf8(out, c);
        else
            out.push_back('?');
    }
    return out;
}

size_t CopyWide(const std::wstring &text, WCHAR *buffer, size_t capacity) {
    size_t needed = text.size() + 1;
    if (buffer && capacity >= needed) {
        std::wmemcpy(buffer, text.c_str(), needed);
    }
    return needed;
}

std::vector<std::string> SplitFields(const std::string &text, char separator) {
    std::vector<std::string> fields;
    size_t at = 0;
    while (at < text.size()) {
        size_t end = text.find(separator, at);
        if (end == std::string::npos)
            end = text.size();
        if (end > at)
            fields.push_back(text.substr(at, end - at));
        at = end + 1;
    }
    return fields;
}

bool NaturalLess(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        bool da = digit(a[i]), db = digit(b[j]);
        size_t ei = i, ej = j;
        while (ei < a.size() && digit(a[ei]) == da)
            ++ei;
        while (ej < b.size() && digit(b[ej]) == db)
            ++ej;
        if (da != db)
            return da; // numbers before letters
        if (da) {
            // Numbers by value: without leading zeros, the shorter is the smaller.
            size_t za = i, zb = j;
            while (za < ei && a[za] == '0')
                ++za;
            while (zb < ej && b[zb] == '0')
                ++zb;
            if (ei - za != ej - zb)
                return ei - za < ej - zb;
            int c = a.compare(za, ei - za, b, zb, ej - zb);
            if (c != 0)
                return c < 0;
        } else {
            // Letter runs: shorter first, so that sdz comes before sdaa.
            if (ei - i != ej - j)
                return ei - i < ej - j;
            int c = a.compare(i, ei - i, b, j, ej - j);
            if (c != 0)
                return c < 0;
        }
        i = ei, j = ej;
    }
    if ((a.size() - i) != (b.size() - j))
        return a.size() - i < b.size() - j;
    return a < b;
}

} // namespace TavLinux
