// SPDX-License-Identifier: MIT
// Text for a terminal and for messages (text.cpp).
#ifndef TAVDISK_TOOLS_TEXT_H
#define TAVDISK_TOOLS_TEXT_H

#include <cstddef>
#include <string>

namespace tavdisk {

// UTF-8 text (paths, mount points, descriptions) for a terminal: only the
// control characters are escaped.
std::string EscapeText(const std::string &text);
// Terminal columns taken by UTF-8 text (one per code point; good enough for
// the paths and names a disk table holds).
size_t DisplayWidth(const std::string &text);
// An argument as the user gave it, quoted for a message: control bytes and
// backslashes escaped, so that nothing typed reaches the terminal raw.
std::string Quoted(const std::string &text);

} // namespace tavdisk

#endif
