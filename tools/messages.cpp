// SPDX-License-Identifier: MIT
// Messages: errors and notes, the last-error code in words, the rights a
// disk needs, and the end of a command that must see its output written.
#include "messages.h"
#include "cli.h"
#include "collect.h"
#include "text.h"

#include <cerrno>
#include <cstring>

#if defined(_WIN32)
#include <io.h>
#else
#include <unistd.h>
#endif

namespace tavdisk {

int Fail(std::ostream &err, int code, const std::string &message) {
    err << "tavdisk: " << message << "\n";
    return code;
}

std::string DiskName(const DiskFacts &d) {
    return "disk " + std::to_string(d.number) + (d.path ? " (" + EscapeText(*d.path) + ")" : "");
}

bool FdOutput::Drain(const char *data, size_t count) {
    while (count > 0 && error_ == 0) {
#if defined(_WIN32)
        int chunk = count > (1u << 30) ? (1 << 30) : static_cast<int>(count);
        auto n = _write(fd_, data, static_cast<unsigned>(chunk));
#else
        ssize_t n = ::write(fd_, data, count);
#endif
        if (n < 0 && errno == EINTR)
            continue;
        if (n <= 0) {
            error_ = n < 0 && errno != 0 ? errno : EIO;
            break;
        }
        data += n;
        count -= static_cast<size_t>(n);
    }
    return error_ == 0;
}

FdOutput::int_type FdOutput::overflow(int_type c) {
    if (sync() != 0)
        return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) {
        *pptr() = traits_type::to_char_type(c);
        pbump(1);
    }
    return traits_type::not_eof(c);
}

int FdOutput::sync() {
    bool ok = Drain(pbase(), static_cast<size_t>(pptr() - pbase()));
    setp(buffer_, buffer_ + sizeof buffer_);
    return ok ? 0 : -1;
}

std::streamsize FdOutput::xsputn(const char *data, std::streamsize count) {
    if (count >= static_cast<std::streamsize>(sizeof buffer_)) {
        if (sync() != 0 || !Drain(data, static_cast<size_t>(count)))
            return 0;
        return count;
    }
    return std::streambuf::xsputn(data, count);
}

int Finish(int code, std::ostream &out, std::ostream &err) {
    errno = 0;
    out.flush();
    if (out.fail()) {
        // The reason the buffer kept when it writes to a file itself, else
        // what the flush left.
        auto *fd = dynamic_cast<FdOutput *>(out.rdbuf());
        int e = fd && fd->Error() ? fd->Error() : errno;
        return Fail(err, ExitFailure,
                    std::string("cannot write the output") + (e ? std::string(": ") + std::strerror(e) : ""));
    }
    return code;
}

std::optional<bool> Privileged() {
#if defined(_WIN32)
    return std::nullopt;
#else
    return geteuid() == 0;
#endif
}

std::string MissingRight() {
#if defined(_WIN32)
    return "administrator rights";
#else
    return geteuid() == 0 ? std::string() : "root";
#endif
}

std::string AccessAdvice() {
    std::string right = MissingRight();
    return right.empty() ? std::string()
                         : ": needs " + right + " (try again as " +
                               (right == "root" ? "root, e.g. with sudo)" : "administrator)");
}

std::string ErrorText(DWORD code) {
    static const struct {
        DWORD code;
        const char *words;
    } Words[] = {
        {1, "not supported by the device"},
        {2, "no such device"},
        {3, "no such path"},
        {5, "access denied"},
        {6, "invalid handle"},
        {8, "not enough memory"},
        {14, "not enough memory"},
        {19, "read-only (write-protected)"},
        {21, "device not ready (no medium)"},
        {23, "data error (CRC)"},
        {25, "seek error"},
        {27, "sector not found"},
        {29, "write fault"},
        {30, "read fault"},
        {31, "device not functioning"},
        {32, "in use by another process"},
        {38, "end of the disk"},
        {39, "disk full"},
        {50, "not supported"},
        {55, "the device no longer exists"},
        {87, "invalid parameter"},
        {112, "disk full"},
        {121, "timed out"},
        {170, "device busy"},
        {1117, "I/O error"},
        {1460, "timed out"},
    };
    for (const auto &w : Words)
        if (w.code == code)
            return std::string(w.words) + " (error " + std::to_string(code) + ")";
    return "error " + std::to_string(code);
}

std::string Because(std::optional<DWORD> code, const std::string &request) {
    if (!code || *code == ERROR_SUCCESS)
        return std::string();
    return ": " + (request.empty() ? std::string() : request + " failed: ") + ErrorText(*code);
}

} // namespace tavdisk
