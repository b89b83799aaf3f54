// SPDX-License-Identifier: MIT
// An open disk, partition or volume of the Linux backend, and the SCSI/ATA
// requests answered on it.
#ifndef TAVDISKLIB_PLATFORM_LINUX_DEVICE_H
#define TAVDISKLIB_PLATFORM_LINUX_DEVICE_H

#include "../types.h"
#include "Disks.h"
#include "Handles.h"
#include "Volumes.h"

#include <atomic>
#include <cstdint>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

namespace TavLinux {

struct FileObject : Object {
    static constexpr Kind TheKind = Kind::File;
    FileObject() : Object(Kind::File) {}
    ~FileObject() override;
    FileObject(const FileObject &) = delete;
    FileObject &operator=(const FileObject &) = delete;

    // What every sector transfer reads comes first, beside the reference
    // counts of the object's allocation: one cache line after the system
    // call returns, not three.
    bool isDisk = false;   // opened as a whole disk
    bool isVolume = false; // opened as a volume (partition path or volume name)
    bool replay = false;   // the device file is a recording: a regular file
    bool canRead = false, canWrite = false;
    // Something that may change the content went through this handle (a
    // write, a SCSI command other than those that only read).
    std::atomic<bool> wrote{false};
    bool writeProtected = false; // opened for writing, but the device is read-only
    int fd = -1;                 // -1: a handle for queries only (or not opened yet)
    uint32_t sectorBytes = 0;    // with fd: transfers move whole sectors of this size
    // The file position, in bytes: kept here, so that positioning is
    // bookkeeping and a transfer is one pread/pwrite at it.
    std::atomic<uint64_t> position{0};

    Root root;
    BlockEntry block;                          // the device opened
    std::optional<DiskInfo> disk;              // the whole disk the handle reaches (LoadDisk)
    std::shared_ptr<const VolumeFacts> volume; // opened by volume name: its extents and mounts
    DWORD desiredAccess = 0;                   // as CreateFileW was asked

    // A volume handle opens its device only when something needs the
    // device itself (a transfer, a command): what a volume scan asks of it
    // comes from sysfs. Returns the error of a failed open, else 0.
    DWORD OpenDevice() { return isVolume ? OpenVolumeDevice() : ERROR_SUCCESS; }

    // FSCTL_LOCK_VOLUME: the exclusive opens the handle holds, each with the
    // kernel name of the device it claims (Claims.cpp), under claimLock.
    std::mutex claimLock;
    bool locked = false;
    std::vector<std::pair<int, std::string>> claims;

    // Answers fetched from the device once per handle, under stateLock.
    std::mutex stateLock;
    int ataState = -1; // -1 not asked yet, 0 no, 1 the disk takes ATA commands
    std::vector<uint8_t> identify;
    std::optional<std::optional<std::string>> serial;

    // Describes the whole disk beneath the handle, once.
    void LoadDisk();
    // Recorded answers of a replayed device: <root>/ioctl/<name>/<file>.
    std::optional<std::string> RecordedAnswer(const std::string &file) const;
    uint64_t SizeBytes() const;
    // The logical sector size: what the handle's transfers move, else the
    // disk's as sysfs gives it (512 when unknown).
    uint32_t SectorSize() const;

private:
    DWORD OpenVolumeDevice();
    std::once_flag diskOnce;
    std::once_flag openOnce;
    DWORD openError = ERROR_SUCCESS;
};

// FSCTL_LOCK_VOLUME and FSCTL_UNLOCK_VOLUME on a handle (Claims.cpp); the
// error code of a refusal, else ERROR_SUCCESS.
DWORD LockDevice(FileObject &f);
DWORD UnlockDevice(FileObject &f);

// Outcome of one SCSI command.
struct ScsiResult {
    DWORD error = ERROR_SUCCESS;
    uint8_t status = 0;
    uint32_t transferred = 0;
    std::vector<uint8_t> sense;
};

// Sends a command to the disk: through SG_IO when it is a SCSI device on
// the live system, else answered by the backend's own translation (disks
// that speak no SCSI, and every recorded device).
ScsiResult ScsiCommand(FileObject &f, const uint8_t *cdb, size_t cdbLength, uint8_t *data, uint32_t length,
                       int direction, uint32_t timeoutSeconds);

// Whether the disk answers ATA commands (libata, or a SAT bridge), and its
// 512 bytes of IDENTIFY DEVICE data in the drive's own word layout.
bool TakesAta(FileObject &f);
DWORD Identify(FileObject &f, std::vector<uint8_t> &data);

// Health, read without changing the disk: a SMART READ DATA or READ
// THRESHOLDS block (512 bytes), the LBA mid/high registers RETURN STATUS
// left, and the NVMe SMART / Health log (512 bytes). Each returns the
// error, ERROR_NOT_SUPPORTED where nothing can be asked (a recording without
// the answer, a disk that is not NVMe).
DWORD SmartBlock(FileObject &f, uint8_t feature, std::vector<uint8_t> &block);
DWORD SmartStatus(FileObject &f, uint8_t &lbaMid, uint8_t &lbaHigh);
DWORD NvmeHealthLog(FileObject &f, std::vector<uint8_t> &log);

// The serial number for the device descriptor: sysfs, else VPD page 0x80
// asked of the device.
std::optional<std::string> DescriptorSerial(FileObject &f);

// Heads and sectors per track from HDIO_GETGEO (or its recording), when the
// answer is consistent with the disk's size.
std::optional<std::pair<uint32_t, uint32_t>> DriverGeometry(FileObject &f, uint64_t size, uint32_t sectorSize);

} // namespace TavLinux

#endif
