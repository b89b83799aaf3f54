// SPDX-License-Identifier: MIT
// The Linux backend's readers: one of the recorded machines of
// tests/linux/data, changed as the input says (any sysfs attribute or ioctl
// answer replaced, cut, extended or removed; mountinfo lines added or
// replaced; links added below holders/ and slaves/; bytes written into a
// disk's content), then enumeration and every getter of every disk, with the
// checks of DriveChecks.h.
//
// Each recording is laid out once per process; the files an input changes
// are put back after it ran, so every input starts from the recording.
//
// Input: one byte choosing the recording (its value % 11) and whether its
// looks are kept (value / 11 odd), a 32-bit sector, then up to 24 edits,
// each an operation byte, a 16-bit file (or line, or directory) index and
// the operation's own fields (see Apply). With looks kept, what follows the
// sector is rounds of change signals (LookSignal, and a disk they name) and
// edits, each edit announced by a uevent as the kernel announces its
// changes; after each round the listing from the kept look must equal a
// fresh look's. The same bytes are also read as a fanotify group's events.
#include "DriveChecks.h"
#include "FuzzInput.h"

#include "../linux/ReplayTree.h"
#include "TavDiskLib/platform/linux/Looks.h"
#include "../TextLines.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <optional>
#include <sstream>
#include <string>
#include <vector>

namespace fs = std::filesystem;

namespace {

using namespace TavFuzz;

const char *const Trees[] = {"qemu-sata",   "qemu-ide",  "qemu-scsi", "qemu-lsi4k", "qemu-nvme",  "qemu-usb",
                             "qemu-virtio", "qemu-span", "server",    "vm",         "workstation"};
constexpr size_t TreeCount = sizeof Trees / sizeof Trees[0];
// A file larger than this is a disk's content: only written into, near its start.
constexpr uintmax_t ContentFile = 1 << 20;
constexpr uint64_t ContentWindow = 1 << 16;

std::string ReadAll(const fs::path &p) {
    std::ifstream in(p, std::ios::binary);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

void WriteAll(const fs::path &p, const std::string &content) {
    std::ofstream(p, std::ios::binary | std::ios::trunc)
        .write(content.data(), static_cast<std::streamsize>(content.size()));
}

void WriteAt(const fs::path &p, uint64_t offset, const std::string &bytes) {
    std::fstream f(p, std::ios::binary | std::ios::in | std::ios::out);
    f.seekp(static_cast<std::streamoff>(offset));
    f.write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

struct Recording {
    std::unique_ptr<TavReplay::Tree> tree;
    std::vector<fs::path> files;    // regular files, in a fixed order
    std::vector<fs::path> linkDirs; // every holders/ and slaves/ directory
    fs::path mountinfo;
};

Recording &Load(size_t index) {
    static std::map<size_t, Recording> loaded;
    auto it = loaded.find(index);
    if (it != loaded.end())
        return it->second;
    Recording r;
    r.tree = std::make_unique<TavReplay::Tree>(Trees[index]);
    for (auto e = fs::recursive_directory_iterator(r.tree->Root()); e != fs::recursive_directory_iterator(); ++e) {
        if (e->is_symlink())
            continue;
        if (e->is_regular_file())
            r.files.push_back(e->path());
        else if (e->is_directory() && (e->path().filename() == "holders" || e->path().filename() == "slaves"))
            r.linkDirs.push_back(e->path());
    }
    std::sort(r.files.begin(), r.files.end());
    std::sort(r.linkDirs.begin(), r.linkDirs.end());
    r.mountinfo = fs::path(r.tree->Root()) / "proc/self/mountinfo";
    return loaded.emplace(index, std::move(r)).first->second;
}

// What an input changed, to be put back.
class Undo {
public:
    void Keep(const fs::path &p) {
        if (whole_.count(p) || regions_.count(p))
            return;
        std::error_code ec;
        if (fs::file_size(p, ec) > ContentFile)
            regions_[p] = ReadRegion(p);
        else
            whole_[p] = ReadAll(p);
    }
    void Added(const fs::path &p) { added_.push_back(p); }
    ~Undo() {
        std::error_code ec;
        for (const auto &p : added_)
            fs::remove(p, ec);
        for (const auto &[p, content] : whole_)
            WriteAll(p, content);
        for (const auto &[p, content] : regions_)
            WriteAt(p, 0, content);
    }

private:
    static std::string ReadRegion(const fs::path &p) {
        std::ifstream in(p, std::ios::binary);
        std::string s(ContentWindow, '\0');
        in.read(s.data(), static_cast<std::streamsize>(s.size()));
        s.resize(static_cast<size_t>(in.gcount()));
        return s;
    }
    std::map<fs::path, std::string> whole_, regions_;
    std::vector<fs::path> added_;
};

using TavTest::Lines;

void Apply(Reader &r, Recording &rec, Undo &undo) {
    uint8_t op = r.U8() % 8;
    uint16_t index = r.U16();
    const fs::path &file = rec.files[index % rec.files.size()];
    std::error_code ec;
    bool content = fs::file_size(file, ec) > ContentFile;
    switch (op) {
    case 0: // replace an attribute
        if (!content) {
            undo.Keep(file);
            WriteAll(file, r.Text(4096));
        }
        break;
    case 1: // extend it
        if (!content) {
            undo.Keep(file);
            std::ofstream(file, std::ios::binary | std::ios::app) << r.Text(4096);
        }
        break;
    case 2: { // cut it
        uint16_t keep = r.U16();
        if (!content) {
            undo.Keep(file);
            std::string old = ReadAll(file);
            WriteAll(file, old.substr(0, std::min<size_t>(keep, old.size())));
        }
        break;
    }
    case 3: // remove it
        if (!content) {
            undo.Keep(file);
            fs::remove(file, ec);
        }
        break;
    case 4: { // write bytes into a file, a disk's content included
        uint64_t offset = r.U32() % ContentWindow;
        std::string bytes = r.Text(4096);
        undo.Keep(file);
        if (!content) {
            std::string old = ReadAll(file);
            if (offset > old.size())
                offset = old.size();
            old.replace(static_cast<size_t>(offset), std::min(bytes.size(), old.size() - static_cast<size_t>(offset)),
                        bytes);
            WriteAll(file, old);
        } else if (offset + bytes.size() <= ContentWindow) {
            WriteAt(file, offset, bytes);
        }
        break;
    }
    case 5: // a mountinfo line more
        if (fs::exists(rec.mountinfo)) {
            undo.Keep(rec.mountinfo);
            std::ofstream(rec.mountinfo, std::ios::binary | std::ios::app) << r.Text(1024) << "\n";
        }
        break;
    case 6: // a mountinfo line replaced
        if (fs::exists(rec.mountinfo)) {
            undo.Keep(rec.mountinfo);
            std::vector<std::string> lines = Lines(ReadAll(rec.mountinfo));
            std::string line = r.Text(1024);
            if (!lines.empty())
                lines[index % lines.size()] = line;
            std::string text;
            for (const auto &l : lines)
                text += l + "\n";
            WriteAll(rec.mountinfo, text);
        }
        break;
    case 7: { // a link below holders/ or slaves/
        std::string name = r.Text(64), target = r.Text(256);
        if (rec.linkDirs.empty() || name.empty() || name.find('/') != std::string::npos || name == "." ||
            name == ".." || name.find('\0') != std::string::npos || target.find('\0') != std::string::npos ||
            target.empty())
            break;
        fs::path link = rec.linkDirs[index % rec.linkDirs.size()] / name;
        if (fs::symlink_status(link, ec).type() != fs::file_type::not_found)
            break;
        fs::create_symlink(target, link, ec);
        if (!ec)
            undo.Added(link);
        break;
    }
    }
}

// Every getter of every disk; with `answers`, what each disk answered that
// a look decides (which disks, their paths, numbers, sizes and volumes).
void Exercise(ULONG sector, std::wstring *answers = nullptr) {
    void *set = Drive::GetDeviceInfoSet();
    if (set == INVALID_HANDLE_VALUE || set == nullptr) {
        if (answers)
            *answers += L"no set\n";
        return;
    }
    for (ULONG i = 0; i < 64; ++i) {
        std::unique_ptr<Drive> drive(Drive::GetDrive(set, i));
        if (!drive)
            break;
        ExerciseAdapter(set, ExerciseReading(*drive, sector));
        if (!answers)
            continue;
        wchar_t text[1024] = {};
        ULONG length = 0;
        drive->GetDevicePath(text, 1024, &length);
        *answers += std::wstring(text, std::min<ULONG>(length, 1024)) + L" " +
                    std::to_wstring(drive->GetDriveNumber()) + L" " + std::to_wstring(drive->GetCapacity().QuadPart) +
                    L" " + std::to_wstring(drive->GetBusType());
        length = 0;
        drive->GetMountPoints(text, 1024, &length);
        *answers += L" [" + std::wstring(text, std::min<ULONG>(length, 1024)) + L"] ";
        length = 0;
        int held = drive->GetSectorMountPoint(sector, text, 1024, &length);
        *answers += std::to_wstring(held) + L" " + std::wstring(text, std::min<ULONG>(length, 1024)) + L"\n";
    }
    SetupDiDestroyDeviceInfoList(set);
}

// The kernel names of the whole disks of the recording, for the signals
// that name one.
std::vector<std::string> WholeDisks(const Recording &rec) {
    std::vector<std::string> out;
    std::error_code ec;
    for (const auto &e : fs::directory_iterator(fs::path(rec.tree->Root()) / "sys/class/block", ec))
        if (!fs::exists(e.path() / "partition", ec))
            out.push_back(e.path().filename().string());
    std::sort(out.begin(), out.end());
    return out;
}

// Rounds of signals and edits over a kept look; each round's listing must
// be the listing a fresh look gives. The fresh look is taken through
// another spelling of the same root, whose looks are not kept.
void KeptRounds(Reader &r, Recording &rec, Undo &undo, ULONG sector) {
    const std::vector<std::string> disks = WholeDisks(rec);
    TavLinux::KeepLooksOf(TavLinux::Root{rec.tree->Root()});
    {
        TavReplay::ScopedRoot root(rec.tree->Root());
        Exercise(sector); // the look kept from here on
    }
    for (int round = 0; round < 8 && !r.Empty(); ++round) {
        for (int step = 0; step < 4 && !r.Empty(); ++step) {
            uint8_t op = r.U8();
            if (op & 0x80) { // an edit, announced
                Apply(r, rec, undo);
                TavLinux::SignalLookChange(TavLinux::LookSignal::Uevent);
                continue;
            }
            auto signal = static_cast<TavLinux::LookSignal>(op % 5);
            std::string disk = disks.empty() ? std::string() : disks[(op / 5) % disks.size()];
            TavLinux::SignalLookChange(signal, disk);
        }
        std::wstring kept, fresh;
        {
            TavReplay::ScopedRoot root(rec.tree->Root());
            Exercise(sector, &kept);
        }
        {
            TavReplay::ScopedRoot root(rec.tree->Root() + "/.");
            Exercise(sector, &fresh);
        }
        if (kept != fresh) {
            std::fprintf(stderr, "a kept look answered otherwise than a fresh one:\n%ls--- fresh:\n%ls", kept.c_str(),
                         fresh.c_str());
            std::abort();
        }
    }
    TavLinux::KeepLooksOf(std::nullopt);
}

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    // The same bytes as a fanotify group's events: each within them.
    for (const TavLinux::MarkEvent &e : TavLinux::MarkEventsIn(reinterpret_cast<const char *>(data), size))
        if (e.key && e.key->size() > size)
            std::abort();
    Reader r(data, size);
    const uint8_t first = r.U8();
    Recording &rec = Load(first % TreeCount);
    const bool keep = (first / TreeCount) % 2 == 1;
    ULONG sector = r.U32();
    Undo undo;
    for (int edits = 0; edits < 24 && !keep && !r.Empty(); ++edits)
        Apply(r, rec, undo);

    if (keep) {
        KeptRounds(r, rec, undo, sector);
        return 0;
    }
    TavReplay::ScopedRoot root(rec.tree->Root());
    Exercise(sector);
    return 0;
}
