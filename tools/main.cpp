// SPDX-License-Identifier: MIT
// tavdisk: the program a user runs; everything is in TavdiskMain.
#include "cli.h"

#include <iostream>
#include <ostream>

int main(int argc, char **argv) {
    // Standard output through a buffer of the program's own, which keeps
    // the reason of a write that failed (a full disk, a closed pipe).
    tavdisk::FdOutput buffer(1);
    std::ostream out(&buffer);
    return tavdisk::TavdiskMain(argc, argv, out, std::cerr);
}
