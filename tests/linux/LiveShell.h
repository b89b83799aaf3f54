// SPDX-License-Identifier: MIT
// Shell helpers of the live tests, which set up loop devices, partitions and
// mounts with the system's own tools.
#ifndef TAVDISK_TESTS_LINUX_LIVESHELL_H
#define TAVDISK_TESTS_LINUX_LIVESHELL_H

#include <chrono>
#include <cstdio>
#include <string>
#include <sys/wait.h>
#include <thread>

namespace TavLinuxTest {

// Runs a command under /bin/sh with stderr folded into stdout; the exit
// status, or -1 when it did not exit normally.
inline int Shell(const std::string &command, std::string *output = nullptr) {
    FILE *p = popen((command + " 2>&1").c_str(), "r");
    if (!p)
        return -1;
    std::string text;
    char chunk[4096];
    size_t n;
    while ((n = fread(chunk, 1, sizeof chunk, p)) > 0)
        text.append(chunk, n);
    int status = pclose(p);
    if (output)
        *output = text;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -1;
}

// A word quoted for the shell.
inline std::string Quote(const std::string &s) {
    std::string q = "'";
    for (char c : s)
        q += c == '\'' ? std::string("'\\''") : std::string(1, c);
    return q + "'";
}

inline std::string Trim(std::string s) {
    while (!s.empty() && (s.back() == '\n' || s.back() == ' '))
        s.pop_back();
    return s;
}

// Removes every partition the kernel lists for a loop device, trying again
// while another process (a test listing every disk) holds one open: a
// partition left behind outlives the device's release and shows on the next
// image attached to the same device.
inline void DropPartitions(const std::string &device) {
    const std::string name = device.substr(device.rfind('/') + 1);
    for (int attempt = 0; attempt < 50; ++attempt) {
        Shell("partx -d " + device);
        if (Shell("ls -d /sys/block/" + name + "/" + name + "p*") != 0)
            return;
        std::this_thread::sleep_for(std::chrono::milliseconds(40));
    }
}

} // namespace TavLinuxTest

#endif
