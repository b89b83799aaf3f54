// SPDX-License-Identifier: MIT
// Text of the Linux backend: UTF-8 and wide text, fields of a line, the
// natural order of kernel names.
#ifndef TAVDISKLIB_PLATFORM_LINUX_TEXT_H
#define TAVDISKLIB_PLATFORM_LINUX_TEXT_H

#include "../types.h"

#include <cstddef>
#include <string>
#include <vector>

namespace TavLinux {

// UTF-8 to wide text; a byte that is not part of valid UTF-8 becomes
// U+DC00 + byte, so that Narrow() gives the same bytes back.
std::wstring Widen(const std::string &text);
std::string Narrow(const std::wstring &text);
// Copies `text` and a terminator into a wide buffer of `capacity` characters
// when it fits; returns the characters needed, terminator included.
size_t CopyWide(const std::wstring &text, WCHAR *buffer, size_t capacity);
// The non-empty pieces of `text` between separators, in order.
std::vector<std::string> SplitFields(const std::string &text, char separator);
// Orders kernel names as people count them: sda < sdb < sdz < sdaa, loop2 < loop10.
bool NaturalLess(const std::string &a, const std::string &b);

} // namespace TavLinux

#endif
