// The Linux backend's groundwork: memory blocks, the per-thread last-error
// code, errno translation, text conversion, files below the root prefix and
// the handle table.
#include "Linux.h"

#include <algorithm>
#include <atomic>
#include <cerrno>
#include <cstddef>
#include <cstdlib>
#include <cstring>
#include <cwchar>
#include <deque>
#include <dirent.h>
#include <fcntl.h>
#include <map>
#include <mutex>
#include <sys/stat.h>
#include <sys/vfs.h>
#include <unistd.h>

namespace TavLinux {

namespace {
thread_local DWORD lastError = ERROR_SUCCESS;
} // namespace

DWORD ErrorFromErrno(int error) {
    switch (error) {
    case 0: return ERROR_SUCCESS;
    case EPERM:
    case EACCES: return ERROR_ACCESS_DENIED;
    case ENOENT: return ERROR_FILE_NOT_FOUND;
    case ENOTDIR: return ERROR_PATH_NOT_FOUND;
    case ENOTTY:
    case EINVAL:
    case EOPNOTSUPP: return ERROR_INVALID_FUNCTION;
    case EIO: return ERROR_IO_DEVICE;
    case ENOMEM: return ERROR_NOT_ENOUGH_MEMORY;
    case EBUSY:
    case EAGAIN: return ERROR_BUSY;
    case ENXIO:
    case ENODEV: return ERROR_DEV_NOT_EXIST;
    case EROFS: return ERROR_WRITE_PROTECT;
    case ENOSPC: return ERROR_HANDLE_DISK_FULL;
    case EBADF: return ERROR_INVALID_HANDLE;
    case EFAULT: return ERROR_INVALID_ADDRESS;
    case ENAMETOOLONG: return ERROR_FILENAME_EXCED_RANGE;
    case EMFILE:
    case ENFILE: return ERROR_TOO_MANY_OPEN_FILES;
    case ENOMEDIUM: return ERROR_NOT_READY;
    case ETIMEDOUT: return ERROR_SEM_TIMEOUT;
    case EOVERFLOW: return ERROR_INVALID_PARAMETER;
    default: return ERROR_GEN_FAILURE;
    }
}

BOOL Fail(DWORD code) {
    lastError = code;
    return FALSE;
}

// ---- Text -----------------------------------------------------------------

std::wstring Widen(const std::string &text) {
    std::wstring out;
    out.reserve(text.size());
    const auto *p = reinterpret_cast<const unsigned char *>(text.data());
    size_t n = text.size();
    for (size_t i = 0; i < n;) {
        unsigned char b = p[i];
        size_t extra = 0;
        uint32_t cp = 0, min = 0;
        if (b < 0x80) {
            out.push_back(static_cast<wchar_t>(b));
            ++i;
            continue;
        } else if ((b & 0xE0) == 0xC0) {
            extra = 1, cp = b & 0x1Fu, min = 0x80;
        } else if ((b & 0xF0) == 0xE0) {
            extra = 2, cp = b & 0x0Fu, min = 0x800;
        } else if ((b & 0xF8) == 0xF0) {
            extra = 3, cp = b & 0x07u, min = 0x10000;
        } else {
            extra = 0;
        }
        bool good = extra > 0 && i + extra < n;
        for (size_t k = 1; good && k <= extra; ++k) {
            if ((p[i + k] & 0xC0) != 0x80)
                good = false;
            else
                cp = (cp << 6) | (p[i + k] & 0x3Fu);
        }
        if (good && (cp < min || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)))
            good = false;
        if (good) {
            out.push_back(static_cast<wchar_t>(cp));
            i += extra + 1;
        } else {
            out.push_back(static_cast<wchar_t>(0xDC00 + b));
            ++i;
        }
    }
    return out;
}

std::string Narrow(const std::wstring &text) {
    std::string out;
    out.reserve(text.size());
    for (wchar_t wc : text) {
        auto c = static_cast<uint32_t>(wc);
        if (c < 0x80) {
            out.push_back(static_cast<char>(c));
        } else if (c >= 0xDC80 && c <= 0xDCFF) {
            out.push_back(static_cast<char>(c - 0xDC00));
        } else if (c < 0x800) {
            out.push_back(static_cast<char>(0xC0 | (c >> 6)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c < 0x10000) {
            out.push_back(static_cast<char>(0xE0 | (c >> 12)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else if (c <= 0x10FFFF) {
            out.push_back(static_cast<char>(0xF0 | (c >> 18)));
            out.push_back(static_cast<char>(0x80 | ((c >> 12) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | ((c >> 6) & 0x3F)));
            out.push_back(static_cast<char>(0x80 | (c & 0x3F)));
        } else {
            out.push_back('?');
        }
    }
    return out;
}

size_t CopyWide(const std::wstring &text, WCHAR *buffer, size_t capacity) {
    size_t needed = text.size() + 1;
    if (buffer && capacity >= needed) {
        std::wmemcpy(buffer, text.c_str(), needed);
    }
    return needed;
}

// ---- Files ----------------------------------------------------------------

Root CurrentRoot() {
    Root root;
    const char *env = std::getenv("TAVDISK_ROOT");
    if (env && *env) {
        root.prefix = env;
        while (!root.prefix.empty() && root.prefix.back() == '/')
            root.prefix.pop_back();
    }
    return root;
}

namespace {
constexpr decltype(statfs::f_type) SysfsMagic = 0x62656572;

struct KernelTreeOverrides {
    std::mutex lock;
    std::map<std::string, bool> byPrefix;
};
KernelTreeOverrides &Overrides() {
    static KernelTreeOverrides *overrides = new KernelTreeOverrides; // lives as long as the process
    return *overrides;
}
} // namespace

bool KernelTree(const Root &root) {
    {
        KernelTreeOverrides &o = Overrides();
        std::lock_guard<std::mutex> guard(o.lock);
        auto it = o.byPrefix.find(root.prefix);
        if (it != o.byPrefix.end())
            return it->second;
    }
    // The live system's answer is asked once: its /sys stays where it is.
    static std::atomic<int> live{-1};
    if (root.prefix.empty() && live.load(std::memory_order_relaxed) >= 0)
        return live.load(std::memory_order_relaxed) == 1;
    struct statfs fs {};
    bool kernel = ::statfs(root.At("/sys/class/block").c_str(), &fs) == 0 && fs.f_type == SysfsMagic;
    if (root.prefix.empty())
        live.store(kernel ? 1 : 0, std::memory_order_relaxed);
    return kernel;
}

void TreatAsKernelTree(const Root &root, std::optional<bool> kernel) {
    {
        KernelTreeOverrides &o = Overrides();
        std::lock_guard<std::mutex> guard(o.lock);
        if (kernel)
            o.byPrefix[root.prefix] = *kernel;
        else
            o.byPrefix.erase(root.prefix);
    }
    ForgetRegistrations(root);
}

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

std::optional<std::string> ReadFileAt(int directory, const char *file, size_t limit, bool checkType,
                                      bool shortIsEnd) {
    int fd = ::openat(directory, file, O_RDONLY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return std::nullopt;
    if (checkType) {
        struct stat st {};
        if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode) || S_ISBLK(st.st_mode) || S_ISCHR(st.st_mode)) {
            ::close(fd);
            return std::nullopt;
        }
    }
    auto out = ReadOpen(fd, limit, shortIsEnd);
    ::close(fd);
    return out;
}

std::optional<std::string> ReadFile(const std::string &file, size_t limit, bool checkType, bool shortIsEnd) {
    return ReadFileAt(AT_FDCWD, file.c_str(), limit, checkType, shortIsEnd);
}

std::optional<std::string> WithoutNewline(std::optional<std::string> text) {
    if (text && !text->empty() && text->back() == '\n')
        text->pop_back();
    return text;
}

} // namespace

std::optional<std::string> ReadBytes(const std::string &file, size_t limit) {
    return ReadFile(file, limit, true, false);
}

std::optional<std::string> ReadAttr(const Root &root, const std::string &path) {
    return WithoutNewline(ReadFile(root.At(path), 64 * 1024, true, true));
}

std::optional<std::string> ReadKernelAttr(const Root &root, const std::string &path, bool kernelTree) {
    // The kernel's own sysfs holds nothing but attributes, directories and
    // links: its files need no look at their type first.
    return WithoutNewline(ReadFile(root.At(path), 64 * 1024, !kernelTree, true));
}

std::optional<std::string> ReadAttrAt(int directory, const char *name, bool checkType) {
    return WithoutNewline(ReadFileAt(directory, name, 64 * 1024, checkType, true));
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

uint64_t SectorCount(std::optional<uint64_t> n) {
    return n.value_or(0) > (uint64_t{1} << 54) ? 0 : n.value_or(0);
}

uint64_t Sectors(const Root &root, const std::string &path) {
    return SectorCount(ReadNumber(root, path));
}

bool Exists(const Root &root, const std::string &path) {
    struct stat st {};
    return ::stat(root.At(path).c_str(), &st) == 0;
}

bool IsDirectory(const Root &root, const std::string &path) {
    struct stat st {};
    return ::stat(root.At(path).c_str(), &st) == 0 && S_ISDIR(st.st_mode);
}

std::vector<std::pair<std::string, uint64_t>> ListDirectoryInodes(const Root &root, const std::string &path) {
    std::vector<std::pair<std::string, uint64_t>> entries;
    int fd = ::open(root.At(path).c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC | O_NONBLOCK);
    if (fd < 0)
        return entries;
    alignas(8) char buffer[32768];
    while (true) {
        ssize_t got = ::getdents64(fd, buffer, sizeof buffer);
        if (got < 0 && errno == EINTR)
            continue;
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
        std::vector<std::string> parts;
        size_t at = 0;
        while (at <= p.size()) {
            size_t next = p.find('/', at);
            if (next == std::string::npos)
                next = p.size();
            if (next > at)
                parts.push_back(p.substr(at, next - at));
            at = next + 1;
        }
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
        if (::lstat(root.At(here).c_str(), &st) != 0)
            return std::nullopt;
        if (S_ISLNK(st.st_mode)) {
            if (++links > 40)
                return std::nullopt;
            char target[4096];
            ssize_t n = ::readlink(root.At(here).c_str(), target, sizeof target - 1);
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

bool NaturalLess(const std::string &a, const std::string &b) {
    size_t i = 0, j = 0;
    auto digit = [](char c) { return c >= '0' && c <= '9'; };
    while (i < a.size() && j < b.size()) {
        bool da = digit(a[i]), db = digit(b[j]);
        size_t ei = i, ej = j;
        while (ei < a.size() && digit(a[ei]) == da)
            ++ei;
        while (ej < b.size() && digit(b[ej]) == db)
            ++ej;
        if (da != db)
            return da; // numbers before letters
        if (da) {
            // Numbers by value: without leading zeros, the shorter is the smaller.
            size_t za = i, zb = j;
            while (za < ei && a[za] == '0')
                ++za;
            while (zb < ej && b[zb] == '0')
                ++zb;
            if (ei - za != ej - zb)
                return ei - za < ej - zb;
            int c = a.compare(za, ei - za, b, zb, ej - zb);
            if (c != 0)
                return c < 0;
        } else {
            // Letter runs: shorter first, so that sdz comes before sdaa.
            if (ei - i != ej - j)
                return ei - i < ej - j;
            int c = a.compare(i, ei - i, b, j, ej - j);
            if (c != 0)
                return c < 0;
        }
        i = ei, j = ej;
    }
    if ((a.size() - i) != (b.size() - j))
        return a.size() - i < b.size() - j;
    return a < b;
}

// ---- Handles --------------------------------------------------------------

std::atomic<uint64_t> handleRemovals{0};

namespace {
struct HandleTable {
    std::mutex lock;
    std::map<uintptr_t, std::shared_ptr<Object>> objects;
    uintptr_t next = 0x1000;
};
HandleTable &Table() {
    static HandleTable *table = new HandleTable; // lives as long as the process
    return *table;
}
} // namespace

HANDLE AddHandle(std::shared_ptr<Object> object) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    uintptr_t value = t.next;
    t.next += 4;
    t.objects.emplace(value, std::move(object));
    return reinterpret_cast<HANDLE>(value);
}

std::shared_ptr<Object> FindHandle(HANDLE handle, Object::Kind kind) {
    HandleTable &t = Table();
    std::lock_guard<std::mutex> guard(t.lock);
    auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
    if (it == t.objects.end() || it->second->kind != kind)
        return nullptr;
    return it->second;
}

bool RemoveHandle(HANDLE handle, Object::Kind kind) {
    std::shared_ptr<Object> doomed;
    HandleTable &t = Table();
    {
        std::lock_guard<std::mutex> guard(t.lock);
        auto it = t.objects.find(reinterpret_cast<uintptr_t>(handle));
        if (it == t.objects.end() || it->second->kind != kind)
            return false;
        doomed = std::move(it->second);
        t.objects.erase(it);
        handleRemovals.fetch_add(1, std::memory_order_release);
    }
    return true; // the object goes when its last user lets go of it
}

} // namespace TavLinux

namespace TavPlatform {

// Each block carries its size in a header in front of the bytes handed out,
// so that LocalSize can answer; the header keeps the bytes aligned as malloc
// aligns them.
namespace {
constexpr size_t BlockHeader = alignof(std::max_align_t);
} // namespace

HLOCAL LocalAlloc(UINT uFlags, SIZE_T uBytes) {
    if (uFlags & ~static_cast<UINT>(LMEM_ZEROINIT)) {
        TavLinux::Fail(ERROR_INVALID_PARAMETER);
        return nullptr;
    }
    size_t bytes = uBytes ? uBytes : 1;
    if (bytes > SIZE_MAX - BlockHeader) {
        TavLinux::Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    auto *block = static_cast<unsigned char *>((uFlags & LMEM_ZEROINIT) ? std::calloc(1, BlockHeader + bytes)
                                                                          : std::malloc(BlockHeader + bytes));
    if (!block) {
        TavLinux::Fail(ERROR_NOT_ENOUGH_MEMORY);
        return nullptr;
    }
    std::memcpy(block, &bytes, sizeof bytes);
    return block + BlockHeader;
}

HLOCAL LocalFree(HLOCAL hMem) {
    if (hMem)
        std::free(static_cast<unsigned char *>(hMem) - BlockHeader);
    return nullptr;
}

SIZE_T LocalSize(HLOCAL hMem) {
    if (!hMem)
        return 0;
    size_t bytes;
    std::memcpy(&bytes, static_cast<unsigned char *>(hMem) - BlockHeader, sizeof bytes);
    return bytes;
}

DWORD GetLastError() {
    return TavLinux::lastError;
}

void SetLastError(DWORD dwErrCode) {
    TavLinux::lastError = dwErrCode;
}

} // namespace TavPlatform
