// The C interface (tavdisk.h): each function hands its call to one member of
// Drive or Adapter. A handle is the object's own address; a null handle
// gives the documented "nothing" result, and no exception leaves a function.
#include "tavdisk.h"

#include "Diagnostics.h"
#include "Requests.h"
#include "TavDiskLib.h"

#include <new>

namespace {

Drive *Of(tavdisk_drive *drive) { return reinterpret_cast<Drive *>(drive); }

Adapter *Of(tavdisk_adapter *adapter) { return reinterpret_cast<Adapter *>(adapter); }

// Runs `call` on the drive; `none` when there is no drive or the call threw.
template <class Result, class Call> Result With(tavdisk_drive *drive, Result none, Call call) noexcept {
    if (!drive)
        return none;
    try {
        return call(*Of(drive));
    } catch (...) {
        return none;
    }
}

using NarrowMember = int (Drive::*)(unsigned char *, ULONG, ULONG *);
using WideMember = int (Drive::*)(wchar_t *, ULONG, ULONG *);

// The member's count or length goes through a ULONG of the caller's value,
// which is copied back: a member that leaves it alone leaves it alone.
class Count {
public:
    explicit Count(uint32_t *out) : out_(out), value_(out ? *out : 0) {}
    ~Count() {
        if (out_)
            *out_ = static_cast<uint32_t>(value_);
    }
    Count(const Count &) = delete;
    Count &operator=(const Count &) = delete;
    ULONG *Get() { return out_ ? &value_ : nullptr; }

private:
    uint32_t *out_;
    ULONG value_;
};

int Narrow(tavdisk_drive *drive, NarrowMember member, char *buffer, uint32_t capacity, uint32_t *count) noexcept {
    return With(drive, 0, [&](Drive &d) {
        Count delivered(count);
        return (d.*member)(reinterpret_cast<unsigned char *>(buffer), capacity, delivered.Get());
    });
}

int Wide(tavdisk_drive *drive, WideMember member, wchar_t *buffer, uint32_t capacity, uint32_t *length) noexcept {
    return With(drive, 0, [&](Drive &d) {
        Count needed(length);
        return (d.*member)(buffer, capacity, needed.Get());
    });
}

// ULONG holds the C interface's uint32_t on every target (unsigned long on
// Windows, where long is 32 bits).
static_assert(sizeof(ULONG) == sizeof(uint32_t), "ULONG must be 32 bits");

using TransferMember = int (Drive::*)(ULONG, unsigned char *);

int Transfer(tavdisk_drive *drive, uint32_t sector, void *buffer, uint32_t capacity, TransferMember member) noexcept {
    return With(drive, 0, [&](Drive &d) {
        // A sector that does not fit the caller's buffer is not moved.
        ULONG size = d.GetBytesPerSector();
        if (!buffer || size == 0 || capacity < size)
            return 0;
        return (d.*member)(sector, static_cast<unsigned char *>(buffer));
    });
}

#define TAVDISK_STRINGIZE2(x) #x
#define TAVDISK_STRINGIZE(x) TAVDISK_STRINGIZE2(x)

} // namespace

extern "C" {

uint32_t TAVDISK_CALL tavdisk_version(void) {
    return (uint32_t{TAVDISKLIB_VERSION_MAJOR} << 16) | (uint32_t{TAVDISKLIB_VERSION_MINOR} << 8) |
           uint32_t{TAVDISKLIB_VERSION_PATCH};
}

const char *TAVDISK_CALL tavdisk_version_string(void) {
    return TAVDISK_STRINGIZE(TAVDISKLIB_VERSION_MAJOR) "." TAVDISK_STRINGIZE(
        TAVDISKLIB_VERSION_MINOR) "." TAVDISK_STRINGIZE(TAVDISKLIB_VERSION_PATCH);
}

tavdisk_set *TAVDISK_CALL tavdisk_set_new(void) {
    try {
        void *set = Drive::GetDeviceInfoSet();
        if (!set || set == INVALID_HANDLE_VALUE)
            return nullptr;
        return static_cast<tavdisk_set *>(set);
    } catch (...) {
        return nullptr;
    }
}

void TAVDISK_CALL tavdisk_set_free(tavdisk_set *set) {
    if (!set)
        return;
    try {
        TavRequests::SetupDiDestroyDeviceInfoList(set);
    } catch (...) {
    }
}

tavdisk_drive *TAVDISK_CALL tavdisk_drive_new(tavdisk_set *set, uint32_t index) {
    if (!set)
        return nullptr;
    try {
        return reinterpret_cast<tavdisk_drive *>(Drive::GetDrive(set, index));
    } catch (...) {
        return nullptr;
    }
}

void TAVDISK_CALL tavdisk_drive_free(tavdisk_drive *drive) {
    try {
        delete Of(drive);
    } catch (...) {
    }
}

int TAVDISK_CALL tavdisk_drive_get_vendor_id(tavdisk_drive *drive, char *buffer, uint32_t capacity, uint32_t *count) {
    return Narrow(drive, &Drive::GetVendorId, buffer, capacity, count);
}

int TAVDISK_CALL tavdisk_drive_get_product_id(tavdisk_drive *drive, char *buffer, uint32_t capacity, uint32_t *count) {
    return Narrow(drive, &Drive::GetProductId, buffer, capacity, count);
}

int TAVDISK_CALL tavdisk_drive_get_product_revision(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                    uint32_t *count) {
    return Narrow(drive, &Drive::GetProductRevision, buffer, capacity, count);
}

int TAVDISK_CALL tavdisk_drive_get_serial_number(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                 uint32_t *count) {
    return Narrow(drive, &Drive::GetSerialNumber, buffer, capacity, count);
}

uint32_t TAVDISK_CALL tavdisk_drive_get_bus_type(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetBusType()); });
}

uint32_t TAVDISK_CALL tavdisk_drive_get_drive_number(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetDriveNumber()); });
}

int TAVDISK_CALL tavdisk_drive_get_device_path(tavdisk_drive *drive, wchar_t *buffer, uint32_t capacity,
                                               uint32_t *length) {
    return Wide(drive, &Drive::GetDevicePath, buffer, capacity, length);
}

uint32_t TAVDISK_CALL tavdisk_drive_get_device_instance(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetDeviceInstance()); });
}

uint32_t TAVDISK_CALL tavdisk_drive_get_device_parent_instance(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetDeviceParentInstance()); });
}

int TAVDISK_CALL tavdisk_drive_is_ata(tavdisk_drive *drive) {
    return With(drive, 0, [](Drive &d) { return d.IsAta(); });
}

int TAVDISK_CALL tavdisk_drive_get_ide_drive_serial_no(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                       uint32_t *count) {
    return Narrow(drive, &Drive::GetIdeDriveSerialNo, buffer, capacity, count);
}

int TAVDISK_CALL tavdisk_drive_get_ide_drive_firmware_revision(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                               uint32_t *count) {
    return Narrow(drive, &Drive::GetIdeDriveFirmwareRevision, buffer, capacity, count);
}

int TAVDISK_CALL tavdisk_drive_get_ide_drive_model_no(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                      uint32_t *count) {
    return Narrow(drive, &Drive::GetIdeDriveModelNo, buffer, capacity, count);
}

uint32_t TAVDISK_CALL tavdisk_drive_get_ide_controller_number(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetIdeControllerNumber()); });
}

uint32_t TAVDISK_CALL tavdisk_drive_get_ide_disk_number(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetIdeDiskNumber()); });
}

int TAVDISK_CALL tavdisk_drive_get_ide_supports_48bit_addressing(tavdisk_drive *drive) {
    return With(drive, 0, [](Drive &d) { return d.GetIdeSupports48BitAddressing(); });
}

int TAVDISK_CALL tavdisk_drive_get_ide_supports_security(tavdisk_drive *drive) {
    return With(drive, 0, [](Drive &d) { return d.GetIdeSupportsSecurity(); });
}

uint16_t TAVDISK_CALL tavdisk_drive_get_ide_security_erase_unit_time(tavdisk_drive *drive) {
    return With(drive, uint16_t{0}, [](Drive &d) { return static_cast<uint16_t>(d.GetIdeSecurityEraseUnitTime()); });
}

uint16_t TAVDISK_CALL tavdisk_drive_get_ide_enhanced_security_erase_unit_time(tavdisk_drive *drive) {
    return With(drive, uint16_t{0},
                [](Drive &d) { return static_cast<uint16_t>(d.GetIdeEnhancedSecurityEraseUnitTime()); });
}

int TAVDISK_CALL tavdisk_drive_get_scsi_vendor_id(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                  uint32_t *count) {
    return Narrow(drive, &Drive::GetScsiVendorId, buffer, capacity, count);
}

int TAVDISK_CALL tavdisk_drive_get_scsi_product_id(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                   uint32_t *count) {
    return Narrow(drive, &Drive::GetScsiProductId, buffer, capacity, count);
}

int TAVDISK_CALL tavdisk_drive_get_scsi_product_revision(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                         uint32_t *count) {
    return Narrow(drive, &Drive::GetScsiProductRevision, buffer, capacity, count);
}

uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_port(tavdisk_drive *drive) {
    return With(drive, uint8_t{0}, [](Drive &d) { return static_cast<uint8_t>(d.GetScsiPort()); });
}

uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_bus_id(tavdisk_drive *drive) {
    return With(drive, uint8_t{0}, [](Drive &d) { return static_cast<uint8_t>(d.GetScsiBusId()); });
}

uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_target_id(tavdisk_drive *drive) {
    return With(drive, uint8_t{0}, [](Drive &d) { return static_cast<uint8_t>(d.GetScsiTargetId()); });
}

uint8_t TAVDISK_CALL tavdisk_drive_get_scsi_logical_unit_id(tavdisk_drive *drive) {
    return With(drive, uint8_t{0}, [](Drive &d) { return static_cast<uint8_t>(d.GetScsiLogicalUnitId()); });
}

int64_t TAVDISK_CALL tavdisk_drive_get_capacity(tavdisk_drive *drive) {
    return With(drive, int64_t{0}, [](Drive &d) { return static_cast<int64_t>(d.GetCapacity().QuadPart); });
}

int64_t TAVDISK_CALL tavdisk_drive_get_cylinders(tavdisk_drive *drive) {
    return With(drive, int64_t{0}, [](Drive &d) { return static_cast<int64_t>(d.GetCylinders().QuadPart); });
}

uint32_t TAVDISK_CALL tavdisk_drive_get_tracks_per_cylinder(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetTracksPerCylinder()); });
}

uint32_t TAVDISK_CALL tavdisk_drive_get_sectors_per_track(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetSectorsPerTrack()); });
}

uint32_t TAVDISK_CALL tavdisk_drive_get_bytes_per_sector(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetBytesPerSector()); });
}

int64_t TAVDISK_CALL tavdisk_drive_get_sectors(tavdisk_drive *drive) {
    return With(drive, int64_t{0}, [](Drive &d) { return static_cast<int64_t>(d.GetSectors().QuadPart); });
}

int TAVDISK_CALL tavdisk_drive_read_sector(tavdisk_drive *drive, uint32_t sector, void *buffer, uint32_t capacity) {
    return Transfer(drive, sector, buffer, capacity, &Drive::ReadSector);
}

int TAVDISK_CALL tavdisk_drive_write_sector(tavdisk_drive *drive, uint32_t sector, const void *buffer,
                                            uint32_t capacity) {
    // WriteSector only reads the buffer.
    return Transfer(drive, sector, const_cast<void *>(buffer), capacity, &Drive::WriteSector);
}

int TAVDISK_CALL tavdisk_drive_write_sector_if_unused(tavdisk_drive *drive, uint32_t sector, const void *buffer,
                                                      uint32_t capacity) {
    // WriteSectorIfUnused only reads the buffer.
    return Transfer(drive, sector, const_cast<void *>(buffer), capacity, &Drive::WriteSectorIfUnused);
}

int TAVDISK_CALL tavdisk_drive_get_drive_letters(tavdisk_drive *drive, wchar_t *buffer, uint32_t capacity,
                                                 uint32_t *length) {
    return Wide(drive, &Drive::GetDriveLetters, buffer, capacity, length);
}

int TAVDISK_CALL tavdisk_drive_get_mount_points(tavdisk_drive *drive, wchar_t *buffer, uint32_t capacity,
                                                uint32_t *length) {
    return Wide(drive, &Drive::GetMountPoints, buffer, capacity, length);
}

int TAVDISK_CALL tavdisk_drive_get_sector_mount_point(tavdisk_drive *drive, uint32_t sector, wchar_t *buffer,
                                                      uint32_t capacity, uint32_t *length) {
    return With(drive, 0, [&](Drive &d) {
        Count needed(length);
        return d.GetSectorMountPoint(sector, buffer, capacity, needed.Get());
    });
}

int TAVDISK_CALL tavdisk_drive_contains_windows_boot_partition(tavdisk_drive *drive) {
    return With(drive, 0, [](Drive &d) { return d.ContainsWindowsBootPartition(); });
}

tavdisk_adapter *TAVDISK_CALL tavdisk_adapter_new(tavdisk_set *set, uint32_t dev_inst) {
    try {
        return reinterpret_cast<tavdisk_adapter *>(new (std::nothrow) Adapter(set, dev_inst));
    } catch (...) {
        return nullptr;
    }
}

void TAVDISK_CALL tavdisk_adapter_free(tavdisk_adapter *adapter) {
    try {
        delete Of(adapter);
    } catch (...) {
    }
}

void TAVDISK_CALL tavdisk_adapter_get_description(tavdisk_adapter *adapter, wchar_t *buffer, uint32_t capacity_bytes,
                                                  uint32_t *required_bytes) {
    if (!adapter)
        return;
    try {
        Count required(required_bytes);
        Of(adapter)->GetDescription(buffer, capacity_bytes, required.Get());
    } catch (...) {
    }
}

void TAVDISK_CALL tavdisk_set_failure_handler(tavdisk_failure_handler handler, void *context) {
    TavDiagnostics::SetHandler(handler, context);
}

} // extern "C"
