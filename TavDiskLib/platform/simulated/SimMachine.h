// SPDX-License-Identifier: MIT
// The simulated machine: an in-memory set of disks, volumes and device nodes
// that answers every TavPlatform operation, for tests and benchmarks.
//
// A test builds a Machine, fills it, and installs it with Machine::Install (or
// the ScopedMachine guard); from then on every platform operation of the
// library is answered from it. The machine logs each request, keeps a
// per-thread last-error code with the platform's semantics (a failing call
// sets it, a successful one leaves it as it was), can make any request fail or
// answer short, and accounts for every handle, set and LocalAlloc block so a
// test can assert that nothing leaked and nothing was released twice.
#ifndef TAVDISKLIB_PLATFORM_SIMULATED_SIMMACHINE_H
#define TAVDISKLIB_PLATFORM_SIMULATED_SIMMACHINE_H

#include "../platform.h"

#include <cstdint>
#include <map>
#include <optional>
#include <string>
#include <vector>

namespace TavSim {

using ByteString = std::vector<uint8_t>;

// Which platform operation a log entry or a failure rule is about.
enum class Op {
    LocalAlloc,
    LocalFree,
    LocalSize,
    CreateFileW,
    CloseHandle,
    DuplicateHandle,
    DeviceIoControl,
    SetFilePointerEx,
    ReadFile,
    WriteFile,
    FindFirstVolumeW,
    FindNextVolumeW,
    FindVolumeClose,
    GetVolumePathNamesForVolumeNameW,
    GetWindowsDirectoryW,
    GetSystemDirectoryW,
    GetVolumePathNameW,
    GetVolumeNameForVolumeMountPointW,
    SetupDiGetClassDevsExW,
    SetupDiDestroyDeviceInfoList,
    SetupDiEnumDeviceInterfaces,
    SetupDiGetDeviceInterfaceDetailW,
    SetupDiOpenDeviceInfoW,
    SetupDiOpenDeviceInterfaceW,
    SetupDiGetDeviceRegistryPropertyW,
    CM_Get_Parent,
    CM_Get_Device_ID_Size,
    CM_Get_Device_IDW,
    FlushFileBuffers,
    GetStorageDependencyInformation,
};

const char *OpName(Op op);

// One logged request. Fields that do not apply to the operation stay empty/0.
struct Request {
    Op op{};
    DWORD ioctl = 0;        // DeviceIoControl: the control code
    ByteString input;       // DeviceIoControl: the input record as sent
    DWORD inSize = 0;       // DeviceIoControl: nInBufferSize
    DWORD outSize = 0;      // DeviceIoControl / ReadFile / WriteFile / sized calls: the buffer size passed
    std::wstring path;      // CreateFileW / GetVolumePathNames / SetupDiOpen*: the name passed
    DWORD access = 0;       // CreateFileW: desired access
    DWORD share = 0;        // CreateFileW: share mode
    DWORD disposition = 0;  // CreateFileW
    DWORD flags = 0;        // CreateFileW flags / SetupDi flags / CM flags / LocalAlloc flags
    uint64_t position = 0;  // SetFilePointerEx: distance; ReadFile/WriteFile: file position at the start
                            // of the transfer; LocalAlloc: bytes
    DWORD index = 0;        // SetupDiEnumDeviceInterfaces: member index; registry property id
    int disk = -1;          // the disk (index into Machine::disks) the request addressed, -1 none
    int volume = -1;        // the volume the request addressed, -1 none
    bool succeeded = false; // what the call returned (TRUE / CR_SUCCESS / valid handle)
    DWORD error = 0;        // the last-error code the call left (0 when it did not set one);
                            // CM_* calls, GetStorageDependencyInformation: the code they returned
};

// A failure rule: the matching calls fail with `error` (or answer short).
// A failing call returns what that operation returns on failure (FALSE,
// INVALID_HANDLE_VALUE, 0, null; LocalFree returns its argument) and does
// nothing else: a failing CloseHandle leaves the handle open, a failing
// LocalFree keeps the block. CM_* calls return `error` as their CONFIGRET,
// GetStorageDependencyInformation as its code; both leave the last-error code
// alone, so `succeedWithError` changes nothing of theirs.
struct Fault {
    Op op{};
    DWORD ioctl = 0; // 0 matches any control code
    int disk = -1;   // -1 matches any disk / volume / handle
    int volume = -1;
    DWORD error = ERROR_GEN_FAILURE;
    // When set, the call does not fail: it succeeds but delivers only this
    // many bytes of its answer (the rest of the caller's buffer is left as it was).
    // The limit applies to what the call writes into caller memory: the output
    // buffer of DeviceIoControl (for IOCTL_SCSI_PASS_THROUGH_DIRECT: the data
    // buffer, with DataTransferLength reporting the bytes moved), the data of
    // ReadFile/WriteFile, the strings and records of the other calls.
    // The outputs that count what the call copied (lpBytesReturned, the
    // ReadFile/WriteFile counts, the length GetVolumePathNamesForVolumeNameW
    // returns on success) report what was delivered; required sizes and
    // other outputs keep their normal values.
    std::optional<DWORD> shortBytes;
    // When set, the call succeeds (returns TRUE) yet sets this last-error code
    // (to model a platform that reports its outcome only through GetLastError).
    // May be combined with shortBytes.
    bool succeedWithError = false;
    int skip = 0;   // let this many matching calls through first
    int times = -1; // how many matching calls to affect; -1 every one
};

struct Volume {
    std::wstring name; // 49 characters: \\?\Volume{GUID}\ ; Machine::AddVolume makes one
    struct Extent {
        DWORD diskNumber = 0;
        uint64_t start = 0;
        uint64_t length = 0;
    };
    std::vector<Extent> extents;
    std::vector<std::wstring> pathNames; // drive roots ("C:\") and folder mounts ("C:\mnt\data\")
    bool openable = true;
    bool queryOnly = false; // opens with read or write access are refused (ERROR_ACCESS_DENIED)
    // When set, the extents answer reports this NumberOfDiskExtents whatever
    // the extents are (an absurd count from a broken volume driver).
    std::optional<DWORD> claimedExtentCount;
    bool inUse = false; // FSCTL_LOCK_VOLUME is refused (files open on it)
    // What holds the content of the virtual disks the volume lies on
    // (GetStorageDependencyInformation): volume names or \\.\PhysicalDriveN.
    std::vector<std::wstring> hosts;
};

struct DeviceNode {
    DEVINST devInst = 0;
    std::wstring instanceId;  // e.g. PCI\VEN_8086&DEV_2922\3&11583659&0&FA
    std::wstring description; // SPDRP_DEVICEDESC
    DEVINST parent = 0;       // 0: no parent
};

// A disk's partition table: the header's style and signature or GUID, and
// the entries. Declared outside Disk, so that an optional one can be made
// while Disk is still being defined.
struct DiskLayout {
    DWORD style = PARTITION_STYLE_RAW;
    DWORD signature = 0;
    GUID diskId{};
    std::vector<PARTITION_INFORMATION_EX> entries;
};

struct Disk {
    std::wstring devicePath; // the interface's device path, opened by the Drive
    DEVINST devInst = 0;     // the disk's device node (Machine::AddNode)
    bool openable = true;
    DWORD openError = ERROR_ACCESS_DENIED;
    // The caller lacks the rights for read or write access (a process
    // without administrator rights): an open that asks for either fails with
    // openError, one for queries only (access 0) succeeds.
    bool queryOnly = false;
    DWORD deviceNumber = 0;       // IOCTL_STORAGE_GET_DEVICE_NUMBER
    ByteString adapterDescriptor; // answer to the adapter property query (as many bytes as given)
    ByteString deviceDescriptor;  // answer to the device property query; its Size field is inside
    bool ata = false;             // answers SMART_GET_VERSION / SMART_RCV_DRIVE_DATA
    ByteString identify;          // 512 bytes of IDENTIFY DEVICE data
    std::optional<DISK_CONTROLLER_NUMBER> controllerNumber; // nullopt: the request fails
    std::optional<SCSI_ADDRESS> scsiAddress;                // nullopt: the request fails
    ByteString inquiry;   // standard INQUIRY data (delivered up to the transfer length)
    bool scsi = true;     // accepts SCSI pass-through at all
    uint64_t lastLba = 0; // READ CAPACITY(10)/(16) answers
    DWORD blockLength = 512;
    std::optional<DISK_GEOMETRY> geometry; // nullopt: the request fails
    uint64_t sizeBytes = 0;                // reads/writes beyond this fail (ERROR_SECTOR_NOT_FOUND)
    // Sector contents: the pages written at least once, keyed by page number
    // (offset / PageSize), each PageSize bytes. Everything else reads as `fill`.
    static constexpr uint64_t PageSize = 4096;
    std::map<uint64_t, ByteString> pages;
    uint8_t fill = 0;   // content of every byte never written
    bool inUse = false; // FSCTL_LOCK_VOLUME is refused (another program holds the disk)
    // Physical facts (nullopt: the property query fails with ERROR_NOT_SUPPORTED).
    std::optional<STORAGE_ACCESS_ALIGNMENT_DESCRIPTOR> alignment;
    std::optional<bool> seekPenalty; // a disk that rotates
    std::optional<bool> trim;
    bool writeProtected = false; // IOCTL_DISK_IS_WRITABLE fails with ERROR_WRITE_PROTECT
    // The identifiers' answer (StorageDeviceIdProperty) as it is delivered,
    // a STORAGE_DEVICE_ID_DESCRIPTOR or any bytes (MakeDeviceIdDescriptor
    // of platform/DeviceIds.h lays one out); nullopt or empty: the query
    // fails with ERROR_NOT_SUPPORTED.
    std::optional<ByteString> deviceId;
    // Health. An ATA disk's SMART READ DATA and READ THRESHOLDS blocks (each
    // delivered as 512 bytes, zero-filled past what is given; empty: the
    // drive aborts the command, ERROR_IO_DEVICE) and the cylinder low/high
    // RETURN STATUS leaves (nullopt: aborted, ERROR_IO_DEVICE).
    ByteString smartData, smartThresholds;
    std::optional<std::pair<uint8_t, uint8_t>> smartStatus;
    // An NVMe disk's SMART / Health Information log (nullopt: not NVMe,
    // ERROR_NOT_SUPPORTED; delivered as 512 bytes, zero-filled).
    std::optional<ByteString> nvmeHealthLog;
    // LOG SENSE pages by page code, as the device answers them (a page not
    // here: CHECK CONDITION, ILLEGAL REQUEST).
    std::map<uint8_t, ByteString> logPages;
    // The partition table (IOCTL_DISK_GET_DRIVE_LAYOUT_EX); nullopt: the
    // request fails with ERROR_INVALID_FUNCTION.
    using Layout = DiskLayout;
    std::optional<Layout> layout;
};

// The handles, sets and blocks of the platform calls:
// - CreateFileW opens a disk by its exact devicePath, a volume by its name
//   without the trailing backslash; a handle allows ReadFile, WriteFile and
//   the control requests that its desired access permits (the access bits of
//   the control code). Transfers must start and end on a sector boundary
//   (the geometry's BytesPerSector, else blockLength).
// - LocalAlloc blocks are real heap blocks, filled with 0xCD unless
//   LMEM_ZEROINIT is given; blocks above MaxBlockBytes are refused with
//   ERROR_NOT_ENOUGH_MEMORY. Blocks work whether or not a machine is
//   installed; each counts for the machine installed when it was allocated.
// - Without an installed machine every other call fails (ERROR_NOT_READY,
//   CM_* calls with CR_NO_SUCH_DEVNODE).
class Machine {
public:
    static constexpr size_t MaxBlockBytes = size_t{64} << 20;

    Machine();
    ~Machine();
    Machine(const Machine &) = delete;
    Machine &operator=(const Machine &) = delete;

    // The machine that answers platform calls now (null: every call fails).
    static Machine *Current();
    void Install();
    static void Uninstall();

    std::vector<Disk> disks;
    std::vector<Volume> volumes;
    std::vector<DeviceNode> nodes;
    std::optional<std::wstring> windowsDirectory; // nullopt: GetWindowsDirectoryW returns 0
    std::optional<std::wstring> systemDirectory;  // nullopt: GetSystemDirectoryW returns 0
    bool interfacesEnumerable = true;             // false: SetupDiGetClassDevsExW fails
    // false: the lengths GetVolumePathNamesForVolumeNameW reports (the size a
    // list needs, the characters it copied) leave out the list's final
    // terminator, and a buffer without room for only that terminator still
    // receives the names.
    bool pathNameLengthsCountFinalTerminator = true;

    // Building helpers. Each returns the index (or DEVINST) of what it added.
    DEVINST AddNode(const std::wstring &instanceId, const std::wstring &description, DEVINST parent = 0);
    // AddDisk gives a disk whose devicePath is empty or already taken by
    // another disk a path of its own (a device path names one device).
    int AddDisk(const Disk &d);
    int AddVolume(std::vector<Volume::Extent> extents, std::vector<std::wstring> pathNames);

    // Sector contents (offsets in bytes from the start of the disk).
    ByteString ReadBytes(int disk, uint64_t offset, size_t count) const;
    void WriteBytes(int disk, uint64_t offset, const ByteString &data);

    // Failure injection.
    void AddFault(const Fault &f);
    void ClearFaults();
    // Make the Nth LocalAlloc from now (0 = the next one) return null; -1 disables.
    void FailAllocation(long nth);
    // Every LocalAlloc from the Nth on fails.
    void FailAllocationsFrom(long nth);

    // Request log.
    const std::vector<Request> &Log() const;
    void ClearLog();
    size_t Count(Op op, DWORD ioctl = 0) const; // ioctl 0: any code
    bool logging = true;                        // benchmarks may switch it off

    // Accounting.
    size_t OpenHandles() const;     // device, volume and volume-search handles still open
    size_t OpenSets() const;        // device information sets not destroyed
    size_t LiveBlocks() const;      // LocalAlloc blocks not freed
    size_t BadReleases() const;     // closes/frees of a handle/block that was not open (double or bogus)
    size_t BlocksAllocated() const; // LocalAlloc calls that succeeded, ever

private:
    struct State;
    State *state;
    friend struct Backend;
};

// Installs a machine for the life of the guard.
class ScopedMachine {
public:
    explicit ScopedMachine(Machine &m) { m.Install(); }
    ~ScopedMachine() { Machine::Uninstall(); }
    ScopedMachine(const ScopedMachine &) = delete;
    ScopedMachine &operator=(const ScopedMachine &) = delete;
};

// Record builders, laid out as the storage stack lays them out.
// The adapter's AlignmentMask applies to direct pass-through data buffers:
// the machine refuses a buffer at an address with any of its bits set.
ByteString MakeAdapterDescriptor(STORAGE_BUS_TYPE bus, DWORD alignmentMask = 1);
// Strings are placed after the fixed part in the order vendor, product,
// revision, serial; a null pointer gives offset 0 (serial: 0xFFFFFFFF when
// serialAllOnes is set).
ByteString MakeDeviceDescriptor(const char *vendor, const char *product, const char *revision, const char *serial,
                                STORAGE_BUS_TYPE bus = BusTypeUnknown, bool serialAllOnes = false);
// IDENTIFY DEVICE data with the three strings stored as the drive stores them
// (two characters a word, first character in the high byte, space-padded).
ByteString MakeIdentify(const char *model, const char *serial, const char *firmware, uint64_t sectors = 0,
                        bool lba48 = false);
void SetIdentifyWord(ByteString &identify, unsigned word, uint16_t value);
// A SMART READ DATA block (thresholds false) or READ THRESHOLDS block with
// these entries (each 12 bytes, in order) and a checksum that holds.
struct SmartEntry {
    uint8_t id, value, threshold;
    uint64_t raw; // 48 bits
};
ByteString MakeSmartBlock(const std::vector<SmartEntry> &entries, bool thresholds);
// Standard INQUIRY data, 36 bytes unless `length` says otherwise, fields space-padded.
ByteString MakeInquiry(const char *vendor, const char *product, const char *revision, size_t length = 36);

} // namespace TavSim

#endif
