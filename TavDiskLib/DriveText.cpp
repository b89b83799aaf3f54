// SPDX-License-Identifier: MIT
// Turning the drive's fixed-width and zero-terminated byte fields into clean
// narrow texts in the caller's buffer.
#include "TavDiskLib.h"
#include "platform/types.h"

void Drive::TrimString(unsigned char const *Source, unsigned char *Destination, ULONG Length, ULONG *Count) {
    ULONG from = 0;
    while (from < Length && Source[from] == ' ')
        ++from;
    ULONG count = 0;
    for (; from < Length; ++from)
        Destination[count++] = Source[from];
    while (count > 0 && (Destination[count - 1] == ' ' || Destination[count - 1] == 0))
        Destination[--count] = 0;
    Destination[count] = 0;
    *Count = count;
}

void Drive::TransposeByWord(unsigned char const *Source, unsigned char *Destination, ULONG Offset, ULONG Length) {
    for (ULONG i = 0; i + 1 < Length; i += 2) {
        Destination[i] = Source[Offset + i + 1];
        Destination[i + 1] = Source[Offset + i];
    }
}

// The common end of every narrow text getter: cut the field to the caller's
// capacity, trim it into the caller's buffer and terminate it there.
int Drive::DeliverText(unsigned char const *field, ULONG extent, unsigned char *buffer, ULONG capacity, ULONG *count) {
    ULONG ignored = 0;
    if (!count)
        count = &ignored;
    if (capacity == 0 || !buffer) {
        *count = 0;
        return 1;
    }
    ULONG length = capacity < extent ? capacity : extent;
    // The trimmed text ends where the terminator goes. When the first of the
    // considered bytes is not a space and the last is neither a space nor a
    // zero byte, nothing is trimmed and the text would fill the whole buffer:
    // give up its last character to the terminator.
    if (length == capacity && field[0] != ' ' && field[length - 1] != ' ' && field[length - 1] != 0)
        --length;
    TrimString(field, buffer, length, count);
    return 1;
}
