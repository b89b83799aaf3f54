// SPDX-License-Identifier: MIT
// The commands that move one sector: read (a hexdump) and write (guarded).
#include "commands.h"
#include "arguments.h"
#include "cli.h"
#include "collect.h"
#include "derived.h"
#include "messages.h"
#include "open.h"
#include "print.h"
#include "text.h"

#include <filesystem>
#include <fstream>
#include <limits>
#include <sstream>

namespace tavdisk {

namespace {

// Everything a sector transfer must know before it touches the disk; prints
// the error and returns its exit code, or 0 when the transfer may go ahead.
int CheckTransfer(const DiskFacts &d, uint64_t sector, std::ostream &err) {
    if (!d.accessible) {
        return Fail(err, ExitFailure,
                    "cannot open " + DiskName(d) + Because(d.openError, d.openRequest) + AccessAdvice());
    }
    if (d.bytesPerSector == 0)
        return Fail(err, ExitFailure, DiskName(d) + " does not report its sector size");
    if (d.bytesPerSector > MaxSectorSize)
        return Fail(err, ExitFailure,
                    DiskName(d) + " reports an implausible sector size of " + std::to_string(d.bytesPerSector) +
                        " bytes");
    if (d.sectors != 0 && sector >= d.sectors)
        return Fail(err, ExitFailure,
                    "sector " + std::to_string(sector) + " is past the end of " + DiskName(d) + ", which has " +
                        std::to_string(d.sectors) + " sectors (0 to " + std::to_string(d.sectors - 1) + ")");
    if (sector > std::numeric_limits<ULONG>::max())
        return Fail(err, ExitFailure,
                    "sector " + std::to_string(sector) +
                        " is beyond 4294967295, the last sector number the library can address");
    return 0;
}

// The disk and the sector a transfer names, from the command line.
struct Target {
    DiskArg name;
    uint64_t sector = 0;
};

// DISK and SECTOR of `read` and `write`; nullopt after printing the usage
// error.
std::optional<Target> ParseTarget(const std::string &diskText, const std::string &sectorText, std::ostream &err) {
    std::optional<DiskArg> name = ParseDisk(diskText, err);
    if (!name)
        return std::nullopt;
    std::optional<uint64_t> sector = ParseSector(sectorText, err);
    if (!sector)
        return std::nullopt;
    return Target{*name, *sector};
}

// The disk `name` names, opened, and in `d` what a transfer needs to know of
// it (no controller, no volumes); no drive after saying why on err, with the
// exit code in `code`.
Opened OpenForTransfer(const DeviceSet &set, const DiskArg &name, DiskFacts &d, std::ostream &err, int &code) {
    Opened o = OpenDisk(set, name, err, code);
    if (o.drive)
        d = Collect(o, set.Get(), false);
    return o;
}

// A ReadSector or WriteSector that failed, with the reason the library left
// in the last-error code; `doing` is "reading" or "writing".
int TransferFailed(const char *doing, uint64_t sector, const DiskFacts &d, std::ostream &err) {
    DWORD why = LastError();
    return Fail(err, ExitFailure,
                std::string(doing) + " sector " + std::to_string(sector) + " of " + DiskName(d) + " failed" +
                    Because(why) + (why == ERROR_ACCESS_DENIED ? AccessAdvice() : std::string()));
}

// The file `write` takes the sector from, looked at before any disk is
// touched: it exists, is a regular file, and its size can be one sector.
// Sets `size`; returns the exit code of a refusal after printing it, or 0.
int CheckSectorFile(const std::string &path, uint64_t &size, std::ostream &err) {
    namespace fs = std::filesystem;
    const std::string file = Quoted(path);
    std::error_code ec;
    fs::file_status status = fs::status(path, ec);
    if (ec || !fs::exists(status))
        return Fail(err, ExitFailure, "cannot read " + file + ": no such file; nothing written");
    if (!fs::is_regular_file(status))
        return Fail(err, ExitFailure, file + " is not a regular file; nothing written");
    size = fs::file_size(path, ec);
    if (ec)
        return Fail(err, ExitFailure, "cannot read " + file + ": " + ec.message() + "; nothing written");
    if (size == 0 || size > MaxSectorSize)
        return Fail(err, ExitFailure,
                    file + " has " + std::to_string(size) + " bytes, which cannot be one sector; nothing written");
    return 0;
}

// Refuses a sector that belongs to a mounted volume, or whose volumes could
// not all be examined, unless `allowMounted`, which writes with a note.
// Returns the exit code of a refusal, or 0.
int CheckMounted(Drive &drive, uint64_t sector, const DiskFacts &d, bool allowMounted, std::ostream &err) {
    std::vector<wchar_t> mount(MaxWideLength < 4096 ? MaxWideLength : 4096, 0);
    ULONG mountLength = 0;
    ClearLastError();
    int mounted = drive.GetSectorMountPoint(static_cast<ULONG>(sector), mount.data(), static_cast<ULONG>(mount.size()),
                                            &mountLength);
    std::string what;
    if (mounted < 0) {
        what = "cannot tell whether sector " + std::to_string(sector) + " of " + DiskName(d) +
               " belongs to a mounted volume" + Because(LastError());
    } else if (mountLength != 0) {
        std::string where = EscapeText(mounted ? WideToUtf8(mount.data(), mountLength - 1) : std::string("?"));
        what = "sector " + std::to_string(sector) + " of " + DiskName(d) + " belongs to the volume mounted at " + where;
    } else {
        return 0;
    }
    if (!allowMounted)
        return Fail(err, ExitFailure,
                    what + "; writing there can corrupt its file system (--allow-mounted to write anyway); "
                           "nothing written");
    err << "tavdisk: note: " << what << "; writing anyway (--allow-mounted)\n";
    return 0;
}

// The refusal of a write whose storage is in use (or could not be looked
// at) by something the mount check does not see: swap, a device built on
// it, a file system mounted where this process cannot see it, the partition
// table of a disk in use.
int InUse(uint64_t sector, const DiskFacts &d, std::ostream &err) {
    DWORD why = LastError();
    const bool busy = why == ERROR_BUSY || why == ERROR_ACCESS_DENIED || why == ERROR_SHARING_VIOLATION;
    std::string what = busy ? "sector " + std::to_string(sector) + " of " + DiskName(d) +
                                  " lies in storage in use (a mounted file system, swap, a device built on it or "
                                  "a partition table of a disk in use)"
                            : "cannot tell whether sector " + std::to_string(sector) + " of " + DiskName(d) +
                                  " lies in storage in use";
    return Fail(err, ExitFailure,
                what + Because(why) +
                    "; writing there can corrupt it (--allow-mounted to write anyway); nothing written");
}

// What identifies a disk across two looks: the same device with the same
// identity and size.
bool SameDisk(const DiskFacts &a, const DiskFacts &b) {
    return a.path == b.path && ModelOf(a) == ModelOf(b) && SerialOf(a) == SerialOf(b) && a.sectors == b.sectors &&
           a.bytesPerSector == b.bytesPerSector && a.bus == b.bus;
}

// The last look before the write: the disk is still there through the
// handle the write uses, and a fresh listing still shows the same disk
// under the name the command gave. Returns the exit code of a refusal, or 0.
int LastLook(Drive &drive, const DiskFacts &d, const DiskArg &name, std::ostream &err) {
    ClearLastError();
    drive.GetDriveNumber();
    if (LastError() != ERROR_SUCCESS)
        return Fail(err, ExitFailure, DiskName(d) + " went away" + Because(LastError()) + "; nothing written");
    DeviceSet now;
    int again = ExitOk;
    std::ostringstream quiet;
    DiskFacts f;
    Opened fresh = OpenForTransfer(now, name, f, quiet, again);
    if (!fresh.drive || fresh.number != d.number || !SameDisk(d, f))
        return Fail(err, ExitFailure,
                    "disk " + EscapeBytes(name.text) + " changed while the write was prepared (it is " +
                        (fresh.drive ? DiskName(f) : std::string("gone")) + " now); nothing written");
    return 0;
}

} // namespace

int RunRead(const std::string &diskText, const std::string &sectorText, bool raw, std::ostream &out,
            std::ostream &err) {
    std::optional<Target> t = ParseTarget(diskText, sectorText, err);
    if (!t)
        return ExitUsage;
    DeviceSet set;
    int code = ExitOk;
    DiskFacts d;
    Opened o = OpenForTransfer(set, t->name, d, err, code);
    if (!o.drive)
        return code;
    if ((code = CheckTransfer(d, t->sector, err)) != ExitOk)
        return code;
    std::vector<unsigned char> data(d.bytesPerSector, 0);
    ClearLastError();
    if (!o.drive->ReadSector(static_cast<ULONG>(t->sector), data.data()))
        return TransferFailed("reading", t->sector, d, err);
    if (raw)
        out.write(reinterpret_cast<const char *>(data.data()), static_cast<std::streamsize>(data.size()));
    else
        HexDump(data, out);
    return Finish(ExitOk, out, err);
}

int RunWrite(const WriteRequest &w, std::ostream &out, std::ostream &err) {
    std::optional<Target> t = ParseTarget(w.disk, w.sector, err);
    if (!t)
        return ExitUsage;
    if (!w.yes)
        return Fail(err, ExitUsage,
                    "refusing to write sector " + EscapeBytes(w.sector) + " of disk " + EscapeBytes(w.disk) +
                        " without --yes: it overwrites what the disk holds there");
    // A number is a place in a list that changes when disks come and go: the
    // user says which device is expected there.
    if (t->name.number && w.device.empty())
        return Fail(err, ExitUsage,
                    "writing to disk " + t->name.text +
                        " needs --device PATH naming the device expected there (numbers change when disks come "
                        "and go), or name the disk by its device path");
    uint64_t fileSize = 0;
    int code = CheckSectorFile(w.file, fileSize, err);
    if (code != ExitOk)
        return code;

    DeviceSet set;
    DiskFacts d;
    Opened o = OpenForTransfer(set, t->name, d, err, code);
    if (!o.drive)
        return code;
    if (!w.device.empty() && !(d.path && NamesDisk(w.device, *d.path, *o.drive)))
        return Fail(err, ExitFailure,
                    DiskName(d) + " is not " + Quoted(w.device) + " as --device says; nothing written");
    if ((code = CheckTransfer(d, t->sector, err)) != ExitOk)
        return code;
    const std::string file = Quoted(w.file);
    if (fileSize != d.bytesPerSector)
        return Fail(err, ExitFailure,
                    file + " has " + std::to_string(fileSize) + " bytes but a sector of " + DiskName(d) + " has " +
                        std::to_string(d.bytesPerSector) + "; nothing written");

    std::vector<unsigned char> data(d.bytesPerSector, 0);
    std::ifstream in(w.file, std::ios::binary);
    in.read(reinterpret_cast<char *>(data.data()), static_cast<std::streamsize>(data.size()));
    if (!in || in.gcount() != static_cast<std::streamsize>(data.size()) || in.peek() != EOF)
        return Fail(err, ExitFailure, "cannot read exactly one sector from " + file + "; nothing written");

    // A disk that went away is told as such before its volumes are asked.
    if ((code = LastLook(*o.drive, d, t->name, err)) != ExitOk)
        return code;
    if ((code = CheckMounted(*o.drive, t->sector, d, w.allowMounted, err)) != ExitOk)
        return code;

    // Without --allow-mounted the write is made only while nothing else
    // holds the storage it lands in, claimed across the write.
    ClearLastError();
    const ULONG at = static_cast<ULONG>(t->sector);
    int wrote = w.allowMounted ? o.drive->WriteSector(at, data.data()) : o.drive->WriteSectorIfUnused(at, data.data());
    if (wrote < 0)
        return InUse(t->sector, d, err);
    if (!wrote)
        return TransferFailed("writing", t->sector, d, err);
    out << "wrote sector " << t->sector << " of " << DiskName(d) << ": " << data.size() << " bytes from " << file
        << "\n";
    return Finish(ExitOk, out, err);
}

} // namespace tavdisk
