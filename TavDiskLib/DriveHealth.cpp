// SPDX-License-Identifier: MIT
// The disk's health, read without changing it: ATA SMART, the NVMe SMART /
// Health log, or the SCSI Informational Exceptions and Temperature pages.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"
#include "protocol/Health.h"

#include <algorithm>
#include <cstddef>
#include <cstring>

using namespace TavProtocol;
using namespace TavRecords;
namespace P = TavRequests;

namespace {

// Room for the SENDCMDOUTPARAMS header and a 512-byte block.
constexpr size_t SmartAnswerSize = offsetof(SENDCMDOUTPARAMS, bBuffer) + SmartBlockLength;

// The bus the device descriptor names (0, unknown, without one), read as
// the number the device put there: it need not be a value the enumeration
// holds.
uint32_t BusOf(const STORAGE_DEVICE_DESCRIPTOR *d) {
    const size_t at = offsetof(STORAGE_DEVICE_DESCRIPTOR, BusType);
    uint32_t bus = 0;
    if (HeldBytes(d) < at + sizeof bus)
        return 0;
    std::memcpy(&bus, RecordBytes(d) + at, sizeof bus);
    return bus;
}

} // namespace

// One SMART command through SMART_RCV_DRIVE_DATA or SMART_SEND_DRIVE_COMMAND:
// the error, or ERROR_SUCCESS with the answer in Answer. A drive that
// aborted the command, as the driver sets it in DRIVERSTATUS, failed.
ULONG Drive::SmartRequest(ULONG Code, unsigned char Feature, void *Answer, ULONG Size) {
    SENDCMDINPARAMS in;
    std::memset(&in, 0, sizeof in);
    in.cBufferSize = Feature == RETURN_SMART_STATUS ? 0 : SmartBlockLength;
    in.irDriveRegs.bFeaturesReg = Feature;
    in.irDriveRegs.bSectorCountReg = 1;
    in.irDriveRegs.bSectorNumberReg = 1;
    in.irDriveRegs.bCylLowReg = SMART_CYL_LOW;
    in.irDriveRegs.bCylHighReg = SMART_CYL_HI;
    in.irDriveRegs.bDriveHeadReg = 0xA0;
    in.irDriveRegs.bCommandReg = SMART_CMD;
    std::memset(Answer, 0, Size);
    DWORD returned = 0;
    P::SetLastError(ERROR_SUCCESS);
    if (!P::DeviceIoControl(DeviceHandle, Code, &in, sizeof in, Answer, Size, &returned, nullptr)) {
        const ULONG error = P::GetLastError();
        return error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
    }
    const auto *out = static_cast<const SENDCMDOUTPARAMS *>(Answer);
    if (returned < Size || out->DriverStatus.bDriverError != 0)
        return ERROR_IO_DEVICE;
    return ERROR_SUCCESS;
}

void Drive::ReadAtaHealth(DriveHealth &Health) {
    Health.Protocol = DriveHealth::ProtocolAta;
    alignas(8) unsigned char data[SmartAnswerSize], thresholds[SmartAnswerSize];
    const size_t at = offsetof(SENDCMDOUTPARAMS, bBuffer);
    const bool haveData = SmartRequest(SMART_RCV_DRIVE_DATA, READ_ATTRIBUTES, data, sizeof data) == ERROR_SUCCESS;
    const bool haveThresholds =
        haveData && SmartRequest(SMART_RCV_DRIVE_DATA, READ_THRESHOLDS, thresholds, sizeof thresholds) == ERROR_SUCCESS;
    const std::vector<SmartAttribute> attributes =
        haveData ? DecodeSmartAttributes(data + at, SmartBlockLength, haveThresholds ? thresholds + at : nullptr,
                                         haveThresholds ? SmartBlockLength : 0)
                 : std::vector<SmartAttribute>();
    const SmartSummary s = SummarizeSmartAttributes(attributes);
    if (s.temperature) {
        Health.Present |= DriveHealth::HasTemperature;
        Health.TemperatureCelsius = *s.temperature;
    }
    const auto put = [&Health](const std::optional<uint64_t> &value, unsigned bit, unsigned long long &field) {
        if (value) {
            Health.Present |= bit;
            field = *value;
        }
    };
    put(s.powerOnHours, DriveHealth::HasPowerOnHours, Health.PowerOnHours);
    put(s.reallocatedSectors, DriveHealth::HasReallocatedSectors, Health.ReallocatedSectors);
    put(s.pendingSectors, DriveHealth::HasPendingSectors, Health.PendingSectors);
    put(s.offlineUncorrectable, DriveHealth::HasOfflineUncorrectable, Health.OfflineUncorrectable);

    alignas(8) unsigned char status[offsetof(SENDCMDOUTPARAMS, bBuffer) + sizeof(IDEREGS)];
    const ULONG error = SmartRequest(SMART_SEND_DRIVE_COMMAND, RETURN_SMART_STATUS, status, sizeof status);
    HealthVerdict verdict = HealthVerdict::Unknown;
    if (error == ERROR_SUCCESS) {
        IDEREGS registers;
        std::memcpy(&registers, status + at, sizeof registers);
        verdict = SmartStatusVerdict(registers.bCylLowReg, registers.bCylHighReg);
    }
    // An attribute at its threshold is a failing disk whatever the status says.
    if (s.attributeFailed)
        verdict = HealthVerdict::Failing;
    Health.Verdict = static_cast<int>(verdict);
    if (verdict == HealthVerdict::Unknown)
        Health.Reason = error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
}

void Drive::ReadNvmeHealth(DriveHealth &Health) {
    Health.Protocol = DriveHealth::ProtocolNvme;
    const size_t at = offsetof(STORAGE_PROPERTY_QUERY, AdditionalParameters);
    const size_t data =
        offsetof(STORAGE_PROTOCOL_DATA_DESCRIPTOR, ProtocolSpecificData) + sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA);
    // One buffer carries the query in and the descriptor and log out.
    alignas(8) unsigned char buffer[std::max(at, offsetof(STORAGE_PROTOCOL_DATA_DESCRIPTOR, ProtocolSpecificData)) +
                                    sizeof(STORAGE_PROTOCOL_SPECIFIC_DATA) + NvmeHealthLogLength];
    std::memset(buffer, 0, sizeof buffer);
    const DWORD property = StorageDeviceProtocolSpecificProperty, type = PropertyStandardQuery;
    std::memcpy(buffer + offsetof(STORAGE_PROPERTY_QUERY, PropertyId), &property, sizeof property);
    std::memcpy(buffer + offsetof(STORAGE_PROPERTY_QUERY, QueryType), &type, sizeof type);
    STORAGE_PROTOCOL_SPECIFIC_DATA q;
    std::memset(&q, 0, sizeof q);
    q.ProtocolType = ProtocolTypeNvme;
    q.DataType = NVMeDataTypeLogPage;
    q.ProtocolDataRequestValue = NvmeLogHealth;
    q.ProtocolDataOffset = sizeof q;
    q.ProtocolDataLength = NvmeHealthLogLength;
    std::memcpy(buffer + at, &q, sizeof q);
    DWORD returned = 0;
    P::SetLastError(ERROR_SUCCESS);
    if (!P::DeviceIoControl(DeviceHandle, IOCTL_STORAGE_QUERY_PROPERTY, buffer, sizeof buffer, buffer, sizeof buffer,
                            &returned, nullptr)) {
        const ULONG error = P::GetLastError();
        Health.Reason = error != ERROR_SUCCESS ? error : ERROR_GEN_FAILURE;
        return;
    }
    // The log lies where the answer's own record says, within what arrived.
    STORAGE_PROTOCOL_DATA_DESCRIPTOR head;
    std::memcpy(&head, buffer, sizeof head);
    const uint64_t start = offsetof(STORAGE_PROTOCOL_DATA_DESCRIPTOR, ProtocolSpecificData) +
                           uint64_t{head.ProtocolSpecificData.ProtocolDataOffset};
    const uint64_t length = head.ProtocolSpecificData.ProtocolDataLength;
    std::optional<NvmeHealth> h;
    if (start >= data && start + length <= returned && returned <= sizeof buffer)
        h = DecodeNvmeHealthLog(buffer + start, static_cast<size_t>(length));
    if (!h) {
        Health.Reason = ERROR_INVALID_DATA;
        return;
    }
    Health.Verdict = static_cast<int>(NvmeVerdict(*h));
    Health.CriticalWarning = h->criticalWarning;
    if (h->temperature) {
        Health.Present |= DriveHealth::HasTemperature;
        Health.TemperatureCelsius = *h->temperature;
    }
    Health.Present |= DriveHealth::HasPowerOnHours | DriveHealth::HasPercentageUsed | DriveHealth::HasAvailableSpare |
                      DriveHealth::HasMediaErrors;
    Health.PowerOnHours = h->powerOnHours;
    Health.PercentageUsed = h->percentageUsed;
    Health.AvailableSpare = h->availableSpare;
    Health.MediaErrors = h->mediaErrors;
}

void Drive::ReadScsiHealth(DriveHealth &Health) {
    Health.Protocol = DriveHealth::ProtocolScsi;
    unsigned char page[252];
    std::memset(page, 0, sizeof page);
    Cdb10 cdb = LogSenseCdb(LogPageInformationalExceptions, sizeof page);
    const ULONG error =
        ScsiPassThrough(cdb.data(), static_cast<unsigned char>(cdb.size()), page, sizeof page, SCSI_IOCTL_DATA_IN);
    std::optional<InformationalExceptions> ie;
    if (error == ERROR_SUCCESS)
        ie = DecodeInformationalExceptionsPage(page, sizeof page);
    if (ie) {
        Health.Present |= DriveHealth::HasInformationalExceptions;
        Health.ExceptionAsc = ie->asc;
        Health.ExceptionAscq = ie->ascq;
        Health.Verdict = static_cast<int>(InformationalExceptionsVerdict(*ie));
        if (ie->temperature) {
            Health.Present |= DriveHealth::HasTemperature;
            Health.TemperatureCelsius = *ie->temperature;
        }
    }
    if (Health.Verdict == DriveHealth::VerdictUnknown)
        Health.Reason = error != ERROR_SUCCESS ? error : ERROR_INVALID_DATA;
    // The Temperature page, where the exceptions gave none.
    if (!(Health.Present & DriveHealth::HasTemperature)) {
        std::memset(page, 0, sizeof page);
        cdb = LogSenseCdb(LogPageTemperature, sizeof page);
        if (ScsiPassThrough(cdb.data(), static_cast<unsigned char>(cdb.size()), page, sizeof page,
                            SCSI_IOCTL_DATA_IN) == ERROR_SUCCESS)
            if (const std::optional<int> t = DecodeTemperaturePage(page, sizeof page)) {
                Health.Present |= DriveHealth::HasTemperature;
                Health.TemperatureCelsius = *t;
            }
    }
}

int Drive::GetHealth(DriveHealth *Health) {
    if (!Health) {
        P::SetLastError(ERROR_INVALID_PARAMETER);
        return 0;
    }
    *Health = DriveHealth();
    if (SmartVersion)
        ReadAtaHealth(*Health);
    else if (BusOf(DeviceDescriptor) == static_cast<uint32_t>(BusTypeNvme))
        ReadNvmeHealth(*Health);
    else
        ReadScsiHealth(*Health);
    if (Health->Verdict != DriveHealth::VerdictUnknown)
        return 1;
    if (Health->Reason == ERROR_SUCCESS)
        Health->Reason = ERROR_NOT_SUPPORTED;
    P::SetLastError(Health->Reason);
    return 0;
}
