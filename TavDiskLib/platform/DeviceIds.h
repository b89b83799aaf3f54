// SPDX-License-Identifier: MIT
// The layout of STORAGE_DEVICE_ID_DESCRIPTOR, the answer of the
// StorageDeviceIdProperty query: built by the backends that make the answer
// themselves (Linux, the simulated machine) and walked by the library. Its
// identifiers are the designators of a Device Identification VPD page (83h)
// one for one, so both ways to and from such a page are here too. Every
// walk reads only what lies within the bytes it is given.
#ifndef TAVDISKLIB_PLATFORM_DEVICEIDS_H
#define TAVDISKLIB_PLATFORM_DEVICEIDS_H

#include "types.h"
#include "../protocol/Identifiers.h"

#include <cstddef>
#include <cstdint>
#include <cstring>
#include <vector>

namespace TavPlatform {

// One STORAGE_IDENTIFIER: its code set, type and association as numbers
// (the values of a designator's fields), and its bytes.
struct DeviceIdentifier {
    DWORD codeSet = 0, type = 0, association = 0;
    std::vector<uint8_t> value;
};

constexpr size_t DeviceIdHeaderBytes = offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Identifiers);
constexpr size_t IdentifierHeaderBytes = offsetof(STORAGE_IDENTIFIER, Identifier);
// A Device Identification page: its header, then designators of a 4-byte
// header and at most 255 bytes each, at most 65535 bytes after the page's
// header.
constexpr size_t VpdPageHeaderBytes = TavProtocol::VpdHeaderLength;
constexpr size_t VpdPageMostBytes = VpdPageHeaderBytes + 0xFFFF;

namespace DeviceIdDetail {
template <class T> void Put(std::vector<uint8_t> &out, size_t at, T value) {
    std::memcpy(out.data() + at, &value, sizeof value);
}
template <class T> T Get(const uint8_t *bytes, size_t at) {
    T value;
    std::memcpy(&value, bytes + at, sizeof value);
    return value;
}
} // namespace DeviceIdDetail

// The descriptor holding `ids` in their order, each record starting on a
// 4-byte boundary and its NextOffset the distance to the next (the last
// one's to the descriptor's end). Version is the record's size, Size the
// bytes of the whole answer. An identifier too long for NextOffset to pass
// is left out.
inline std::vector<uint8_t> MakeDeviceIdDescriptor(const std::vector<DeviceIdentifier> &ids) {
    using DeviceIdDetail::Put;
    std::vector<uint8_t> out(DeviceIdHeaderBytes, 0);
    DWORD count = 0;
    for (const DeviceIdentifier &id : ids) {
        const size_t span = (IdentifierHeaderBytes + id.value.size() + 3) & ~size_t{3};
        if (span > 0xFFFF)
            continue;
        const size_t at = out.size();
        out.resize(at + span, 0);
        Put(out, at + offsetof(STORAGE_IDENTIFIER, CodeSet), static_cast<DWORD>(id.codeSet));
        Put(out, at + offsetof(STORAGE_IDENTIFIER, Type), static_cast<DWORD>(id.type));
        Put(out, at + offsetof(STORAGE_IDENTIFIER, IdentifierSize), static_cast<WORD>(id.value.size()));
        Put(out, at + offsetof(STORAGE_IDENTIFIER, NextOffset), static_cast<WORD>(span));
        Put(out, at + offsetof(STORAGE_IDENTIFIER, Association), static_cast<DWORD>(id.association));
        if (!id.value.empty())
            std::memcpy(out.data() + at + IdentifierHeaderBytes, id.value.data(), id.value.size());
        ++count;
    }
    Put(out, offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Version), static_cast<DWORD>(sizeof(STORAGE_DEVICE_ID_DESCRIPTOR)));
    Put(out, offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Size), static_cast<DWORD>(out.size()));
    Put(out, offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, NumberOfIdentifiers), count);
    return out;
}

// The identifiers of a descriptor of which `length` bytes arrived. False
// when it is malformed: shorter than its header, a Size below the header or
// beyond what arrived, a record that does not lie wholly within Size, or a
// NextOffset that does not pass the record before another one.
inline bool ReadDeviceIdDescriptor(const uint8_t *bytes, size_t length, std::vector<DeviceIdentifier> &ids) {
    using DeviceIdDetail::Get;
    ids.clear();
    if (!bytes || length < DeviceIdHeaderBytes)
        return false;
    const size_t size = Get<DWORD>(bytes, offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, Size));
    const DWORD count = Get<DWORD>(bytes, offsetof(STORAGE_DEVICE_ID_DESCRIPTOR, NumberOfIdentifiers));
    if (size < DeviceIdHeaderBytes || size > length)
        return false;
    size_t at = DeviceIdHeaderBytes;
    for (DWORD i = 0; i < count; ++i) {
        if (at > size || size - at < IdentifierHeaderBytes)
            return false;
        const size_t valueSize = Get<WORD>(bytes, at + offsetof(STORAGE_IDENTIFIER, IdentifierSize));
        const size_t next = Get<WORD>(bytes, at + offsetof(STORAGE_IDENTIFIER, NextOffset));
        if (size - at - IdentifierHeaderBytes < valueSize)
            return false;
        DeviceIdentifier id;
        id.codeSet = Get<DWORD>(bytes, at + offsetof(STORAGE_IDENTIFIER, CodeSet));
        id.type = Get<DWORD>(bytes, at + offsetof(STORAGE_IDENTIFIER, Type));
        id.association = Get<DWORD>(bytes, at + offsetof(STORAGE_IDENTIFIER, Association));
        const uint8_t *value = bytes + at + IdentifierHeaderBytes;
        id.value.assign(value, value + valueSize);
        ids.push_back(std::move(id));
        if (i + 1 < count && next < IdentifierHeaderBytes + valueSize)
            return false;
        at += next;
    }
    return true;
}

// The designators of a Device Identification page of which `length` bytes
// arrived, one identifier each (code set, type and association from their
// fields), up to the first that runs past the page or what arrived. None
// for another page or one cut inside its header.
inline std::vector<DeviceIdentifier> IdentifiersOfVpdPage(const uint8_t *page, size_t length) {
    std::vector<DeviceIdentifier> ids;
    if (!page || length < VpdPageHeaderBytes || page[1] != TavProtocol::VpdDeviceIdentification)
        return ids;
    const size_t pageLength = (size_t{page[2]} << 8) | page[3];
    const size_t end = length < VpdPageHeaderBytes + pageLength ? length : VpdPageHeaderBytes + pageLength;
    for (size_t at = VpdPageHeaderBytes; at + 4 <= end;) {
        const uint8_t *d = page + at;
        if (at + 4 + d[3] > end)
            break;
        DeviceIdentifier id;
        id.codeSet = d[0] & 0x0Fu;
        id.type = d[1] & 0x0Fu;
        id.association = (d[1] >> 4) & 0x03u;
        id.value.assign(d + 4, d + 4 + d[3]);
        ids.push_back(std::move(id));
        at += 4 + size_t{d[3]};
    }
    return ids;
}

// The page that holds `ids` as designators, in their order. An identifier
// a designator cannot carry (a field past its width, more than 255 bytes,
// no room left in the page) is left out.
inline std::vector<uint8_t> VpdPageOfIdentifiers(const std::vector<DeviceIdentifier> &ids) {
    std::vector<uint8_t> page = {0x00, TavProtocol::VpdDeviceIdentification, 0x00, 0x00};
    for (const DeviceIdentifier &id : ids) {
        if (id.codeSet > 0x0F || id.type > 0x0F || id.association > 0x03 || id.value.size() > 0xFF ||
            page.size() + 4 + id.value.size() > VpdPageMostBytes)
            continue;
        page.push_back(static_cast<uint8_t>(id.codeSet));
        page.push_back(static_cast<uint8_t>(id.association << 4 | id.type));
        page.push_back(0);
        page.push_back(static_cast<uint8_t>(id.value.size()));
        page.insert(page.end(), id.value.begin(), id.value.end());
    }
    const size_t pageLength = page.size() - VpdPageHeaderBytes;
    page[2] = static_cast<uint8_t>(pageLength >> 8);
    page[3] = static_cast<uint8_t>(pageLength);
    return page;
}

} // namespace TavPlatform

#endif
