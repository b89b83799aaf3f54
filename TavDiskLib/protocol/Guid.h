// SPDX-License-Identifier: MIT
// Comparing GUIDs (the platform's GUID record, or any record with its four
// fields) without the platform's headers.
#ifndef TAVDISKLIB_PROTOCOL_GUID_H
#define TAVDISKLIB_PROTOCOL_GUID_H

namespace TavProtocol {

// Field by field, so that padding (there is none in the platform's layout)
// could never decide.
template <class Guid> bool SameGuid(const Guid &a, const Guid &b) {
    for (int i = 0; i < 8; ++i)
        if (a.Data4[i] != b.Data4[i])
            return false;
    return a.Data1 == b.Data1 && a.Data2 == b.Data2 && a.Data3 == b.Data3;
}

} // namespace TavProtocol

#endif
