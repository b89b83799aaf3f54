// SPDX-License-Identifier: MIT
// Enumeration of the disk interfaces, construction of a Drive with its fixed
// probe sequence, release and assignment; and the SCSI command carrier.
#include "TavDiskLib.h"
#include "Records.h"
#include "Requests.h"
#include "protocol/Scsi.h"

#include <cstring>
#include <cwchar>
#include <new>
#include <utility>

using namespace TavRecords;
namespace P = TavRequests;

namespace {

// Upper bounds on sizes that come from the platform or the device. A device
// path is at most 32767 wide characters; storage descriptors are a few
// hundred bytes. Anything larger is treated as the absurd answer it is.
constexpr DWORD MaxInterfaceDetailSize = DevicePathOffset + 32768 * sizeof(WCHAR);
constexpr DWORD MaxDeviceDescriptorSize = 64 * 1024;

// Pass-through data: the largest transfer the carrier takes, and the
// alignment of its block: at least 16 bytes, and above the adapter's
// AlignmentMask so that every bit the mask names is clear, bounded to a page.
constexpr ULONG MaxTransferBounce = 16 * 1024 * 1024;
constexpr size_t MinTransferAlignment = 16;
constexpr size_t MaxTransferAlignment = 4096;

size_t TransferAlignment(const STORAGE_ADAPTER_DESCRIPTOR *adapter) {
    const DWORD mask = adapter ? adapter->AlignmentMask : 0;
    size_t alignment = MinTransferAlignment;
    while (alignment <= mask && alignment < MaxTransferAlignment)
        alignment <<= 1;
    return alignment;
}

// The Drive class as a caller who builds it from its header lays it
// out: these sixteen fields in this order, and nothing else.
struct DriveMirror {
    HANDLE DeviceHandle;
    void *DeviceInfoSet;
    ULONG MemberIndex;
    SP_DEVICE_INTERFACE_DATA *InterfaceData;
    SP_DEVINFO_DATA *DevInfoData;
    SP_DEVICE_INTERFACE_DETAIL_DATA_W *InterfaceDetail;
    STORAGE_ADAPTER_DESCRIPTOR *AdapterDescriptor;
    STORAGE_DEVICE_DESCRIPTOR *DeviceDescriptor;
    GETVERSIONINPARAMS *SmartVersion;
    SENDCMDOUTPARAMS *IdentifyResult;
    unsigned char InquiryData[56];
    SCSI_ADDRESS *ScsiAddress;
    DISK_GEOMETRY *Geometry;
    DISK_CONTROLLER_NUMBER *ControllerNumber;
    wchar_t *DriveLetterTable;
    wchar_t *MountPointList;
};

} // namespace

void *Drive::GetDeviceInfoSet() {
    return P::SetupDiGetClassDevsExW(&P::DiskInterfaceClass, nullptr, nullptr, DIGCF_PRESENT | DIGCF_DEVICEINTERFACE,
                                     nullptr, nullptr, nullptr);
}

int Drive::ReleaseState() {
    if (DWORD error = TavPlatform::ReleaseBackendState()) {
        P::SetLastError(error);
        return 0;
    }
    return 1;
}

Drive *Drive::GetDrive(void *DeviceInfoSet, ULONG MemberIndex) {
    auto *data = Alloc<SP_DEVICE_INTERFACE_DATA>();
    if (!data)
        return nullptr;
    data->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    if (!P::SetupDiEnumDeviceInterfaces(DeviceInfoSet, nullptr, &P::DiskInterfaceClass, MemberIndex, data)) {
        Release(data);
        return nullptr;
    }
    Drive *drive = new (std::nothrow) Drive(DeviceInfoSet, MemberIndex, data);
    if (!drive) {
        Release(data);
        return nullptr;
    }
    return drive;
}

int Drive::GetMemberDevicePath(void *DeviceInfoSet, ULONG MemberIndex, wchar_t *Buffer, ULONG Capacity, ULONG *Length) {
    if (Length)
        *Length = 0;
    int result = 0;
    auto *data = Alloc<SP_DEVICE_INTERFACE_DATA>();
    if (!data)
        return 0;
    data->cbSize = sizeof(SP_DEVICE_INTERFACE_DATA);
    DWORD required = 0;
    if (!P::SetupDiEnumDeviceInterfaces(DeviceInfoSet, nullptr, &P::DiskInterfaceClass, MemberIndex, data)) {
        Release(data);
        return -1;
    }
    P::SetupDiGetDeviceInterfaceDetailW(DeviceInfoSet, data, nullptr, 0, &required, nullptr);
    auto *detail = required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) && required <= MaxInterfaceDetailSize
                       ? Alloc<SP_DEVICE_INTERFACE_DETAIL_DATA_W>(required)
                       : nullptr;
    if (detail) {
        detail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
        if (P::SetupDiGetDeviceInterfaceDetailW(DeviceInfoSet, data, detail, required, nullptr, nullptr)) {
            auto *path = reinterpret_cast<WCHAR *>(RecordBytes(detail) + DevicePathOffset);
            path[(required - DevicePathOffset) / sizeof(WCHAR) - 1] = 0;
            const ULONG needed = static_cast<ULONG>(std::wcslen(path) + 1);
            if (Length)
                *Length = needed;
            if (Buffer && Capacity >= needed) {
                std::wmemcpy(Buffer, path, needed);
                result = 1;
            }
        }
        Release(detail);
    }
    Release(data);
    return result;
}

Drive::Drive(void *DeviceInfoSet_, ULONG MemberIndex_, SP_DEVICE_INTERFACE_DATA *InterfaceData_)
    : DeviceHandle(INVALID_HANDLE_VALUE), DeviceInfoSet(DeviceInfoSet_), MemberIndex(MemberIndex_),
      InterfaceData(InterfaceData_), DevInfoData(nullptr), InterfaceDetail(nullptr), AdapterDescriptor(nullptr),
      DeviceDescriptor(nullptr), SmartVersion(nullptr), IdentifyResult(nullptr), InquiryData{}, ScsiAddress(nullptr),
      Geometry(nullptr), ControllerNumber(nullptr), DriveLetterTable(nullptr), MountPointList(nullptr) {
    // Callers build and assign Drive from the header: its fields must stand
    // exactly where DriveMirror's do.
#define TAVDISK_SAME_PLACE(field) (offsetof(Drive, field) == offsetof(DriveMirror, field))
    static_assert(sizeof(Drive) == sizeof(DriveMirror) && alignof(Drive) == alignof(DriveMirror) &&
                      TAVDISK_SAME_PLACE(DeviceHandle) && TAVDISK_SAME_PLACE(DeviceInfoSet) &&
                      TAVDISK_SAME_PLACE(MemberIndex) && TAVDISK_SAME_PLACE(InterfaceData) &&
                      TAVDISK_SAME_PLACE(DevInfoData) && TAVDISK_SAME_PLACE(InterfaceDetail) &&
                      TAVDISK_SAME_PLACE(AdapterDescriptor) && TAVDISK_SAME_PLACE(DeviceDescriptor) &&
                      TAVDISK_SAME_PLACE(SmartVersion) && TAVDISK_SAME_PLACE(IdentifyResult) &&
                      TAVDISK_SAME_PLACE(InquiryData) && TAVDISK_SAME_PLACE(ScsiAddress) &&
                      TAVDISK_SAME_PLACE(Geometry) && TAVDISK_SAME_PLACE(ControllerNumber) &&
                      TAVDISK_SAME_PLACE(DriveLetterTable) && TAVDISK_SAME_PLACE(MountPointList),
                  "Drive holds exactly the sixteen fields of its record, in order");
#undef TAVDISK_SAME_PLACE
    int access = AccessNone;
    DWORD openError = ERROR_SUCCESS;
    // The first detail call only learns the size the detail record needs.
    DWORD required = 0;
    P::SetupDiGetDeviceInterfaceDetailW(DeviceInfoSet, InterfaceData, nullptr, 0, &required, nullptr);

    // A required size too small for the fixed part (an interface record that
    // does not belong to the set) or absurdly large leaves the detail absent:
    // the disk then has no path and every request on it fails.
    if (required >= sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W) && required <= MaxInterfaceDetailSize) {
        InterfaceDetail = Alloc<SP_DEVICE_INTERFACE_DETAIL_DATA_W>(required);
        if (InterfaceDetail)
            InterfaceDetail->cbSize = sizeof(SP_DEVICE_INTERFACE_DETAIL_DATA_W);
    }

    DevInfoData = Alloc<SP_DEVINFO_DATA>(sizeof(DevInfoRecord));
    if (DevInfoData)
        DevInfoData->cbSize = sizeof(SP_DEVINFO_DATA);

    if (InterfaceDetail) {
        P::SetupDiGetDeviceInterfaceDetailW(DeviceInfoSet, InterfaceData, InterfaceDetail, required, nullptr,
                                            DevInfoData);
        // The path must end inside the block whatever the platform wrote.
        size_t slots = (required - DevicePathOffset) / sizeof(WCHAR);
        reinterpret_cast<WCHAR *>(RecordBytes(InterfaceDetail) + DevicePathOffset)[slots - 1] = 0;

        const WCHAR *path = reinterpret_cast<const WCHAR *>(RecordBytes(InterfaceDetail) + DevicePathOffset);
        DeviceHandle = P::CreateFileW(path, GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr,
                                      OPEN_EXISTING, 0, nullptr);
        access = AccessFull;
        if (DeviceHandle == INVALID_HANDLE_VALUE) {
            // Why the open failed, for the caller to read after construction
            // (the probes below overwrite the thread's code).
            openError = P::GetLastError();
            // Without the rights for read and write access (or refused for
            // any other reason) the disk may still be opened for queries
            // only: the descriptors, the device number, the geometry and the
            // volumes answer on such a handle; SMART, pass-through and
            // transfers are refused.
            DeviceHandle =
                P::CreateFileW(path, 0, FILE_SHARE_READ | FILE_SHARE_WRITE, nullptr, OPEN_EXISTING, 0, nullptr);
            access = DeviceHandle == INVALID_HANDLE_VALUE ? AccessNone : AccessQuery;
        }
    }
    if (DevInfoData)
        reinterpret_cast<DevInfoRecord *>(DevInfoData)->Access = access;

    GetAdapterInfo();
    GetDeviceInfo();
    DetectIde();
    if (SmartVersion)
        IdentifyIde();
    else
        ScsiInquire();
    ScsiLocate();

    if (access != AccessFull)
        P::SetLastError(InterfaceDetail && openError != ERROR_SUCCESS ? openError : ERROR_INVALID_HANDLE);
}

int Drive::GetAccess() {
    if (DeviceHandle == INVALID_HANDLE_VALUE || DeviceHandle == nullptr)
        return AccessNone;
    // Without its record the access cannot be told; only what a handle for
    // queries allows is claimed.
    if (HeldBytes(DevInfoData) < sizeof(DevInfoRecord))
        return AccessQuery;
    const int access = reinterpret_cast<const DevInfoRecord *>(DevInfoData)->Access;
    return access == AccessFull ? AccessFull : AccessQuery;
}

Drive::~Drive() {
    Release(InterfaceData);
    Release(DevInfoData);
    Release(InterfaceDetail);
    Release(AdapterDescriptor);
    Release(DeviceDescriptor);
    Release(SmartVersion);
    Release(IdentifyResult);
    Release(Geometry);
    Release(ScsiAddress);
    Release(ControllerNumber);
    if (DeviceHandle != INVALID_HANDLE_VALUE && DeviceHandle != nullptr)
        P::CloseHandle(DeviceHandle);
    Release(DriveLetterTable);
    Release(MountPointList);
}

Drive::Drive(Drive const &Other)
    : DeviceHandle(INVALID_HANDLE_VALUE), DeviceInfoSet(Other.DeviceInfoSet), MemberIndex(Other.MemberIndex),
      InterfaceData(Duplicate(Other.InterfaceData)), DevInfoData(Duplicate(Other.DevInfoData)),
      InterfaceDetail(Duplicate(Other.InterfaceDetail)), AdapterDescriptor(Duplicate(Other.AdapterDescriptor)),
      DeviceDescriptor(Duplicate(Other.DeviceDescriptor)), SmartVersion(Duplicate(Other.SmartVersion)),
      IdentifyResult(Duplicate(Other.IdentifyResult)), InquiryData{}, ScsiAddress(Duplicate(Other.ScsiAddress)),
      Geometry(Duplicate(Other.Geometry)), ControllerNumber(Duplicate(Other.ControllerNumber)),
      DriveLetterTable(nullptr), MountPointList(nullptr) {
    std::memcpy(InquiryData, Other.InquiryData, sizeof InquiryData);
    // The volume records go together or not at all (a later call scans).
    if (Other.DriveLetterTable && Other.MountPointList) {
        DriveLetterTable = Duplicate(Other.DriveLetterTable);
        MountPointList = Duplicate(Other.MountPointList);
        if (!DriveLetterTable || !MountPointList) {
            Release(DriveLetterTable);
            Release(MountPointList);
            DriveLetterTable = MountPointList = nullptr;
        }
    }
    // A second handle on the disk, so that each object closes its own. When
    // it cannot be had the copy answers from its records and its requests
    // fail, as for a disk that could not be opened.
    if (Other.DeviceHandle != INVALID_HANDLE_VALUE && Other.DeviceHandle != nullptr) {
        HANDLE process = P::GetCurrentProcess();
        HANDLE copy = INVALID_HANDLE_VALUE;
        if (P::DuplicateHandle(process, Other.DeviceHandle, process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS))
            DeviceHandle = copy;
    }
}

Drive::Drive(Drive &&Other) noexcept
    : DeviceHandle(INVALID_HANDLE_VALUE), DeviceInfoSet(Other.DeviceInfoSet), MemberIndex(Other.MemberIndex),
      InterfaceData(nullptr), DevInfoData(nullptr), InterfaceDetail(nullptr), AdapterDescriptor(nullptr),
      DeviceDescriptor(nullptr), SmartVersion(nullptr), IdentifyResult(nullptr), InquiryData{}, ScsiAddress(nullptr),
      Geometry(nullptr), ControllerNumber(nullptr), DriveLetterTable(nullptr), MountPointList(nullptr) {
    *this = std::move(Other);
}

Drive &Drive::operator=(Drive const &Other) {
    if (this != &Other) {
        Drive copy(Other);
        *this = std::move(copy);
    }
    return *this;
}

Drive &Drive::operator=(Drive &&Other) noexcept {
    // An exchange: what this object held goes with the other one.
    std::swap(DeviceHandle, Other.DeviceHandle);
    std::swap(DeviceInfoSet, Other.DeviceInfoSet);
    std::swap(MemberIndex, Other.MemberIndex);
    std::swap(InterfaceData, Other.InterfaceData);
    std::swap(DevInfoData, Other.DevInfoData);
    std::swap(InterfaceDetail, Other.InterfaceDetail);
    std::swap(AdapterDescriptor, Other.AdapterDescriptor);
    std::swap(DeviceDescriptor, Other.DeviceDescriptor);
    std::swap(SmartVersion, Other.SmartVersion);
    std::swap(IdentifyResult, Other.IdentifyResult);
    std::swap(InquiryData, Other.InquiryData);
    std::swap(ScsiAddress, Other.ScsiAddress);
    std::swap(Geometry, Other.Geometry);
    std::swap(ControllerNumber, Other.ControllerNumber);
    std::swap(DriveLetterTable, Other.DriveLetterTable);
    std::swap(MountPointList, Other.MountPointList);
    return *this;
}

// ProbeNote: each probe below reads the last-error code after its request
// and does not use it. The probe's outcome is its success flag, or nothing
// for the records kept whatever the outcome; the read leaves the code as the
// request set it, for a caller who asks after construction.

int Drive::GetAdapterInfo() {
    AdapterDescriptor = Alloc<STORAGE_ADAPTER_DESCRIPTOR>();
    auto *query = Alloc<STORAGE_PROPERTY_QUERY>();
    if (!AdapterDescriptor || !query) {
        Release(query);
        return 0;
    }
    query->PropertyId = StorageAdapterProperty;
    query->QueryType = PropertyStandardQuery;
    DWORD returned = 0;
    BOOL ok = P::DeviceIoControl(DeviceHandle, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof(STORAGE_PROPERTY_QUERY),
                                 AdapterDescriptor, sizeof(STORAGE_ADAPTER_DESCRIPTOR), &returned, nullptr);
    P::GetLastError(); // not used: see ProbeNote above
    Release(query);
    return ok;
}

int Drive::GetDeviceInfo() {
    auto *query = Alloc<STORAGE_PROPERTY_QUERY>();
    auto *header = Alloc<STORAGE_DESCRIPTOR_HEADER>();
    if (!query || !header) {
        Release(header);
        Release(query);
        DeviceDescriptor = Alloc<STORAGE_DEVICE_DESCRIPTOR>(0);
        return 0;
    }
    query->PropertyId = StorageDeviceProperty;
    query->QueryType = PropertyStandardQuery;
    DWORD returned = 0;
    P::DeviceIoControl(DeviceHandle, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof(STORAGE_PROPERTY_QUERY), header,
                       sizeof(STORAGE_DESCRIPTOR_HEADER), &returned, nullptr);
    P::GetLastError(); // not used: see ProbeNote above

    // The header's Size is the device's word; never allocate from it unchecked.
    DWORD size = header->Size;
    if (size > MaxDeviceDescriptorSize)
        size = MaxDeviceDescriptorSize;
    DeviceDescriptor = Alloc<STORAGE_DEVICE_DESCRIPTOR>(size);
    BOOL ok = FALSE;
    if (DeviceDescriptor) {
        ok = P::DeviceIoControl(DeviceHandle, IOCTL_STORAGE_QUERY_PROPERTY, query, sizeof(STORAGE_PROPERTY_QUERY),
                                DeviceDescriptor, size, &returned, nullptr);
        P::GetLastError(); // not used: see ProbeNote above
    }
    Release(header);
    Release(query);
    return ok;
}

void Drive::DetectIde() {
    SmartVersion = Alloc<GETVERSIONINPARAMS>();
    if (!SmartVersion)
        return; // without the record the disk cannot count as ATA
    // A successful request leaves the last-error code alone, so a code left
    // by an earlier failure must not be read as this request's answer.
    P::SetLastError(ERROR_SUCCESS);
    DWORD returned = 0;
    P::DeviceIoControl(DeviceHandle, SMART_GET_VERSION, nullptr, 0, SmartVersion, sizeof(GETVERSIONINPARAMS), &returned,
                       nullptr);
    if (P::GetLastError() != ERROR_SUCCESS) {
        Release(SmartVersion);
        SmartVersion = nullptr;
    }
}

void Drive::IdentifyIde() {
    IdentifyResult = Alloc<SENDCMDOUTPARAMS>(IdentifyResultSize);
    auto *in = Alloc<SENDCMDINPARAMS>();
    DWORD returned = 0;
    if (IdentifyResult && in) {
        in->irDriveRegs.bCommandReg = ID_CMD;
        P::DeviceIoControl(DeviceHandle, SMART_RCV_DRIVE_DATA, in, sizeof(SENDCMDINPARAMS), IdentifyResult,
                           static_cast<DWORD>(IdentifyResultSize), &returned, nullptr);
        P::GetLastError(); // not used: see ProbeNote above
    }
    ControllerNumber = Alloc<DISK_CONTROLLER_NUMBER>();
    if (ControllerNumber) {
        P::DeviceIoControl(DeviceHandle, IOCTL_DISK_CONTROLLER_NUMBER, nullptr, 0, ControllerNumber,
                           sizeof(DISK_CONTROLLER_NUMBER), &returned, nullptr);
        P::GetLastError(); // not used: see ProbeNote above
    }
    Release(in);
}

void Drive::ScsiInquire() {
    // Standard INQUIRY. The allocation length is the transfer's own size: a
    // device told it may send more than the buffer holds overruns it, and
    // some answer that with no data at all or a reset.
    TavProtocol::Cdb6 cdb = TavProtocol::InquiryCdb(sizeof InquiryData);
    ScsiPassThrough(cdb.data(), static_cast<unsigned char>(cdb.size()), InquiryData, sizeof InquiryData,
                    SCSI_IOCTL_DATA_IN);
}

void Drive::ScsiLocate() {
    ScsiAddress = Alloc<SCSI_ADDRESS>(sizeof(ScsiAddressRecord));
    if (!ScsiAddress)
        return;
    ScsiAddress->Length = sizeof(SCSI_ADDRESS);
    DWORD returned = 0;
    BOOL answered = P::DeviceIoControl(DeviceHandle, IOCTL_SCSI_GET_ADDRESS, nullptr, 0, ScsiAddress,
                                       sizeof(SCSI_ADDRESS), &returned, nullptr);
    reinterpret_cast<ScsiAddressRecord *>(ScsiAddress)->Answered = answered ? 1 : 0;
}

ULONG Drive::ScsiPassThrough(unsigned char *Cdb, unsigned char CdbLength, void *DataBuffer, ULONG DataLength,
                             unsigned char DataIn) {
    // The direct pass-through moves the data straight between the device and
    // the buffer, so the buffer must meet the adapter's alignment; the
    // caller's (a field of the Drive, a reply on the stack) need not. The
    // data goes through a zeroed stretch of the record's own block, placed
    // at the adapter's alignment after the record.
    const size_t alignment = TransferAlignment(AdapterDescriptor);
    if (DataLength > MaxTransferBounce)
        return ERROR_NOT_ENOUGH_MEMORY;
    // An adapter that asks for more than a page cannot be served: whether a
    // block happened to meet its alignment would decide the outcome.
    if (DataLength != 0 && AdapterDescriptor && AdapterDescriptor->AlignmentMask >= MaxTransferAlignment)
        return ERROR_INVALID_PARAMETER;
    const size_t record = sizeof(SCSI_PASS_THROUGH_DIRECT);
    auto *sptd = Alloc<SCSI_PASS_THROUGH_DIRECT>(DataLength ? record + DataLength + alignment - 1 : record);
    if (!sptd)
        return ERROR_NOT_ENOUGH_MEMORY;
    unsigned char *data = static_cast<unsigned char *>(DataBuffer);
    if (DataLength != 0) {
        const uintptr_t after = reinterpret_cast<uintptr_t>(RecordBytes(sptd) + record);
        data = RecordBytes(sptd) + record + ((alignment - after % alignment) % alignment);
        if (DataIn == SCSI_IOCTL_DATA_OUT && DataBuffer)
            std::memcpy(data, DataBuffer, DataLength);
    }
    unsigned char length = CdbLength <= sizeof sptd->Cdb ? CdbLength : static_cast<unsigned char>(sizeof sptd->Cdb);
    sptd->Length = sizeof(SCSI_PASS_THROUGH_DIRECT);
    std::memcpy(sptd->Cdb, Cdb, length);
    sptd->CdbLength = length;
    sptd->DataIn = DataIn;
    sptd->TimeOutValue = 2;
    sptd->DataBuffer = data;
    sptd->DataTransferLength = DataLength;

    // The command succeeded when the thread's code is still 0 afterwards;
    // clear it first so that a code left by an earlier failure does not count.
    P::SetLastError(ERROR_SUCCESS);
    DWORD returned = 0;
    BOOL ok = P::DeviceIoControl(DeviceHandle, IOCTL_SCSI_PASS_THROUGH_DIRECT, sptd, sizeof(SCSI_PASS_THROUGH_DIRECT),
                                 sptd, sizeof(SCSI_PASS_THROUGH_DIRECT), &returned, nullptr);
    ULONG error = P::GetLastError();
    // A request that failed without saying why, or a device that answered
    // with a status other than GOOD (e.g. CHECK CONDITION), delivered no data
    // the caller can use.
    if (error == ERROR_SUCCESS && !ok)
        error = ERROR_GEN_FAILURE;
    else if (error == ERROR_SUCCESS && sptd->ScsiStatus != TavProtocol::StatusGood)
        error = ERROR_IO_DEVICE;
    // Whatever reached the block (zeros where the device wrote nothing) is
    // the caller's answer, as if it had been moved into the caller's buffer.
    if (DataLength != 0 && DataIn == SCSI_IOCTL_DATA_IN && DataBuffer)
        std::memcpy(DataBuffer, data, DataLength);
    Release(sptd);
    return error;
}
