// SPDX-License-Identifier: MIT
// What the files of tavdisk share: the disk report the commands collect,
// the library access they have in common, and the helpers for text and
// messages. Not installed; cli.h is the program's face to main.cpp and the
// tests.
#ifndef TAVDISK_TOOLS_INTERNAL_H
#define TAVDISK_TOOLS_INTERNAL_H

#include "cli.h"

#include "TavDiskLib/TavDiskLib.h"

#include <cstdint>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tavdisk {

// The library's 32-bit unsigned integer (unsigned long on Windows), and the
// last-error codes this program looks at. Away from Windows the library's
// header names no Windows type or code (so that a program's own do not
// clash with them): the program names what it uses itself.
using TavDiskLib::ULONG;
using DWORD = TavDiskLib::ULONG;
#if !defined(_WIN32)
constexpr DWORD ERROR_SUCCESS = 0;
constexpr DWORD ERROR_ACCESS_DENIED = 5;
constexpr DWORD ERROR_SHARING_VIOLATION = 32;
constexpr DWORD ERROR_BUSY = 170;
#endif

// Largest sector the program will move; a device reporting more is not believed.
constexpr uint64_t MaxSectorSize = 1u << 20;
// Capacity handed to the narrow text getters: more than the largest storage
// descriptor the library keeps (64 KiB), so no device string is ever cut.
constexpr ULONG TextCapacity = (64u << 10) + 1;
// Longest wide text (path, mount list, description) the program asks for;
// a longer one is reported in a note, never dropped silently.
constexpr ULONG MaxWideLength = 1u << 24;

// ---------------------------------------------------------------------------
// Text (text.cpp)

// UTF-8 text (paths, mount points, descriptions) for a terminal: only the
// control characters are escaped.
std::string EscapeText(const std::string &text);
// Terminal columns taken by UTF-8 text (one per code point; good enough for
// the paths and names a disk table holds).
size_t DisplayWidth(const std::string &text);
// An argument as the user gave it, quoted for a message: control bytes and
// backslashes escaped, so that nothing typed reaches the terminal raw.
std::string Quoted(const std::string &text);

// ---------------------------------------------------------------------------
// Library access and what the library says about one disk (collect.cpp)

// The device information set of the machine's disks, released on scope exit.
class DeviceSet {
public:
    DeviceSet() : set_(Drive::GetDeviceInfoSet()), error_(Valid() ? 0 : ::GetLastError()) {}
    ~DeviceSet() {
        if (Valid())
            SetupDiDestroyDeviceInfoList(set_);
    }
    DeviceSet(const DeviceSet &) = delete;
    DeviceSet &operator=(const DeviceSet &) = delete;
    bool Valid() const { return set_ != nullptr && set_ != TavDiskLib::InvalidHandleValue(); }
    void *Get() const { return set_; }
    // Why the set could not be had (its last-error code), when it could not.
    DWORD Error() const { return error_; }

private:
    void *set_;
    DWORD error_;
};

// The library's thread last-error code: the system's on Windows, the
// library's own export elsewhere.
inline DWORD LastError() { return ::GetLastError(); }
inline void ClearLastError() { ::SetLastError(ERROR_SUCCESS); }

struct AtaIdentity {
    std::optional<std::string> model, serial, firmware;
    ULONG controllerNumber = 0;
    ULONG diskNumber = 0;
    bool lba48 = false;
    bool security = false;
    unsigned eraseMinutes = 0;
    unsigned enhancedEraseMinutes = 0;
};

// Everything the program tells about one disk, as one collection found it.
struct DiskReport {
    ULONG number = 0;                // member index in the set
    std::optional<std::string> path; // UTF-8
    ULONG deviceInstance = 0;
    ULONG parentInstance = 0;
    std::optional<std::string> controller; // UTF-8
    bool accessible = false;               // the device answered at all
    ULONG deviceNumber = 0;
    unsigned bus = 0;
    std::optional<std::string> vendor, product, revision, serial; // descriptor bytes
    std::optional<AtaIdentity> ata;
    std::optional<std::string> scsiVendor, scsiProduct, scsiRevision; // INQUIRY bytes
    unsigned scsiPort = 0, scsiBus = 0, scsiTarget = 0, scsiLun = 0;
    long long cylinders = 0;
    ULONG tracksPerCylinder = 0, sectorsPerTrack = 0, bytesPerSector = 0;
    uint64_t geometryCapacity = 0;
    uint64_t sectors = 0;
    std::string driveLetters;
    std::vector<std::string> mountPoints; // UTF-8
    std::string mountPointsText;          // UTF-8, as the library lists them
    bool systemVolume = false;
    int access = Drive::AccessNone; // the access the disk was opened with
    std::optional<DWORD> openError; // why the disk could not be opened (last-error code)
    std::string openRequest;        // the request that failed when the disk could not be opened
    bool numberKnown = true;        // the device-number request succeeded
    bool scsiAddressKnown = true;   // the SCSI address request succeeded
    bool vanished = false;          // no longer among the machine's disks
    ULONG mountsTooLong = 0;        // length of a mount list too long to take, else 0
    // What the device path tells (kinds.cpp): the kernel's name of the disk
    // ("sda"; empty where paths are not /dev/NAME), its kind and its device
    // numbers (where the device node can be looked at).
    std::string name;
    std::string kind;
    std::optional<unsigned> major, minor;
    // Physical facts; absent where the disk does not tell.
    std::optional<ULONG> physicalSectorBytes, alignmentOffset;
    std::optional<bool> rotational, trim, readOnly, removable;
};

struct Opened;
// Asks every getter once. `full` adds the controller description and the
// volume scan, which reading or writing a sector does not need. What the
// open left (`Opened`): why the disk could not be opened, if it could not,
// the request that failed first, and which requests failed.
DiskReport Collect(const Opened &o, void *set, bool full);
// The disk's device path in UTF-8, or empty.
std::string PathOf(Drive &drive);
// The disks that may have gone away since the set was taken are looked for
// once more; those no longer present are marked vanished (and inaccessible).
void MarkVanished(std::vector<DiskReport> &disks);

// ---------------------------------------------------------------------------
// Derived answers: the one model, serial, revision and capacity of a disk
// (derived.cpp)

std::string BusName(unsigned bus);
// "full", "query" or "none", for Drive::GetAccess's answer.
const char *AccessName(int access);
// IDENTIFY model for an ATA disk, else INQUIRY vendor and product, else the
// descriptor's vendor and product.
std::optional<std::string> ModelOf(const DiskReport &d);
std::optional<std::string> SerialOf(const DiskReport &d);
std::optional<std::string> RevisionOf(const DiskReport &d);

struct Capacity {
    std::optional<uint64_t> bytes;
    const char *source; // "sectors", "geometry" or "unknown"
};
// Sector count times sector size when both are known, else the geometry's.
Capacity CapacityOf(const DiskReport &d);
// port:bus:target:lun; "-" when the disk has no SCSI address.
std::string ScsiAddressText(const DiskReport &d);
// Drive letters as "C: D:".
std::string LetterList(const std::string &letters);

// ---------------------------------------------------------------------------
// Messages, rights and the end of a command (messages.cpp)

// Writes "tavdisk: <message>" on err and returns `code`.
int Fail(std::ostream &err, int code, const std::string &message);
// Ends a command: the output must have reached its destination. A write
// error (a full disk, a closed pipe when SIGPIPE is ignored) fails the
// command, whatever it did.
int Finish(int code, std::ostream &out, std::ostream &err);
// Running as root; nullopt where that is not known (Windows).
std::optional<bool> Privileged();
// The right that opening a disk needs and this process lacks, or empty.
std::string MissingRight();
// Appended to a message about a disk that could not be opened or moved.
std::string AccessAdvice();
// The last-error code in words, for messages: "access denied (error 5)".
std::string ErrorText(DWORD code);
// ": <reason>" for a failure whose last-error code is known, else nothing;
// ": <request> failed: <reason>" when the request is known as well.
std::string Because(std::optional<DWORD> code, const std::string &request = std::string());
// "disk 1 (/dev/sdb)"
std::string DiskName(const DiskReport &d);

// ---------------------------------------------------------------------------
// Kinds of disk and the filters of `list` (kinds.cpp)

// Fills in name, kind and the device numbers from the device path and bus.
void Classify(DiskReport &d);
// Whether the kind of disk is one the kernel makes itself (loop, zram, dm,
// md): the library's vendor and product strings for it are the backend's
// stand-ins, not a device's model.
bool KernelMade(const DiskReport &d);
// -e/--exclude or -I/--include: a comma-separated list of kinds and major
// numbers. Prints the usage error itself and returns nullopt when wrong.
struct DiskFilter {
    bool include = false;
    std::vector<std::string> kinds;
    std::vector<unsigned> majors;
    bool Passes(const DiskReport &d) const;
};
std::optional<DiskFilter> ParseFilter(const std::string &text, bool include, std::ostream &err);
// The kinds a filter may name, for help and messages.
std::string KnownKinds();

// ---------------------------------------------------------------------------
// Output (json.cpp, print.cpp)

// How `list` shows the disks.
struct ListOptions {
    bool json = false;
    bool bytes = false;      // sizes in bytes
    bool noHeadings = false; // no header line
    std::string columns;     // -o: "NAME,SIZE" or "+NAME" (added to the default ones); empty: the default ones
    std::string exclude, include;
};

// Writes the JSON document of `disks` with `notes`.
void WriteJson(const std::vector<DiskReport> &disks, const std::vector<std::string> &notes, std::ostream &out);
// The columns `options` asks for, as indexes of the column table; prints the
// usage error and returns nullopt for an unknown one.
std::optional<std::vector<size_t>> SelectColumns(const std::string &columns, std::ostream &err);
// The columns, one per line with what each shows.
void PrintColumns(std::ostream &out);
// One row per disk, the columns `selected` (SelectColumns).
void PrintTable(const std::vector<DiskReport> &disks, const std::vector<size_t> &selected, const ListOptions &options,
                std::ostream &out);
// Every field of one disk, one per line.
void PrintDisk(const DiskReport &d, std::ostream &out);
// Offset, 16 bytes in hex, the same bytes as ASCII.
void HexDump(const std::vector<unsigned char> &data, std::ostream &out);
// Byte counts: in binary units, or in bytes with -b.
std::string SizeText(uint64_t bytes, bool inBytes);

// ---------------------------------------------------------------------------
// Arguments naming disks and sectors (arguments.cpp)

// A non-negative number, decimal or hexadecimal with 0x.
std::optional<uint64_t> ParseNumber(const std::string &text);

// How a command names its disk: by number (its place in the listing) or by
// device path.
struct DiskArg {
    std::optional<ULONG> number;
    std::string path;
    std::string text; // as given
};
// A DISK argument: a number when it starts with a digit, a device path when
// it holds a slash or backslash, else (away from Windows) a kernel name
// such as "sda", for /dev/sda. Prints the usage error itself.
std::optional<DiskArg> ParseDisk(const std::string &text, std::ostream &err);
// A SECTOR argument. Prints the usage error itself.
std::optional<uint64_t> ParseSector(const std::string &text, std::ostream &err);
// Whether `wanted` (a device path the user typed) names `drive`, whose
// device path is `diskPath`.
bool NamesDisk(const std::string &wanted, const std::string &diskPath, Drive &drive);
// Whether `wanted` names the disk whose device path is `diskPath` by that
// path (the same file, or on Windows the same text but for case).
bool NamesPath(const std::string &wanted, const std::string &diskPath);

// ---------------------------------------------------------------------------
// Opening the disk a command names (open.cpp)

// The disk a command names, opened, with the last-error code its open left
// and the request that failed first while it was opened.
struct Opened {
    std::unique_ptr<Drive> drive;
    ULONG number = 0;
    DWORD openError = ERROR_SUCCESS;
    std::string openRequest;
    std::vector<std::string> failedRequests; // every request that failed while it was opened
};
// Member `index` of the set; no drive past the last one.
Opened OpenMember(void *set, ULONG index);
// The disk `name` names in the set; no drive after saying why on err, with
// the exit code in `code`.
Opened OpenDisk(const DeviceSet &set, const DiskArg &name, std::ostream &err, int &code);

// ---------------------------------------------------------------------------
// Commands (list.cpp, sector.cpp)

struct WriteRequest {
    std::string disk, sector, file, device;
    bool yes = false;
    bool allowMounted = false;
};

int RunList(const ListOptions &options, std::ostream &out, std::ostream &err);
int RunShow(const std::string &diskText, bool json, std::ostream &out, std::ostream &err);
int RunRead(const std::string &diskText, const std::string &sectorText, bool raw, std::ostream &out, std::ostream &err);
int RunWrite(const WriteRequest &w, std::ostream &out, std::ostream &err);

} // namespace tavdisk

#endif
