// SPDX-License-Identifier: MIT
// Runs a command over a recorded machine: loads <trees>/<name>.tree with
// the replay loader of the Linux backend's tests and runs the command with
// TAVDISK_ROOT naming the loaded tree (removed again afterwards).
//
//   replay NAME COMMAND [ARGUMENT...]
//
// run.sh uses it to run tavdisk over the recordings the guest made and to
// compare the answers with those tavdisk gave on the emulated hardware.
#include "ReplayTree.h"

#include <cstdio>
#include <cstdlib>
#include <exception>
#include <string>
#include <sys/wait.h>

namespace {

std::string Quote(const std::string &word) {
    std::string out = "'";
    for (char c : word) {
        if (c == '\'')
            out += "'\\''";
        else
            out += c;
    }
    return out + "'";
}

} // namespace

int main(int argc, char **argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: replay NAME COMMAND [ARGUMENT...]\n");
        return 2;
    }
    try {
        TavReplay::Tree tree(argv[1]);
        TavReplay::ScopedRoot root(tree.Root());
        std::string command;
        for (int i = 2; i < argc; ++i)
            command += Quote(argv[i]) + " ";
        int status = std::system(command.c_str());
        if (status == -1 || !WIFEXITED(status))
            return 2;
        return WEXITSTATUS(status);
    } catch (const std::exception &e) {
        std::fprintf(stderr, "replay: %s\n", e.what());
        return 2;
    }
}
