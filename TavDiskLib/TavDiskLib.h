// TavDiskLib: the physical disks of a machine, what each one is and where it
// sits.
//
//   void *set = Drive::GetDeviceInfoSet();
//   for (ULONG i = 0;; ++i) {
//       Drive *d = Drive::GetDrive(set, i);
//       if (!d) break;
//       ... ask d ...
//       delete d;
//   }
//   SetupDiDestroyDeviceInfoList(set);
//
// Drive and Adapter keep their records as raw platform blocks and are copied
// shallowly by operator=: after an assignment both objects share one handle
// and one set of records, and exactly one of them may be destroyed.
//
// On Windows the types are the platform's own (ULONG is `unsigned long`);
// elsewhere they come from the library's platform header, with ULONG a 32-bit
// unsigned integer so that every 32-bit quantity stays 32 bits wide.
#ifndef TAVDISKLIB_TAVDISKLIB_H
#define TAVDISKLIB_TAVDISKLIB_H

#include "platform/types.h"

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

class TAVDISKLIB_API Drive {
public:
    // Enumeration, construction and release.
    static void *GetDeviceInfoSet();
    // When the disk could not be opened, the thread's last-error code after
    // GetDrive (and the constructor) is the one the open left.
    static Drive *GetDrive(void *DeviceInfoSet, ULONG MemberIndex);
    Drive(void *DeviceInfoSet, ULONG MemberIndex, SP_DEVICE_INTERFACE_DATA *InterfaceData);
    ~Drive();
    Drive &operator=(Drive const &Other);

    // Storage descriptor and device node.
    int GetVendorId(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetProductId(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetProductRevision(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetSerialNumber(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    STORAGE_BUS_TYPE GetBusType();
    ULONG GetDriveNumber();
    int GetDevicePath(wchar_t *Buffer, ULONG Capacity, ULONG *Count);
    ULONG GetDeviceInstance();
    ULONG GetDeviceParentInstance();

    // ATA identity.
    int IsAta();
    int GetIdeDriveSerialNo(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetIdeDriveFirmwareRevision(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetIdeDriveModelNo(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    ULONG GetIdeControllerNumber();
    ULONG GetIdeDiskNumber();
    int GetIdeSupports48BitAddressing();
    int GetIdeSupportsSecurity();
    unsigned short GetIdeSecurityEraseUnitTime();
    unsigned short GetIdeEnhancedSecurityEraseUnitTime();

    // SCSI identity and address.
    int GetScsiVendorId(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetScsiProductId(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetScsiProductRevision(unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    unsigned char GetScsiPort();
    unsigned char GetScsiBusId();
    unsigned char GetScsiTargetId();
    unsigned char GetScsiLogicalUnitId();

    // Geometry, capacity and sector count.
    LARGE_INTEGER GetCapacity();
    LARGE_INTEGER GetCylinders();
    ULONG GetTracksPerCylinder();
    ULONG GetSectorsPerTrack();
    ULONG GetBytesPerSector();
    LARGE_INTEGER GetSectors();

    // Single-sector transfers.
    int ReadSector(ULONG Sector, unsigned char *Buffer);
    int WriteSector(ULONG Sector, unsigned char *Buffer);

    // Volumes on the disk.
    int GetDriveLetters(wchar_t *Buffer, ULONG Capacity, ULONG *Length);
    int GetMountPoints(wchar_t *Buffer, ULONG Capacity, ULONG *Length);
    int ContainsWindowsBootPartition();
    // The first path name (drive root or folder) of a mounted volume that
    // has an extent holding the sector, asked of the platform anew on each
    // call. Length gets the name's length with terminator, 0 when no mounted
    // volume holds the sector; a buffer that is too small is refused
    // (result 0) and left untouched.
    int GetSectorMountPoint(ULONG Sector, wchar_t *Buffer, ULONG Capacity, ULONG *Length);

private:
    friend struct DriveTestAccess;

    ULONG ScsiPassThrough(unsigned char *Cdb, unsigned char CdbLength, void *DataBuffer, ULONG DataLength,
                          unsigned char DataIn);
    int GetAdapterInfo();
    int GetDeviceInfo();
    void DetectIde();
    void IdentifyIde();
    void ScsiInquire();
    void ScsiLocate();
    static void TrimString(unsigned char const *Source, unsigned char *Destination, ULONG Length, ULONG *Count);
    static void TransposeByWord(unsigned char const *Source, unsigned char *Destination, ULONG Offset, ULONG Length);

    int DeliverText(unsigned char const *Field, ULONG Extent, unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetDescriptorString(ULONG OffsetFieldPosition, bool AllOnesMeansAbsent, unsigned char *Buffer,
                            ULONG Capacity, ULONG *Count);
    int GetIdentifyString(ULONG FirstWord, ULONG Words, unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int GetInquiryString(ULONG FirstByte, ULONG Width, unsigned char *Buffer, ULONG Capacity, ULONG *Count);
    int TransferSector(ULONG Sector, unsigned char *Buffer, bool Write);
    int QueryDeviceNumber(ULONG *Number);
    void ScanVolumes();
    template <class Visit> bool WalkVolumes(Visit visit);

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

class TAVDISKLIB_API Adapter {
public:
    Adapter(void *DeviceInfoSet, ULONG DevInst);
    ~Adapter();
    // Writes the device description into Buffer (sizes in bytes). The buffer
    // is declared const for compatibility with existing callers; it is written.
    void GetDescription(wchar_t const *Buffer, ULONG Capacity, ULONG *RequiredSize);
    Adapter &operator=(Adapter const &Other);

private:
    void *DeviceInfoSet;
    SP_DEVINFO_DATA *DevInfoData;
    SP_DEVICE_INTERFACE_DATA *InterfaceData;
};

#if !defined(_WIN32)
// Releases a device information set from Drive::GetDeviceInfoSet, as the
// platform's own function of that name does on Windows.
extern "C" TAVDISKLIB_API BOOL SetupDiDestroyDeviceInfoList(HDEVINFO DeviceInfoSet);
// The calling thread's last-error code of the library's requests, as the
// platform's own functions of these names give and set it on Windows: a
// failed request sets it (a successful one leaves it alone), so a caller
// clears it, calls, and reads it to learn why a call failed.
extern "C" TAVDISKLIB_API DWORD GetLastError();
extern "C" TAVDISKLIB_API void SetLastError(DWORD dwErrCode);
#endif

#endif
