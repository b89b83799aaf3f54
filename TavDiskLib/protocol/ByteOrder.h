// SPDX-License-Identifier: MIT
// Byte order of device data: SCSI fields are big-endian, ATA IDENTIFY words
// and the platform's records little-endian. Loads and stores go byte by
// byte, so they need no alignment and mean the same on every host.
#ifndef TAVDISKLIB_PROTOCOL_BYTEORDER_H
#define TAVDISKLIB_PROTOCOL_BYTEORDER_H

#include <cstdint>

namespace TavProtocol {

inline uint16_t LoadBe16(const uint8_t *p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }
inline uint32_t LoadBe32(const uint8_t *p) {
    return (uint32_t{p[0]} << 24) | (uint32_t{p[1]} << 16) | (uint32_t{p[2]} << 8) | uint32_t{p[3]};
}
inline uint64_t LoadBe64(const uint8_t *p) { return (uint64_t{LoadBe32(p)} << 32) | LoadBe32(p + 4); }

inline void StoreBe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
inline void StoreBe32(uint8_t *p, uint32_t v) {
    for (int i = 0; i < 4; ++i)
        p[i] = static_cast<uint8_t>(v >> (24 - 8 * i));
}
inline void StoreBe64(uint8_t *p, uint64_t v) {
    StoreBe32(p, static_cast<uint32_t>(v >> 32));
    StoreBe32(p + 4, static_cast<uint32_t>(v));
}

inline uint16_t LoadLe16(const uint8_t *p) { return static_cast<uint16_t>(p[0] | (p[1] << 8)); }
inline uint32_t LoadLe32(const uint8_t *p) {
    return uint32_t{p[0]} | (uint32_t{p[1]} << 8) | (uint32_t{p[2]} << 16) | (uint32_t{p[3]} << 24);
}

inline void StoreLe16(uint8_t *p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v);
    p[1] = static_cast<uint8_t>(v >> 8);
}

} // namespace TavProtocol

#endif
