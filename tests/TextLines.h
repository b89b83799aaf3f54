// SPDX-License-Identifier: MIT
// Splitting captured output into lines, for tests that read what a program
// printed.
#ifndef TAVDISK_TESTS_TEXTLINES_H
#define TAVDISK_TESTS_TEXTLINES_H

#include <sstream>
#include <string>
#include <vector>

namespace TavTest {

// The lines of `text`, without their line ends; a last line without one
// counts too.
inline std::vector<std::string> Lines(const std::string &text) {
    std::vector<std::string> lines;
    std::istringstream in(text);
    for (std::string line; std::getline(in, line);)
        lines.push_back(line);
    return lines;
}

} // namespace TavTest

#endif
