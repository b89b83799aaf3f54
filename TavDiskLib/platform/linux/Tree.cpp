// SPDX-License-Identifier: MIT
// Files below the root prefix (Root.h): whole files and
// sysfs attributes, numbers as sysfs writes them, directory listings, links
// resolved without leaving the root, and positioned reads and writes that
// go on until done.
#include "Tree.h"
#include "Text.h"

#include <algorithm>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

namespace TavLinux {

namespace {
// The first read that failed on this thread since the innermost FailedReads
// began (an errno; 0 for none).
thread_local int t_failedRead = 0;
} // namespace

void NoteFailedRead(int error) {
    switch (error) {
    case 0:
    case ENOENT: // not there
    case ENOTDIR:
    case ENODEV:
    case ENXIO:
    case ENOMEDIUM:
    case ELOOP:  // a link that leads nowhere
    case EINVAL: // no link where a link may be
    case EOPNOTSUPP:
    case ENOTTY: return;
    default:
        if (t_failedRead == 0)
            t_failedRead = error;
    }
}

FailedReads::FailedReads() : saved(t_failedRead) { t_failedRead = 0; }

FailedReads::~FailedReads() {
    // An enclosing one learns of what failed here.
    if (saved != 0)
        t_failedRead = saved;
}

int FailedReads::First() const { return t_failedRead; }

namespace {

// The content of an open file, at most `limit` bytes. With `shortIsEnd`, a
// read that returns less than asked ends the content: true of regular files
// and of sysfs attributes (a text attribute comes whole from one read, a
// binary one a page at a time), not of the longer tables in /proc.
std::optional<std::string> ReadOpen(int fd, size_t limit, bool shortIsEnd) {
    std::string out;
    char chunk[4096];
    while (out.size() < limit) {
        size_t want = std::min(sizeof chunk, limit - out.size());
        ssize_t got = ::read(fd, chunk, want);
        if (got < 0) {
            if (errno == EINTR)
                continue;
            NoteFailedRead(errno);
            return std::nullopt;
        }
        if (got == 0)
            break;
        out.append(chunk, static_cast<size_t>(got));
        if (shortIsEnd && static_cast<size_t>(got) < want)
            break;
    }
    return out;
}

std::optional<std::string> ReadWholeFileAt(int directory, const char *file, size_t limit, bool checkType,
                                           bool shortIsEnd) {
    int fd = ::openat(directory, file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        NoteFailedRead(errno);
        return std::nullopt;
    }
    if (checkType) {
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            NoteFailedRead(errno);
            ::close(fd);
            return std::nullopt;
        }
        if (S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
            ::close(fd);
            return std::nullopt;
        }
    }
    auto out = ReadOpen(fd, limit, shortIsEnd);
    ::close(fd);
    return out;
}

std::optional<std::string> ReadWholeFile(const std::string &file, size_t limit, bool checkType, bool shortIsEnd) {
    return ReadWholeFileAt(AT_FDCWD, file.c_str(), limit, checkType, shortIsEnd);
}

std::optional<std::string> WithoutNewline(std::optional<std::string> text) {
    if (text && !text->empty() && text->back() == '\n')
        text->pop_back();
    return text;
}

} // namespace

std::optional<std::string> ReadBytes(const std::string &file, size_t limit) {
    return ReadWholeFile(file, limit, true, false);
}

std::optional<std::string> ReadAttr(const Root &root, const std::string &path) {
    return WithoutNewline(ReadWholeFile(root.At(path), 64 * 1024, true, true));
}

std::optional<std::string> ReadTreeAttr(const Root &root, const std::string &path, bool liveTree) {
    // The live sysfs holds nothing but attributes, directories and links:
    // its files need no check of their type first.
    return WithoutNewline(ReadWholeFile(root.At(path), 64 * 1024, !liveTree, true));
}

std::optional<std::string> ReadAttrAt(int directory, const char *name, bool checkType) {
    return WithoutNewline(ReadWholeFileAt(directory, name, 64 * 1024, checkType, true));
}

std::optional<uint64_t> ParseNumber(const std::optional<std::string> &text) {
    if (!text)
        return std::nullopt;
    const char *s = text->c_str();
    while (*s == ' ')
        ++s;
    if (!*s || *s == '-')
        return std::nullopt;
    char *end = nullptr;
    errno = 0;
    unsigned long long v = std::strtoull(s, &end, 0);
    if (errno != 0 || end == s)
        return std::nullopt;
    return static_cast<uint64_t>(v);
}

std::optional<uint64_t> ReadNumber(const Root &root, const std::string &path) {
    return ParseNumber(ReadAttr(root, path));
}

uint64_t SectorCount(std::optional<uint64_t> n) { return n.value_or(0) > (uint64_t{1} << 54) ? 0 : n.value_or(0); }

uint64_t Sectors(const Root &root, const std::string &path) { return SectorCount(ReadNumber(root, path)); }

namespace {
bool StatNoting(const std::string &path, struct stat &st) {
    if (::stat(path.c_str(), &st) == 0)
        return true;
    NoteFailedRead(errno);
    return false;
}
} // namespace

bool Exists(const Root &root, const std::string &path) {
    struct stat st {};
    return StatNoting(root.At(path), st);
}

bool IsDirectory(const Root &root, const std::string &path) {
    struct stat st {};
    return StatNoting(root.At(path), st) && S_ISDIR(st.st_mode);
}

std::vector<std::pair<std::string, uint64_t>> ListDirectoryInodes(const Root &root, const std::string &path) {
    std::vector<std::pair<std::string, uint64_t>> entries;
    int fd = ::open(root.At(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0) {
        NoteFailedRead(errno);
        return entries;
    }
    alignas(8) char buffer[32768];
    while (true) {
        ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
        if (got < 0)
            NoteFailedRead(errno);
        if (got <= 0)
            break;
        const auto size = static_cast<size_t>(got);
        const size_t nameAt = offsetof(struct dirent64, d_name);
        size_t at = 0;
        while (at + nameAt < size) {
            unsigned short length = 0;
            uint64_t inode = 0;
            std::memcpy(&length, buffer + at + offsetof(struct dirent64, d_reclen), sizeof length);
            std::memcpy(&inode, buffer + at + offsetof(struct dirent64, d_ino), sizeof inode);
            if (length <= nameAt || length > size - at)
                break;
            const char *name = buffer + at + nameAt;
            size_t nameLength = strnlen(name, length - nameAt);
            if (nameLength < length - nameAt) {
                std::string n(name, nameLength);
                if (n != "." && n != "..")
                    entries.emplace_back(std::move(n), inode);
            }
            at += length;
        }
    }
    ::close(fd);
    std::sort(entries.begin(), entries.end(),
              [](const auto &a, const auto &b) { return NaturalLess(a.first, b.first); });
    return entries;
}

std::vector<std::string> ListDirectory(const Root &root, const std::string &path) {
    std::vector<std::string> names;
    for (auto &entry : ListDirectoryInodes(root, path))
        names.push_back(std::move(entry.first));
    return names;
}

std::string LinkName(const Root &root, const std::string &path) {
    char target[4096];
    ssize_t n = ::readlink(root.At(path).c_str(), target, sizeof target - 1);
    if (n < 0)
        NoteFailedRead(errno);
    if (n <= 0)
        return {};
    return BaseName(std::string(target, static_cast<size_t>(n)));
}

std::string BaseName(const std::string &path) {
    std::string p = path;
    while (p.size() > 1 && p.back() == '/')
        p.pop_back();
    size_t slash = p.rfind('/');
    return slash == std::string::npos ? p : p.substr(slash + 1);
}

std::string DirName(const std::string &path) {
    size_t slash = path.rfind('/');
    if (slash == std::string::npos)
        return ".";
    if (slash == 0)
        return "/";
    return path.substr(0, slash);
}

std::optional<std::string> Resolve(const Root &root, const std::string &path) {
    std::deque<std::string> todo;
    auto pushFront = [&todo](const std::string &p) {
        std::vector<std::string> parts = SplitFields(p, '/');
        todo.insert(todo.begin(), parts.begin(), parts.end());
    };
    pushFront(path);
    std::vector<std::string> done;
    auto join = [&done]() {
        std::string s;
        for (const auto &c : done)
            s += "/" + c;
        return s.empty() ? std::string("/") : s;
    };
    int links = 0;
    while (!todo.empty()) {
        std::string c = todo.front();
        todo.pop_front();
        if (c == ".")
            continue;
        if (c == "..") {
            if (!done.empty())
                done.pop_back();
            continue;
        }
        std::string here = (done.empty() ? "" : join()) + "/" + c;
        struct stat st {};
        if (::lstat(root.At(here).c_str(), &st) != 0) {
            NoteFailedRead(errno);
            return std::nullopt;
        }
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40)
                return std::nullopt;
            char target[4096];
            ssize_t n = ::readlink(root.At(here).c_str(), target, sizeof target - 1);
            if (n < 0)
                NoteFailedRead(errno);
            if (n <= 0)
                return std::nullopt;
            std::string t(target, static_cast<size_t>(n));
            if (t[0] == '/')
                done.clear();
            pushFront(t);
        } else {
            done.push_back(c);
        }
    }
    return join();
}

TAVDISK_HOT size_t MoveAt(int fd, bool write, uint8_t *data, size_t length, uint64_t offset, int &error) {
    error = 0;
    size_t done = 0;
    while (done < length) {
        const auto at = static_cast<off_t>(offset + done);
        ssize_t n = write ? ::pwrite(fd, data + done, length - done, at) : ::pread(fd, data + done, length - done, at);
        if (n < 0 && errno == EINTR)
            continue;
        if (n < 0)
            error = errno;
        if (n <= 0)
            break;
        done += static_cast<size_t>(n);
    }
    return done;
}

} // namespace TavLinux
