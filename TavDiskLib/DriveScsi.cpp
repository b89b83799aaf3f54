// SPDX-License-Identifier: MIT
// The SCSI identity of a disk (standard INQUIRY data) and its address on the
// port layer.
#include "TavDiskLib.h"
#include "Records.h"
#include "platform/types.h"
#include "protocol/Scsi.h"

using namespace TavProtocol;
using namespace TavRecords;

int Drive::GetInquiryString(ULONG FirstByte, ULONG Width, unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    if (SmartVersion)
        return 0;
    return DeliverText(InquiryData + FirstByte, Width, Buffer, Capacity, Count);
}

int Drive::GetScsiVendorId(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetInquiryString(InquiryVendorOffset, InquiryVendorWidth, Buffer, Capacity, Count);
}

int Drive::GetScsiProductId(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetInquiryString(InquiryProductOffset, InquiryProductWidth, Buffer, Capacity, Count);
}

int Drive::GetScsiProductRevision(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetInquiryString(InquiryRevisionOffset, InquiryRevisionWidth, Buffer, Capacity, Count);
}

unsigned char Drive::GetScsiPort() { return ScsiAddress ? ScsiAddress->PortNumber : 0; }

unsigned char Drive::GetScsiBusId() { return ScsiAddress ? ScsiAddress->PathId : 0; }

unsigned char Drive::GetScsiTargetId() { return ScsiAddress ? ScsiAddress->TargetId : 0; }

unsigned char Drive::GetScsiLogicalUnitId() { return ScsiAddress ? ScsiAddress->Lun : 0; }

int Drive::HasScsiAddress() {
    return HeldBytes(ScsiAddress) >= sizeof(ScsiAddressRecord) &&
           reinterpret_cast<const ScsiAddressRecord *>(ScsiAddress)->Answered == 1;
}
