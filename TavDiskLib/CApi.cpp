// SPDX-License-Identifier: MIT
// The C interface (tavdisk.h): each function hands its call to one member of
// Drive or Adapter. A handle is the object's own address; a null handle
// gives the documented "nothing" result, and no exception leaves a function.
#include "tavdisk.h"

#include "Diagnostics.h"
#include "Requests.h"
#include "TavDiskLib.h"
#include "protocol/Utf8.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <string>
#include <vector>

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

int TAVDISK_CALL tavdisk_release(void) {
    try {
        return Drive::ReleaseState();
    } catch (...) {
        return 0;
    }
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

int TAVDISK_CALL tavdisk_drive_access(tavdisk_drive *drive) {
    return With(drive, int{TAVDISK_ACCESS_NONE}, [](Drive &d) { return d.GetAccess(); });
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

int TAVDISK_CALL tavdisk_drive_has_scsi_address(tavdisk_drive *drive) {
    return With(drive, 0, [](Drive &d) { return d.HasScsiAddress(); });
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

int TAVDISK_CALL tavdisk_drive_contains_system_volume(tavdisk_drive *drive) {
    return With(drive, 0, [](Drive &d) { return d.ContainsSystemVolume(); });
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

// ---------------------------------------------------------------------------
// Exact answers: the last-error code, the size in bytes, the disk number
// that may be unknown, and every text in UTF-8 with the size it needs.

namespace {

using TavProtocol::AppendUtf8;

std::string Utf8(const wchar_t *text, size_t length) { return TavDiagnostics::Utf8(text, length, false); }

// Delivers `text` whole with its terminator, or not at all.
int DeliverUtf8(const std::string &text, char *buffer, uint32_t capacity, uint32_t *size) {
    if (text.size() >= UINT32_MAX)
        return 0;
    const auto needed = static_cast<uint32_t>(text.size() + 1);
    if (size)
        *size = needed;
    if (!buffer || capacity < needed)
        return 0;
    std::memcpy(buffer, text.c_str(), needed);
    return 1;
}

// A wide text member's whole text; empty when it has none.
std::string WideText(Drive &d, WideMember member) {
    ULONG length = 0;
    (d.*member)(nullptr, 0, &length);
    std::wstring text(length ? length : 1, L'\0');
    if (!length || !(d.*member)(&text[0], length, &length))
        return std::string();
    return Utf8(text.c_str(), std::wcslen(text.c_str()));
}

// A narrow text member's whole text; device bytes outside ASCII are taken
// as Latin-1. Empty when the text is absent or does not apply. No field
// lies outside its record, and no record is larger than this.
constexpr ULONG WholeNarrowField = 64 * 1024 + 1;

std::string NarrowText(Drive &d, NarrowMember member) {
    std::vector<unsigned char> bytes(WholeNarrowField + 1, 0);
    ULONG count = 0;
    if (!(d.*member)(bytes.data(), WholeNarrowField, &count))
        return std::string();
    std::string out;
    for (ULONG i = 0; i < count && bytes[i] != 0; ++i)
        AppendUtf8(out, bytes[i]);
    return out;
}

} // namespace

extern "C" {

uint32_t TAVDISK_CALL tavdisk_last_error(void) { return static_cast<uint32_t>(TavRequests::GetLastError()); }

void TAVDISK_CALL tavdisk_set_last_error(uint32_t code) { TavRequests::SetLastError(static_cast<DWORD>(code)); }

uint64_t TAVDISK_CALL tavdisk_drive_get_size_bytes(tavdisk_drive *drive) {
    return With(drive, uint64_t{0}, [](Drive &d) {
        const LONGLONG sectors = d.GetSectors().QuadPart;
        const uint64_t bytes = d.GetBytesPerSector();
        if (sectors <= 0 || bytes == 0 || static_cast<uint64_t>(sectors) > UINT64_MAX / bytes)
            return uint64_t{0};
        return static_cast<uint64_t>(sectors) * bytes;
    });
}

int TAVDISK_CALL tavdisk_drive_query_drive_number(tavdisk_drive *drive, uint32_t *number) {
    return With(drive, 0, [&](Drive &d) {
        ULONG value = 0;
        if (!d.QueryDriveNumber(&value))
            return 0;
        if (number)
            *number = static_cast<uint32_t>(value);
        return 1;
    });
}

int TAVDISK_CALL tavdisk_drive_get_fact(tavdisk_drive *drive, uint32_t fact, uint32_t *value) {
    return With(drive, 0, [&](Drive &d) {
        ULONG bytes = 0;
        int flag = 0;
        int known = 0;
        switch (fact) {
        case TAVDISK_FACT_PHYSICAL_SECTOR_BYTES: known = d.GetPhysicalBytesPerSector(&bytes); break;
        case TAVDISK_FACT_ALIGNMENT_OFFSET: known = d.GetAlignmentOffset(&bytes); break;
        case TAVDISK_FACT_ROTATIONAL: known = d.IsRotational(&flag); break;
        case TAVDISK_FACT_TRIM: known = d.SupportsTrim(&flag); break;
        case TAVDISK_FACT_READ_ONLY: known = d.IsReadOnly(&flag); break;
        case TAVDISK_FACT_REMOVABLE: known = d.IsRemovable(&flag); break;
        default: TavPlatform::SetLastError(ERROR_INVALID_PARAMETER); return 0;
        }
        if (!known)
            return 0;
        if (value)
            *value = fact <= TAVDISK_FACT_ALIGNMENT_OFFSET ? static_cast<uint32_t>(bytes) : static_cast<uint32_t>(flag);
        return 1;
    });
}

int TAVDISK_CALL tavdisk_drive_get_world_wide_name(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                   uint32_t *size) {
    return With(drive, 0, [&](Drive &d) {
        if (size)
            *size = 0;
        // Asked twice at most: a name that grew between the two asks is
        // taken at its new length.
        std::string name(64, '\0');
        ULONG length = 0;
        for (int ask = 0; ask < 2; ++ask) {
            if (d.GetWorldWideName(&name[0], static_cast<ULONG>(name.size()), &length)) {
                name.resize(length - 1);
                return DeliverUtf8(name, buffer, capacity, size);
            }
            if (TavPlatform::GetLastError() != ERROR_INSUFFICIENT_BUFFER || !length)
                return 0;
            name.assign(length, '\0');
        }
        return 0;
    });
}

int TAVDISK_CALL tavdisk_drive_get_health(tavdisk_drive *drive, tavdisk_health *health) {
    return With(drive, 0, [&](Drive &d) {
        DriveHealth h;
        const int known = d.GetHealth(&h);
        if (health) {
            health->verdict = static_cast<uint32_t>(h.Verdict);
            health->protocol = static_cast<uint32_t>(h.Protocol);
            health->reason = static_cast<uint32_t>(h.Reason);
            health->present = static_cast<uint32_t>(h.Present);
            health->temperature_celsius = h.TemperatureCelsius;
            health->percentage_used = h.PercentageUsed;
            health->available_spare = h.AvailableSpare;
            health->critical_warning = h.CriticalWarning;
            health->exception_asc = h.ExceptionAsc;
            health->exception_ascq = h.ExceptionAscq;
            health->power_on_hours = h.PowerOnHours;
            health->reallocated_sectors = h.ReallocatedSectors;
            health->pending_sectors = h.PendingSectors;
            health->offline_uncorrectable = h.OfflineUncorrectable;
            health->media_errors = h.MediaErrors;
        }
        if (!known)
            TavPlatform::SetLastError(h.Reason);
        return known;
    });
}

int TAVDISK_CALL tavdisk_drive_get_text(tavdisk_drive *drive, uint32_t text, char *buffer, uint32_t capacity,
                                        uint32_t *size) {
    static const NarrowMember narrow[] = {
        &Drive::GetVendorId,         &Drive::GetProductId,
        &Drive::GetProductRevision,  &Drive::GetSerialNumber,
        &Drive::GetIdeDriveSerialNo, &Drive::GetIdeDriveFirmwareRevision,
        &Drive::GetIdeDriveModelNo,  &Drive::GetScsiVendorId,
        &Drive::GetScsiProductId,    &Drive::GetScsiProductRevision,
    };
    static const WideMember wide[] = {&Drive::GetDevicePath, &Drive::GetDriveLetters, &Drive::GetMountPoints};
    static_assert(TAVDISK_TEXT_SCSI_PRODUCT_REVISION == 10 && TAVDISK_TEXT_MOUNT_POINTS == 13,
                  "the text numbers index the tables");
    return With(drive, 0, [&](Drive &d) {
        if (text >= 1 && text <= 10)
            return DeliverUtf8(NarrowText(d, narrow[text - 1]), buffer, capacity, size);
        if (text >= 11 && text <= 13)
            return DeliverUtf8(WideText(d, wide[text - 11]), buffer, capacity, size);
        if (size)
            *size = 0;
        return 0;
    });
}

uint32_t TAVDISK_CALL tavdisk_drive_get_mount_point_count(tavdisk_drive *drive) {
    return With(drive, uint32_t{0}, [](Drive &d) { return static_cast<uint32_t>(d.GetMountPointCount()); });
}

int TAVDISK_CALL tavdisk_drive_get_mount_point(tavdisk_drive *drive, uint32_t index, char *buffer, uint32_t capacity,
                                               uint32_t *size) {
    return With(drive, 0, [&](Drive &d) {
        ULONG length = 0;
        d.GetMountPoint(index, nullptr, 0, &length);
        std::wstring path(length ? length : 1, L'\0');
        if (!length || !d.GetMountPoint(index, &path[0], length, &length)) {
            if (size)
                *size = 0;
            return 0;
        }
        return DeliverUtf8(Utf8(path.c_str(), length - 1), buffer, capacity, size);
    });
}

int TAVDISK_CALL tavdisk_drive_get_partition_table(tavdisk_drive *drive, uint32_t *style, uint32_t *count) {
    return With(drive, 0, [&](Drive &d) {
        int kind = 0;
        ULONG n = 0;
        if (!d.GetPartitionStyle(&kind) || !d.GetPartitionCount(&n))
            return 0;
        if (style)
            *style = static_cast<uint32_t>(kind);
        if (count)
            *count = n;
        return 1;
    });
}

int TAVDISK_CALL tavdisk_drive_get_partition(tavdisk_drive *drive, uint32_t index, tavdisk_partition *partition) {
    return With(drive, 0, [&](Drive &d) {
        TavPartition p;
        if (!d.GetPartition(index, &p))
            return 0;
        if (partition)
            *partition =
                tavdisk_partition{p.Number, p.MbrType, p.StartingOffset, p.Length, static_cast<uint32_t>(p.Active), 0};
        return 1;
    });
}

int TAVDISK_CALL tavdisk_drive_get_partition_text(tavdisk_drive *drive, uint32_t index, uint32_t text, char *buffer,
                                                  uint32_t capacity, uint32_t *size) {
    return With(drive, 0, [&](Drive &d) {
        if (size)
            *size = 0;
        TavPartition p;
        if (text < TAVDISK_PARTITION_TEXT_TYPE_GUID || text > TAVDISK_PARTITION_TEXT_MOUNT_POINTS ||
            !d.GetPartition(index, &p))
            return 0;
        if (text == TAVDISK_PARTITION_TEXT_MOUNT_POINTS) {
            ULONG length = 0;
            if (d.GetPartitionMountPoints(index, nullptr, 0, &length) < 0)
                return 0;
            std::wstring paths(length ? length : 1, L'\0');
            if (length && d.GetPartitionMountPoints(index, &paths[0], length, &length) != 1)
                return 0;
            return DeliverUtf8(Utf8(paths.c_str(), length ? length - 1 : 0), buffer, capacity, size);
        }
        const std::string textOf = text == TAVDISK_PARTITION_TEXT_TYPE_GUID ? p.TypeGuid
                                   : text == TAVDISK_PARTITION_TEXT_GUID    ? p.PartitionGuid
                                                                            : Utf8(p.Name, std::wcslen(p.Name));
        return DeliverUtf8(textOf, buffer, capacity, size);
    });
}

int TAVDISK_CALL tavdisk_drive_get_partition_table_id(tavdisk_drive *drive, char *buffer, uint32_t capacity,
                                                      uint32_t *size) {
    return With(drive, 0, [&](Drive &d) {
        if (size)
            *size = 0;
        ULONG length = 0;
        d.GetPartitionTableId(nullptr, 0, &length);
        if (!length)
            return 0;
        std::string id(length, '\0');
        if (!d.GetPartitionTableId(&id[0], length, &length))
            return 0;
        id.resize(length - 1);
        return DeliverUtf8(id, buffer, capacity, size);
    });
}

int TAVDISK_CALL tavdisk_adapter_get_description_text(tavdisk_adapter *adapter, char *buffer, uint32_t capacity,
                                                      uint32_t *size) {
    if (!adapter)
        return 0;
    try {
        ULONG bytes = 0;
        Of(adapter)->GetDescription(nullptr, 0, &bytes);
        std::vector<wchar_t> text(bytes / sizeof(wchar_t) + 1, L'\0');
        ULONG filled = 0;
        if (bytes)
            Of(adapter)->GetDescription(text.data(), static_cast<ULONG>((text.size() - 1) * sizeof(wchar_t)), &filled);
        if (!bytes || filled > bytes) {
            if (size)
                *size = 0;
            return 0;
        }
        return DeliverUtf8(Utf8(text.data(), std::wcslen(text.data())), buffer, capacity, size);
    } catch (...) {
        return 0;
    }
}

} // extern "C"
