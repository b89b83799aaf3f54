// SPDX-License-Identifier: MIT
// Comparing GUIDs (the platform's GUID record, or any record with its four
// fields) without the platform's headers.
#ifndef TAVDISKLIB_PROTOCOL_GUID_H
#define TAVDISKLIB_PROTOCOL_GUID_H

#include <cstdint>
#include <cstdio>
#include <string>

namespace TavProtocol {

// Field by field, so that padding (there is none in the platform's layout)
// could never decide.
template <class Guid> bool SameGuid(const Guid &a, const Guid &b) {
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
}

// A GUID as text, "01234567-89AB-CDEF-0123-456789ABCDEF" (upper case).
template <class Guid> std::string GuidText(const Guid &g) {
    char text[37];
    std::snprintf(text, sizeof text, "%08X-%04X-%04X-%02X%02X-%02X%02X%02X%02X%02X%02X", unsigned(g.Data1),
                  unsigned(g.Data2), unsigned(g.Data3), g.Data4[0], g.Data4[1], g.Data4[2], g.Data4[3], g.Data4[4],
                  g.Data4[5], g.Data4[6], g.Data4[7]);
    return text;
}

// Reads GUID text (either case) into *g; false, *g untouched, when `text`
// is not exactly 36 characters in that form.
template <class Guid> bool ParseGuid(const std::string &text, Guid *g) {
    if (text.size() != 36)
        return false;
    uint8_t bytes[16];
    size_t at = 0;
    for (size_t i = 0; i < 16; ++i) {
        if (at == 8 || at == 13 || at == 18 || at == 23) {
            if (text[at] != '-')
                return false;
            ++at;
        }
        int value = 0;
        for (int k = 0; k < 2; ++k) {
            const char c = text[at++];
            const int digit = c >= '0' && c <= '9'   ? c - '0'
                              : c >= 'a' && c <= 'f' ? c - 'a' + 10
                              : c >= 'A' && c <= 'F' ? c - 'A' + 10
                                                     : -1;
            if (digit < 0)
                return false;
            value = value * 16 + digit;
        }
        bytes[i] = static_cast<uint8_t>(value);
    }
    g->Data1 = uint32_t{bytes[0]} << 24 | uint32_t{bytes[1]} << 16 | uint32_t{bytes[2]} << 8 | bytes[3];
    g->Data2 = static_cast<uint16_t>(bytes[4] << 8 | bytes[5]);
    g->Data3 = static_cast<uint16_t>(bytes[6] << 8 | bytes[7]);
    for (int i = 0; i < 8; ++i)
        g->Data4[i] = bytes[8 + i];
    return true;
}

} // namespace TavProtocol

#endif
