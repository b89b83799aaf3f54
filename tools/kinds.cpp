// SPDX-License-Identifier: MIT
// What kind of disk a disk is (loop, nvme, usb, sata …), its kernel name and
// device numbers, and the filters of `list` that name kinds and majors.
#include "kinds.h"
#include "arguments.h"
#include "cli.h"
#include "collect.h"
#include "derived.h"
#include "messages.h"
#include "text.h"

#include <algorithm>
#include <cctype>

#if !defined(_WIN32)
#include <sys/stat.h>
#include <sys/sysmacros.h>
#endif

namespace tavdisk {

namespace {

// Kinds told by the kernel's name of a disk, longest prefix first.
const struct {
    const char *prefix;
    const char *kind;
} NameKinds[] = {{"mmcblk", "mmc"}, {"nvme", "nvme"}, {"loop", "loop"}, {"zram", "zram"}, {"xvd", "xen"},
                 {"dm-", "dm"},     {"nbd", "nbd"},   {"md", "md"},     {"vd", "virtio"}};

std::string Lower(std::string text) {
    for (char &c : text)
        c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return text;
}

// Every kind a disk can have: the kernel-name kinds, then the bus names.
std::vector<std::string> AllKinds() {
    std::vector<std::string> kinds;
    for (const auto &k : NameKinds)
        if (std::find(kinds.begin(), kinds.end(), k.kind) == kinds.end())
            kinds.push_back(k.kind);
    for (unsigned bus = 0; bus < 0x20; ++bus) {
        std::string name = BusName(bus);
        if (name.rfind("0x", 0) == 0)
            break;
        if (std::find(kinds.begin(), kinds.end(), Lower(name)) == kinds.end())
            kinds.push_back(Lower(name));
    }
    return kinds;
}

} // namespace

void Classify(DiskFacts &d) {
    d.name.clear();
    if (d.path && d.path->rfind("/dev/", 0) == 0 && d.path->find('/', 5) == std::string::npos)
        d.name = d.path->substr(5);
    d.kind.clear();
    for (const auto &k : NameKinds)
        if (!d.name.empty() && d.name.rfind(k.prefix, 0) == 0) {
            d.kind = k.kind;
            break;
        }
    if (d.kind.empty())
        d.kind = d.accessible ? Lower(BusName(d.bus)) : "unknown";
#if !defined(_WIN32)
    struct stat st {};
    if (d.path && stat(d.path->c_str(), &st) == 0 && S_ISBLK(st.st_mode)) {
        d.major = major(st.st_rdev);
        d.minor = minor(st.st_rdev);
    }
#endif
}

bool IsSoftwareDisk(const DiskFacts &d) {
    return !d.name.empty() && (d.kind == "loop" || d.kind == "zram" || d.kind == "dm" || d.kind == "md");
}

std::string KnownKinds() {
    std::string out;
    for (const std::string &k : AllKinds())
        out += (out.empty() ? "" : ", ") + k;
    return out;
}

bool DiskFilter::Passes(const DiskFacts &d) const {
    bool named = std::find(kinds.begin(), kinds.end(), d.kind) != kinds.end() ||
                 (d.major && std::find(majors.begin(), majors.end(), *d.major) != majors.end());
    return include ? named : !named;
}

std::optional<DiskFilter> ParseFilter(const std::string &text, bool include, std::ostream &err) {
    DiskFilter f;
    f.include = include;
    const std::vector<std::string> known = AllKinds();
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find(',', start);
        if (end == std::string::npos)
            end = text.size();
        std::string item = Lower(text.substr(start, end - start));
        start = end + 1;
        if (!item.empty() && item.find_first_not_of("0123456789") == std::string::npos) {
            std::optional<uint64_t> n = ParseNumber(item);
            if (n && *n <= 0xFFFFFFFFu) {
                f.majors.push_back(static_cast<unsigned>(*n));
                continue;
            }
        } else if (std::find(known.begin(), known.end(), item) != known.end()) {
            f.kinds.push_back(item);
            continue;
        }
        Fail(err, ExitUsage,
             std::string(include ? "--include" : "--exclude") + ": " + Quoted(item) +
                 " is neither a kind of disk nor a major number (kinds: " + KnownKinds() + ")");
        return std::nullopt;
    }
    return f;
}

} // namespace tavdisk
