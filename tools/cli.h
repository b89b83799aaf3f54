// SPDX-License-Identifier: MIT
// tavdisk: the command-line program over TavDiskLib's public API.
//
// The whole program lives in TavdiskMain so that it can be driven with any
// build of the library (the real backend for the installed program, the
// simulated machine for the tests) and with any pair of output streams.
#ifndef TAVDISK_TOOLS_CLI_H
#define TAVDISK_TOOLS_CLI_H

#include <cstdint>
#include <iosfwd>
#include <streambuf>
#include <string>

namespace tavdisk {

// Exit codes of the program.
constexpr int ExitOk = 0;
constexpr int ExitFailure = 1; // the command could not be carried out on this machine
constexpr int ExitUsage = 2;   // the command line itself is wrong

// Version of the JSON document written by `list --json` and `show --json`.
// Raised only when a field changes meaning or disappears; adding a field
// keeps the version.
constexpr int JsonSchemaVersion = 3;

// Runs the program with the given arguments (argv[0] is the program name).
// Normal output goes to `out`; error lines ("tavdisk: ...") and notes go to
// `err`. Returns the exit code.
int TavdiskMain(int argc, char **argv, std::ostream &out, std::ostream &err);

// Output to a file descriptor (main.cpp's stdout) that keeps the system's
// reason (errno) for the first write that failed, so that the message for
// output that could not be written can say why however late it is noticed.
class FdOutput : public std::streambuf {
public:
    explicit FdOutput(int fd) : fd_(fd) { setp(buffer_, buffer_ + sizeof buffer_); }
    ~FdOutput() override { sync(); }
    FdOutput(const FdOutput &) = delete;
    FdOutput &operator=(const FdOutput &) = delete;
    int Error() const { return error_; } // 0 while every write succeeded

protected:
    int_type overflow(int_type c) override;
    int sync() override;
    std::streamsize xsputn(const char *data, std::streamsize count) override;

private:
    bool Drain(const char *data, size_t count);
    int fd_;
    int error_ = 0;
    char buffer_[8192];
};

// Text conversions, exposed for the tests.
// Wide text as the library delivers it (UTF-32 where wchar_t is 32 bits,
// UTF-16 where it is 16 bits) to UTF-8; ill-formed units become U+FFFD.
std::string WideToUtf8(const wchar_t *text, size_t length);
// Device bytes to UTF-8, one character U+0000-U+00FF per byte, so that any
// byte string gives valid UTF-8 and the bytes can be recovered.
std::string BytesToUtf8(const std::string &bytes);
// Device bytes for a terminal: printable ASCII stays, a backslash becomes
// "\\", every other byte "\xHH".
std::string EscapeBytes(const std::string &bytes);
// Byte count in binary units with one decimal ("465.8 GiB", "512 B").
std::string HumanBytes(uint64_t bytes);

} // namespace tavdisk

#endif
