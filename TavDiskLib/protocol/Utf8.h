// SPDX-License-Identifier: MIT
// UTF-8: the one encoder of code points, for the library's texts and
// reports and for the backends.
#ifndef TAVDISKLIB_PROTOCOL_UTF8_H
#define TAVDISKLIB_PROTOCOL_UTF8_H

#include <cstdint>
#include <string>

namespace TavProtocol {

// Appends code point `cp` (at most U+10FFFF) in UTF-8; a surrogate code
// point takes its three bytes.
inline void AppendUtf8(std::string &out, uint32_t cp) {
    if (cp < 0x80) {
        out += static_cast<char>(cp);
    } else if (cp < 0x800) {
        out += static_cast<char>(0xC0 | (cp >> 6));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else if (cp < 0x10000) {
        out += static_cast<char>(0xE0 | (cp >> 12));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    } else {
        out += static_cast<char>(0xF0 | (cp >> 18));
        out += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        out += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        out += static_cast<char>(0x80 | (cp & 0x3F));
    }
}

} // namespace TavProtocol

#endif
