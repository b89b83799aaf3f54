// SPDX-License-Identifier: MIT
// A disk's world-wide name as each protocol gives it: the logical unit's
// designators in the SCSI Device Identification VPD page (83h), the world
// wide name of ATA IDENTIFY DEVICE (words 108-111), and the NGUID or
// EUI-64 of an NVMe namespace. The decoders take any bytes: a designator is
// read only when it lies wholly within both its page and what arrived.
// Names are written as the Linux kernel writes a disk's wwid: "naa." and
// "eui." followed by lower-case hex digits, "t10." followed by the text.
#ifndef TAVDISKLIB_PROTOCOL_IDENTIFIERS_H
#define TAVDISKLIB_PROTOCOL_IDENTIFIERS_H

#include "Ata.h"
#include "ByteOrder.h"
#include "Scsi.h"

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <string>

namespace TavProtocol {

constexpr uint8_t VpdDeviceIdentification = 0x83;

// Designator types (byte 1, bits 3:0) and associations (bits 5:4).
constexpr uint8_t DesignatorT10Vendor = 0x1, DesignatorEui64 = 0x2, DesignatorNaa = 0x3;
constexpr uint8_t DesignatorScsiName = 0x8;
constexpr uint8_t AssociationLogicalUnit = 0x0;

inline std::string HexDigits(const uint8_t *bytes, size_t count) {
    static const char digits[] = "0123456789abcdef";
    std::string text;
    text.reserve(2 * count);
    for (size_t i = 0; i < count; ++i) {
        text.push_back(digits[bytes[i] >> 4]);
        text.push_back(digits[bytes[i] & 0x0F]);
    }
    return text;
}

// A text designator as it stands, padding spaces included, cut at its
// first NUL; empty when it holds anything but printable ASCII.
inline std::string DesignatorText(const uint8_t *bytes, size_t count) {
    std::string text;
    for (size_t i = 0; i < count && bytes[i] != 0; ++i) {
        if (bytes[i] < 0x20 || bytes[i] > 0x7E)
            return std::string();
        text.push_back(static_cast<char>(bytes[i]));
    }
    return text;
}

// The logical unit's name from a Device Identification page of `length`
// bytes, its longest designator first, as longer ones are less likely to
// clash: a SCSI name string (as it stands), NAA of 16 bytes, EUI-64 of 16
// and 12 bytes, NAA of 8 (IEEE Registered before the others), EUI-64 of 8,
// and last the T10 vendor identification. Empty when the page holds none
// of them (another page, a cut one, designators of the port only).
inline std::string DecodeDeviceIdentification(const uint8_t *page, size_t length) {
    if (!page || length < VpdHeaderLength || page[1] != VpdDeviceIdentification)
        return std::string();
    const size_t end = std::min(length, VpdHeaderLength + LoadBe16(page + 2));
    std::string best;
    int bestRank = 0; // 1 is the most preferred; 0 none yet
    for (size_t at = VpdHeaderLength; at + 4 <= end;) {
        const uint8_t *d = page + at;
        const size_t size = d[3];
        if (at + 4 + size > end)
            break;
        at += 4 + size;
        const uint8_t type = d[1] & 0x0F, association = (d[1] >> 4) & 0x03, codeSet = d[0] & 0x0F;
        const uint8_t *value = d + 4;
        if (association != AssociationLogicalUnit || size == 0)
            continue;
        const bool binary = codeSet == 1, text = codeSet == 2 || codeSet == 3;
        int rank = 0;
        std::string name;
        if (type == DesignatorScsiName && text) {
            rank = 1;
            name = DesignatorText(value, size);
        } else if (type == DesignatorNaa && binary && (size == 16 || size == 8)) {
            rank = size == 16 ? 2 : (value[0] >> 4) == 5 ? 5 : 6;
            name = "naa." + HexDigits(value, size);
        } else if (type == DesignatorEui64 && binary && (size == 16 || size == 12 || size == 8)) {
            rank = size == 16 ? 3 : size == 12 ? 4 : 7;
            name = "eui." + HexDigits(value, size);
        } else if (type == DesignatorT10Vendor && text) {
            rank = 8;
            if (std::string vendor = DesignatorText(value, size); !vendor.empty())
                name = "t10." + vendor;
        }
        if (!name.empty() && (bestRank == 0 || rank < bestRank)) {
            best = std::move(name);
            bestRank = rank;
        }
    }
    return best;
}

// IDENTIFY DEVICE: words 84 and 87 tell (bit 8) that words 108-111 hold a
// world wide name, the most significant word first. Empty when they do not,
// or the name is all zeros.
constexpr unsigned IdentifyCommandSetsDefaultWord = 87;
constexpr unsigned IdentifyWorldWideNameWord = 108;
constexpr unsigned IdentifyWorldWideNameBit = 8;

inline std::string IdentifyWorldWideName(const uint8_t *identify) {
    const auto valid = [identify](unsigned word) {
        const uint16_t w = IdentifyWord(identify, word);
        return (w & 0xC000) == 0x4000 && ((w >> IdentifyWorldWideNameBit) & 1u) != 0;
    };
    if (!valid(IdentifyCommandSetsExtWord) && !valid(IdentifyCommandSetsDefaultWord))
        return std::string();
    uint8_t name[8];
    for (unsigned i = 0; i < 4; ++i)
        StoreBe16(name + 2 * i, IdentifyWord(identify, IdentifyWorldWideNameWord + i));
    if (std::all_of(name, name + 8, [](uint8_t b) { return b == 0; }))
        return std::string();
    return "naa." + HexDigits(name, 8);
}

// Identify Namespace data of an NVMe namespace: its NGUID (bytes 104-119)
// when set, else its EUI-64 (bytes 120-127); empty when neither is set or
// fewer bytes arrived.
constexpr size_t NvmeNguidOffset = 104, NvmeEui64Offset = 120, NvmeIdentifyIdsEnd = 128;

inline std::string NvmeNamespaceName(const uint8_t *identify, size_t length) {
    if (!identify || length < NvmeIdentifyIdsEnd)
        return std::string();
    const auto set = [](const uint8_t *b, size_t n) { return std::any_of(b, b + n, [](uint8_t v) { return v; }); };
    if (set(identify + NvmeNguidOffset, 16))
        return "eui." + HexDigits(identify + NvmeNguidOffset, 16);
    if (set(identify + NvmeEui64Offset, 8))
        return "eui." + HexDigits(identify + NvmeEui64Offset, 8);
    return std::string();
}

// A namespace with neither: the controller's PCI vendor, serial number and
// model (Identify Controller, without their padding of spaces and NULs)
// and the namespace's id.
inline std::string NvmeFallbackName(uint16_t vendor, const std::string &serial, const std::string &model,
                                    uint32_t namespaceId) {
    const auto bare = [](const std::string &text) {
        size_t n = text.size();
        while (n > 0 && (text[n - 1] == ' ' || text[n - 1] == '\0'))
            --n;
        return HexDigits(reinterpret_cast<const uint8_t *>(text.data()), n);
    };
    uint8_t v[2], id[4];
    StoreBe16(v, vendor);
    StoreBe32(id, namespaceId);
    return "nvme." + HexDigits(v, 2) + "-" + bare(serial) + "-" + bare(model) + "-" + HexDigits(id, 4);
}

} // namespace TavProtocol

#endif
