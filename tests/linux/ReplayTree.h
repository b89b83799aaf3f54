// SPDX-License-Identifier: MIT
// Recorded machines for the Linux backend's replay tests.
//
// A recording is a text manifest (tests/linux/data/<name>.tree) that the
// loader turns into a directory tree: sysfs, /proc/self/mountinfo, /dev
// nodes as plain (sparse) files, and the answers only ioctls give under
// ioctl/<device>/. The backend reads it when TAVDISK_ROOT names it.
//
// Manifest lines (paths relative to the tree's root; '#' starts a comment):
//   d PATH                      directory
//   f PATH TEXT                 file holding TEXT and a newline (a sysfs attribute)
//   r PATH TEXT                 file holding TEXT exactly
//   a PATH TEXT                 append TEXT and a newline (mountinfo, pci.ids ...)
//   x PATH HEX...               binary file; a following "+ HEX..." line appends
//   l PATH TARGET               symbolic link
//   m PATH BYTES                sparse file of BYTES bytes (a disk's contents)
//   w PATH OFFSET HEX...        bytes written into a file at OFFSET
//   identify PATH key=value...  512 bytes of ATA IDENTIFY DEVICE data made from
//                               model, serial, firmware, sectors, and the flags
//                               lba48, security, hdio (strings in reading order,
//                               as HDIO_GET_IDENTITY gives them)
// TEXT is either the rest of the line or a "C string" with \n \t \\ \" \xHH.
#ifndef TAVDISK_TESTS_LINUX_REPLAYTREE_H
#define TAVDISK_TESTS_LINUX_REPLAYTREE_H

#include <cstdint>
#include <string>
#include <vector>

namespace TavReplay {

// The directory holding the recorded manifests.
std::string DataDirectory();

class Tree {
public:
    // Loads data/<name>.tree into a fresh temporary directory; throws
    // std::runtime_error on a malformed manifest.
    explicit Tree(const std::string &name);
    ~Tree();
    Tree(const Tree &) = delete;
    Tree &operator=(const Tree &) = delete;

    const std::string &Root() const { return root_; }
    std::string Path(const std::string &relative) const;

    // Edits for a test's variant of the recording.
    void Remove(const std::string &relative) const;
    void Write(const std::string &relative, const std::string &content) const;
    void Append(const std::string &relative, const std::string &content) const;
    std::string Read(const std::string &relative) const;

private:
    void Apply(const std::string &manifest, const std::string &source);
    std::string root_;
};

// Points the backend at a tree (TAVDISK_ROOT) for the guard's life.
class ScopedRoot {
public:
    explicit ScopedRoot(const std::string &root);
    ~ScopedRoot();
    ScopedRoot(const ScopedRoot &) = delete;
    ScopedRoot &operator=(const ScopedRoot &) = delete;

private:
    bool had_;
    std::string old_;
};

// IDENTIFY DEVICE data as a drive sends it (first character of each string
// word in the high byte); `hdio` gives the strings in reading order instead.
std::vector<uint8_t> MakeIdentify(const std::string &model, const std::string &serial, const std::string &firmware,
                                  uint64_t sectors, bool lba48, bool security, bool hdio);

} // namespace TavReplay

#endif
