// SPDX-License-Identifier: MIT
// The ATA identity of a disk, read from the IDENTIFY DEVICE data and the IDE
// controller position that construction stored.
#include "TavDiskLib.h"
#include "Records.h"
#include "protocol/Ata.h"

using namespace TavProtocol;
using namespace TavRecords;

namespace {

// IDENTIFY word n of the stored data; an absent record reads as zeros.
uint16_t StoredWord(const SENDCMDOUTPARAMS *result, unsigned word) {
    if (!result)
        return 0;
    return IdentifyWord(RecordBytes(result) + IdentifyDataOffset, word);
}

} // namespace

int Drive::IsAta() { return SmartVersion ? 1 : 0; }

int Drive::GetIdentifyString(ULONG FirstWord, ULONG Words, unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    if (!SmartVersion)
        return 0;
    // Stage the field in reading order: each word holds its first character
    // in its high byte. The model number is the longest field.
    unsigned char staged[2 * IdentifyModelWords + 1] = {};
    if (IdentifyResult)
        TransposeByWord(RecordBytes(IdentifyResult) + IdentifyDataOffset, staged, 2 * FirstWord, 2 * Words);
    staged[2 * Words] = 0;
    ULONG length = 0;
    while (staged[length] != 0)
        ++length;
    return DeliverText(staged, length + 1, Buffer, Capacity, Count);
}

int Drive::GetIdeDriveSerialNo(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetIdentifyString(IdentifySerialWord, IdentifySerialWords, Buffer, Capacity, Count);
}

int Drive::GetIdeDriveFirmwareRevision(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetIdentifyString(IdentifyFirmwareWord, IdentifyFirmwareWords, Buffer, Capacity, Count);
}

int Drive::GetIdeDriveModelNo(unsigned char *Buffer, ULONG Capacity, ULONG *Count) {
    return GetIdentifyString(IdentifyModelWord, IdentifyModelWords, Buffer, Capacity, Count);
}

ULONG Drive::GetIdeControllerNumber() {
    if (!SmartVersion || !ControllerNumber)
        return 0;
    return ControllerNumber->ControllerNumber;
}

ULONG Drive::GetIdeDiskNumber() {
    if (!SmartVersion || !ControllerNumber)
        return 0;
    return ControllerNumber->DiskNumber;
}

int Drive::GetIdeSupports48BitAddressing() {
    if (!SmartVersion)
        return 0;
    return (StoredWord(IdentifyResult, IdentifyCommandSets2Word) >> IdentifyLba48Bit) & 1;
}

int Drive::GetIdeSupportsSecurity() {
    if (!SmartVersion)
        return 0;
    return (StoredWord(IdentifyResult, IdentifyCommandSetsWord) >> IdentifySecurityBit) & 1;
}

unsigned short Drive::GetIdeSecurityEraseUnitTime() {
    if (!SmartVersion)
        return 0;
    return static_cast<unsigned short>(StoredWord(IdentifyResult, IdentifyEraseTimeWord) * 2u);
}

unsigned short Drive::GetIdeEnhancedSecurityEraseUnitTime() {
    if (!SmartVersion)
        return 0;
    return static_cast<unsigned short>(StoredWord(IdentifyResult, IdentifyEnhancedEraseTimeWord) * 2u);
}
