// The SCSI identity of a disk (standard INQUIRY data) and its address on the
// port layer.
#include "TavDiskLib.h"
#include "platform/types.h"

int Drive::GetInquiryString(ULONG FirstByte, ULONG Width, unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    if (SmartVersion)
        return 0;
    return DeliverText(InquiryData + FirstByte, Width, Buffer, Capacity, Count);
}

int Drive::GetScsiVendorId(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetInquiryString(8, 8, Buffer, Capacity, Count);
}

int Drive::GetScsiProductId(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetInquiryString(16, 16, Buffer, Capacity, Count);
}

int Drive::GetScsiProductRevision(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetInquiryString(32, 4, Buffer, Capacity, Count);
}

unsigned char Drive::GetScsiPort() {
    return ScsiAddress ? ScsiAddress->PortNumber : 0;
}

unsigned char Drive::GetScsiBusId() {
    return ScsiAddress ? ScsiAddress->PathId : 0;
}

unsigned char Drive::GetScsiTargetId() {
    return ScsiAddress ? ScsiAddress->TargetId : 0;
}

unsigned char Drive::GetScsiLogicalUnitId() {
    return ScsiAddress ? ScsiAddress->Lun : 0;
}
