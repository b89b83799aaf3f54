// SPDX-License-Identifier: MIT
// Bytes written as hex text ("00 83 00 60 ..."), as answers recorded from
// devices are kept in the tests.
#ifndef TAVDISKLIB_TESTS_HEXBYTES_H
#define TAVDISKLIB_TESTS_HEXBYTES_H

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

using ByteList = std::vector<uint8_t>;

inline ByteList Hex(const std::string &text) {
    std::istringstream in(text);
    ByteList bytes;
    unsigned value = 0;
    while (in >> std::hex >> value)
        bytes.push_back(static_cast<uint8_t>(value));
    return bytes;
}

#endif
