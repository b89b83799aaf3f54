// SPDX-License-Identifier: MIT
// TavDiskLib: the physical disks of a machine, what each one is and where it
// sits.
//
//   void *set = Drive::GetDeviceInfoSet();
//   for (TavDiskLib::ULONG i = 0;; ++i) {
//       Drive *d = Drive::GetDrive(set, i);
//       if (!d) break;
//       ... ask d ...
//       delete d;
//   }
//   SetupDiDestroyDeviceInfoList(set);
//
// Drive and Adapter are values: a copy (construction or assignment) holds a
// second handle on the disk and its own copy of every record, so the two are
// used and destroyed independently; a move hands the handle and the records
// over and leaves the source holding none (it answers like a disk that could
// not be opened). A Drive's copies share the disk's file position, so use
// them from one thread at a time, as a single Drive.
//
// The types of the signatures are those of TavDiskLibTypes.h: on Windows the
// platform's own (ULONG is `unsigned long`); elsewhere the namespace
// TavDiskLib holds them, with ULONG a 32-bit unsigned integer. The C
// interface over the same classes is tavdisk.h.
#ifndef TAVDISKLIB_TAVDISKLIB_H
#define TAVDISKLIB_TAVDISKLIB_H

#include "TavDiskLibTypes.h"

#if defined(_WIN32)
#if defined(TAVDISKLIB_STATIC)
#define TAVDISKLIB_API
#elif defined(TAVDISKLIB_BUILDING)
#define TAVDISKLIB_API __declspec(dllexport)
#else
#define TAVDISKLIB_API __declspec(dllimport)
#endif
#else
#define TAVDISKLIB_API __attribute__((visibility("default")))
#endif

struct DriveTestAccess;

// A disk's health as Drive::GetHealth reads it (an addition). A value the
// disk did not give is absent: its bit is clear in Present and the field 0.
struct DriveHealth {
    enum VerdictKind { VerdictUnknown = 0, VerdictPassed = 1, VerdictFailing = 2 };
    enum ProtocolKind { ProtocolNone = 0, ProtocolAta = 1, ProtocolNvme = 2, ProtocolScsi = 3 };
    enum PresentBit {
        HasTemperature = 1,
        HasPowerOnHours = 2,
        HasReallocatedSectors = 4,       // ATA attribute 5
        HasPendingSectors = 8,           // ATA attribute 197
        HasOfflineUncorrectable = 16,    // ATA attribute 198
        HasPercentageUsed = 32,          // NVMe
        HasAvailableSpare = 64,          // NVMe
        HasMediaErrors = 128,            // NVMe
        HasInformationalExceptions = 256 // SCSI: ExceptionAsc and ExceptionAscq
    };
    int Verdict = VerdictUnknown;
    int Protocol = ProtocolNone;   // the protocol that was asked
    TavDiskLib::ULONG Reason = 0;  // VerdictUnknown: why, as a last-error code
    TavDiskLib::ULONG Present = 0; // PresentBit values
    int TemperatureCelsius = 0;
    unsigned long long PowerOnHours = 0, ReallocatedSectors = 0, PendingSectors = 0, OfflineUncorrectable = 0,
                       MediaErrors = 0;
    unsigned PercentageUsed = 0, AvailableSpare = 0;
    unsigned char CriticalWarning = 0;                 // NVMe: the log's critical warning bits
    unsigned char ExceptionAsc = 0, ExceptionAscq = 0; // SCSI: the predicted exception (0: none)
};

// One partition of a disk's table (Drive::GetPartition).
struct TavPartition {
    TavDiskLib::ULONG Number;          // as the platform numbers it (1 for the first)
    unsigned long long StartingOffset; // bytes from the start of the disk
    unsigned long long Length;         // bytes
    unsigned char MbrType;             // MBR: the type byte; 0 on other tables
    int Active;                        // MBR: the active (boot) flag
    char TypeGuid[37];                 // GPT: the type GUID as text; "" on other tables
    char PartitionGuid[37];            // GPT: the partition's own GUID as text
    wchar_t Name[37];                  // GPT: the partition's name
};

// The kinds of partition table (Drive::GetPartitionStyle).
enum TavPartitionStyle {
    TavPartitionStyleMbr = 0,
    TavPartitionStyleGpt = 1,
    TavPartitionStyleNone = 2,   // no table
    TavPartitionStyleUnknown = 3 // partitions, in a table whose kind could not be read
};

class TAVDISKLIB_API Drive {
public:
    // Enumeration, construction and release.
    static void *GetDeviceInfoSet();
    // When the disk could not be opened, the thread's last-error code after
    // GetDrive (and the constructor) is the one the open left.
    static Drive *GetDrive(void *DeviceInfoSet, TavDiskLib::ULONG MemberIndex);
    Drive(void *DeviceInfoSet, TavDiskLib::ULONG MemberIndex, TavDiskLib::SP_DEVICE_INTERFACE_DATA *InterfaceData);
    // The device path of member MemberIndex of the set, as GetDevicePath of
    // its Drive would give it, without opening the disk or asking it
    // anything: a caller looking for one disk by its path builds only that
    // Drive. Wide text rules; -1 when the set has no such member (no
    // member follows), Length 0 and 0 when its path cannot be had.
    static int GetMemberDevicePath(void *DeviceInfoSet, TavDiskLib::ULONG MemberIndex, wchar_t *Buffer,
                                   TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Length);
    // Releases what the library keeps between requests (Linux: its tables
    // and caches, the kept look and the descriptors that watch for changes),
    // as unloading the library does; the next request makes what it needs
    // again. 1 when released (or nothing was kept); 0 with ERROR_BUSY (170)
    // in the last-error code, nothing released, while a Drive, an Adapter's
    // set or another handle of the library is open. No other thread may be
    // inside the library meanwhile. Calling it twice is harmless. Device
    // instance numbers kept from before may name other nodes after it.
    static int ReleaseState();
    ~Drive();
    Drive(Drive const &Other);
    Drive(Drive &&Other) noexcept;
    Drive &operator=(Drive const &Other);
    Drive &operator=(Drive &&Other) noexcept;

    // The access the disk was opened with: AccessFull (read and write: every
    // member answers), AccessQuery (queries only, as without administrator
    // rights: the descriptors, bus type, disk number, geometry, capacity,
    // sector count and volumes answer; the IDE and INQUIRY identity and the
    // sector transfers do not) or AccessNone (the disk could not be opened).
    enum : int { AccessNone = 0, AccessQuery = 1, AccessFull = 2 };
    int GetAccess();

    // Storage descriptor and device node.
    int GetVendorId(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetProductId(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetProductRevision(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetSerialNumber(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    TavDiskLib::STORAGE_BUS_TYPE GetBusType();
    TavDiskLib::ULONG GetDriveNumber();
    int GetDevicePath(wchar_t *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    TavDiskLib::ULONG GetDeviceInstance();
    TavDiskLib::ULONG GetDeviceParentInstance();

    // ATA identity.
    int IsAta();
    int GetIdeDriveSerialNo(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetIdeDriveFirmwareRevision(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetIdeDriveModelNo(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    TavDiskLib::ULONG GetIdeControllerNumber();
    TavDiskLib::ULONG GetIdeDiskNumber();
    int GetIdeSupports48BitAddressing();
    int GetIdeSupportsSecurity();
    unsigned short GetIdeSecurityEraseUnitTime();
    unsigned short GetIdeEnhancedSecurityEraseUnitTime();

    // SCSI identity and address.
    int GetScsiVendorId(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetScsiProductId(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetScsiProductRevision(unsigned char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    unsigned char GetScsiPort();
    unsigned char GetScsiBusId();
    unsigned char GetScsiTargetId();
    unsigned char GetScsiLogicalUnitId();
    // 1 when the disk answered the SCSI address request, so that the four
    // getters above are its address; 0 when it has none (they answer 0).
    int HasScsiAddress();

    // Geometry, capacity and sector count.
    TavDiskLib::LARGE_INTEGER GetCapacity();
    TavDiskLib::LARGE_INTEGER GetCylinders();
    TavDiskLib::ULONG GetTracksPerCylinder();
    TavDiskLib::ULONG GetSectorsPerTrack();
    TavDiskLib::ULONG GetBytesPerSector();
    TavDiskLib::LARGE_INTEGER GetSectors();

    // Single-sector transfers.
    int ReadSector(TavDiskLib::ULONG Sector, unsigned char *Buffer);
    int WriteSector(TavDiskLib::ULONG Sector, unsigned char *Buffer);

    // Volumes on the disk.
    int GetDriveLetters(wchar_t *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Length);
    int GetMountPoints(wchar_t *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Length);
    int ContainsWindowsBootPartition();
    // 1 when the disk holds the system's own volume: the volume that holds
    // the system directory (on Windows the Windows directory's volume, so the
    // same answer as ContainsWindowsBootPartition, and also on the disk that
    // holds the image the system boots from; on Linux the file system
    // mounted at "/" as the process sees it), found by its extents, so
    // through partitions and stacked volumes (device mapper, software RAID),
    // and from a virtual disk (a loop device, an attached image) to what
    // holds its content; 0 otherwise or when it cannot be told. Asked anew
    // on each call.
    int ContainsSystemVolume();
    // The first path name (drive root or folder) of a mounted volume that
    // has an extent holding the sector, asked of the platform anew on each
    // call. Length gets the name's length with terminator, 0 when no mounted
    // volume holds the sector; a buffer that is too small is refused
    // (result 0) and left untouched. Result -1 (Length 0): could not tell,
    // as a volume could not be examined (the search, the device number, a
    // volume's open, extents or path names failed, memory ran out); the
    // last-error code holds the reason.
    int GetSectorMountPoint(TavDiskLib::ULONG Sector, wchar_t *Buffer, TavDiskLib::ULONG Capacity,
                            TavDiskLib::ULONG *Length);
    // WriteSector, done only while nothing else uses the storage the sector
    // lies in: every volume with an extent holding it (for a partition table
    // sector, every volume on the disk) and the disk as a whole are locked
    // (FSCTL_LOCK_VOLUME) across the write, then unlocked. Result 1 when
    // written, 0 when the write failed, -1 when nothing was written as the
    // storage is in use or could not be examined; the last-error code holds
    // the reason (in use: ERROR_ACCESS_DENIED on Windows, ERROR_BUSY on
    // Linux).
    int WriteSectorIfUnused(TavDiskLib::ULONG Sector, unsigned char *Buffer);

    // Additions for callers that need exact answers.
    // The disk number, asked of the device: 1 with *Number set when the
    // device answered, 0 when it did not (GetDriveNumber then gives 0,
    // which is also disk 0's number).
    int QueryDriveNumber(TavDiskLib::ULONG *Number);
    // The mount paths of GetMountPoints one by one, from the same kept
    // scan: a path that holds "; " comes whole. GetMountPoint takes the
    // rules of GetMountPoints; an Index past the last gives Length 0 and 0.
    TavDiskLib::ULONG GetMountPointCount();
    int GetMountPoint(TavDiskLib::ULONG Index, wchar_t *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Length);

    // Physical facts (additions), asked of the platform on each call. Each
    // answers 1 with *Value set when the disk tells, 0 with *Value left
    // alone when it does not or the request failed (the last-error code
    // says which: ERROR_NOT_SUPPORTED for a disk that does not tell).
    // The sector size the disk writes internally, and how many bytes into
    // the disk its first such sector begins.
    int GetPhysicalBytesPerSector(TavDiskLib::ULONG *Bytes);
    int GetAlignmentOffset(TavDiskLib::ULONG *Bytes);
    // 1 for a disk that rotates (a seek costs time), 0 for one that does not.
    int IsRotational(int *Rotational);
    // 1 when the disk takes unmap/TRIM of unused sectors.
    int SupportsTrim(int *Trim);
    // 1 when the disk refuses writes (write-protected, read-only).
    int IsReadOnly(int *ReadOnly);
    // The device descriptor's removable-media flag, from the descriptor the
    // Drive holds (no request); 0 when it holds none.
    int IsRemovable(int *Removable);
    // The disk's world-wide name as the Linux kernel writes a wwid ("naa."
    // or "eui." and lower-case hex digits, "t10." and the vendor's text, a
    // SCSI name string as it stands), chosen among the identifiers the disk
    // tells (the device-id property) longest first: a SCSI name string, NAA
    // and EUI-64 of 16 bytes, EUI-64 of 12, NAA of 8 (IEEE Registered
    // first), EUI-64 of 8, the T10 vendor identification; when the disk
    // tells none of them, the world wide name its IDENTIFY DEVICE data
    // gave. Narrow text rules of GetPartitionTableId: 1 with the name and
    // *Length its size with the terminator; 0 otherwise, with the reason in
    // the last-error code: ERROR_INSUFFICIENT_BUFFER with *Length set when
    // Capacity is short, ERROR_NOT_SUPPORTED when the disk has no name,
    // ERROR_INVALID_DATA when its answer is malformed, else the failed
    // request's code.
    int GetWorldWideName(char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Length);

    // Disk health (an addition), asked of the disk on each call without
    // changing it: ATA SMART (READ DATA, READ THRESHOLDS, RETURN STATUS),
    // the NVMe SMART / Health log, or SCSI LOG SENSE (Informational
    // Exceptions, Temperature), one request per page. 1 when the verdict is
    // passed or failing; 0 when it is unknown (or Health is null), with
    // Health->Reason and the last-error code saying why:
    // ERROR_NOT_SUPPORTED for a disk that does not tell, ERROR_INVALID_DATA
    // for an answer that says neither, else the failed request's code.
    // Values the disk gave are filled in either case.
    int GetHealth(DriveHealth *Health);
    // The partition table (additions), asked of the platform on each call,
    // with the 1/0 and last-error rules of the physical facts. Unused slots
    // of an MBR table are no partitions. GUIDs are upper-case text.
    int GetPartitionStyle(int *Style);
    // The table's identifier as text: an MBR disk signature ("0x1234abcd"),
    // a GPT disk GUID; "" on other tables. Narrow text rules: *Length is
    // the size with the terminator, and 0 with Length set when Capacity is
    // short.
    int GetPartitionTableId(char *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Length);
    int GetPartitionCount(TavDiskLib::ULONG *Count);
    // Partition Index (0 for the first listed); ERROR_INVALID_PARAMETER past
    // the last.
    int GetPartition(TavDiskLib::ULONG Index, TavPartition *Partition);
    // The mount paths of the volume that begins in partition Index, joined
    // by "; " (wide text rules of GetSectorMountPoint): 1 with the paths, 0
    // with Length 0 when it carries none the platform names (or Capacity
    // is short: Length then says how much is needed), -1 when it could not
    // be told.
    int GetPartitionMountPoints(TavDiskLib::ULONG Index, wchar_t *Buffer, TavDiskLib::ULONG Capacity,
                                TavDiskLib::ULONG *Length);

private:
    friend struct DriveTestAccess;

    TavDiskLib::ULONG ScsiPassThrough(unsigned char *Cdb, unsigned char CdbLength, void *DataBuffer,
                                      TavDiskLib::ULONG DataLength, unsigned char DataIn);
    int GetAdapterInfo();
    int GetDeviceInfo();
    void DetectIde();
    void IdentifyIde();
    void ScsiInquire();
    void ScsiLocate();
    static void TrimString(unsigned char const *Source, unsigned char *Destination, TavDiskLib::ULONG Length,
                           TavDiskLib::ULONG *Count);
    static void TransposeByWord(unsigned char const *Source, unsigned char *Destination, TavDiskLib::ULONG Offset,
                                TavDiskLib::ULONG Length);

    int DeliverText(unsigned char const *Field, TavDiskLib::ULONG Extent, unsigned char *Buffer,
                    TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetDescriptorString(TavDiskLib::ULONG OffsetFieldPosition, bool AllOnesMeansAbsent, unsigned char *Buffer,
                            TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetIdentifyString(TavDiskLib::ULONG FirstWord, TavDiskLib::ULONG Words, unsigned char *Buffer,
                          TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    int GetInquiryString(TavDiskLib::ULONG FirstByte, TavDiskLib::ULONG Width, unsigned char *Buffer,
                         TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Count);
    unsigned long long SectorsFromDiskSize();
    int TransferSector(TavDiskLib::ULONG Sector, unsigned char *Buffer, bool Write);
    int QueryDeviceNumber(TavDiskLib::ULONG *Number);
    void ScanVolumes();
    template <class Visit> bool WalkVolumes(Visit visit, TavDiskLib::ULONG *Failed = nullptr);
    int IsPartitionTableSector(TavDiskLib::ULONG Sector, TavDiskLib::ULONG Size);
    int VolumePathsAt(unsigned long long First, TavDiskLib::ULONG Size, bool All, wchar_t *Buffer,
                      TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *Length);
    template <class Record> int QueryPhysicalFact(int Property, Record *Answer);
    TavDiskLib::ULONG SmartRequest(TavDiskLib::ULONG Code, unsigned char Feature, void *Answer, TavDiskLib::ULONG Size);
    void ReadAtaHealth(DriveHealth &Health);
    void ReadNvmeHealth(DriveHealth &Health);
    void ReadScsiHealth(DriveHealth &Health);

    TavDiskLib::HANDLE DeviceHandle;
    void *DeviceInfoSet;
    TavDiskLib::ULONG MemberIndex;
    TavDiskLib::SP_DEVICE_INTERFACE_DATA *InterfaceData;
    TavDiskLib::SP_DEVINFO_DATA *DevInfoData;
    TavDiskLib::SP_DEVICE_INTERFACE_DETAIL_DATA_W *InterfaceDetail;
    TavDiskLib::STORAGE_ADAPTER_DESCRIPTOR *AdapterDescriptor;
    TavDiskLib::STORAGE_DEVICE_DESCRIPTOR *DeviceDescriptor;
    TavDiskLib::GETVERSIONINPARAMS *SmartVersion;
    TavDiskLib::SENDCMDOUTPARAMS *IdentifyResult;
    unsigned char InquiryData[56];
    TavDiskLib::SCSI_ADDRESS *ScsiAddress;
    TavDiskLib::DISK_GEOMETRY *Geometry;
    TavDiskLib::DISK_CONTROLLER_NUMBER *ControllerNumber;
    wchar_t *DriveLetterTable;
    wchar_t *MountPointList;
};

class TAVDISKLIB_API Adapter {
public:
    Adapter(void *DeviceInfoSet, TavDiskLib::ULONG DevInst);
    ~Adapter();
    // Writes the device description into Buffer (sizes in bytes). The buffer
    // is declared const for compatibility with existing callers; it is written.
    void GetDescription(wchar_t const *Buffer, TavDiskLib::ULONG Capacity, TavDiskLib::ULONG *RequiredSize);
    Adapter(Adapter const &Other);
    Adapter(Adapter &&Other) noexcept;
    Adapter &operator=(Adapter const &Other);
    Adapter &operator=(Adapter &&Other) noexcept;

private:
    void *DeviceInfoSet;
    TavDiskLib::SP_DEVINFO_DATA *DevInfoData;
    TavDiskLib::SP_DEVICE_INTERFACE_DATA *InterfaceData;
};

#if !defined(_WIN32)
// Releases a device information set from Drive::GetDeviceInfoSet, as the
// platform's own function of that name does on Windows.
// Nonzero on success (the platform's BOOL).
extern "C" TAVDISKLIB_API int SetupDiDestroyDeviceInfoList(TavDiskLib::HDEVINFO DeviceInfoSet);
// The calling thread's last-error code of the library's requests, as the
// platform's own functions of these names give and set it on Windows: a
// failed request sets it (a successful one leaves it alone), so a caller
// clears it, calls, and reads it to learn why a call failed.
extern "C" TAVDISKLIB_API TavDiskLib::ULONG GetLastError();
extern "C" TAVDISKLIB_API void SetLastError(TavDiskLib::ULONG dwErrCode);
#endif

#endif
