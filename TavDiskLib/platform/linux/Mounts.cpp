// SPDX-License-Identifier: MIT
// The mount table (/proc/self/mountinfo) and the mount points of a volume.
#include "Mounts.h"
#include "BlockView.h"
#include "Text.h"
#include "Tree.h"

#include <algorithm>

namespace TavLinux {

namespace {

std::string Unescape(const std::string &field) {
    std::string out;
    for (size_t i = 0; i < field.size(); ++i) {
        if (field[i] == '\\' && i + 3 < field.size() && field[i + 1] >= '0' && field[i + 1] <= '3' &&
            field[i + 2] >= '0' && field[i + 2] <= '7' && field[i + 3] >= '0' && field[i + 3] <= '7') {
            out.push_back(
                static_cast<char>(((field[i + 1] - '0') << 6) | ((field[i + 2] - '0') << 3) | (field[i + 3] - '0')));
            i += 3;
        } else {
            out.push_back(field[i]);
        }
    }
    return out;
}

} // namespace

std::string InnermostMount(const MountTable &mounts, const std::string &path) {
    std::string best;
    for (const Mount &m : mounts.mounts) {
        const std::string &p = m.path;
        bool below = p == "/" || path == p || (path.compare(0, p.size(), p) == 0 && path[p.size()] == '/');
        if (below && p.size() >= best.size())
            best = p;
    }
    return best;
}

MountTable ReadMounts(const Root &root) {
    MountTable out;
    auto text = ReadBytes(root.At("/proc/self/mountinfo"), 16u << 20);
    if (!text)
        return out;
    for (const std::string &line : SplitFields(*text, '\n')) {
        std::vector<std::string> fields = SplitFields(line, ' ');
        // id parent major:minor root mount-point options [optional...] - type source options
        if (fields.size() < 7)
            continue;
        auto dash = std::find(fields.begin() + 6, fields.end(), "-");
        Mount m;
        m.device = fields[2];
        m.path = Unescape(fields[4]);
        if (dash != fields.end() && fields.end() - dash >= 3)
            m.source = Unescape(*(dash + 2));
        out.byDevice.emplace(m.device, out.mounts.size());
        if (!m.source.empty())
            out.bySource.emplace(m.source, out.mounts.size());
        out.mounts.push_back(std::move(m));
    }
    return out;
}

std::vector<std::string> MountPointsOf(BlockView &view, const BlockEntry &volume, const MountTable &mounts) {
    std::vector<std::string> out;
    if (mounts.mounts.empty())
        return out;
    size_t slot = view.Adopt(volume);
    auto dev = view.Dev(slot);
    auto dmName = view.DmName(slot);
    // The volume's mounts by its device number, its /dev path or its
    // device-mapper name (btrfs shows the latter two), in mountinfo's order.
    std::vector<size_t> found;
    auto take = [&](const std::unordered_multimap<std::string, size_t> &index, const std::string &key) {
        auto range = index.equal_range(key);
        for (auto it = range.first; it != range.second; ++it)
            found.push_back(it->second);
    };
    if (dev)
        take(mounts.byDevice, *dev);
    take(mounts.bySource, "/dev/" + volume.name);
    if (dmName && !dmName->empty())
        take(mounts.bySource, "/dev/mapper/" + *dmName);
    std::sort(found.begin(), found.end());
    for (size_t i : found) {
        const std::string &path = mounts.mounts[i].path;
        if (std::find(out.begin(), out.end(), path) == out.end())
            out.push_back(path);
    }
    return out;
}

} // namespace TavLinux
